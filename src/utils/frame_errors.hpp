// Why a pandas DataFrame is not a float64 table: the error that names the array its to_numpy
// gave and, where the frame's dtypes show them, the columns at fault.
#pragma once

#include "utils/py_ref.hpp"

namespace mirel::utils {

// Raises TypeError for `frame`, whose to_numpy gave `array` (no 2-D float64 array), with a note
// naming the frame's columns at fault when its dtypes show them (py::ErrorAlreadySet).
[[noreturn]] void raise_not_float64(PyObject* frame, PyObject* array);

}  // namespace mirel::utils
