#include "utils/pypy_compat.hpp"

#include "utils/errors.hpp"

namespace mirel::py {

void write_internal_failure(PyObject* text) noexcept {
#ifdef PYPY_VERSION
    PyObject* err = PySys_GetObject("stderr");  // borrowed
    if (err != nullptr && err != Py_None &&
        (PyFile_WriteString("mirel: internal failure: ", err) < 0 || PyFile_WriteObject(text, err, Py_PRINT_RAW) < 0 ||
         PyFile_WriteString("\n", err) < 0)) {
        PyErr_Clear();
    }
#else
    PySys_FormatStderr("mirel: internal failure: %U\n", text);
#endif
}

#ifdef PYPY_VERSION
int refuse_attribute_assignment(PyObject* self, PyObject* name, PyObject* value, const char* type_name) {
    if (!PyUnicode_Check(name)) {
        raise(PyExc_TypeError, "attribute name must be string, not '" + type_qualname(Py_TYPE(name)) + "'");
    }
    if (PyUnicode_CompareWithASCIIString(name, "__class__") == 0) {
        if (value == nullptr) {
            raise(PyExc_TypeError, "can't delete __class__ attribute");
        }
        if (!PyType_Check(value)) {
            raise(PyExc_TypeError,
                  "__class__ must be set to a class, not '" + type_qualname(Py_TYPE(value)) + "' object");
        }
        if (value == reinterpret_cast<PyObject*>(Py_TYPE(self))) {
            return 0;  // its own class: nothing changes
        }
        raise(PyExc_TypeError, "__class__ assignment: '" + type_qualname(reinterpret_cast<PyTypeObject*>(value)) +
                                   "' object layout differs from '" + type_name + "'");
    }
    // Only tested for existence: PyPy 7.3 crashed when a getset descriptor of the type was
    // fetched into C from inside a setattro slot.
    const int exists = PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name);
    PyErr_Format(PyExc_AttributeError,
                 exists ? "'%s' object attribute '%U' is read-only" : "'%s' object has no attribute '%U'", type_name,
                 name);
    throw ErrorAlreadySet{};
}

PyObject* refuse_pickling(const char* type_name) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", type_name);
    return nullptr;
}

PyObject* refuse_subclassing(const char* type_name) noexcept {
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", type_name);
    return nullptr;
}
#endif

}  // namespace mirel::py
