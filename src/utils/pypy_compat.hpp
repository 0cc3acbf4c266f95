// Everything the module does differently on PyPy (cpyext, checked with PyPy 7.3.11), in one
// place. The type tables refer to these under `#ifdef PYPY_VERSION`:
//
// - KnnImputer (module/knn_imputer.cpp) and PySliceContainer (utils/convert.cpp): PyPy gives
//   every object of a C type an attribute dictionary and lets __class__ be reassigned between
//   layouts; Py_tp_setattro refuses both (refuse_attribute_assignment). Its default reduction
//   would "copy" an object into a fresh default one; __reduce_ex__ refuses (refuse_pickling).
// - KnnImputer: PyPy creates Python subclasses whatever the base-type flag says;
//   __init_subclass__ refuses (refuse_subclassing). PyPy also calls tp_new without checking
//   that the type is a subtype; KnnImputer_new checks it itself (on every interpreter).
// - PyPy has no PySys_FormatStderr: write_internal_failure writes through sys.stderr.
//
// Module state: the types and PanicException live in process-wide statics rather than in the
// module's state. Reaching module state from the error translation and from a method needs
// PyType_GetModuleByDef, which is CPython 3.11+ and absent from PyPy 3.9's C API.
#pragma once

#include "utils/py_ref.hpp"

namespace mirel::py {

// Writes "mirel: internal failure: TEXT" and a newline to sys.stderr; a failing write is
// dropped, as PySys_FormatStderr drops it.
void write_internal_failure(PyObject* text) noexcept;

#ifdef PYPY_VERSION
// Refuses an attribute assignment with CPython's messages: a TypeError for __class__, an
// AttributeError naming `type_name` otherwise. Returns 0 only for the no-op of assigning an
// object its own class; throws ErrorAlreadySet otherwise.
int refuse_attribute_assignment(PyObject* self, PyObject* name, PyObject* value, const char* type_name);

// Sets CPython's TypeError "cannot pickle 'TYPE_NAME' object" and returns nullptr.
PyObject* refuse_pickling(const char* type_name) noexcept;

// Sets CPython's TypeError "type 'TYPE_NAME' is not an acceptable base type" and returns nullptr.
PyObject* refuse_subclassing(const char* type_name) noexcept;
#endif

}  // namespace mirel::py
