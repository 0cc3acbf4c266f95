// Conversions at the border between Python tables and the engine's matrix.
#pragma once

#include "module/py_ref.hpp"

#include <cstddef>
#include <vector>

namespace mirel::utils {

struct Matrix {
    std::vector<double> values;  // row-major, rows * cols cells, a fresh copy
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// Returns a fresh row-major copy of a 2-D float64 NumPy array (or subclass), or a pandas DataFrame that converts to
// one, copied into a new matrix. Anything else is refused with a TypeError naming its type. Python errors end the call
// (py::ErrorAlreadySet); a NumPy that cannot be loaded is a knn::Panic.
Matrix pyany_to_vec(PyObject* data);

// Buffers that a Python object keeps alive (a result array's data, an imputer's fitted matrix)
// are allocated outside the interpreter's heap; they are reported to its memory accounting
// under this domain of the module's own. On CPython that is tracemalloc (the buffer is
// attributed to the Python line that made it); on PyPy it is the collector's memory pressure,
// which makes it collect the dead arrays that hold such buffers.
inline constexpr unsigned int MEMORY_DOMAIN = 0x6D69726C;  // "mirl"

// Reports `bytes` at `ptr` (nothing for an empty buffer). When the accounting cannot record
// it (out of memory), raises MemoryError (py::ErrorAlreadySet): the caller still owns `ptr`.
void track_buffer(const void* ptr, std::size_t bytes);
// Withdraws what track_buffer reported at `ptr`, before the buffer is freed or handed on.
void untrack_buffer(const void* ptr) noexcept;

// Returns a new (rows, cols) float64 array that takes `values` without copying; the array's
// base object, a PySliceContainer, frees the buffer when NumPy drops the array.
// values.size() must be rows * cols (transform checks the cell count first).
py::Ref vec_to_pyarray(std::size_t rows, std::size_t cols, std::vector<double> values);

}  // namespace mirel::utils
