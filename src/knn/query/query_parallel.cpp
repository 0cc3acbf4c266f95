// The query pass on the pass driver (knn/pass/pass_driver.hpp): the arguments are checked on the
// calling thread, then the driver runs the rows on the calling thread, split over workers that
// each own a QueryWorker, or, for fit_transform, over workers that share the pairs
// (SharedQueryPass). The fitted side (QueryDonors: the panel and the column facts) was built
// before the call and is only read.
#include "knn/query/query_parallel.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/pass/prune_steering.hpp"
#include "knn/query/query_detail.hpp"
#include "knn/query/query_workers.hpp"

namespace mirel::knn {

namespace {

// The query pass as the driver runs it.
class DrivenQueryPass {
public:
    DrivenQueryPass(const QueryJob& job, const PassTuning& tuning, bool fitted_query) noexcept
        : job_(job), tuning_(tuning), fitted_query_(fitted_query) {}

    // Rows [first, last) on the calling thread, `chunk` rows at a time; the chunks steer pruning
    // as one pass over their rows would.
    bool run_serially(std::size_t chunk, bool share_pairs, const PassControl& control) {
        const std::size_t total = job_.last - job_.first;
        if (chunk >= total) {
            return detail::run_query_rows(job_.donors, job_.query, job_.query_rows, job_.first, job_.last, job_.k,
                                          job_.weights, job_.kernel, share_pairs && fitted_query_, tuning_, control);
        }
        detail::PruneState steering;
        PassTuning own = tuning_;
        if (own.prune_state == nullptr) {
            own.prune_state = &steering;
        }
        for (std::size_t a = job_.first; a < job_.last; a += std::min(chunk, job_.last - a)) {
            const std::size_t b = a + std::min(chunk, job_.last - a);
            if (!detail::run_query_rows(job_.donors, job_.query, job_.query_rows, a, b, job_.k, job_.weights,
                                        job_.kernel, false, own, control)) {
                return false;
            }
        }
        return true;
    }

    // Every worker's pass, allocated here before any thread starts; each steers its chunks as one
    // pass.
    std::vector<detail::QueryWorker> range_workers(std::size_t workers) const {
        std::vector<detail::QueryWorker> passes;
        passes.reserve(workers);
        for (std::size_t t = 0; t < workers; ++t) {
            PassTuning own = tuning_;
            own.prune_state = nullptr;
            passes.emplace_back(job_.donors, job_.query, job_.query_rows, job_.k, job_.weights, job_.kernel, own);
        }
        return passes;
    }

    detail::SharedQueryPass pair_workers(std::size_t workers) const {
        return detail::SharedQueryPass(job_.donors, job_.query, job_.k, job_.weights, job_.kernel, tuning_, workers);
    }

private:
    const QueryJob& job_;
    const PassTuning& tuning_;
    bool fitted_query_;
};

static_assert(DrivenPass<DrivenQueryPass>);

// The checks, on the calling thread: an empty range of the pass checks the arguments and the
// kernel.
void check_job(const QueryJob& job, const PassOptions& options) {
    if (options.threads == 0) {
        throw std::invalid_argument("a query pass needs at least one thread");
    }
    detail::run_query_rows(job.donors, job.query, job.query_rows, job.first, job.first, job.k, job.weights, job.kernel,
                           false, options.tuning, PassControl{});
    detail::check_pass_arguments({nullptr, job.donors.rows(), job.donors.cols()}, job.donors.columns(), job.query_rows,
                                 job.first, job.last, job.k);
}

}  // namespace

bool query_pass(const QueryJob& job, const PassOptions& options) {
    check_job(job, options);
    const bool donors_empty = job.donors.empty();
    PassFacts facts;
    facts.first = job.first;
    facts.rows = job.last - job.first;
    facts.work = try_product({facts.rows, job.donors.rows(), job.donors.cols()}).value_or(SIZE_MAX);
    // The query is the fitted table (fit_transform): the pass may compute each distance between
    // two imputed rows once. Decided here, before any row is written.
    facts.pairs_shareable = !donors_empty && job.first == 0 && job.last == job.donors.rows() &&
                            query_is_fitted(job.donors, job.query, job.query_rows);
    // Donors held row-major (a few fitted rows) are measured in place by the straightforward
    // pass, which allocates as it goes: the calling thread runs it.
    facts.threads_allowed = !donors_empty && !job.donors.is_row_major();
    DrivenQueryPass pass(job, options.tuning, facts.pairs_shareable);
    return drive_pass(pass, facts, options);
}

}  // namespace mirel::knn
