// The query pass on several native threads: the rows of the query are dealt out in chunks to a
// pool of std::threads that share the fitted side (QueryDonors, immutable: its panel is only
// read), or, for fit_transform, the pairs of imputed rows (SharedQueryPass). Every row is computed
// exactly as by query_fast (the filters and groups of the fast driver never change a row's
// donors), so the result is bit-identical for every thread count and chunk size.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "knn/query/query_fast.hpp"

namespace mirel::knn {

// Called on the calling thread while the pass runs, about every `poll_interval`, and once at the
// end: (rows done, rows in the pass). Returning false asks the pass to stop: it stops at its next
// step (a fraction of a millisecond to a few milliseconds of work), and query_parallel returns
// false. Rows are imputed whole: a row is either imputed or left as it was.
using QueryPoll = std::function<bool(std::size_t done, std::size_t total)>;

struct ParallelOptions {
    // Workers (any count: at most usable_threads(threads) start); with 1 the calling thread runs
    // the pass, no thread starts.
    std::size_t threads = 1;
    std::size_t chunk_rows = 0;  // rows a worker takes at a time; 0: chosen from rows and threads
    // A pass of less work than this (query rows x fitted rows x columns) runs on the calling
    // thread whatever `threads` says: starting and joining threads would cost more than they save.
    std::size_t min_thread_work = 0;
    std::chrono::milliseconds poll_interval{100};
    QueryPoll poll;  // optional
};

// One query pass: rows [first, last) of `query` (query_rows rows, the donors' columns) imputed
// from the k nearest of `donors`, weighted by `weights`, measured by `kernel`.
struct QueryJob {
    const QueryDonors& donors;
    double* query;
    std::size_t query_rows;
    std::size_t first;
    std::size_t last;
    std::size_t k;
    QueryWeights weights;
    QueryKernel kernel;
};

// query_fast's results, bit for bit, over rows [first, last) of `query`, rows split among
// options.threads workers. Argument failures, and failures to allocate a worker's memory, are
// thrown before any thread starts; a thread that cannot start (std::system_error) or a poll that
// throws stops the others, and the failure is thrown here after all have ended. Workers never
// fail. Returns false when the poll stopped the pass early, true when every row is done.
bool query_parallel(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                    std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel,
                    const ParallelOptions& options, const PassTuning& tuning = PassTuning{});
bool query_parallel(const QueryJob& job, const ParallelOptions& options, const PassTuning& tuning = PassTuning{});

// Workers beyond a few per processor only add memory (each has its selections and scratch) and
// switches: a pass starts at most this many per processor the machine reports.
inline constexpr std::size_t THREADS_PER_PROCESSOR = 4;

// The workers a pass asked for `requested` may start: at least 1, at most THREADS_PER_PROCESSOR
// per processor (std::thread::hardware_concurrency, 1 when unknown).
std::size_t usable_threads(std::size_t requested) noexcept;

// The chunk size query_parallel uses for `rows` rows on `threads` workers when none is given:
// small enough that every worker gets many (load balance, progress), large enough that the
// fast driver's groups fill.
std::size_t default_chunk_rows(std::size_t rows, std::size_t threads) noexcept;

}  // namespace mirel::knn
