// Donors.impute_parallel: impute's built-in pass (no given distances, not the reference) with
// the interpreter lock released and the query rows dealt out to n_threads native threads (one
// thread: the calling thread, no thread started); bit-identical to impute. The Donors object is
// immutable and, like the query array, held for the whole call. While the pass runs, the
// calling thread takes the lock back about every 0.1 s to check for signals (Ctrl-C stops the
// pass) and to call progress(done_rows, total_rows) when given; an exception from either stops
// the pass within a few milliseconds and is raised, the query matrix left as it was.
#include "module/query/donors.hpp"
#include "module/query/snapshot.hpp"
#include "module/released_pass.hpp"
#include "utils/errors.hpp"

#include <string>

#include "knn/query/query_parallel.hpp"

namespace mirel::py::query {
namespace {

// The arguments of Donors.impute_parallel, checked.
struct ParallelCall {
    const knn::QueryDonors* donors = nullptr;
    PyObject* query_obj = nullptr;
    MatrixArg query;
    std::size_t k = 0;
    knn::Weights weights = knn::Weights::uniform;
    knn::KernelKind kernel = knn::best_kernel();
    PyObject* progress = nullptr;  // callable, or nullptr
    knn::PassOptions options;      // without its poll
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
    call.weights = weights_arg(weights_name);
    call.options = pass_options_arg("n_threads", n_threads, chunk_rows);
    call.progress = progress_arg(progress_obj);
    const PassChoice pass = kernel_arg(kernel_obj);
    if (pass.reference) {
        raise(PyExc_ValueError, "impute_parallel runs a fast pass, not '" + std::string(REFERENCE_PASS) + "'");
    }
    call.kernel = pass.kernel;
    return call;
}

// The pass over `snap`, polled from the interpreter (module/released_pass.hpp). Returns false
// when a poll set a Python error (the pass stopped; `snap` is then not written back).
bool run_released(const ParallelCall& call, QuerySnapshot& snap) {
    return run_pass_released(call.progress, call.options, [&](const knn::PassOptions& options) {
        knn::query_pass({*call.donors, snap.data(), snap.rows, 0, snap.rows, call.k, call.weights, call.kernel},
                        options);
    });
}

}  // namespace

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

}  // namespace mirel::py::query
