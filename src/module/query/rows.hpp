// mirel._query.Rows: the fitted rows row by row, for the callable paths of mirel.sklearn.
#pragma once

#include "utils/py_ref.hpp"

namespace mirel::py::query {

// The type's spec (mirel._query.Rows).
PyType_Spec* rows_spec() noexcept;

}  // namespace mirel::py::query
