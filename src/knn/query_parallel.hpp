// The query pass on several native threads: the rows of the query are dealt out in chunks to a
// pool of std::threads that share the fitted side (QueryDonors, immutable: its panel is only
// read). Every row is computed
// exactly as by query_fast (the filters and groups of the fast driver never change a row's
// donors), so the result is bit-identical for every thread count and chunk size.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "knn/query_fast.hpp"

namespace mirel::knn {

// Called on the calling thread while the pool works, about every `poll_interval`, and once at
// the end: (rows done, rows in the pass). Returning false asks the pass to stop: no chunk starts
// after that, the chunks being imputed are finished, and query_parallel returns false. The
// rows of chunks not begun are left as they were.
using QueryPoll = std::function<bool(std::size_t done, std::size_t total)>;

struct ParallelOptions {
    std::size_t threads = 1;     // workers; 1 with no poll runs on the calling thread
    std::size_t chunk_rows = 0;  // rows a worker takes at a time; 0: chosen from rows and threads
    std::chrono::milliseconds poll_interval{100};
    QueryPoll poll;  // optional
};

// query_fast's results, bit for bit, over rows [first, last) of `query`, rows split among
// options.threads workers. Argument failures are thrown before any thread starts; a failure on
// a worker stops the others and is rethrown here after all have ended. Returns false when the
// poll stopped the pass early, true when every row is done.
bool query_parallel(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                    std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel,
                    const ParallelOptions& options, const PassTuning& tuning = PassTuning{});

// The chunk size query_parallel uses for `rows` rows on `threads` workers when none is given:
// small enough that every worker gets many (load balance, progress), large enough that the
// fast driver's groups fill.
std::size_t default_chunk_rows(std::size_t rows, std::size_t threads) noexcept;

}  // namespace mirel::knn
