#include "utils/frame_errors.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "utils/errors.hpp"

#define MIREL_NUMPY_NO_IMPORT
#include "utils/numpy.hpp"

namespace mirel::utils {
namespace {

using py::check;
using py::check_status;
using py::Ref;

std::string dtype_text(PyArrayObject* array) {
    Ref text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "unknown";
    }
    return utf8;
}

// Text of a Python object for a message, cut to `limit` characters.
std::string clipped_text(PyObject* obj, bool use_repr, std::size_t limit) {
    Ref text = check(use_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    std::string out = utf8;
    if (out.size() > limit) {
        out.resize(limit);
        out += "...";
    }
    return out;
}

// The frame's columns that keep it from becoming float64, as "'name' (object), 'when'
// (datetime64[ns])", read from its dtypes: the columns of a kind other than integer or float,
// or, when every column is numeric (integers only, float32), those that are not float64.
// Returns the count and the text; 0 when the dtypes name no such column (a to_numpy of the
// frame's own that returns something else).
std::pair<std::size_t, std::string> unconvertible_columns(PyObject* frame) {
    Ref dtypes = check(PyObject_GetAttrString(frame, "dtypes"));
    Ref index = check(PyObject_GetAttrString(dtypes.get(), "index"));
    Ref labels = check(PySequence_List(index.get()));
    Ref types = check(PySequence_List(dtypes.get()));
    const Py_ssize_t n = PyList_GET_SIZE(labels.get());
    if (PyList_GET_SIZE(types.get()) != n) {
        return {0, {}};
    }
    std::vector<Py_ssize_t> other_kind, other_width;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* dtype = PyList_GET_ITEM(types.get(), i);  // borrowed from the list
        const std::string kind = clipped_text(check(PyObject_GetAttrString(dtype, "kind")).get(), false, 8);
        if (kind != "f" && kind != "i" && kind != "u") {
            other_kind.push_back(i);
        } else if (clipped_text(dtype, false, 64) != "float64") {
            other_width.push_back(i);
        }
    }
    const std::vector<Py_ssize_t>& chosen = other_kind.empty() ? other_width : other_kind;
    constexpr std::size_t shown = 8;
    std::string text;
    for (std::size_t j = 0; j < chosen.size() && j < shown; ++j) {
        if (j > 0) {
            text += ", ";
        }
        text += clipped_text(PyList_GET_ITEM(labels.get(), chosen[j]), true, 60) + " (" +
                clipped_text(PyList_GET_ITEM(types.get(), chosen[j]), false, 60) + ")";
    }
    if (chosen.size() > shown) {
        text += ", and " + std::to_string(chosen.size() - shown) + " more";
    }
    return {chosen.size(), text};
}

}  // namespace

// The refusal of a frame whose values are no float64 table. Its message names the array that
// to_numpy gave, as it always has (callers may match it). When the frame's dtypes show the
// columns at fault, the exception also carries a note (PEP 678 `__notes__`, which tracebacks
// print under the message from Python 3.11 on) naming them with their dtypes and saying how to
// convert them. Reading the dtypes may fail with an ordinary error: then there is no note.
// Interrupts and exits are not swallowed.
[[noreturn]] void raise_not_float64(PyObject* frame, PyObject* array) {
    std::pair<std::size_t, std::string> columns{0, {}};
    try {
        columns = unconvertible_columns(frame);
    } catch (const py::ErrorAlreadySet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_Clear();
    }
    std::string detail;
    if (PyArray_Check(array)) {
        auto* a = reinterpret_cast<PyArrayObject*>(array);
        detail = " of dtype " + dtype_text(a) + " with " + std::to_string(PyArray_NDIM(a)) + " dimension" +
                 (PyArray_NDIM(a) == 1 ? "" : "s");
    }
    const std::string message = "'" + py::type_qualname(Py_TYPE(array)) + "' object" + detail +
                                " cannot be converted to a 2-dimensional float64 numpy.ndarray";
    if (columns.first == 0) {
        py::raise(PyExc_TypeError, message);
    }
    const bool one = columns.first == 1;
    const std::string note = std::string(one ? "DataFrame column" : "DataFrame columns") +
                             " cannot be converted to float64: " + columns.second +
                             (one ? ". Convert it" : ". Convert them") +
                             " first (df.astype('float64'), or pandas.to_numeric for numbers stored as text) or drop " +
                             (one ? "it" : "them");
    Ref text = check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref exc = check(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    Ref note_text = check(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    Ref notes = check(PyList_New(0));
    check_status(PyList_Append(notes.get(), note_text.get()));
    check_status(PyObject_SetAttrString(exc.get(), "__notes__", notes.get()));
    PyErr_SetObject(PyExc_TypeError, exc.get());
    throw py::ErrorAlreadySet{};
}

}  // namespace mirel::utils
