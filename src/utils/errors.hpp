// How failures reach the interpreter: the call guard, PanicException, type names in messages.
#pragma once

#include "utils/py_ref.hpp"

#include <string>

namespace mirel::py {

// The PanicException type (derived directly from BaseException), created once per process.
// Returns a borrowed reference, or nullptr with a Python error set.
PyObject* panic_exception_type() noexcept;

// Writes a short report to standard error and sets PanicException(message).
void set_panic(const std::string& message) noexcept;

// Translates the C++ exception in flight into a Python error: ErrorAlreadySet leaves the
// interpreter's error as it is, knn::Panic becomes PanicException, std::bad_alloc MemoryError.
void set_error_from_current_exception() noexcept;

// Every function the interpreter calls runs its body through one of these, so that no C++
// exception ever crosses into the interpreter.
template <class F>
PyObject* guard_object(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

template <class F>
int guard_status(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// Takes the Python exception in flight off the error indicator (normalised), or null if none.
Ref fetch_error() noexcept;

// Takes the Python exception in flight and returns its message ("unknown error" if it has none).
std::string fetch_error_message() noexcept;

// Creates a heap type from `spec`, whose name is "mirel.Name": the type's __module__ becomes
// "mirel" and its name plain "Name", without a module prefix. On CPython 3.9 the type keeps the
// text signature of its doc (3.9 drops it), so inspect.signature reads it. Throws ErrorAlreadySet.
PyTypeObject* create_type(PyType_Spec* spec);

// The qualified name of a type for messages ('Outer.Inner'); "unknown" if it cannot be had.
std::string type_qualname(PyTypeObject* type) noexcept;

// "'T' object is not an instance of 'EXPECTED'", or "'None' is not an instance of 'EXPECTED'".
[[noreturn]] void raise_not_instance(PyObject* obj, const char* expected);

// PyErr_CheckSignals on every interpreter: runs the signal handlers that are due on the main
// thread; -1 with the exception set if one raised (Ctrl-C's KeyboardInterrupt, say).
int check_signals() noexcept;

}  // namespace mirel::py
