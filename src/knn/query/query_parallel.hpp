// The one fast entry of the query pass (the straightforward pass, its yardstick, is
// knn/query/query.hpp).
#pragma once

#include <cstddef>

#include "knn/pass/pass_driver.hpp"
#include "knn/query/query_fast.hpp"

namespace mirel::knn {

// One query pass: rows [first, last) of `query` (query_rows rows, the donors' columns) imputed
// from the k nearest of `donors`, weighted by `weights`, measured by `kernel`.
struct QueryJob {
    const QueryDonors& donors;
    double* query;
    std::size_t query_rows;
    std::size_t first;
    std::size_t last;
    std::size_t k;
    Weights weights;
    KernelKind kernel;
};

// The fast query pass: query_reference's results, bit for bit, over rows [first, last) of
// `query`, from the scheduler over the distance kernel `kernel`, on the threads, chunks, poll and
// tuning of `options` (knn/pass/pass_driver.hpp), the same bits for every thread count and chunk.
// Argument failures (std::invalid_argument: no thread, a kernel not available
// here, rows outside the query), and failures to allocate a worker's memory, are thrown before
// any thread starts; a thread that cannot start (std::system_error) or a poll that throws stops
// the others, and the failure is thrown here after all have ended. Workers never fail. Returns
// false when the poll stopped the pass early, true when every row is done.
bool query_pass(const QueryJob& job, const PassOptions& options = PassOptions{});

}  // namespace mirel::knn
