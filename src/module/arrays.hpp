// Matrix arguments of the private extension modules: the checks a 2-D NumPy array passes
// before a pass reads or writes it, with the messages they raise.
#pragma once

#include "utils/py_ref.hpp"

#include <cstddef>

namespace mirel::py {

// A matrix argument after its checks: shape and data pointer.
struct MatrixArg {
    std::size_t rows = 0;
    std::size_t cols = 0;
    char* data = nullptr;
    std::size_t bytes = 0;
};

// What matrix_arg asks of the memory of a C-contiguous array.
enum class Layout {
    any_alignment,  // its bytes are only ever copied with memcpy
    aligned,        // read in place
    writeable,      // aligned, and written in place
};

// `obj` must be a 2-D C-contiguous native-order NumPy array of NumPy type `type_num` (named
// `type_name` in messages) laid out as `layout` says; otherwise this raises TypeError or
// ValueError naming the argument `name` (ErrorAlreadySet). The calling module's NumPy API table
// must have been imported.
MatrixArg matrix_arg(PyObject* obj, const char* name, int type_num, const char* type_name, Layout layout);

}  // namespace mirel::py
