// mirel._query.Donors: building and freeing the fitted side, what it tells about itself, and
// the type. The pass methods are in impute.cpp and impute_parallel.cpp.
#include "module/query/donors.hpp"

#include "module/query/snapshot.hpp"
#include "utils/errors.hpp"
#include "utils/memory.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#define MIREL_NUMPY_NO_IMPORT
#include "utils/numpy.hpp"

namespace mirel::py::query {
namespace {

DonorsObject* as_donors(PyObject* self) noexcept { return reinterpret_cast<DonorsObject*>(self); }

// An unpickled table may arrive misaligned (pickle protocol 5 buffers, as Dask's distributed
// sends them): such a C-ordered float64 table is copied first (into `aligned_copy`), not refused.
PyObject* aligned_table(PyObject* obj, Ref& aligned_copy) {
    if (PyArray_Check(obj)) {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
            PyArray_IS_C_CONTIGUOUS(array) && !PyArray_ISALIGNED(array)) {
            aligned_copy = check(PyArray_NewCopy(array, NPY_CORDER));
            return aligned_copy.get();
        }
    }
    return obj;
}

PyObject* Donors_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted", nullptr};
        PyObject* fitted_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Donors", const_cast<char**>(keywords), &fitted_obj)) {
            return nullptr;
        }
        Ref aligned_copy;
        fitted_obj = aligned_table(fitted_obj, aligned_copy);
        const MatrixArg fitted = matrix_arg(fitted_obj, "fitted", NPY_DOUBLE, "float64", Layout::aligned);
        // The column facts and the panel each read the table: from one copy of it.
        const std::vector<double> table = copy_of(fitted);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Ref self = check(alloc(type, 0));
        DonorsObject* obj = as_donors(self.get());
        obj->donors = nullptr;
        obj->tracked = false;
        const knn::TableView view{table.data(), fitted.rows, fitted.cols};
        const bool portable = knn::best_kernel() == knn::KernelKind::portable;
        // std::bad_alloc here reaches guard_object's catch, which raises MemoryError; clang-tidy
        // does not look through the template.
        // NOLINTNEXTLINE(bugprone-unhandled-exception-at-new)
        obj->donors = new knn::QueryDonors(view, portable, knn::DonorLayout::automatic);
        // What tells tracemalloc, and PyPy's collector, that the object is large.
        track_buffer(obj->donors, obj->donors->bytes());
        obj->tracked = true;
        return self.release();
    });
}

void Donors_dealloc(PyObject* self) noexcept {
    DonorsObject* obj = as_donors(self);
    PyTypeObject* type = Py_TYPE(self);
    if (obj->donors != nullptr) {
        if (obj->tracked) {
            untrack_buffer(obj->donors);
        }
        delete obj->donors;
        obj->donors = nullptr;
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Donors.fitted(): a new array holding the fitted table.
PyObject* Donors_fitted(PyObject* self, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const knn::QueryDonors& donors = donors_of(self);
        npy_intp dims[2] = {static_cast<npy_intp>(donors.rows()), static_cast<npy_intp>(donors.cols())};
        Ref array = check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        const std::vector<double> table = donors.table();
        if (!table.empty()) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), table.data(),
                        table.size() * sizeof(double));
        }
        return array.release();
    });
}

// Donors.counts(): per column, the number of fitted rows holding a value (int64 array).
PyObject* Donors_counts(PyObject* self, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const knn::QueryDonors& donors = donors_of(self);
        npy_intp dims[1] = {static_cast<npy_intp>(donors.cols())};
        Ref array = check(PyArray_SimpleNew(1, dims, NPY_INT64));
        auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        for (std::size_t c = 0; c < donors.cols(); ++c) {
            out[c] = static_cast<std::int64_t>(donors.columns().count[c]);
        }
        return array.release();
    });
}

// Pickling: Donors(fitted()).
PyObject* Donors_reduce(PyObject* self, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        Ref fitted = check(Donors_fitted(self, nullptr));
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), fitted.get());
    });
}

PyObject* Donors_get_shape(PyObject* self, void*) noexcept {
    return guard_object([&]() -> PyObject* {
        const knn::QueryDonors& donors = donors_of(self);
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(donors.rows()), static_cast<Py_ssize_t>(donors.cols()));
    });
}

PyMethodDef donors_methods[] = {
    {"impute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Donors_impute)),
     METH_VARARGS | METH_KEYWORDS,
     "impute($self, /, query, n_neighbors, weights, distances=None, kernel=None)\n--\n\n"
     "Imputes the NaN cells of `query` in place."},
    {"impute_parallel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Donors_impute_parallel)),
     METH_VARARGS | METH_KEYWORDS,
     "impute_parallel(query, n_neighbors, weights, n_threads, progress=None, chunk_rows=0, kernel=None)\n--\n\n"
     "impute's built-in pass with the interpreter lock released and the rows split over n_threads threads."},
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Donors_select)),
     METH_VARARGS | METH_KEYWORDS,
     "select($self, /, query, n_neighbors, index, distance, distances=None)\n--\n\n"
     "Records the donors of every imputed cell (cells without donors get the column mean)."},
    {"fitted", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Donors_fitted)), METH_NOARGS,
     "fitted($self, /)\n--\n\nA new array holding the fitted table."},
    {"counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Donors_counts)), METH_NOARGS,
     "counts($self, /)\n--\n\nPer column, the number of fitted rows holding a value."},
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Donors_reduce)), METH_NOARGS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef donors_getset[] = {
    {"shape", &Donors_get_shape, nullptr, "(fitted rows, columns)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot donors_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&Donors_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Donors_dealloc)},
    {Py_tp_methods, donors_methods},
    {Py_tp_getset, donors_getset},
    {Py_tp_doc, const_cast<char*>("Donors(fitted)\n--\n\n"
                                  "The fitted rows of a query pass (a C-contiguous float64 matrix, NaN = missing).")},
    {0, nullptr},
};

PyType_Spec spec = {
    "mirel._query.Donors", sizeof(DonorsObject), 0, Py_TPFLAGS_DEFAULT, donors_slots,
};

}  // namespace

PyType_Spec* donors_spec() noexcept { return &spec; }

}  // namespace mirel::py::query
