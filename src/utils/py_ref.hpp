// Small owning reference to a Python object, so no owning PyObject* lives bare in a function:
// whatever path a function leaves by (return, Python error, C++ exception), it is released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace mirel::py {

// Thrown by binding code when a Python exception has been set and the call must end.
// The call guard turns it back into the interpreter's error return.
struct ErrorAlreadySet {};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref tmp(std::move(other));
        std::swap(ptr_, tmp.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.ptr_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// Takes ownership of a new reference returned by the C API; a null means a Python error is set.
inline Ref check(PyObject* p) {
    if (p == nullptr) {
        throw ErrorAlreadySet{};
    }
    return Ref::steal(p);
}

// A C API status (-1 on error) turned into the binding layer's error flow.
inline int check_status(int status) {
    if (status < 0) {
        throw ErrorAlreadySet{};
    }
    return status;
}

// Sets `type` with `message` (UTF-8) and ends the call.
[[noreturn]] void raise(PyObject* type, const std::string& message);

}  // namespace mirel::py
