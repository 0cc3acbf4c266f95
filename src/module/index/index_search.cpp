// The search methods of mirel._index_engine.Index: each reads its query once into memory of its
// own, runs the engine with the interpreter lock released and writes back only what it imputed.
#define MIREL_NUMPY_NO_IMPORT
#include "module/arrays.hpp"
#include "module/extension.hpp"
#include "module/index/index_object.hpp"
#include "module/names.hpp"
#include "module/query/snapshot.hpp"
#include "module/released_pass.hpp"
#include "utils/errors.hpp"
#include "utils/lock.hpp"
#include "utils/memory.hpp"

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
namespace {

// The writeable float64 query of a search, of the index's width.
MatrixArg writeable_query_arg(PyObject* obj, const knn::IvfIndex& index) {
    const MatrixArg query = matrix_arg(obj, "query", NPY_DOUBLE, "float64", Layout::writeable);
    if (query.cols != index.cols()) {
        raise(PyExc_ValueError,
              "query has " + std::to_string(query.cols) + " columns, the index " + std::to_string(index.cols()));
    }
    return query;
}

// (cells, fallback cells, rows measured) of a search.
PyObject* stats_tuple(const knn::IvfStats& stats) {
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(stats.cells),
                         static_cast<unsigned long long>(stats.fallback_cells),
                         static_cast<unsigned long long>(stats.measured));
}

}  // namespace

// Index.impute(query, first, last, n_neighbors, weights, probe) -> (cells, fallback cells,
// rows measured): rows [first, last) of `query` (writeable, of the fitted width), imputed in
// place. Rows of the range are read once; only their imputed cells are written back.
PyObject* Index_impute(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "first", "last", "n_neighbors", "weights", "probe", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t first = 0;
        Py_ssize_t last = 0;
        Py_ssize_t k = 0;
        const char* weights = nullptr;
        Py_ssize_t probe = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onnnsn:impute", const_cast<char**>(keywords), &query_obj,
                                         &first, &last, &k, &weights, &probe)) {
            return nullptr;
        }
        const knn::IvfIndex& index = index_of(self);
        const MatrixArg query = writeable_query_arg(query_obj, index);
        if (first < 0 || last < first || static_cast<std::size_t>(last) > query.rows) {
            raise(PyExc_ValueError, "rows [first, last) are not rows of the query");
        }
        const std::size_t n_k = count_arg(k, "n_neighbors", 1);
        const std::size_t n_probe = count_arg(probe, "probe", 1);
        const knn::Weights w = weights_arg(weights);
        // Rows [first, last) as a matrix of their own: read once, imputed cells written back.
        MatrixArg range = query;
        range.rows = static_cast<std::size_t>(last - first);
        range.data += static_cast<std::size_t>(first) * query.cols * sizeof(double);
        range.bytes = range.rows * query.cols * sizeof(double);
        query::QuerySnapshot snap = query::snapshot_query(range, index.columns());
        knn::IvfStats stats;
        {
            const LockReleased unlocked;
            stats = knn::ivf_impute(index, snap.data(), snap.rows, 0, snap.rows, n_k, w, n_probe);
        }
        query::write_back(snap, range);
        return stats_tuple(stats);
    });
}

// Index.impute_all(query, n_neighbors, weights, probe, n_threads, progress=None, chunk_rows=0)
// -> (cells, fallback cells, rows measured): every row of `query` (writeable, of the fitted
// width) imputed from its probed lists, with the interpreter lock released and the rows dealt out
// to n_threads native threads (one: the calling thread); the same bits for any n_threads and
// chunk_rows. The query is read once; while the search runs the calling thread takes the lock
// back about every 0.1 s to check for signals (Ctrl-C) and call progress(done_rows, total_rows)
// when given. An exception from either stops the search and is raised, `query` left as it was;
// otherwise only its imputed cells are written.
PyObject* Index_impute_all(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query",     "n_neighbors", "weights",    "probe",
                                         "n_threads", "progress",    "chunk_rows", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t k = 0;
        const char* weights = nullptr;
        Py_ssize_t probe = 0;
        Py_ssize_t n_threads = 0;
        PyObject* progress_obj = nullptr;
        Py_ssize_t chunk_rows = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onsnn|On:impute_all", const_cast<char**>(keywords), &query_obj,
                                         &k, &weights, &probe, &n_threads, &progress_obj, &chunk_rows)) {
            return nullptr;
        }
        const knn::IvfIndex& index = index_of(self);
        const MatrixArg query = writeable_query_arg(query_obj, index);
        const std::size_t n_k = count_arg(k, "n_neighbors", 1);
        const std::size_t n_probe = count_arg(probe, "probe", 1);
        const knn::Weights w = weights_arg(weights);
        const knn::PassOptions options = pass_options_arg("n_threads", n_threads, chunk_rows);
        PyObject* progress = progress_arg(progress_obj);
        // Whatever other threads do meanwhile, these stay alive until the end of the call.
        const Ref self_hold = Ref::borrow(self);
        const Ref query_hold = Ref::borrow(query_obj);
        const Ref progress_hold = Ref::borrow(progress);
        // The query as the call saw it, and which of its cells it imputes.
        query::QuerySnapshot snap = query::snapshot_query(query, index.columns());
        knn::IvfStats stats;
        const bool finished = run_pass_released(progress, options, [&](const knn::PassOptions& driven) {
            knn::ivf_pass({index, snap.data(), snap.rows, 0, snap.rows, n_k, w, n_probe}, driven, &stats);
        });
        if (!finished) {
            throw ErrorAlreadySet{};
        }
        query::write_back(snap, query);
        return stats_tuple(stats);
    });
}

// Index.select(query, n_neighbors, probe) -> int64 array (imputed cells x min(k, rows)): the
// donors the index selects for every imputed cell of `query` (row-major cell order), fitted
// row indices in rank order, then -1.
PyObject* Index_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "n_neighbors", "probe", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t k = 0;
        Py_ssize_t probe = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onn:select", const_cast<char**>(keywords), &query_obj, &k,
                                         &probe)) {
            return nullptr;
        }
        const knn::IvfIndex& index = index_of(self);
        MatrixArg shape;
        const std::vector<double> query = table_copy(query_obj, "query", shape);
        if (shape.cols != index.cols()) {
            raise(PyExc_ValueError,
                  "query has " + std::to_string(shape.cols) + " columns, the index " + std::to_string(index.cols()));
        }
        const std::size_t n_k = count_arg(k, "n_neighbors", 1);
        const std::size_t n_probe = count_arg(probe, "probe", 1);
        const knn::TableView view{query.data(), shape.rows, shape.cols};
        const std::size_t cells = knn::count_imputed_cells(index.columns(), view, 0, shape.rows);
        const std::size_t slots = std::min(n_k, index.rows());
        npy_intp dims[2] = {static_cast<npy_intp>(cells), static_cast<npy_intp>(slots)};
        Ref out = check(PyArray_SimpleNew(2, dims, NPY_INT64));
        auto* o = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
        {
            const LockReleased unlocked;
            knn::ivf_select(index, query.data(), shape.rows, 0, shape.rows, n_k, n_probe, o, slots);
        }
        return out.release();
    });
}

// Index.nearest_lists(query) -> uint32 array: the nearest list of every row of `query`.
PyObject* Index_nearest_lists(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", nullptr};
        PyObject* query_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:nearest_lists", const_cast<char**>(keywords), &query_obj)) {
            return nullptr;
        }
        const knn::IvfIndex& index = index_of(self);
        MatrixArg shape;
        const std::vector<double> query = table_copy(query_obj, "query", shape);
        if (shape.cols != index.cols()) {
            raise(PyExc_ValueError,
                  "query has " + std::to_string(shape.cols) + " columns, the index " + std::to_string(index.cols()));
        }
        std::vector<std::uint32_t> lists;
        {
            const LockReleased unlocked;
            lists = knn::ivf_nearest_lists(index, query.data(), shape.rows);
        }
        npy_intp dims[1] = {static_cast<npy_intp>(lists.size())};
        Ref out = check(PyArray_SimpleNew(1, dims, NPY_UINT32));
        if (!lists.empty()) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), lists.data(),
                        lists.size() * sizeof(std::uint32_t));
        }
        return out.release();
    });
}

// Index.recall(sample, n_neighbors, n_threads=1) -> (donors, cells, rows, found, fallback,
// measured): the recall curve over the rows of `sample` (entry P of the arrays: P lists probed),
// its exact search on n_threads threads.
PyObject* Index_recall(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"sample", "n_neighbors", "n_threads", nullptr};
        PyObject* sample_obj = nullptr;
        Py_ssize_t k = 0;
        Py_ssize_t n_threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|n:recall", const_cast<char**>(keywords), &sample_obj, &k,
                                         &n_threads)) {
            return nullptr;
        }
        const knn::IvfIndex& index = index_of(self);
        MatrixArg shape;
        const std::vector<double> sample = table_copy(sample_obj, "sample", shape);
        if (shape.cols != index.cols()) {
            raise(PyExc_ValueError,
                  "sample has " + std::to_string(shape.cols) + " columns, the index " + std::to_string(index.cols()));
        }
        const std::size_t n_k = count_arg(k, "n_neighbors", 1);
        const std::size_t threads = count_arg(n_threads, "n_threads", 1);
        knn::RecallCurve curve;
        {
            const LockReleased unlocked;
            curve = knn::ivf_recall(index, {sample.data(), shape.rows, shape.cols}, n_k, threads);
        }
        Ref found = uint64_array(curve.found);
        Ref fallback = uint64_array(curve.fallback);
        Ref measured = uint64_array(curve.measured);
        return Py_BuildValue("(KKKOOO)", static_cast<unsigned long long>(curve.donors),
                             static_cast<unsigned long long>(curve.cells), static_cast<unsigned long long>(curve.rows),
                             found.get(), fallback.get(), measured.get());
    });
}

}  // namespace mirel::py::index_engine
