// The configuration names the private extension modules take, checked with one message each.
#pragma once

#include "knn/core/imputer.hpp"
#include "utils/py_ref.hpp"

namespace mirel::py {

// The weights name of a built-in pass: one of knn::ALLOWED_WEIGHTS, or ValueError
// "weights must be 'uniform' or 'distance', not 'NAME'" (ErrorAlreadySet).
knn::Weights weights_arg(const char* name);

// A new tuple of the metric names (knn::METRIC_NAMES), or nullptr with a Python error set.
PyObject* metric_names() noexcept;

}  // namespace mirel::py
