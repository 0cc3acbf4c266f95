#include "utils/errors.hpp"

#include <cstring>
#include <new>

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "utils/pypy_compat.hpp"

namespace mirel::py {

void raise(PyObject* type, const std::string& message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
    throw ErrorAlreadySet{};
}

namespace {

// Every extension module of the package compiles this file, each with its own statics, so the
// type is registered once per process where all of them find it: a module object of its own in
// sys.modules, made by whichever module needs the type first. It is neither imported nor bound
// to the package, so `mirel` gains no attribute and no Python code runs to find it.
constexpr const char* PANIC_REGISTRY = "mirel._panic";

PyObject* registered_panic_type() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (modules == nullptr) {
        throw ErrorAlreadySet{};
    }
    PyObject* registry = PyDict_GetItemString(modules, PANIC_REGISTRY);  // borrowed
    if (registry != nullptr) {
        Ref found = check(PyObject_GetAttrString(registry, "PanicException"));
        if (!PyExceptionClass_Check(found.get()) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(found.get()),
                              reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
            raise(PyExc_SystemError, std::string(PANIC_REGISTRY) + ".PanicException is not an exception type");
        }
        return found.release();
    }
    Ref type = check(PyErr_NewExceptionWithDoc(
        "mirel.PanicException",
        "Raised when mirel meets a broken internal precondition. It derives from BaseException,\n"
        "so `except Exception` does not catch it; its message says what failed.",
        PyExc_BaseException, nullptr));
    Ref module = check(PyModule_New(PANIC_REGISTRY));
    check_status(PyObject_SetAttrString(module.get(), "PanicException", type.get()));
    check_status(PyDict_SetItemString(modules, PANIC_REGISTRY, module.get()));
    return type.release();
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    static PyObject* type = nullptr;  // kept for the life of the process
    if (type == nullptr) {
        try {
            type = registered_panic_type();
        } catch (...) {
            if (!PyErr_Occurred()) {
                PyErr_NoMemory();
            }
            return nullptr;
        }
    }
    return type;
}

void set_panic(const std::string& message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // the creation's own error stays set
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) {
        return;
    }
    write_internal_failure(text.get());
    PyErr_SetObject(type, text.get());
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) {
            set_panic("an error was reported without a Python exception");
        }
    } catch (const knn::Panic& e) {
        set_panic(e.what());
    } catch (const knn::SizeOverflow& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown C++ exception");
    }
}

Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

std::string fetch_error_message() noexcept {
    try {
        Ref value = fetch_error();
        Ref text = value ? Ref::steal(PyObject_Str(value.get())) : Ref();
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        std::string message = utf8 != nullptr ? utf8 : "unknown error";
        PyErr_Clear();
        return message;
    } catch (...) {
        PyErr_Clear();
        return "unknown error";
    }
}

#if PY_VERSION_HEX < 0x030A0000 && !defined(PYPY_VERSION)
namespace {
// CPython 3.9 drops the text signature from a heap type's doc when it creates the type, so
// inspect.signature finds none ("no signature found for builtin type"). Give the type its whole
// doc back: __text_signature__ reads the signature from it, while __doc__ keeps the text without
// the signature that type creation already stored in the type's dict. The type frees tp_doc
// with PyObject_Free.
void restore_text_signature(PyTypeObject* type, const PyType_Spec* spec) {
    for (const PyType_Slot* slot = spec->slots; slot->slot != 0; ++slot) {
        if (slot->slot != Py_tp_doc || slot->pfunc == nullptr) {
            continue;
        }
        const std::size_t size = std::strlen(static_cast<const char*>(slot->pfunc)) + 1;
        char* doc = static_cast<char*>(PyObject_Malloc(size));
        if (doc == nullptr) {
            PyErr_NoMemory();
            throw ErrorAlreadySet{};
        }
        std::memcpy(doc, slot->pfunc, size);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = doc;
        return;
    }
}
}  // namespace
#endif

PyTypeObject* create_type(PyType_Spec* spec) {
    Ref type = check(PyType_FromSpec(spec));
#if PY_VERSION_HEX < 0x030A0000 && !defined(PYPY_VERSION)
    restore_text_signature(reinterpret_cast<PyTypeObject*>(type.get()), spec);
#endif
    // A dotted spec name sets __module__ without the interpreter's "no __module__" warning;
    // renaming then leaves the bare name as the type's name.
    const char* dot = std::strrchr(spec->name, '.');
    if (dot != nullptr) {
        Ref name = check(PyUnicode_FromString(dot + 1));
        check_status(PyObject_SetAttrString(type.get(), "__name__", name.get()));
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

std::string type_qualname(PyTypeObject* type) noexcept {
    try {
        // The attribute, on every interpreter: PyType_GetQualName (CPython 3.11+) reads the
        // heap type's slot and skips the metaclass, so a type whose name lookup fails would be
        // named on CPython and "unknown" on PyPy.
        Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
        Ref text = name ? Ref::steal(PyObject_Str(name.get())) : Ref();
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            return "unknown";
        }
        return utf8;
    } catch (...) {
        PyErr_Clear();
        return "unknown";
    }
}

void raise_not_instance(PyObject* obj, const char* expected) {
    std::string message = "'";
    if (obj == Py_None) {
        message += "None' is not";
    } else {
        message += type_qualname(Py_TYPE(obj));
        message += "' object is not";
    }
    message += " an instance of '";
    message += expected;
    message += "'";
    raise(PyExc_TypeError, message);
}

// Runs the signal handlers that are due (-1 if one raised). PyPy's PyErr_CheckSignals does
// not run them (it returns 0); PyPy runs them when Python code jumps backwards, so a two-turn
// loop compiled once stands in for it there.
int check_signals() noexcept {
#ifdef PYPY_VERSION
    static PyObject* code = nullptr;  // kept for the process
    static PyObject* globals = nullptr;
    if (code == nullptr) {
        if (globals == nullptr && (globals = PyDict_New()) == nullptr) {
            return -1;
        }
        code = Py_CompileString("for _ in (0, 0):\n    pass\n", "<signal check>", Py_file_input);
        if (code == nullptr) {
            return -1;
        }
    }
    PyObject* none = PyEval_EvalCode(code, globals, globals);
    if (none == nullptr) {
        return -1;
    }
    Py_DECREF(none);
    return 0;
#else
    return PyErr_CheckSignals();
#endif
}

}  // namespace mirel::py
