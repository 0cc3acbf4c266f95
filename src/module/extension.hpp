// The definition of an extension module of the package: multi-phase initialisation, with the
// execution step (and the functions) each module gives.
#pragma once

#include "utils/py_ref.hpp"

namespace mirel::py {

// A module definition named `name` (its doc `doc`), with `methods` (may be null) and `slots`
// (its Py_mod_exec step); no per-module state.
inline PyModuleDef module_def(const char* name, const char* doc, PyMethodDef* methods,
                              PyModuleDef_Slot* slots) noexcept {
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, 0, methods, slots, nullptr, nullptr, nullptr};
}

}  // namespace mirel::py
