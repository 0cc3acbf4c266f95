#include "module/args.hpp"

#include "utils/errors.hpp"

#include <string>

namespace mirel::py {
namespace {

struct Binder {
    const Signature& sig;
    Bound out{};

    void positional(PyObject* const* values, std::size_t n) {
        if (n > sig.params) {
            const char* verb = n == 1 ? "was" : "were";
            if (sig.required == sig.params) {
                PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", sig.function,
                             sig.params, n, verb);
            } else {
                PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                             sig.function, sig.required, sig.params, n, verb);
            }
            throw ErrorAlreadySet{};
        }
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = values[i];
        }
    }

    void keyword(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.function);
            throw ErrorAlreadySet{};
        }
        std::size_t index = sig.params;
        // Names usually arrive interned: try identity first, then compare the text.
        for (std::size_t i = 0; i < sig.params && index == sig.params; ++i) {
            if (key == interned(i)) {
                index = i;
            }
        }
        for (std::size_t i = 0; i < sig.params && index == sig.params; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
                index = i;
            }
        }
        if (PyErr_Occurred()) {
            throw ErrorAlreadySet{};
        }
        if (index == sig.params) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.function, key);
            throw ErrorAlreadySet{};
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function, sig.names[index]);
            throw ErrorAlreadySet{};
        }
        out[index] = value;
    }

    void finish() const {
        std::size_t missing = 0;
        for (std::size_t i = 0; i < sig.required; ++i) {
            missing += out[i] == nullptr;
        }
        if (missing == 0) {
            return;
        }
        std::string names;
        std::size_t listed = 0;
        for (std::size_t i = 0; i < sig.required; ++i) {
            if (out[i] != nullptr) {
                continue;
            }
            if (listed > 0) {
                names += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
            }
            names += "'";
            names += sig.names[i];
            names += "'";
            ++listed;
        }
        raise(PyExc_TypeError, std::string(sig.function) + " missing " + std::to_string(missing) +
                                   " required positional argument" + (missing > 1 ? "s" : "") + ": " + names);
    }

    PyObject* interned(std::size_t i) const noexcept {
        // One interned copy of each parameter name per process; a failed intern only means the
        // slower text comparison is used.
        static std::array<PyObject*, 16> cache{};
        static std::array<const char*, 16> cached_names{};
        for (std::size_t slot = 0; slot < cache.size(); ++slot) {
            if (cached_names[slot] == sig.names[i]) {
                return cache[slot];
            }
            if (cached_names[slot] == nullptr) {
                PyObject* s = PyUnicode_InternFromString(sig.names[i]);
                if (s == nullptr) {
                    PyErr_Clear();
                    return nullptr;
                }
                cache[slot] = s;
                cached_names[slot] = sig.names[i];
                return s;
            }
        }
        return nullptr;
    }
};

}  // namespace

Bound bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder b{sig};
    b.positional(args, static_cast<std::size_t>(PyVectorcall_NARGS(nargs)));
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        const Py_ssize_t npos = PyVectorcall_NARGS(nargs);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            b.keyword(PyTuple_GET_ITEM(kwnames, i), args[npos + i]);
        }
    }
    b.finish();
    return b.out;
}

Bound bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs) {
    Binder b{sig};
    const Py_ssize_t n = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    std::array<PyObject*, MAX_PARAMS> positional{};
    const Py_ssize_t keep = n < static_cast<Py_ssize_t>(MAX_PARAMS) ? n : static_cast<Py_ssize_t>(MAX_PARAMS);
    for (Py_ssize_t i = 0; i < keep; ++i) {
        positional[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    // The count is checked before any value is used, so only the first MAX_PARAMS are needed.
    if (static_cast<std::size_t>(n) > sig.params) {
        b.positional(nullptr, static_cast<std::size_t>(n));
    }
    b.positional(positional.data(), static_cast<std::size_t>(n));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            b.keyword(key, value);
        }
    }
    b.finish();
    return b.out;
}

void rewrap_type_error(const char* name) {
    Ref v = fetch_error();
    Ref text = v ? Ref::steal(PyObject_Str(v.get())) : Ref();
    if (!text) {
        PyErr_Clear();
        text = check(PyUnicode_FromString(""));
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    throw ErrorAlreadySet{};
}

}  // namespace mirel::py
