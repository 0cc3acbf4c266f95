// Binding of call arguments to named parameters, shared by the constructor and the methods,
// with the interpreter's own wording for every mistake.
#pragma once

#include "utils/py_ref.hpp"

#include <array>
#include <cstddef>

namespace mirel::py {

// At most three parameters are ever needed (the constructor's).
inline constexpr std::size_t MAX_PARAMS = 3;

struct Signature {
    const char* function;  // as it appears in messages, e.g. "KnnImputer.fit()"
    std::array<const char*, MAX_PARAMS> names;
    std::size_t params;
    std::size_t required;  // the first `required` parameters have no default
};

// Borrowed references to the bound values; nullptr where a parameter was not given.
using Bound = std::array<PyObject*, MAX_PARAMS>;

// Fast-call convention: `nargs` positional values, then one value per name in `kwnames`.
Bound bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Classic convention: a tuple and an optional dict (the constructor).
Bound bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs);

// Replaces the TypeError in flight by "argument 'NAME': " + its message, and ends the call.
[[noreturn]] void rewrap_type_error(const char* name);

// Runs `convert`; a TypeError it raises comes back as "argument 'NAME': <message>".
// Errors of any other type pass through unchanged.
template <class F>
auto convert_argument(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            rewrap_type_error(name);
        }
        throw;
    }
}

}  // namespace mirel::py
