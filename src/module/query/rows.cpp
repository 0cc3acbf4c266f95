// mirel._query.Rows(fitted): the fitted rows row by row and their column facts, built once per
// fit for a callable metric or callable weights, and the passes of those paths. The donors of
// every imputed cell are chosen by the engine's bounded selection over distances the caller
// gives (a callable metric's), or over nan_euclidean distances formed here; built-in weights
// average them here too, callable weights get the selection back (index, distance, value).
//
// The table is the object's own copy, reported to the interpreter's memory accounting; table()
// shows it as a read-only array that keeps the object alive, so a callable metric reads the very
// rows the engine reads, without a second copy.
#include "module/query/rows.hpp"

#include "module/arrays.hpp"
#include "module/query/donors.hpp"
#include "module/query/snapshot.hpp"
#include "utils/errors.hpp"
#include "utils/lock.hpp"
#include "utils/memory.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/query/given_distances.hpp"
#include "knn/query/query.hpp"

#define MIREL_NUMPY_NO_IMPORT
#include "utils/numpy.hpp"

namespace mirel::py::query {
namespace {

struct FittedRows {
    std::vector<double> table;
    knn::TableView view;
    knn::DonorColumns columns;

    std::size_t bytes() const noexcept {
        return table.size() * sizeof(double) + columns.mean.size() * sizeof(double) +
               columns.count.size() * sizeof(std::size_t);
    }
};

struct RowsObject {
    PyObject_HEAD
    FittedRows* rows;  // null only if building it failed
    bool tracked;
};

RowsObject* as_rows(PyObject* self) noexcept { return reinterpret_cast<RowsObject*>(self); }

const FittedRows& rows_of(PyObject* self) {
    const FittedRows* rows = as_rows(self)->rows;
    if (rows == nullptr) {
        raise(PyExc_ValueError, "Rows object is not initialised");
    }
    return *rows;
}

PyObject* Rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted", nullptr};
        PyObject* fitted_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Rows", const_cast<char**>(keywords), &fitted_obj)) {
            return nullptr;
        }
        const MatrixArg fitted = matrix_arg(fitted_obj, "fitted", NPY_DOUBLE, "float64", Layout::any_alignment);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Ref self = check(alloc(type, 0));
        RowsObject* obj = as_rows(self.get());
        obj->rows = nullptr;
        obj->tracked = false;
        // NOLINTNEXTLINE(bugprone-unhandled-exception-at-new): guard_object raises MemoryError
        obj->rows = new FittedRows{copy_of(fitted), {}, {}};
        obj->rows->view = knn::TableView{obj->rows->table.data(), fitted.rows, fitted.cols};
        obj->rows->columns = knn::donor_columns(obj->rows->view);
        track_buffer(obj->rows, obj->rows->bytes());
        obj->tracked = true;
        return self.release();
    });
}

void Rows_dealloc(PyObject* self) noexcept {
    RowsObject* obj = as_rows(self);
    PyTypeObject* type = Py_TYPE(self);
    if (obj->rows != nullptr) {
        if (obj->tracked) {
            untrack_buffer(obj->rows);
        }
        delete obj->rows;
        obj->rows = nullptr;
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Rows.table(): the rows as a read-only float64 array over the object's own copy.
PyObject* Rows_table(PyObject* self, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const FittedRows& rows = rows_of(self);
        npy_intp dims[2] = {static_cast<npy_intp>(rows.view.rows), static_cast<npy_intp>(rows.view.cols)};
        Ref array = check(PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr,
                                      const_cast<double*>(rows.table.data()), 0, NPY_ARRAY_CARRAY_RO, nullptr));
        Py_INCREF(self);
        // Steals the reference to self even when it fails.
        check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), self));
        return array.release();
    });
}

// Rows.counts(): per column, the number of fitted rows holding a value (int64 array).
PyObject* Rows_counts(PyObject* self, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const FittedRows& rows = rows_of(self);
        npy_intp dims[1] = {static_cast<npy_intp>(rows.view.cols)};
        Ref array = check(PyArray_SimpleNew(1, dims, NPY_INT64));
        auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        for (std::size_t c = 0; c < rows.view.cols; ++c) {
            out[c] = static_cast<std::int64_t>(rows.columns.count[c]);
        }
        return array.release();
    });
}

// The query argument: writeable float64, of the fitted width.
MatrixArg rows_query_arg(PyObject* obj, const FittedRows& rows) {
    const MatrixArg query = matrix_arg(obj, "query", NPY_DOUBLE, "float64", Layout::writeable);
    if (query.cols != rows.view.cols) {
        raise(PyExc_ValueError,
              "query has " + std::to_string(query.cols) + " columns, fitted has " + std::to_string(rows.view.cols));
    }
    return query;
}

// The optional (query rows x fitted rows) distances, read once into `copy`; an empty block
// (null values) for None: nan_euclidean.
knn::DistanceBlock distances_arg(PyObject* obj, const FittedRows& rows, const MatrixArg& query,
                                 std::vector<double>& copy) {
    if (obj == nullptr || obj == Py_None) {
        return {};
    }
    const MatrixArg d = matrix_arg(obj, "distances", NPY_DOUBLE, "float64", Layout::any_alignment);
    if (d.rows != query.rows || d.cols != rows.view.rows) {
        raise(PyExc_ValueError, "distances must have shape (" + std::to_string(query.rows) + ", " +
                                    std::to_string(rows.view.rows) + "), not (" + std::to_string(d.rows) + ", " +
                                    std::to_string(d.cols) + ")");
    }
    check_apart(query, d, "distances");
    copy = copy_of(d);
    return {copy.data(), d.rows, d.cols};
}

// A new (rows x cols) array of `type_num` (8-byte elements), its size checked.
Ref new_matrix(std::size_t rows, std::size_t cols, int type_num) {
    const std::size_t cells = knn::checked_count<double>(knn::checked_mul(rows, cols));
    (void)cells;
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return check(PyArray_SimpleNew(2, dims, type_num));
}

template <class T>
T* data_of(const Ref& array) noexcept {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// Rows.select_given(query, n_neighbors, distances=None) -> (index, distance, value), each of
// shape (imputed cells, min(n_neighbors, fitted rows)), cells in row-major order.
PyObject* Rows_select_given(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "n_neighbors", "distances", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        PyObject* distances_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|O:select_given", const_cast<char**>(keywords), &query_obj,
                                         &n_neighbors, &distances_obj)) {
            return nullptr;
        }
        const FittedRows& rows = rows_of(self);
        const MatrixArg query = rows_query_arg(query_obj, rows);
        const std::size_t k = neighbours_arg(n_neighbors);
        std::vector<double> copy;
        const knn::DistanceBlock distances = distances_arg(distances_obj, rows, query, copy);
        QuerySnapshot snap = snapshot_query(query, rows.columns);
        const std::size_t slots = std::min(k, rows.view.rows);
        Ref index = new_matrix(snap.cells, slots, NPY_INT64);
        Ref distance = new_matrix(snap.cells, slots, NPY_DOUBLE);
        Ref value = new_matrix(snap.cells, slots, NPY_DOUBLE);
        const knn::GivenSelectionOut out{data_of<std::int64_t>(index), data_of<double>(distance),
                                         data_of<double>(value), slots};
        {
            // Everything the pass reads and writes is the call's own: the copies and new arrays.
            LockReleased unlocked;
            knn::given_select(rows.view, rows.columns, snap.data(), snap.rows, k, distances, out);
        }
        write_back(snap, query);
        return check(PyTuple_Pack(3, index.get(), distance.get(), value.get())).release();
    });
}

// Rows.impute_given(query, n_neighbors, weights, distances=None): imputes query in place.
PyObject* Rows_impute_given(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "n_neighbors", "weights", "distances", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        const char* weights_name = nullptr;
        PyObject* distances_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ons|O:impute_given", const_cast<char**>(keywords), &query_obj,
                                         &n_neighbors, &weights_name, &distances_obj)) {
            return nullptr;
        }
        const FittedRows& rows = rows_of(self);
        const MatrixArg query = rows_query_arg(query_obj, rows);
        const std::size_t k = neighbours_arg(n_neighbors);
        const knn::Weights weights = weights_arg(weights_name);
        std::vector<double> copy;
        const knn::DistanceBlock distances = distances_arg(distances_obj, rows, query, copy);
        QuerySnapshot snap = snapshot_query(query, rows.columns);
        {
            LockReleased unlocked;
            knn::given_impute(rows.view, rows.columns, snap.data(), snap.rows, k, weights, distances);
        }
        write_back(snap, query);
        Py_RETURN_NONE;
    });
}

PyObject* Rows_get_shape(PyObject* self, void*) noexcept {
    return guard_object([&]() -> PyObject* {
        const FittedRows& rows = rows_of(self);
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows.view.rows), static_cast<Py_ssize_t>(rows.view.cols));
    });
}

PyMethodDef rows_methods[] = {
    {"select_given", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Rows_select_given)),
     METH_VARARGS | METH_KEYWORDS,
     "select_given($self, /, query, n_neighbors, distances=None)\n--\n\n"
     "(index, distance, value) of the donors of every imputed cell, over the given distances (None: "
     "nan_euclidean); cells without a donor at a distance get the column mean in query."},
    {"impute_given", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Rows_impute_given)),
     METH_VARARGS | METH_KEYWORDS,
     "impute_given($self, /, query, n_neighbors, weights, distances=None)\n--\n\n"
     "Imputes the NaN cells of `query` in place over the given distances (None: nan_euclidean)."},
    {"counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Rows_counts)), METH_NOARGS,
     "counts($self, /)\n--\n\nPer column, the number of fitted rows holding a value."},
    {"table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Rows_table)), METH_NOARGS,
     "table($self, /)\n--\n\nThe fitted rows, a read-only array over the object's own copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rows_getset[] = {
    {"shape", &Rows_get_shape, nullptr, "(fitted rows, columns)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rows_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&Rows_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Rows_dealloc)},
    {Py_tp_methods, rows_methods},
    {Py_tp_getset, rows_getset},
    {Py_tp_doc, const_cast<char*>("Rows(fitted)\n--\n\n"
                                  "The fitted rows row by row (a C-contiguous float64 matrix, NaN = missing), for "
                                  "the passes over given distances.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "mirel._query.Rows", sizeof(RowsObject), 0, Py_TPFLAGS_DEFAULT, rows_slots,
};

}  // namespace

PyType_Spec* rows_spec() noexcept { return &spec; }

}  // namespace mirel::py::query
