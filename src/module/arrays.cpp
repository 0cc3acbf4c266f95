#include "module/arrays.hpp"

#include <string>

#include "utils/errors.hpp"

#define MIREL_NUMPY_NO_IMPORT
#include "utils/numpy.hpp"

namespace mirel::py {

MatrixArg matrix_arg(PyObject* obj, const char* name, int type_num, const char* type_name, Layout layout) {
    if (!PyArray_Check(obj)) {
        raise(PyExc_TypeError,
              std::string(name) + " must be a numpy.ndarray, not '" + type_qualname(Py_TYPE(obj)) + "'");
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) {
        raise(PyExc_ValueError,
              std::string(name) + " must have 2 dimensions, not " + std::to_string(PyArray_NDIM(array)));
    }
    if (PyArray_TYPE(array) != type_num || !PyArray_ISNOTSWAPPED(array)) {
        raise(PyExc_TypeError, std::string(name) + " must hold native " + type_name + " values");
    }
    if (layout == Layout::any_alignment) {
        if (!PyArray_IS_C_CONTIGUOUS(array)) {
            raise(PyExc_ValueError, std::string(name) + " must be C-contiguous");
        }
    } else if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) {
        raise(PyExc_ValueError, std::string(name) + " must be C-contiguous and aligned");
    }
    if (layout == Layout::writeable && !PyArray_ISWRITEABLE(array)) {
        raise(PyExc_ValueError, std::string(name) + " must be writeable");
    }
    MatrixArg m;
    m.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    m.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    m.data = static_cast<char*>(PyArray_DATA(array));
    m.bytes = static_cast<std::size_t>(PyArray_NBYTES(array));
    return m;
}

}  // namespace mirel::py
