// The fast pass "row r against the fitted rows".
//
// It computes exactly what the straightforward pass computes (impute_reference.cpp), bit for
// bit, but organises the work differently:
//
// 1. The candidate rows are copied once per call into a column-blocked panel (knn/panel/panel.hpp),
//    so that one vector lane follows one candidate row through the columns in order,
//    performing exactly the scalar metric's operations (knn/kernels/).
// 2. Nobody sorts all candidates: per missing cell a bounded selection (knn/core/selection.hpp)
//    keeps the first k candidates by (distance key, row index) that hold a value in the cell's
//    column. Its threshold, and the columns of selections not yet full, make the kernels'
//    forward filter, so most candidates never reach a selection.
// 3. Both metrics are symmetric bit for bit, so rows that both need imputing and are both
//    candidates share their pairs (GroupPass::run_shared_pairs), within a budget (PassTuning);
//    beyond it, rows are imputed in groups without sharing.
// 4. Rows are measured in groups against one cache-sized super-block of the panel after
//    another, so the panel is read from the nearest cache.
//
// Steps 2-4 and 6 are the group scheduler's (knn/pass/group_pass.hpp); this file is its policy:
// the key of a candidate, the bound, and `average` for a row's cells.
// 5. The kernels prune (kernels/block_driver.hpp, prune_limits): they stop measuring a
//    candidate once its partial sums show that it can pass neither filter any more. The pass
//    turns this off for stretches where it skips too little to pay (knn/pass/prune_steering.hpp).
// 6. Very large k (above PassTuning::max_bounded_k) is served by ordering all candidates of a
//    row, with the fast distances.
// 7. A few candidates (PassTuning::row_major_max_candidates) would make a panel of mostly
//    padding: they are measured in place with the scalar metric, each row's candidates ordered.
#include "knn/row/row_pass.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "knn/core/metrics.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/core/selection.hpp"
#include "knn/core/weights.hpp"
#include "knn/pass/group_pass.hpp"

namespace mirel::knn::detail {

namespace {

// Rows [i, end) of the row list, a row at a time. Row r sits at panel position r when the panel
// is in row order (`own_positions`) and r is a candidate.
struct WorkCursor {
    const MissingCells& work;
    std::size_t i;
    std::size_t end;
    std::size_t m;
    bool own_positions;
    bool started = false;

    bool next() noexcept {
        i += started ? 1 : 0;
        started = true;
        return i < end;
    }
    std::size_t row() const noexcept { return work.rows[i]; }
    std::size_t pos() const noexcept { return own_positions && row() < m ? row() : NO_POSITION; }
    std::span<const std::size_t> columns() const noexcept { return work.columns_of(i); }
    std::size_t upto() const noexcept { return 0; }  // the row pass reports no progress
};

class RowPass {
public:
    RowPass(const KnnImputer& imputer, std::size_t m, Kernel kernel, const PassTuning& tuning, const MissingCells& work,
            std::span<double> result, std::size_t result_first_row)
        : imputer_(imputer),
          metric_(metric_function(imputer.metric_kind())),
          fitted_(imputer.fitted_values()),
          cols_(imputer.cols()),
          m_(m),
          tuning_(tuning),
          work_(work),
          result_(result),
          result_first_row_(result_first_row),
          uniform_(imputer.weights_kind() == Weights::uniform),
          uniform_weight_(uniform_weight(imputer.k())),
          limit_(donor_limit(imputer.k())),
          pass_(*this, kernel, tuning, imputer.cols()) {}

    // Adds the kernels' pruning counts to PassTuning::prune_counts, when it is set.
    void report() const noexcept { pass_.report(); }

    void run() {
        if (m_ <= tuning_.row_major_max_candidates) {
            run_row_major();
            return;
        }
        const Metric metric = imputer_.metric_kind();
        const std::size_t rows = work_.rows.size();
        if (limit_ > tuning_.max_bounded_k) {
            pass_.build_panel(fitted_, m_, metric, false);
            WorkCursor all{work_, 0, rows, m_, true};
            pass_.run_full_ordering(all, m_);
            return;
        }
        pass_.set_capacity(std::max<std::size_t>(1, selection_size(limit_, m_)), limit_);
        // Rows that are also candidates come first in the row list (rows ascend): with two or
        // more of them, within the budget, they share their distances.
        const std::size_t both =
            static_cast<std::size_t>(std::lower_bound(work_.rows.begin(), work_.rows.end(), m_) - work_.rows.begin());
        pass_.clear_states();
        for (std::size_t i = 0; i < both && both >= 2; ++i) {
            pass_.add_state(work_.rows[i], i, work_.columns_of(i));
        }
        const bool share_pairs = both >= 2 && pass_.within_budget(static_cast<double>(fitted_.size() * sizeof(double)));
        if (!share_pairs) {
            pass_.clear_states();
        }
        pass_.build_panel(fitted_, m_, metric, share_pairs);
        if (share_pairs) {
            pass_.run_shared_pairs();
        }
        // Every other row, in groups, measured against all candidates. A row is its own
        // candidate only when the panel is in row order.
        WorkCursor rest{work_, share_pairs ? both : 0, rows, m_, !share_pairs};
        pass_.run_in_groups(rest);
    }

    // The group scheduler's policy.
    static bool candidate_key(std::size_t /*query_row*/, std::size_t /*row*/, double d, std::uint64_t& key) noexcept {
        key = distance_rank_key(d);
        return true;
    }
    static std::uint64_t bound(std::uint64_t threshold) noexcept { return threshold; }
    const double* row_values(std::size_t row) const noexcept { return fitted_.data() + row * cols_; }

    // `average` for one row: the unnormalised weighted sum of each cell's donors, from +0.0.
    void fill(const RowState& st, std::span<CellSelection> cells) {
        for (CellSelection& s : cells) {
            double value = 0.0;
            for (const Entry& e : s.top.sorted()) {
                value = value + fitted_[e.idx * cols_ + s.col] * weight(st.row, e.idx);
            }
            result_[(st.row - result_first_row_) * cols_ + s.col] = value;
        }
    }

    // The walk of one row's candidates in rank order: each missing column of fitted row r is the
    // sum of value x weight over its first limit donors, from +0.0.
    void fill_from_full_ordering(std::size_t r, std::span<const std::size_t> columns, std::span<const Entry> order,
                                 const double* dist) {
        for (const std::size_t c : columns) {
            double value = 0.0;
            std::size_t used = 0;
            for (const Entry& e : order) {
                const double v = fitted_[e.idx * cols_ + c];
                if (std::isnan(v)) {
                    continue;
                }
                const double w = uniform_ ? uniform_weight_ : 1.0 / dist[e.idx];
                value = value + v * w;
                if (++used == limit_) {
                    break;
                }
            }
            result_[(r - result_first_row_) * cols_ + c] = value;
        }
    }

private:
    // The weight the straightforward pass gives candidate t of row r.
    double weight(std::size_t r, std::size_t t) const {
        if (uniform_) {
            return uniform_weight_;
        }
        const double d = t == r
                             ? SELF_DISTANCE
                             : metric_(imputer_, fitted_.subspan(r * cols_, cols_), fitted_.subspan(t * cols_, cols_));
        return 1.0 / d;
    }

    // Few candidates: each row's distances with the scalar metric, straight from the fitted
    // rows, then the walk of the full-ordering path. No panel.
    void run_row_major() {
        std::vector<Entry> order(m_);
        std::vector<double> dist(m_);
        for (std::size_t i = 0; i < work_.rows.size(); ++i) {
            const std::size_t r = work_.rows[i];
            const std::span<const double> reference = fitted_.subspan(r * cols_, cols_);
            for (std::size_t t = 0; t < m_; ++t) {
                dist[t] = t == r ? SELF_DISTANCE : metric_(imputer_, reference, fitted_.subspan(t * cols_, cols_));
                order[t] = Entry{distance_rank_key(dist[t]), t};
            }
            std::sort(order.begin(), order.end(), EntryLess{});
            fill_from_full_ordering(r, work_.columns_of(i), order, dist.data());
        }
    }

    const KnnImputer& imputer_;
    MetricFn metric_;
    std::span<const double> fitted_;
    std::size_t cols_;
    std::size_t m_;
    PassTuning tuning_;
    const MissingCells& work_;
    std::span<double> result_;
    std::size_t result_first_row_;
    bool uniform_;
    double uniform_weight_;
    std::size_t limit_;
    GroupPass<RowPass> pass_;
};

}  // namespace

void run_row_pass(const KnnImputer& imputer, std::size_t m, Kernel kernel, const PassTuning& tuning,
                  const MissingCells& work, std::span<double> result, std::size_t result_first_row) {
    RowPass pass(imputer, m, kernel, tuning, work, result, result_first_row);
    pass.run();
    pass.report();
}

}  // namespace mirel::knn::detail
