// NumPy's C API for the binding. Each extension module of the package has its own API table,
// named by its target's MIREL_NUMPY_API definition (CMakeLists.txt): the source that imports
// the table includes this header as it is, every other source of the module defines
// MIREL_NUMPY_NO_IMPORT first and uses the same table.
#pragma once

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL MIREL_NUMPY_API
#ifdef MIREL_NUMPY_NO_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
