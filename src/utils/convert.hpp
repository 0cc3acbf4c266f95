// Conversions at the border between Python tables and the engine's matrix.
#pragma once

#include "utils/memory.hpp"
#include "utils/py_ref.hpp"

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

// Returns a new (rows, cols) float64 array that takes `values` without copying; the array's
// base object, a PySliceContainer, frees the buffer when NumPy drops the array.
// values.size() must be rows * cols (transform checks the cell count first).
py::Ref vec_to_pyarray(std::size_t rows, std::size_t cols, std::vector<double> values);
// The same over a CellBuffer (freed as it was allocated), the form transform's results take.
py::Ref vec_to_pyarray(std::size_t rows, std::size_t cols, py::CellBuffer values);

}  // namespace mirel::utils
