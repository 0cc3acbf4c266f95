// The fast query pass on worker threads: detail::QueryWorker (ranges of rows) and SharedQueryPass
// (fit_transform, the pairs of rows dealt out to the workers), over the pass of
// knn/query/query_pass.hpp.
#include "knn/query/query_workers.hpp"

#include <memory>

#include "knn/query/query_pass.hpp"

namespace mirel::knn {

detail::QueryWorker::QueryWorker(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t k,
                                 Weights weights, KernelKind kernel, const PassTuning& tuning) {
    if (donors.is_row_major()) {
        // query_parallel keeps such donors on the calling thread: the straightforward pass
        // allocates as it goes, which a worker must not.
        throw std::invalid_argument("a worker's pass needs the donors held as a panel");
    }
    detail::check_pass_arguments({nullptr, donors.rows(), donors.cols()}, donors.columns(), query_rows, 0, query_rows,
                                 k);
    const detail::Kernel fn = detail::kernel_for(kernel, Metric::nan_euclid, donors.cols());
    pass_ = std::make_unique<QueryPass>(donors, query, k, weights, fn, tuning);
    if (!donors.empty()) {
        pass_->prepare_ranges(query_rows);
    }
}

detail::QueryWorker::QueryWorker(QueryWorker&&) noexcept = default;
detail::QueryWorker& detail::QueryWorker::operator=(QueryWorker&&) noexcept = default;
detail::QueryWorker::~QueryWorker() = default;

// The pass's code can throw where it grows its buffers (checked sizes, vectors), but on a worker
// it never grows them: prepare_ranges sized every one for any group, with the same checked sizes
// (QueryParallel.WorkerPassesAllocateNothingAndStopAtAnyStep counts the allocations).
// NOLINTNEXTLINE(bugprone-exception-escape)
bool detail::QueryWorker::run(std::size_t first, std::size_t last, const PassControl& control) noexcept {
    if (pass_->donors_empty() || first == last) {
        if (control.done != nullptr) {
            control.done->fetch_add(last - first);
        }
        return true;
    }
    // Everything was allocated by prepare_ranges: nothing here allocates or throws.
    return pass_->run(first, last, false, &control);
}

void detail::QueryWorker::report() const noexcept { pass_->report(); }

detail::SharedQueryPass::SharedQueryPass(const QueryDonors& donors, double* query, std::size_t k, Weights weights,
                                         KernelKind kernel, const PassTuning& tuning, std::size_t workers) {
    detail::check_pass_arguments({nullptr, donors.rows(), donors.cols()}, donors.columns(), donors.rows(), 0,
                                 donors.rows(), k);
    if (donors.is_row_major() || donors.empty() || workers < 2) {
        return;
    }
    const detail::Kernel fn = detail::kernel_for(kernel, Metric::nan_euclid, donors.cols());
    passes_.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) {
        PassTuning own = tuning;
        own.prune_state = nullptr;  // each worker steers its own groups
        passes_.push_back(std::make_unique<QueryPass>(donors, query, k, weights, fn, own));
        if (!passes_.back()->prepare_shared(w == 0 ? nullptr : passes_.front().get(), workers)) {
            passes_.clear();
            return;
        }
    }
    // No more workers than groups.
    passes_.resize(std::min(passes_.size(), passes_.front()->shared_groups()));
}

detail::SharedQueryPass::~SharedQueryPass() = default;

// NOLINTNEXTLINE(bugprone-exception-escape): every buffer is sized by the constructor
bool detail::SharedQueryPass::run(std::size_t worker, const PassControl& control) noexcept {
    return passes_[worker]->run_shared(next_group_, control);
}

void detail::SharedQueryPass::finish() {
    for (std::size_t w = 1; w < passes_.size(); ++w) {
        passes_.front()->merge(*passes_[w]);
    }
    passes_.front()->fill_shared();
}

void detail::SharedQueryPass::report() const noexcept {
    for (const std::unique_ptr<QueryPass>& pass : passes_) {
        pass->report();
    }
}

}  // namespace mirel::knn
