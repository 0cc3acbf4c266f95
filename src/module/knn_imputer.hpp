// The Python type KnnImputer over the engine's record.
#pragma once

#include "utils/py_ref.hpp"

namespace mirel::py {

// The KnnImputer type, created on first need and kept for the life of the process.
// Throws ErrorAlreadySet when it cannot be created.
PyTypeObject* knn_imputer_type();

}  // namespace mirel::py
