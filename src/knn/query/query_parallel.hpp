// The query pass on several native threads: the rows of the query are dealt out in chunks to a
// pool of std::threads that share the fitted side (QueryDonors, immutable: its panel is only
// read), or, for fit_transform, the pairs of imputed rows (SharedQueryPass). Every row is computed
// exactly as by query_fast (the filters and groups of the fast driver never change a row's
// donors), so the result is bit-identical for every thread count and chunk size.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "knn/pass/pass_driver.hpp"
#include "knn/query/query_fast.hpp"

namespace mirel::knn {

using QueryPoll = PassPoll;
using ParallelOptions = DriverOptions;

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

}  // namespace mirel::knn
