// The workers of the query pass's strategies: what knn/query/query_parallel.cpp hands the pass
// driver (knn/pass/pass_driver.hpp) for the calling thread, for "split the rows" and for "share
// the pairs". Internal to the query pass: callers use query_pass (knn/query/query_parallel.hpp);
// the engine's tests reach these to count a worker's allocations and stop it at every step.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "knn/pass/pass_driver.hpp"
#include "knn/pass/pass_tuning.hpp"
#include "knn/query/query_fast.hpp"

namespace mirel::knn {

class QueryPass;  // knn/query/query_pass.hpp

namespace detail {

// Rows [first, last) of the fast pass on this thread, under `control` (knn/query/query_parallel.cpp
// drives it): with `share_pairs` (the query is the fitted table and the range is every row) the
// distance between two imputed rows is computed once; otherwise the pass never reads query rows
// outside [first, last), so other threads may be writing them meanwhile. Returns true when every
// row of [first, last) is done, false when keep_going stopped the pass.
bool run_query_rows(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                    std::size_t last, std::size_t k, Weights weights, KernelKind kernel, bool share_pairs,
                    const PassTuning& tuning, const PassControl& control);

// The fast pass of one worker thread, over ranges of rows one after another (steering pruning
// as one pass over them would). Everything the pass needs (its kernel, selections, scratch,
// every buffer at the size the largest group needs) is found and allocated by the constructor,
// on the constructing thread, which sees any failure as an exception. run() then allocates
// nothing and never throws: a worker needs nothing the thread would allocate lazily (a first
// exception's storage included). It never shares distances between imputed rows (ranges are
// measured against the fitted rows only).
class QueryWorker {
public:
    QueryWorker(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t k, Weights weights,
                KernelKind kernel, const PassTuning& tuning);
    QueryWorker(QueryWorker&&) noexcept;
    QueryWorker& operator=(QueryWorker&&) noexcept;
    ~QueryWorker();

    // Rows [first, last) (checked by the caller against the query's rows); false when the
    // control stopped the pass.
    // NOLINTNEXTLINE(bugprone-exception-escape): every buffer is sized by the constructor
    bool run(std::size_t first, std::size_t last, const PassControl& control) noexcept;
    // Adds the pruning counts of every run so far to PassTuning::prune_counts, when it is set
    // (by one thread: the one that joined the worker).
    void report() const noexcept;

private:
    std::unique_ptr<QueryPass> pass_;
};

// fit_transform on several threads: the query table is the fitted table (query_is_fitted), and
// each distance between two rows that both need imputing is computed once, by one of the
// workers, as the pass computes it once on one thread. The constructor (on the calling thread)
// checks the arguments, builds the panel of the rows and every worker's selections of all rows,
// and allocates everything else; workers() is 0 when there is nothing to share or the
// selections of that many copies do not fit the budget of PassTuning (then split the rows
// instead). run(w) is worker w's loop over the groups of rows left: it allocates nothing and
// never throws, and writes nothing. finish(), after every worker ended, merges their selections
// (a selection keeps the first k by key and row index whatever the order it is offered them)
// and writes every row: the result is that of one thread, bit for bit, for any number of workers.
class SharedQueryPass {
public:
    SharedQueryPass(const QueryDonors& donors, double* query, std::size_t k, Weights weights, KernelKind kernel,
                    const PassTuning& tuning, std::size_t workers);
    SharedQueryPass(const SharedQueryPass&) = delete;
    SharedQueryPass& operator=(const SharedQueryPass&) = delete;
    ~SharedQueryPass();

    std::size_t workers() const noexcept { return passes_.size(); }
    // false when the control stopped the worker (the others stop at their next step too).
    // NOLINTNEXTLINE(bugprone-exception-escape): every buffer is sized by the constructor
    bool run(std::size_t worker, const PassControl& control) noexcept;
    void finish();
    // Adds every worker's pruning counts to PassTuning::prune_counts, when it is set.
    void report() const noexcept;

private:
    std::vector<std::unique_ptr<QueryPass>> passes_;
    std::atomic<std::size_t> next_group_{0};
};

}  // namespace detail

}  // namespace mirel::knn
