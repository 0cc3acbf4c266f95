// mirel._query.StateLock and its hold type: the lock of a mirel.sklearn estimator's state.
#pragma once

#include "utils/py_ref.hpp"

namespace mirel::py::query {

// Adds StateLock and StateHold to `module` (and, once per process, the fork handlers).
// Throws ErrorAlreadySet.
void add_state_lock_types(PyObject* module);

}  // namespace mirel::py::query
