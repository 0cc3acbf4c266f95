// mirel._query: the query pass for mirel.sklearn. Private: the Python layer validates the
// user's input (scikit-learn's conventions) and hands over only C-contiguous float64 matrices
// with NaN marking the missing cells; everything else is refused here with a clear error.
//
// The pass writes into the query matrix in place and allocates nothing that outlives the call:
// the arrays belong to the caller (NumPy's memory accounting sees them), the engine's working
// memory is freed before return.
#include "module/errors.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL MIREL_QUERY_ARRAY_API
#include <numpy/arrayobject.h>

#include "knn/query.hpp"
#include "knn/query_fast.hpp"
#include "knn/query_parallel.hpp"

#include <chrono>
#include <system_error>

namespace mirel::py {
namespace {

// A matrix argument after its checks: shape and data pointer.
struct MatrixArg {
    PyArrayObject* array = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    char* data = nullptr;
    std::size_t bytes = 0;
};

// `obj` must be a 2-D C-contiguous aligned native-order array of `type_num`, writeable when the
// pass writes into it.
MatrixArg matrix_arg(PyObject* obj, const char* name, int type_num, const char* type_name, bool writeable) {
    if (!PyArray_Check(obj)) {
        raise(PyExc_TypeError, std::string(name) + " must be a numpy.ndarray, not '" +
                                   type_qualname(Py_TYPE(obj)) + "'");
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) {
        raise(PyExc_ValueError, std::string(name) + " must have 2 dimensions, not " +
                                    std::to_string(PyArray_NDIM(array)));
    }
    if (PyArray_TYPE(array) != type_num || !PyArray_ISNOTSWAPPED(array)) {
        raise(PyExc_TypeError, std::string(name) + " must hold native " + type_name + " values");
    }
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) {
        raise(PyExc_ValueError, std::string(name) + " must be C-contiguous and aligned");
    }
    if (writeable && !PyArray_ISWRITEABLE(array)) {
        raise(PyExc_ValueError, std::string(name) + " must be writeable");
    }
    MatrixArg m;
    m.array = array;
    m.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    m.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    m.data = static_cast<char*>(PyArray_DATA(array));
    m.bytes = static_cast<std::size_t>(PyArray_NBYTES(array));
    return m;
}

bool overlap(const MatrixArg& a, const MatrixArg& b) noexcept {
    if (a.bytes == 0 || b.bytes == 0) {
        return false;
    }
    const auto a0 = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b0 = reinterpret_cast<std::uintptr_t>(b.data);
    return a0 < b0 + b.bytes && b0 < a0 + a.bytes;
}

// The pass writes into `query` while it reads the others: no shared memory.
void check_apart(const MatrixArg& query, const MatrixArg& other, const char* other_name) {
    if (overlap(query, other)) {
        raise(PyExc_ValueError, std::string("query must not share memory with ") + other_name);
    }
}

// Optional (query rows x fitted rows) distance matrix.
knn::GivenDistances given_distances(PyObject* obj, const MatrixArg& fitted, const MatrixArg& query) {
    if (obj == nullptr || obj == Py_None) {
        return {};
    }
    const MatrixArg d = matrix_arg(obj, "distances", NPY_DOUBLE, "float64", false);
    if (d.rows != query.rows || d.cols != fitted.rows) {
        raise(PyExc_ValueError, "distances must have shape (" + std::to_string(query.rows) + ", " +
                                    std::to_string(fitted.rows) + "), not (" + std::to_string(d.rows) + ", " +
                                    std::to_string(d.cols) + ")");
    }
    check_apart(query, d, "distances");
    return {reinterpret_cast<const double*>(d.data)};
}

knn::QueryKernel kernel_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) {
        return knn::best_query_kernel();
    }
    if (!PyUnicode_Check(obj)) {
        raise(PyExc_TypeError, "kernel must be a str or None, not '" + type_qualname(Py_TYPE(obj)) + "'");
    }
    const char* utf8 = PyUnicode_AsUTF8(obj);
    if (utf8 == nullptr) {
        throw ErrorAlreadySet{};
    }
    for (const knn::QueryKernel kernel : knn::available_query_kernels()) {
        if (knn::query_kernel_name(kernel) == std::string_view(utf8)) {
            return kernel;
        }
    }
    raise(PyExc_ValueError, std::string("kernel '") + utf8 + "' is not available here");
}

struct Tables {
    MatrixArg fitted;
    MatrixArg query;
};

Tables tables_arg(PyObject* fitted_obj, PyObject* query_obj) {
    Tables t;
    t.fitted = matrix_arg(fitted_obj, "fitted", NPY_DOUBLE, "float64", false);
    t.query = matrix_arg(query_obj, "query", NPY_DOUBLE, "float64", true);
    if (t.query.cols != t.fitted.cols) {
        raise(PyExc_ValueError, "query has " + std::to_string(t.query.cols) + " columns, fitted has " +
                                    std::to_string(t.fitted.cols));
    }
    check_apart(t.query, t.fitted, "fitted");
    return t;
}

std::size_t neighbours_arg(Py_ssize_t n_neighbors) {
    if (n_neighbors < 1) {
        raise(PyExc_ValueError, "n_neighbors must be at least 1, not " + std::to_string(n_neighbors));
    }
    return static_cast<std::size_t>(n_neighbors);
}

knn::TableView view(const MatrixArg& m) noexcept {
    return {reinterpret_cast<const double*>(m.data), m.rows, m.cols};
}

// impute(fitted, query, n_neighbors, weights, distances=None, kernel=None)
PyObject* query_impute(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted", "query", "n_neighbors", "weights", "distances", "kernel", nullptr};
        PyObject* fitted_obj = nullptr;
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        const char* weights_name = nullptr;
        PyObject* distances_obj = nullptr;
        PyObject* kernel_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOns|OO:impute", const_cast<char**>(keywords), &fitted_obj,
                                         &query_obj, &n_neighbors, &weights_name, &distances_obj, &kernel_obj)) {
            return nullptr;
        }
        const Tables t = tables_arg(fitted_obj, query_obj);
        const std::size_t k = neighbours_arg(n_neighbors);
        knn::QueryWeights weights;
        if (std::string_view(weights_name) == "uniform") {
            weights = knn::QueryWeights::uniform;
        } else if (std::string_view(weights_name) == "distance") {
            weights = knn::QueryWeights::distance;
        } else {
            raise(PyExc_ValueError, std::string("weights must be 'uniform' or 'distance', not '") + weights_name + "'");
        }
        const knn::GivenDistances given = given_distances(distances_obj, t.fitted, t.query);
        const knn::QueryKernel kernel = kernel_arg(kernel_obj);
        const knn::TableView fitted = view(t.fitted);
        const knn::DonorColumns columns = knn::donor_columns(fitted);
        auto* query = reinterpret_cast<double*>(t.query.data);
        if (kernel == knn::QueryKernel::reference || given.values != nullptr) {
            knn::query_reference(fitted, columns, query, t.query.rows, 0, t.query.rows, k, weights, given);
        } else {
            knn::query_fast(fitted, columns, query, t.query.rows, 0, t.query.rows, k, weights, kernel);
        }
        Py_RETURN_NONE;
    });
}

// The interpreter lock, released for the life of the object; `held` runs code with it taken
// back (Python calls from the waiting thread). Unwinding restores it, so the call guard always
// translates a failure with the lock held.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

    template <class F>
    auto held(F&& body) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return body();
    }

private:
    PyThreadState* state_;
};

// impute_parallel(fitted, query, n_neighbors, weights, n_threads, progress=None, chunk_rows=0,
//                 kernel=None)
//
// impute's built-in pass (not the reference, no given distances) with the interpreter lock
// released and the query rows dealt out to n_threads native threads; bit-identical to impute.
// Both arrays are held for the whole call. While the pool works, the calling thread takes the
// lock back about every 0.1 s to check for signals (Ctrl-C stops the pass) and to call
// progress(done_rows, total_rows) when given; an exception from either stops the pass (rows not
// begun stay as they were) and is raised.
PyObject* query_impute_parallel(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted", "query",      "n_neighbors", "weights", "n_threads",
                                         "progress", "chunk_rows", "kernel",     nullptr};
        PyObject* fitted_obj = nullptr;
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        const char* weights_name = nullptr;
        Py_ssize_t n_threads = 0;
        PyObject* progress_obj = nullptr;
        Py_ssize_t chunk_rows = 0;
        PyObject* kernel_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnsn|OnO:impute_parallel", const_cast<char**>(keywords),
                                         &fitted_obj, &query_obj, &n_neighbors, &weights_name, &n_threads,
                                         &progress_obj, &chunk_rows, &kernel_obj)) {
            return nullptr;
        }
        const Tables t = tables_arg(fitted_obj, query_obj);
        const std::size_t k = neighbours_arg(n_neighbors);
        knn::QueryWeights weights;
        if (std::string_view(weights_name) == "uniform") {
            weights = knn::QueryWeights::uniform;
        } else if (std::string_view(weights_name) == "distance") {
            weights = knn::QueryWeights::distance;
        } else {
            raise(PyExc_ValueError, std::string("weights must be 'uniform' or 'distance', not '") + weights_name + "'");
        }
        if (n_threads < 1) {
            raise(PyExc_ValueError, "n_threads must be at least 1, not " + std::to_string(n_threads));
        }
        if (chunk_rows < 0) {
            raise(PyExc_ValueError, "chunk_rows must be at least 0, not " + std::to_string(chunk_rows));
        }
        if (progress_obj == Py_None) {
            progress_obj = nullptr;
        }
        if (progress_obj != nullptr && !PyCallable_Check(progress_obj)) {
            raise(PyExc_TypeError,
                  "progress must be callable or None, not '" + type_qualname(Py_TYPE(progress_obj)) + "'");
        }
        knn::QueryKernel kernel = kernel_arg(kernel_obj);
        if (kernel == knn::QueryKernel::reference) {
            raise(PyExc_ValueError, "impute_parallel runs a fast pass, not 'reference'");
        }
        // The arrays (and the callback) stay alive, whatever other threads do, until the end.
        const Ref fitted_hold = Ref::borrow(fitted_obj);
        const Ref query_hold = Ref::borrow(query_obj);
        const Ref progress_hold = Ref::borrow(progress_obj);
        const knn::TableView fitted = view(t.fitted);
        auto* query = reinterpret_cast<double*>(t.query.data);
        knn::ParallelOptions options;
        options.threads = static_cast<std::size_t>(n_threads);
        options.chunk_rows = static_cast<std::size_t>(chunk_rows);
        bool failed = false;
        try {
            LockReleased unlocked;
            options.poll = [&](std::size_t done, std::size_t total) {
                return unlocked.held([&]() -> bool {
                    if (failed || PyErr_CheckSignals() < 0) {
                        failed = true;
                        return false;
                    }
                    if (progress_obj != nullptr) {
                        PyObject* result = PyObject_CallFunction(progress_obj, "nn", static_cast<Py_ssize_t>(done),
                                                                 static_cast<Py_ssize_t>(total));
                        if (result == nullptr) {
                            failed = true;
                            return false;
                        }
                        Py_DECREF(result);
                    }
                    return true;
                });
            };
            const knn::DonorColumns columns = knn::donor_columns(fitted);
            knn::query_parallel(fitted, columns, query, t.query.rows, 0, t.query.rows, k, weights, kernel, options);
        } catch (const std::system_error& e) {
            raise(PyExc_RuntimeError, std::string("cannot start the threads of the pass: ") + e.what());
        }
        if (failed) {
            throw ErrorAlreadySet{};
        }
        Py_RETURN_NONE;
    });
}

// select(fitted, query, n_neighbors, index, distance, distances=None)
PyObject* query_select(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted", "query", "n_neighbors", "index", "distance", "distances", nullptr};
        PyObject* fitted_obj = nullptr;
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        PyObject* index_obj = nullptr;
        PyObject* distance_obj = nullptr;
        PyObject* distances_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnOO|O:select", const_cast<char**>(keywords), &fitted_obj,
                                         &query_obj, &n_neighbors, &index_obj, &distance_obj, &distances_obj)) {
            return nullptr;
        }
        const Tables t = tables_arg(fitted_obj, query_obj);
        const std::size_t k = neighbours_arg(n_neighbors);
        const MatrixArg index = matrix_arg(index_obj, "index", NPY_INT64, "int64", true);
        const MatrixArg distance = matrix_arg(distance_obj, "distance", NPY_DOUBLE, "float64", true);
        const knn::GivenDistances given = given_distances(distances_obj, t.fitted, t.query);
        const knn::TableView fitted = view(t.fitted);
        const knn::DonorColumns columns = knn::donor_columns(fitted);
        const std::size_t cells = knn::count_imputed_cells(columns, view(t.query), 0, t.query.rows);
        if (index.rows != cells || index.cols != k || distance.rows != cells || distance.cols != k) {
            raise(PyExc_ValueError, "index and distance must have shape (" + std::to_string(cells) + ", " +
                                        std::to_string(k) + ")");
        }
        check_apart(t.query, index, "index");
        check_apart(t.query, distance, "distance");
        if (overlap(index, distance) || overlap(index, t.fitted) || overlap(distance, t.fitted)) {
            raise(PyExc_ValueError, "index and distance must not share memory with each other or the tables");
        }
        const knn::SelectionOut out{reinterpret_cast<std::int64_t*>(index.data),
                                    reinterpret_cast<double*>(distance.data), k};
        knn::query_select_reference(fitted, columns, reinterpret_cast<double*>(t.query.data), t.query.rows, 0,
                                    t.query.rows, k, out, given);
        Py_RETURN_NONE;
    });
}

// kernels(): names of the passes this build and processor can run, the default first.
PyObject* query_kernels(PyObject*, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const auto kernels = knn::available_query_kernels();
        const knn::QueryKernel best = knn::best_query_kernel();
        Ref names = check(PyList_New(0));
        const std::string_view first = knn::query_kernel_name(best);
        Ref head = check(PyUnicode_FromStringAndSize(first.data(), static_cast<Py_ssize_t>(first.size())));
        check_status(PyList_Append(names.get(), head.get()));
        for (const knn::QueryKernel kernel : kernels) {
            if (kernel == best) {
                continue;
            }
            const std::string_view name = knn::query_kernel_name(kernel);
            Ref item = check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            check_status(PyList_Append(names.get(), item.get()));
        }
        return PyList_AsTuple(names.get());
    });
}

PyMethodDef query_methods[] = {
    {"impute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&query_impute)),
     METH_VARARGS | METH_KEYWORDS,
     "impute(fitted, query, n_neighbors, weights, distances=None, kernel=None)\n--\n\n"
     "Imputes the NaN cells of `query` in place from the rows of `fitted`."},
    {"impute_parallel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&query_impute_parallel)),
     METH_VARARGS | METH_KEYWORDS,
     "impute_parallel(fitted, query, n_neighbors, weights, n_threads, progress=None, chunk_rows=0, kernel=None)\n--\n\n"
     "impute's built-in pass with the interpreter lock released and the rows split over n_threads threads."},
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&query_select)),
     METH_VARARGS | METH_KEYWORDS,
     "select(fitted, query, n_neighbors, index, distance, distances=None)\n--\n\n"
     "Records the donors of every imputed cell of `query` (cells without donors get the column mean)."},
    {"kernels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&query_kernels)), METH_NOARGS,
     "kernels()\n--\n\nNames of the query passes available here, the default first."},
    {nullptr, nullptr, 0, nullptr},
};

int query_exec(PyObject*) noexcept {
    if (_import_array() < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot query_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&query_exec)},
    {0, nullptr},
};

PyModuleDef query_module = {
    PyModuleDef_HEAD_INIT,
    "mirel._query",
    "The query pass behind mirel.sklearn (private).",
    0,
    query_methods,
    query_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace mirel::py

PyMODINIT_FUNC PyInit__query(void) { return PyModuleDef_Init(&mirel::py::query_module); }
