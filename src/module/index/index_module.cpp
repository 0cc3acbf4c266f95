// mirel._index_engine: the candidate index behind mirel.sklearn's algorithm="ivf". Private: the Python
// layer (mirel/_index.py) validates the user's input, trains the index at fit, measures its
// recall and picks the probe; this module checks its own arguments and refuses anything else
// with a clear error.
//
// Index(fitted, lists, seed, centroids=None, lists_of_rows=None, kernel=None, n_threads=1) trains
// the index over a C-contiguous float64 table (NaN = missing), its rows assigned to lists on
// n_threads threads, or rebuilds one from the parts of a trained one (pickles). Its methods read
// their matrices once into memory of their own and run the engine with the interpreter lock
// released; impute writes back only the cells it imputed. This file holds the type; its search
// methods are in index_search.cpp.
#include "module/arrays.hpp"
#include "module/extension.hpp"
#include "module/index/index_object.hpp"
#include "module/names.hpp"
#include "module/released_pass.hpp"
#include "utils/errors.hpp"
#include "utils/lock.hpp"
#include "utils/memory.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/numpy.hpp"

#include "knn/core/checked.hpp"
#include "knn/index/ivf_index.hpp"

namespace mirel::py::index_engine {

const knn::IvfIndex& index_of(PyObject* self) {
    const auto* obj = reinterpret_cast<const IndexObject*>(self);
    if (obj->index == nullptr) {
        raise(PyExc_ValueError, "the index was never built");
    }
    return *obj->index;
}

// A 2-D C-contiguous float64 array, read once into memory of our own (any alignment: its bytes
// are only copied).
std::vector<double> table_copy(PyObject* obj, const char* name, MatrixArg& shape) {
    shape = matrix_arg(obj, name, NPY_DOUBLE, "float64", Layout::any_alignment);
    std::vector<double> out(shape.rows * shape.cols);
    if (!out.empty()) {
        std::memcpy(out.data(), shape.data, out.size() * sizeof(double));
    }
    return out;
}

std::size_t count_arg(Py_ssize_t value, const char* name, Py_ssize_t least) {
    if (value < least) {
        raise(PyExc_ValueError,
              std::string(name) + " must be at least " + std::to_string(least) + ", not " + std::to_string(value));
    }
    return static_cast<std::size_t>(value);
}

Ref uint64_array(const std::vector<std::uint64_t>& v) {
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    Ref a = check(PyArray_SimpleNew(1, dims, NPY_UINT64));
    if (!v.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), v.data(), v.size() * sizeof(v[0]));
    }
    return a;
}

namespace {

IndexObject* as_index(PyObject* self) noexcept { return reinterpret_cast<IndexObject*>(self); }

// The fast pass named by `obj` (None: the best one here).
knn::KernelKind kernel_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) {
        return knn::best_kernel();
    }
    const char* name = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, "kernel must be a str or None");
    }
    for (const knn::KernelKind kernel : knn::available_kernels()) {
        if (knn::kernel_name(kernel) == std::string_view(name)) {
            return kernel;
        }
    }
    raise(PyExc_ValueError, std::string("kernel '") + name + "' is not available here");
}

PyObject* Index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted",        "lists",  "seed",      "centroids",
                                         "lists_of_rows", "kernel", "n_threads", nullptr};
        PyObject* fitted_obj = nullptr;
        Py_ssize_t lists = 0;
        unsigned long long seed = 0;
        PyObject* centroids_obj = Py_None;
        PyObject* rows_obj = Py_None;
        PyObject* kernel_obj = Py_None;
        Py_ssize_t n_threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnK|OOOn:Index", const_cast<char**>(keywords), &fitted_obj,
                                         &lists, &seed, &centroids_obj, &rows_obj, &kernel_obj, &n_threads)) {
            return nullptr;
        }
        MatrixArg shape;
        const std::vector<double> fitted = table_copy(fitted_obj, "fitted", shape);
        const std::size_t n_lists = count_arg(lists, "lists", 1);
        const std::size_t threads = count_arg(n_threads, "n_threads", 1);
        const knn::KernelKind kernel = kernel_arg(kernel_obj);
        const knn::TableView view{fitted.data(), shape.rows, shape.cols};
        std::vector<double> centroids;
        std::vector<std::uint32_t> list_of_row;
        const bool given = centroids_obj != Py_None || rows_obj != Py_None;
        if (given) {
            MatrixArg cshape;
            centroids = table_copy(centroids_obj, "centroids", cshape);
            if (cshape.cols != shape.cols || cshape.rows != n_lists) {
                raise(PyExc_ValueError, "centroids must have shape (lists, fitted columns)");
            }
            Ref rows_array = check(PyArray_FROMANY(rows_obj, NPY_UINT32, 1, 1, NPY_ARRAY_CARRAY_RO));
            auto* a = reinterpret_cast<PyArrayObject*>(rows_array.get());
            if (static_cast<std::size_t>(PyArray_DIM(a, 0)) != shape.rows) {
                raise(PyExc_ValueError, "lists_of_rows must have one entry per fitted row");
            }
            const auto* p = static_cast<const std::uint32_t*>(PyArray_DATA(a));
            list_of_row.assign(p, p + shape.rows);
        }
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Ref self = check(alloc(type, 0));
        IndexObject* obj = as_index(self.get());
        obj->index = nullptr;
        obj->tracked = false;
        std::optional<knn::IvfIndex> built;
        {
            const LockReleased unlocked;
            built.emplace(given ? knn::IvfIndex::from_parts(view, centroids, list_of_row, kernel)
                                : knn::IvfIndex::train(view, n_lists, seed, kernel, threads));
        }
        // NOLINTNEXTLINE(bugprone-unhandled-exception-at-new)
        obj->index = new knn::IvfIndex(std::move(*built));
        track_buffer(obj->index, obj->index->bytes());
        obj->tracked = true;
        return self.release();
    });
}

void Index_dealloc(PyObject* self) noexcept {
    IndexObject* obj = as_index(self);
    PyTypeObject* type = Py_TYPE(self);
    if (obj->index != nullptr) {
        if (obj->tracked) {
            untrack_buffer(obj->index);
        }
        delete obj->index;
        obj->index = nullptr;
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Index.parts() -> (centroids, lists_of_rows): what rebuilds the index over the same table.
PyObject* Index_parts(PyObject* self, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const knn::IvfIndex& index = index_of(self);
        npy_intp cdims[2] = {static_cast<npy_intp>(index.lists()), static_cast<npy_intp>(index.cols())};
        Ref centroids = check(PyArray_SimpleNew(2, cdims, NPY_DOUBLE));
        if (!index.centroids().empty()) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(centroids.get())), index.centroids().data(),
                        index.centroids().size() * sizeof(double));
        }
        npy_intp rdims[1] = {static_cast<npy_intp>(index.rows())};
        Ref rows = check(PyArray_SimpleNew(1, rdims, NPY_UINT32));
        if (index.rows() != 0) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())), index.list_of_row().data(),
                        index.rows() * sizeof(std::uint32_t));
        }
        return Py_BuildValue("(OO)", centroids.get(), rows.get());
    });
}

PyObject* Index_get_lists(PyObject* self, void*) noexcept {
    return guard_object([&]() -> PyObject* { return PyLong_FromSize_t(index_of(self).lists()); });
}

PyObject* Index_get_list_sizes(PyObject* self, void*) noexcept {
    return guard_object([&]() -> PyObject* {
        const knn::IvfIndex& index = index_of(self);
        std::vector<std::uint64_t> sizes(index.lists());
        for (std::size_t l = 0; l < index.lists(); ++l) {
            sizes[l] = index.list_size(l);
        }
        return uint64_array(sizes).release();
    });
}

PyObject* Index_get_nbytes(PyObject* self, void*) noexcept {
    return guard_object([&]() -> PyObject* { return PyLong_FromSize_t(index_of(self).bytes()); });
}

PyMethodDef index_methods[] = {
    {"impute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Index_impute)),
     METH_VARARGS | METH_KEYWORDS,
     "impute($self, /, query, first, last, n_neighbors, weights, probe)\n--\n\n"
     "Imputes rows [first, last) of `query` in place from the probed lists; (cells, fallback cells, rows measured)."},
    {"impute_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Index_impute_all)),
     METH_VARARGS | METH_KEYWORDS,
     "impute_all($self, /, query, n_neighbors, weights, probe, n_threads, progress=None, chunk_rows=0)\n--\n\n"
     "Imputes every row of `query` in place on n_threads threads; (cells, fallback cells, rows measured)."},
    {"nearest_lists", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Index_nearest_lists)),
     METH_VARARGS | METH_KEYWORDS, "nearest_lists($self, /, query)\n--\n\nThe nearest list of every row of `query`."},
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Index_select)),
     METH_VARARGS | METH_KEYWORDS,
     "select($self, /, query, n_neighbors, probe)\n--\n\nThe donors the index selects for every imputed cell."},
    {"recall", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Index_recall)),
     METH_VARARGS | METH_KEYWORDS,
     "recall($self, /, sample, n_neighbors, n_threads=1)\n--\n\n"
     "(donors, cells, rows, found, fallback, measured): the exact donors found for every probe count."},
    {"parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Index_parts)), METH_NOARGS,
     "parts($self, /)\n--\n\n(centroids, lists_of_rows): what rebuilds the index over the same table."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"lists", &Index_get_lists, nullptr, "number of lists", nullptr},
    {"list_sizes", &Index_get_list_sizes, nullptr, "rows of each list", nullptr},
    {"nbytes", &Index_get_nbytes, nullptr, "bytes the index holds", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&Index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Index(fitted, lists, seed, centroids=None, lists_of_rows=None, kernel=None, n_threads=1)\n--\n\n"
                    "A candidate index over the fitted rows (k-means lists).")},
    {0, nullptr},
};

PyType_Spec index_spec = {"mirel._index_engine.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, index_slots};

int index_exec(PyObject* module) noexcept {
    return guard_status([&]() -> int {
        if (_import_array() < 0) {
            throw ErrorAlreadySet{};
        }
        Ref type = Ref::steal(reinterpret_cast<PyObject*>(create_type(&index_spec)));
        check_status(PyObject_SetAttrString(module, "Index", type.get()));
        return 0;
    });
}

PyModuleDef_Slot index_slots_module[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&index_exec)},
    {0, nullptr},
};

PyModuleDef index_module = module_def("mirel._index_engine", "The candidate index behind mirel.sklearn (private).",
                                      nullptr, index_slots_module);

}  // namespace
}  // namespace mirel::py::index_engine

// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__index_engine(void) { return PyModuleDef_Init(&mirel::py::index_engine::index_module); }
