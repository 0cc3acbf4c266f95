// The fast query pass (knn/query/query_fast.cpp, query_workers.cpp run it): the group scheduler's
// policy for query rows against fitted donor rows.
//
// It computes exactly what query_reference computes, bit for bit:
//
// 1. The fitted rows live in a column-blocked panel (knn/panel/panel.hpp, built once per fitted table
//    by QueryDonors, knn/query/query_donors.cpp) in row order, so panel position p is fitted row p.
// 2. The distance kernels (knn/kernels/) give nan_euclid's scaled sum of squares d2 =
//    sum * (cols / present), bit for bit what the scalar metric computes, +inf when the rows
//    share no coordinate. The query distance is sqrt(d2) (the same operations as
//    nan_euclidean), and ranking is on that square-rooted value: two candidates whose d2 differ
//    but whose square roots are equal tie, and the lower row index ranks first, as in the
//    reference. A +inf d2 is a distance only when the rows do share a coordinate (overflow).
// 3. Per missing cell a bounded selection (knn/core/selection.hpp) keeps the first k candidates by
//    (key of sqrt(d2), row index) that hold a value in the cell's column: the same set, in the
//    same order, as the reference's walk down its stable ordering.
// 4. The kernels' forward filter skips candidates that cannot enter any selection of the row:
//    its threshold is in d2's key space, so each full selection's bound w (a square-rooted
//    distance) becomes a d2 bound a few units in the last place above w * w, above every d2
//    whose square root is at most w. That is conservative: every candidate that could enter
//    passes, and the exact test happens in the selection.
// 5. Query rows are measured in groups against one cache-sized super-block of the panel after
//    another. Working memory beyond the panel: the group's selections and one super-block of
//    kernel output (the full-ordering path: one entry per fitted row).
// 6. When the query table is the fitted table (fit_transform), rows that both need imputing
//    share their pairs (GroupPass::run_shared_pairs).
// 7. The kernels prune (kernels/block_driver.hpp, prune_limits), steered per group as in the
//    row pass (knn/pass/prune_steering.hpp): the filters' thresholds are d2 bounds, so a candidate
//    whose partial scaled sum already exceeds them passes no filter, and need not be finished.
// 8. Very large k is served by ordering all candidates of a row with the fast distances.
//
// Steps 3-8 are the group scheduler's (knn/pass/group_pass.hpp); this file is its policy (the
// square root, rows without a distance, the d2 bound, the weighted mean).
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/panel/panel.hpp"
#include "knn/pass/group_pass.hpp"
#include "knn/query/query_detail.hpp"
#include "knn/query/query_fast.hpp"

namespace mirel::knn {

namespace detail {

// A d2 at least as large as every d2 whose query distance sqrt(d2) is at most w (w >= 0 or
// +inf): the filter may let a few more candidates through, never fewer. sqrt(d2) <= w means
// d2 <= (w (1 + 2^-53))^2 < fl(w * w) (1 + 2^-51) while w * w is a normal number; the product
// by (1 + 2^-50), rounded, stays above that. Below 1e-150, w * w may be subnormal: 1e-299 is
// above (1e-150)^2.
inline double square_bound(double w) noexcept {
    if (w < 1e-150) {
        return 1e-299;
    }
    return (w * w) * (1.0 + 0x1p-50);
}

// Whether the query row and fitted row t hold a value in a common column.
inline bool shares_coordinate(const QueryDonors& donors, const double* q, std::size_t t) noexcept {
    for (std::size_t c = 0; c < donors.cols(); ++c) {
        if (!std::isnan(q[c]) && donors.panel().holds(t, c)) {
            return true;
        }
    }
    return false;
}

// The query pass's rule for a candidate measured at d2 (kernel output): it has a distance unless
// d2 is NaN, or +inf while the rows share no coordinate (shares(), asked only then); it ranks by
// the key of the square-rooted distance.
template <class Shares>
bool query_candidate_key(double d2, Shares&& shares, std::uint64_t& key) noexcept {
    if (std::isnan(d2) || (std::isinf(d2) && !shares())) {
        return false;
    }
    key = query_rank_key(std::sqrt(d2));
    return true;
}

// The most cells one query row of `query` (rows [0, query_rows)) imputes.
inline std::size_t max_row_cells(const DonorColumns& columns, const double* query, std::size_t query_rows,
                                 std::size_t cols) noexcept {
    std::size_t most = 0;
    for (std::size_t r = 0; r < query_rows; ++r) {
        std::size_t n = 0;
        for (std::size_t c = 0; c < cols; ++c) {
            n += imputes_cell(columns, query[r * cols + c], c) ? 1 : 0;
        }
        most = std::max(most, n);
    }
    return most;
}

// Query rows [first, last) that impute a cell, a row at a time.
class QueryCursor {
public:
    QueryCursor(const DonorColumns& columns, const double* query, std::size_t cols, std::size_t first, std::size_t last,
                std::vector<std::size_t>& missing) noexcept
        : columns_(columns), query_(query), cols_(cols), r_(first), last_(last), missing_(missing) {}

    bool next() {
        r_ += started_ ? 1 : 0;
        started_ = true;
        for (; r_ < last_; ++r_) {
            missing_columns(columns_, query_ + r_ * cols_, cols_, missing_);
            if (!missing_.empty()) {
                return true;
            }
        }
        return false;
    }
    std::size_t row() const noexcept { return r_; }
    static std::size_t pos() noexcept { return NO_POSITION; }  // measured against the fitted rows only
    std::span<const std::size_t> columns() const noexcept { return missing_; }
    std::size_t upto() const noexcept { return r_; }  // rows before the current one are done

private:
    const DonorColumns& columns_;
    const double* query_;
    std::size_t cols_;
    std::size_t r_;
    std::size_t last_;
    std::vector<std::size_t>& missing_;
    bool started_ = false;
};

}  // namespace detail

class QueryPass {
public:
    QueryPass(const QueryDonors& donors, double* query, std::size_t k, Weights weights, detail::Kernel kernel,
              const PassTuning& tuning)
        : donors_(donors),
          query_(query),
          k_(k),
          weights_(weights),
          tuning_(tuning),
          pass_(*this, kernel, tuning, donors.cols()) {}

    // Adds the kernels' pruning counts to PassTuning::prune_counts, when it is set.
    void report() const noexcept { pass_.report(); }

    bool donors_empty() const noexcept { return donors_.empty(); }

    // Rows [first, last) of `query`; false when the control stopped the pass.
    bool run(std::size_t first, std::size_t last, bool query_is_fitted, const PassControl* control) {
        control_ = control;
        published_ = first;
        detail::QueryCursor rows(columns_, query_, cols_, first, last, missing_);
        if (k_ > tuning_.max_bounded_k) {
            pass_.scan_panel(donors_.panel());
            if (!pass_.run_full_ordering(rows, donors_.rows())) {
                return false;
            }
            publish(last);
            return true;
        }
        const std::size_t capacity = selection_capacity();
        pass_.set_capacity(capacity, capacity);
        if (query_is_fitted && first == 0 && last == donors_.rows() && shared_pair_states()) {
            // The query table is the fitted table (fit_transform): shared pairs
            // (GroupPass::run_shared_pairs).
            pass_.build_panel({query_, checked_mul(last, cols_)}, last, Metric::nan_euclid, true);
            if (!pass_.run_shared_pairs()) {
                return false;
            }
        } else {
            pass_.scan_panel(donors_.panel());
            if (!pass_.run_in_groups(rows)) {
                return false;
            }
        }
        publish(last);
        return true;
    }

    // Allocates, on the calling thread, everything run() needs for any range of the query rows
    // (without sharing distances): afterwards it allocates nothing and so cannot fail. Cells per
    // group: the first row's (at most the most any query row has), then more rows only while
    // the group holds at most group_selections cells.
    void prepare_ranges(std::size_t query_rows) {
        missing_.reserve(cols_);
        const std::size_t used = selection_capacity();
        values_.reserve(used);
        distances_.reserve(used);
        if (k_ > tuning_.max_bounded_k) {
            pass_.prepare_unbounded(donors_.panel(), donors_.rows());
            return;
        }
        pass_.set_capacity(used, used);
        pass_.scan_panel(donors_.panel());
        pass_.prepare_groups(
            std::max(tuning_.group_selections, detail::max_row_cells(columns_, query_, query_rows, cols_)));
    }

    // fit_transform on `copies` workers (SharedQueryPass): this pass's selections of every row
    // that imputes a cell, over the panel it builds (owner null) or the owner's. False when
    // there is nothing to share or the copies do not fit the budget.
    bool prepare_shared(const QueryPass* owner, std::size_t copies) {
        const std::size_t rows = donors_.rows();
        const std::size_t capacity = selection_capacity();
        pass_.set_capacity(capacity, capacity);
        if (k_ > tuning_.max_bounded_k || !shared_pair_states(copies)) {
            return false;
        }
        if (owner == nullptr) {
            pass_.build_panel({query_, checked_mul(rows, cols_)}, rows, Metric::nan_euclid, true);
            values_.reserve(capacity);
            distances_.reserve(capacity);
        } else {
            pass_.share_panel(owner->pass_);
        }
        pass_.prepare_shared();
        return true;
    }
    std::size_t shared_groups() const noexcept { return pass_.shared_groups(); }
    // Groups from `next` on until none is left; false when the control stopped the pass. Every
    // buffer was sized by prepare_shared.
    // NOLINTNEXTLINE(bugprone-exception-escape)
    bool run_shared(std::atomic<std::size_t>& next, const PassControl& control) noexcept {
        control_ = &control;
        for (std::size_t g = next.fetch_add(1); g < pass_.shared_groups(); g = next.fetch_add(1)) {
            if (!pass_.run_shared_group(g)) {
                return false;
            }
            // Measured, not yet written: progress moves while the workers measure, and the rows
            // are written after the merge, before the pass reports its end.
            if (control.done != nullptr) {
                control.done->fetch_add(pass_.shared_group_rows(g));
            }
        }
        return true;
    }
    // Merges the selections of `other` (a pass prepared with this one as the owner) into this
    // pass's.
    void merge(const QueryPass& other) noexcept { other.pass_.merge_into(pass_); }
    void fill_shared() { pass_.fill_all(); }

    // The group scheduler's policy. A candidate has a distance unless its d2 is NaN, or +inf
    // without a shared coordinate; it ranks by the square-rooted distance.
    bool candidate_key(std::size_t query_row, std::size_t row, double d2, std::uint64_t& key) const noexcept {
        return detail::query_candidate_key(
            d2, [&] { return detail::shares_coordinate(donors_, query_ + query_row * cols_, row); }, key);
    }
    // The key of the d2 bound of a full selection whose threshold is the key of distance w.
    static std::uint64_t bound(std::uint64_t threshold) noexcept {
        return distance_rank_key(detail::square_bound(rank_key_distance(threshold)));
    }
    const double* row_values(std::size_t row) const noexcept { return query_ + row * cols_; }
    bool keep_going() const noexcept {
        return control_ == nullptr || control_->keep_going == nullptr || control_->keep_going(control_->context);
    }
    // Rows [first of the range, upto) are done.
    void publish(std::size_t upto) noexcept {
        if (control_ != nullptr && control_->done != nullptr && upto > published_) {
            control_->done->fetch_add(upto - published_);
            published_ = upto;
        }
    }

    void fill(const detail::RowState& st, std::span<detail::CellSelection> cells) {
        double* q = query_ + st.row * cols_;
        for (detail::CellSelection& s : cells) {
            values_.clear();
            distances_.clear();
            for (const detail::Entry& e : s.top.sorted()) {
                values_.push_back(donors_.panel().value(e.idx, s.col));
                distances_.push_back(rank_key_distance(e.key));
            }
            q[s.col] = values_.empty() ? columns_.mean[s.col] : weighted_mean(values_, distances_, weights_);
        }
    }

    // Each column walks the order of every candidate with a distance to its first k donors.
    void fill_from_full_ordering(std::size_t row, std::span<const std::size_t> missing,
                                 std::span<const detail::Entry> order, const double* /*d2*/) {
        double* q = query_ + row * cols_;
        for (const std::size_t c : missing) {
            values_.clear();
            distances_.clear();
            for (const detail::Entry& e : order) {
                if (values_.size() == k_) {
                    break;
                }
                const double v = donors_.panel().value(e.idx, c);
                if (!std::isnan(v)) {
                    values_.push_back(v);
                    distances_.push_back(rank_key_distance(e.key));
                }
            }
            q[c] = values_.empty() ? columns_.mean[c] : weighted_mean(values_, distances_, weights_);
        }
    }

private:
    std::size_t selection_capacity() const noexcept { return detail::selection_size(k_, donors_.rows()); }

    // Adds every row that imputes a cell as a state at its position in the shared panel; true
    // when there are two or more and their selections fit the budget.
    bool shared_pair_states(std::size_t copies = 1) {
        const std::size_t rows = donors_.rows();
        pass_.clear_states();
        for (std::size_t r = 0; r < rows; ++r) {
            detail::missing_columns(columns_, query_ + r * cols_, cols_, missing_);
            if (!missing_.empty()) {
                pass_.add_state(r, pass_.n_states(), missing_);
            }
        }
        const double fitted_bytes = static_cast<double>(rows) * static_cast<double>(cols_ * sizeof(double));
        return pass_.n_states() >= 2 && pass_.within_budget(fitted_bytes, copies);
    }

    const QueryDonors& donors_;
    const DonorColumns& columns_ = donors_.columns();
    std::size_t cols_ = donors_.cols();
    double* query_;
    std::size_t k_;
    Weights weights_;
    PassTuning tuning_;
    const PassControl* control_ = nullptr;
    std::size_t published_ = 0;  // rows up to this one were added to control_->done
    std::vector<std::size_t> missing_;
    std::vector<double> values_;
    std::vector<double> distances_;
    detail::GroupPass<QueryPass> pass_;
};

}  // namespace mirel::knn
