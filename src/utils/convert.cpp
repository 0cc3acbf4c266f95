#include "utils/convert.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "utils/numpy.hpp"

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "utils/errors.hpp"
#include "utils/frame_errors.hpp"
#include "utils/memory.hpp"
#include "utils/pypy_compat.hpp"

namespace mirel::utils {

namespace {

using py::check;
using py::check_status;
using py::Ref;

// NumPy's C-API table, loaded on first use and kept for the life of the process.
void ensure_numpy() {
    static bool ready = false;
    if (ready) {
        return;
    }
    if (_import_array() < 0) {
        const std::string reason = py::fetch_error_message();
        throw knn::Panic("Failed to access NumPy array API capsule: " + reason);
    }
    ready = true;
}

// A NumPy array (or subclass) with exactly two dimensions of float64 (or an equivalent dtype).
bool is_float64_matrix(PyObject* obj) {
    if (!PyArray_Check(obj)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) {
        return false;
    }
    PyArray_Descr* descr = PyArray_DESCR(array);
    PyArray_Descr* f64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (f64 == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    const bool same = descr == f64 || PyArray_EquivTypes(descr, f64);
    Py_DECREF(f64);
    return same;
}

// One copy of the array in row-major order of its logical cells, whatever its memory layout.
Matrix copy_matrix(PyObject* obj) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* shape = PyArray_DIMS(array);
    Matrix m;
    m.rows = static_cast<std::size_t>(shape[0]);
    m.cols = static_cast<std::size_t>(shape[1]);
    // A broadcast view can claim more cells than memory holds: MemoryError before allocating.
    const std::size_t n = knn::checked_count<double>(knn::checked_mul(m.rows, m.cols));
    if (n == 0) {
        return m;
    }
    m.values.resize(n);
    const char* base = PyArray_BYTES(array);
    if (PyArray_ISCARRAY_RO(array)) {
        std::memcpy(m.values.data(), base, n * sizeof(double));
        return m;
    }
    // Fortran order, strided or reversed views, unaligned data: follow the strides cell by cell.
    // memcpy, because an unaligned double must never be loaded through a double pointer.
    const npy_intp* strides = PyArray_STRIDES(array);
    double* out = m.values.data();
    for (std::size_t i = 0; i < m.rows; ++i) {
        const char* row = base + static_cast<npy_intp>(i) * strides[0];
        for (std::size_t j = 0; j < m.cols; ++j) {
            std::memcpy(out++, row + static_cast<npy_intp>(j) * strides[1], sizeof(double));
        }
    }
    return m;
}

Ref import_module(const char* name) {
    Ref text = check(PyUnicode_FromString(name));
    return check(PyImport_Import(text.get()));
}

Matrix dataframe_to_vec(PyObject* frame) {
    Ref numpy = import_module("numpy");
    Ref to_numpy_name = check(PyUnicode_FromString("to_numpy"));
    Ref converted = check(PyObject_CallMethodObjArgs(frame, to_numpy_name.get(), nullptr));
    Ref ascontiguousarray = check(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
    Ref array = check(PyObject_CallFunctionObjArgs(ascontiguousarray.get(), converted.get(), nullptr));
    if (!is_float64_matrix(array.get())) {
        raise_not_float64(frame, array.get());
    }
    return copy_matrix(array.get());
}

// PySliceContainer: the owner of a result buffer, set as the base object of the result array.
// It holds a std::vector (results that the engine built as one) or a py::CellBuffer.
enum class Holds : unsigned char { nothing = 0, vector, cells };  // tp_alloc zeroes: nothing

struct SliceContainer {
    PyObject_HEAD
    double* ptr;
    Holds holds;
    alignas(std::vector<double>) alignas(py::CellBuffer) unsigned char storage
        [sizeof(std::vector<double>) > sizeof(py::CellBuffer) ? sizeof(std::vector<double>) : sizeof(py::CellBuffer)];
};

void release_buffer(SliceContainer* self) noexcept {
    if (self->holds == Holds::vector) {
        auto* vec = std::launder(reinterpret_cast<std::vector<double>*>(self->storage));
        if (!vec->empty()) {
            py::untrack_buffer(vec->data());
        }
        vec->~vector();
    } else if (self->holds == Holds::cells) {
        auto* cells = std::launder(reinterpret_cast<py::CellBuffer*>(self->storage));
        py::untrack_buffer(cells->data());
        cells->~CellBuffer();
    }
    self->holds = Holds::nothing;
}

void SliceContainer_dealloc(PyObject* obj) noexcept {
    auto* self = reinterpret_cast<SliceContainer*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    release_buffer(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(type);
}

#ifdef PYPY_VERSION
// See utils/pypy_compat.hpp: a new __class__ would also deallocate the container as that class.
int SliceContainer_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return py::guard_status(
        [&]() -> int { return py::refuse_attribute_assignment(self, name, value, "PySliceContainer"); });
}

PyObject* SliceContainer_reduce_ex(PyObject*, PyObject*) noexcept { return py::refuse_pickling("PySliceContainer"); }

PyMethodDef slice_container_methods[] = {
    {"__reduce_ex__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&SliceContainer_reduce_ex)),
     METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#endif

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&SliceContainer_dealloc)},
#ifdef PYPY_VERSION
    {Py_tp_setattro, reinterpret_cast<void*>(&SliceContainer_setattro)},
    {Py_tp_methods, slice_container_methods},
#endif
    {Py_tp_doc, const_cast<char*>("Owner of the memory behind an array that mirel returned; it frees the "
                                  "memory when the array is gone.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "mirel.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, slice_container_slots,
};

PyTypeObject* slice_container_type() {
    static PyTypeObject* type = nullptr;  // created once, kept for the life of the process
    if (type == nullptr) {
        type = py::create_type(&slice_container_spec);
    }
    return type;
}

// Never dereferenced: NumPy gets a non-null, aligned address for an empty result.
alignas(8) double empty_placeholder = 0.0;

}  // namespace

// CPython: 0 = recorded, -2 = tracemalloc is not tracing (nothing to record: a buffer made
// before tracemalloc starts stays unseen, as any allocation does), -1 = its table could not
// grow. -1 sets no Python error; tracemalloc fails an allocation it cannot record, and so does
// this: the call raises MemoryError and frees the buffer. Both functions take the GIL
// themselves, which is held here anyway.
// PyPy (cpyext, pymem.h): Track adds `bytes` to the collector's memory pressure and returns 0;
// Untrack is an empty stub. The pressure is not withdrawn when a buffer is freed: it only
// counts towards the next major collection, which resets it.
Matrix pyany_to_vec(PyObject* data) {
    ensure_numpy();
    // 1. A NumPy array: nothing is imported on this path.
    if (is_float64_matrix(data)) {
        return copy_matrix(data);
    }
    // 2. A pandas DataFrame (subclasses and instance-check hooks included).
    Ref pandas = import_module("pandas");
    Ref frame_type = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (check_status(PyObject_IsInstance(data, frame_type.get())) == 1) {
        return dataframe_to_vec(data);
    }
    // 3. Anything else is refused by the name of its type.
    py::raise(PyExc_TypeError, "Unsupported type: '" + py::type_qualname(Py_TYPE(data)) +
                                   "'. Supported types are: numpy.ndarray, pandas.DataFrame");
}

namespace {

// A new container, empty (it frees nothing until it is given a buffer).
Ref new_container() {
    try {
        PyTypeObject* type = slice_container_type();
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        return check(alloc(type, 0));
    } catch (const py::ErrorAlreadySet&) {
        const std::string reason = py::fetch_error_message();
        throw knn::Panic("Failed to create slice container: " + reason);
    }
}

// The array over the container's buffer, writeable, C-contiguous (strides 0 for an empty
// shape); it owns the container from here.
Ref array_over(std::size_t rows, std::size_t cols, Ref container) {
    auto* owner = reinterpret_cast<SliceContainer*>(container.get());
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    const bool empty = rows == 0 || cols == 0;
    npy_intp strides[2] = {empty ? 0 : static_cast<npy_intp>(cols * sizeof(double)),
                           empty ? 0 : static_cast<npy_intp>(sizeof(double))};
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);  // stolen by NewFromDescr
    if (descr == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    Ref array =
        check(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, strides, owner->ptr, NPY_ARRAY_WRITEABLE, nullptr));
    // SetBaseObject takes the reference even on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) {
        throw py::ErrorAlreadySet{};
    }
    return array;
}

}  // namespace

Ref vec_to_pyarray(std::size_t rows, std::size_t cols, std::vector<double> values) {
    ensure_numpy();
    // 1. The container takes the buffer.
    Ref container = new_container();
    auto* owner = reinterpret_cast<SliceContainer*>(container.get());
    auto* vec = new (owner->storage) std::vector<double>(std::move(values));
    owner->ptr = vec->empty() ? &empty_placeholder : vec->data();
    owner->holds = Holds::vector;
    // On failure the container frees the buffer as it goes (withdrawing nothing).
    py::track_buffer(vec->data(), vec->size() * sizeof(double));
    // 2. The array over it.
    return array_over(rows, cols, std::move(container));
}

Ref vec_to_pyarray(std::size_t rows, std::size_t cols, py::CellBuffer values) {
    ensure_numpy();
    Ref container = new_container();
    auto* owner = reinterpret_cast<SliceContainer*>(container.get());
    auto* cells = new (owner->storage) py::CellBuffer(std::move(values));
    owner->ptr = cells->size() == 0 ? &empty_placeholder : cells->data();
    owner->holds = Holds::cells;
    py::track_buffer(cells->data(), cells->size() * sizeof(double));
    py::report_array_data(cells->size() * sizeof(double));
    return array_over(rows, cols, std::move(container));
}

}  // namespace mirel::utils
