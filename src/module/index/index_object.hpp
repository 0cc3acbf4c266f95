// The Index type of mirel._index_engine and what its two sources share: the object, the
// readers of its arguments and the search methods (index_search.cpp) that the type's method
// table (index_module.cpp) names.
#pragma once

#include "module/arrays.hpp"
#include "utils/py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "knn/index/ivf_index.hpp"

namespace mirel::py::index_engine {

struct IndexObject {
    PyObject_HEAD
    knn::IvfIndex* index;  // null only if building it failed
    bool tracked;
};

// The built index of `self`; ValueError when building it failed.
const knn::IvfIndex& index_of(PyObject* self);
// A 2-D C-contiguous float64 array, read once into memory of our own.
std::vector<double> table_copy(PyObject* obj, const char* name, MatrixArg& shape);
// `value` as a count of at least `least`; ValueError "NAME must be at least LEAST, not VALUE".
std::size_t count_arg(Py_ssize_t value, const char* name, Py_ssize_t least);
// A 1-D uint64 array of `v`.
Ref uint64_array(const std::vector<std::uint64_t>& v);

// The search methods (index_search.cpp).
PyObject* Index_impute(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* Index_impute_all(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* Index_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* Index_nearest_lists(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* Index_recall(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace mirel::py::index_engine
