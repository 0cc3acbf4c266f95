// mirel._query: the query pass for mirel.sklearn. Private: the Python layer validates the
// user's input (scikit-learn's conventions) and hands over only C-contiguous float64 matrices
// with NaN marking the missing cells; everything else is refused here with a clear error.
//
// Donors(fitted) holds the fitted side (the engine's QueryDonors: the column-blocked panel is the
// only copy of the fitted values), reported to the interpreter's memory accounting while it
// lives. Its methods write into the caller's query matrix in place; the engine's working memory
// is freed before they return.
//
// Another thread may write a caller's array at any time, without the interpreter lock
// (np.copyto(..., where=...) does). So every array argument the pass reads is copied once, at
// the start, into memory the call owns, and everything is counted and computed from that copy;
// the results go back into the caller's query matrix at the end, only into the cells the copy
// said to impute, within the shape that was checked.
#include "module/arrays.hpp"
#include "module/errors.hpp"
#include "module/lock.hpp"
#include "module/memory.hpp"
#include "module/names.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "module/numpy.hpp"

#include "knn/core/checked.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_fast.hpp"
#include "knn/query/query_parallel.hpp"

#include <system_error>

namespace mirel::py {
namespace {

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

std::size_t neighbours_arg(Py_ssize_t n_neighbors) {
    if (n_neighbors < 1) {
        raise(PyExc_ValueError, "n_neighbors must be at least 1, not " + std::to_string(n_neighbors));
    }
    return static_cast<std::size_t>(n_neighbors);
}

// rows x cols cells, or MemoryError when that count cannot even be expressed.
std::size_t cell_count(std::size_t rows, std::size_t cols) {
    return knn::checked_count<double>(knn::checked_mul(rows, cols));
}

// A float64 matrix argument read once, into memory of the call's own.
std::vector<double> copy_of(const MatrixArg& m) {
    const std::size_t cells = cell_count(m.rows, m.cols);
    if (cells * sizeof(double) != m.bytes) {
        raise(PyExc_ValueError, "the array's size does not match its shape");
    }
    std::vector<double> values(cells);
    if (cells != 0) {
        std::memcpy(values.data(), m.data, cells * sizeof(double));
    }
    return values;
}

// The query matrix as the call saw it: its cells, and which of them the pass imputes (missing
// cells of columns that hold a fitted value), one bit each.
struct QuerySnapshot {
    std::vector<double> values;
    std::vector<std::uint64_t> imputed;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t cells = 0;  // imputed cells

    double* data() noexcept { return values.data(); }
};

QuerySnapshot snapshot_query(const MatrixArg& query, const knn::DonorColumns& columns) {
    QuerySnapshot snap;
    snap.values = copy_of(query);
    snap.rows = query.rows;
    snap.cols = query.cols;
    snap.imputed.assign(snap.values.size() / 64 + 1, 0);
    for (std::size_t r = 0, i = 0; r < snap.rows; ++r) {
        for (std::size_t c = 0; c < snap.cols; ++c, ++i) {
            if (std::isnan(snap.values[i]) && columns.count[c] != 0) {
                snap.imputed[i / 64] |= std::uint64_t{1} << (i % 64);
                ++snap.cells;
            }
        }
    }
    return snap;
}

// The imputed cells back into the caller's query matrix (of the shape the snapshot was taken
// with: the array object cannot change shape while the call holds it).
void write_back(const QuerySnapshot& snap, const MatrixArg& query) noexcept {
    auto* out = reinterpret_cast<double*>(query.data);
    const std::size_t n = snap.values.size();
    for (std::size_t w = 0; w < snap.imputed.size(); ++w) {
        for (std::uint64_t bits = snap.imputed[w]; bits != 0; bits &= bits - 1) {
            const std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
            if (i < n) {
                out[i] = snap.values[i];
            }
        }
    }
}

// --- Donors: the fitted side, built once by fit and read by every transform ---------------

// Instance layout: the object header and the engine's fitted side, which the object owns.
struct DonorsObject {
    PyObject_HEAD
    knn::QueryDonors* donors;  // null only if building it failed
    bool tracked;              // reported to the interpreter's memory accounting
};

DonorsObject* as_donors(PyObject* self) noexcept { return reinterpret_cast<DonorsObject*>(self); }

const knn::QueryDonors& donors_of(PyObject* self) {
    const knn::QueryDonors* donors = as_donors(self)->donors;
    if (donors == nullptr) {
        raise(PyExc_ValueError, "Donors object is not initialised");
    }
    return *donors;
}

PyObject* Donors_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted", nullptr};
        PyObject* fitted_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Donors", const_cast<char**>(keywords), &fitted_obj)) {
            return nullptr;
        }
        // An unpickled table may arrive misaligned (pickle protocol 5 buffers, as Dask's
        // distributed sends them): such a C-ordered float64 table is copied first, not refused.
        Ref aligned_copy;
        if (PyArray_Check(fitted_obj)) {
            auto* array = reinterpret_cast<PyArrayObject*>(fitted_obj);
            if (PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
                PyArray_IS_C_CONTIGUOUS(array) && !PyArray_ISALIGNED(array)) {
                aligned_copy = check(PyArray_NewCopy(array, NPY_CORDER));
                fitted_obj = aligned_copy.get();
            }
        }
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

// The query argument of a method: writeable, of the fitted width.
MatrixArg query_arg(PyObject* obj, const knn::QueryDonors& donors) {
    const MatrixArg query = matrix_arg(obj, "query", NPY_DOUBLE, "float64", Layout::writeable);
    if (query.cols != donors.cols()) {
        raise(PyExc_ValueError,
              "query has " + std::to_string(query.cols) + " columns, fitted has " + std::to_string(donors.cols()));
    }
    return query;
}

// Optional (query rows x fitted rows) distance matrix, copied into `copy`.
knn::GivenDistances given_distances(PyObject* obj, const knn::QueryDonors& donors, const MatrixArg& query,
                                    std::vector<double>& copy) {
    if (obj == nullptr || obj == Py_None) {
        return {};
    }
    const MatrixArg d = matrix_arg(obj, "distances", NPY_DOUBLE, "float64", Layout::aligned);
    if (d.rows != query.rows || d.cols != donors.rows()) {
        raise(PyExc_ValueError, "distances must have shape (" + std::to_string(query.rows) + ", " +
                                    std::to_string(donors.rows()) + "), not (" + std::to_string(d.rows) + ", " +
                                    std::to_string(d.cols) + ")");
    }
    check_apart(query, d, "distances");
    copy = copy_of(d);
    return {copy.data()};
}

// The weights name of a built-in pass, as the query pass takes it.
knn::QueryWeights query_weights_arg(const char* name) {
    return weights_arg(name) == knn::Weights::uniform ? knn::QueryWeights::uniform : knn::QueryWeights::distance;
}

// Donors.impute(query, n_neighbors, weights, distances=None, kernel=None)
PyObject* Donors_impute(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "n_neighbors", "weights", "distances", "kernel", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        const char* weights_name = nullptr;
        PyObject* distances_obj = nullptr;
        PyObject* kernel_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ons|OO:impute", const_cast<char**>(keywords), &query_obj,
                                         &n_neighbors, &weights_name, &distances_obj, &kernel_obj)) {
            return nullptr;
        }
        const knn::QueryDonors& donors = donors_of(self);
        const MatrixArg query = query_arg(query_obj, donors);
        const std::size_t k = neighbours_arg(n_neighbors);
        const knn::QueryWeights weights = query_weights_arg(weights_name);
        std::vector<double> given_copy;
        const knn::GivenDistances given = given_distances(distances_obj, donors, query, given_copy);
        const knn::QueryKernel kernel = kernel_arg(kernel_obj);
        QuerySnapshot snap = snapshot_query(query, donors.columns());
        if (kernel == knn::QueryKernel::reference || given.values != nullptr) {
            // The straightforward pass reads the fitted rows row by row: a temporary copy.
            const std::vector<double> table = donors.table();
            const knn::TableView fitted{table.data(), donors.rows(), donors.cols()};
            knn::query_reference(fitted, donors.columns(), snap.data(), snap.rows, 0, snap.rows, k, weights, given);
        } else {
            knn::query_fast(donors, snap.data(), snap.rows, 0, snap.rows, k, weights, kernel);
        }
        write_back(snap, query);
        Py_RETURN_NONE;
    });
}

// The arguments of Donors.impute_parallel, checked.
struct ParallelCall {
    const knn::QueryDonors* donors = nullptr;
    PyObject* query_obj = nullptr;
    MatrixArg query;
    std::size_t k = 0;
    knn::QueryWeights weights = knn::QueryWeights::uniform;
    knn::QueryKernel kernel = knn::QueryKernel::reference;
    PyObject* progress = nullptr;  // callable, or nullptr
    knn::ParallelOptions options;  // without its poll
};

ParallelCall parallel_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"query",    "n_neighbors", "weights", "n_threads",
                                     "progress", "chunk_rows",  "kernel",  nullptr};
    ParallelCall call;
    Py_ssize_t n_neighbors = 0;
    const char* weights_name = nullptr;
    Py_ssize_t n_threads = 0;
    PyObject* progress_obj = nullptr;
    Py_ssize_t chunk_rows = 0;
    PyObject* kernel_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onsn|OnO:impute_parallel", const_cast<char**>(keywords),
                                     &call.query_obj, &n_neighbors, &weights_name, &n_threads, &progress_obj,
                                     &chunk_rows, &kernel_obj)) {
        throw ErrorAlreadySet{};
    }
    call.donors = &donors_of(self);
    call.query = query_arg(call.query_obj, *call.donors);
    call.k = neighbours_arg(n_neighbors);
    call.weights = query_weights_arg(weights_name);
    if (n_threads < 1) {
        raise(PyExc_ValueError, "n_threads must be at least 1, not " + std::to_string(n_threads));
    }
    if (chunk_rows < 0) {
        raise(PyExc_ValueError, "chunk_rows must be at least 0, not " + std::to_string(chunk_rows));
    }
    if (progress_obj != nullptr && progress_obj != Py_None && !PyCallable_Check(progress_obj)) {
        raise(PyExc_TypeError, "progress must be callable or None, not '" + type_qualname(Py_TYPE(progress_obj)) + "'");
    }
    call.progress = progress_obj == Py_None ? nullptr : progress_obj;
    call.kernel = kernel_arg(kernel_obj);
    if (call.kernel == knn::QueryKernel::reference) {
        raise(PyExc_ValueError, "impute_parallel runs a fast pass, not 'reference'");
    }
    call.options.threads = static_cast<std::size_t>(n_threads);
    call.options.chunk_rows = static_cast<std::size_t>(chunk_rows);
    call.options.min_thread_work = std::size_t{1} << 20;  // about a millisecond of distances
    return call;
}

// The pass over `snap` with the interpreter lock released, the calling thread taking it back to
// poll for signals and to report progress. Returns false when either set a Python error (the
// pass stopped; `snap` is then not written back).
bool run_released(const ParallelCall& call, QuerySnapshot& snap) {
    knn::ParallelOptions options = call.options;
    bool failed = false;
    try {
        LockReleased unlocked;
        options.poll = [&](std::size_t done, std::size_t total) {
            return unlocked.held([&]() -> bool {
                if (failed || PyErr_CheckSignals() < 0) {
                    failed = true;
                    return false;
                }
                if (call.progress != nullptr) {
                    PyObject* result = PyObject_CallFunction(call.progress, "nn", static_cast<Py_ssize_t>(done),
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
        knn::query_parallel({*call.donors, snap.data(), snap.rows, 0, snap.rows, call.k, call.weights, call.kernel},
                            options);
    } catch (const std::system_error& e) {
        // No memory for a thread's stack (or too many threads) is EAGAIN.
        const bool memory =
            e.code() == std::errc::resource_unavailable_try_again || e.code() == std::errc::not_enough_memory;
        raise(memory ? PyExc_MemoryError : PyExc_RuntimeError,
              std::string("cannot start the threads of the pass: ") + e.what());
    }
    return !failed;
}

// Donors.impute_parallel(query, n_neighbors, weights, n_threads, progress=None, chunk_rows=0,
//                        kernel=None)
//
// impute's built-in pass (no given distances, not the reference) with the interpreter lock
// released and the query rows dealt out to n_threads native threads (one thread: the calling
// thread, no thread started); bit-identical to impute. The Donors object is immutable and, like
// the query array, held for the whole call. While the pass runs, the calling thread takes the
// lock back about every 0.1 s to check for signals (Ctrl-C stops the pass) and to call
// progress(done_rows, total_rows) when given; an exception from either stops the pass within a
// few milliseconds and is raised, the query matrix left as it was.
PyObject* Donors_impute_parallel(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        const ParallelCall call = parallel_call(self, args, kwargs);
        // Whatever other threads do meanwhile, these stay alive until the end of the call.
        const Ref self_hold = Ref::borrow(self);
        const Ref query_hold = Ref::borrow(call.query_obj);
        const Ref progress_hold = Ref::borrow(call.progress);
        QuerySnapshot snap = snapshot_query(call.query, call.donors->columns());
        if (!run_released(call, snap)) {
            throw ErrorAlreadySet{};
        }
        write_back(snap, call.query);
        Py_RETURN_NONE;
    });
}

// Donors.select(query, n_neighbors, index, distance, distances=None)
PyObject* Donors_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "n_neighbors", "index", "distance", "distances", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        PyObject* index_obj = nullptr;
        PyObject* distance_obj = nullptr;
        PyObject* distances_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnOO|O:select", const_cast<char**>(keywords), &query_obj,
                                         &n_neighbors, &index_obj, &distance_obj, &distances_obj)) {
            return nullptr;
        }
        const knn::QueryDonors& donors = donors_of(self);
        const MatrixArg query = query_arg(query_obj, donors);
        const std::size_t k = neighbours_arg(n_neighbors);
        const MatrixArg index = matrix_arg(index_obj, "index", NPY_INT64, "int64", Layout::writeable);
        const MatrixArg distance = matrix_arg(distance_obj, "distance", NPY_DOUBLE, "float64", Layout::writeable);
        std::vector<double> given_copy;
        const knn::GivenDistances given = given_distances(distances_obj, donors, query, given_copy);
        // The selections written below are exactly the cells counted here, in the copy.
        QuerySnapshot snap = snapshot_query(query, donors.columns());
        const std::size_t cells = snap.cells;
        if (index.rows != cells || index.cols != k || distance.rows != cells || distance.cols != k) {
            raise(PyExc_ValueError,
                  "index and distance must have shape (" + std::to_string(cells) + ", " + std::to_string(k) + ")");
        }
        check_apart(query, index, "index");
        check_apart(query, distance, "distance");
        if (overlap(index, distance)) {
            raise(PyExc_ValueError, "index and distance must not share memory");
        }
        const std::vector<double> table = donors.table();
        const knn::TableView fitted{table.data(), donors.rows(), donors.cols()};
        const knn::SelectionOut out{reinterpret_cast<std::int64_t*>(index.data),
                                    reinterpret_cast<double*>(distance.data), k};
        knn::query_select_reference(fitted, donors.columns(), snap.data(), snap.rows, 0, snap.rows, k, out, given);
        write_back(snap, query);
        Py_RETURN_NONE;
    });
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

PyType_Spec donors_spec = {
    "mirel._query.Donors", sizeof(DonorsObject), 0, Py_TPFLAGS_DEFAULT, donors_slots,
};

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
    {"kernels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&query_kernels)), METH_NOARGS,
     "kernels()\n--\n\nNames of the query passes available here, the default first."},
    {nullptr, nullptr, 0, nullptr},
};

int query_exec(PyObject* module) noexcept {
    return guard_status([&]() -> int {
        if (_import_array() < 0) {
            throw ErrorAlreadySet{};
        }
        Ref type = Ref::steal(reinterpret_cast<PyObject*>(create_type(&donors_spec)));
        check_status(PyObject_SetAttrString(module, "Donors", type.get()));
        return 0;
    });
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

// The interpreter finds the module by this name (PyInit_ and the module's name, "_query").
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__query(void) { return PyModuleDef_Init(&mirel::py::query_module); }
