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
// 3. Both metrics are symmetric bit for bit, so when rows i and j both need imputing and both
//    are candidates, d(i, j) is computed once and offered to the selections of both rows
//    (the kernels' reverse filter). These rows sit first in the panel, in row order; each
//    measures only the panel positions from its own onwards. Their selections live until the
//    row is done, which costs selection_bytes_per_cell per missing cell, so this is done only
//    within a budget (PassTuning); beyond it, rows are imputed in groups without reuse.
// 4. Rows are measured in groups against one cache-sized super-block of the panel after
//    another, so the panel is read from the nearest cache.
// 5. The kernels prune (kernels/block_driver.hpp, prune_limits): they stop measuring a
//    candidate once its partial sums show that it can pass neither filter any more. The pass
//    turns this off for stretches where it skips too little to pay (knn/pass/prune_steering.hpp).
// 6. Very large k (above PassTuning::max_selected) is served by ordering all candidates of a
//    row, with the fast distances.
// 7. A few candidates (PassTuning::row_major_max_candidates) would make a panel of mostly
//    padding: they are measured in place with the scalar metric, each row's candidates ordered.
#include "knn/row/row_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

#include "knn/core/checked.hpp"
#include "knn/core/metrics.hpp"
#include "knn/core/selection.hpp"
#include "knn/core/weights.hpp"
#include "knn/panel/panel.hpp"
#include "knn/pass/group_scan.hpp"
#include "knn/pass/prune_steering.hpp"

namespace mirel::knn::detail {

namespace {

// The donors of one missing cell.
struct CellSelection {
    TopK top;
    std::size_t col = 0;
};

// A row being imputed.
struct RowState {
    std::size_t row = 0;
    std::size_t pos = NO_POSITION;  // panel position, NO_POSITION when the row is no candidate
    std::size_t first_selection = 0;
    std::size_t n_selections = 0;
    std::size_t slot = NO_POSITION;  // its GroupQuery while its group runs
};

static_assert(sizeof(Entry) == 16 && sizeof(CellSelection) + sizeof(RowState) <= 64,
              "selection_bytes_per_cell states the sizes");

class RowPass {
public:
    RowPass(const KnnImputer& imputer, std::size_t m, Kernel kernel, const PassTuning& tuning, const MissingCells& work,
            std::span<double> result, std::size_t result_first_row)
        : imputer_(imputer),
          metric_(metric_function(imputer.metric_kind())),
          fitted_(imputer.fitted_values()),
          cols_(imputer.cols()),
          m_(m),
          kernel_(kernel),
          tuning_(tuning),
          work_(work),
          result_(result),
          result_first_row_(result_first_row),
          uniform_(imputer.weights_kind() == Weights::uniform),
          uniform_weight_(uniform_weight(imputer.k())),
          limit_(donor_limit(imputer.k())) {}

    // Adds the kernels' pruning counts to PassTuning::prune_counts, when it is set.
    void report() const noexcept { steering_.report(); }

    void run() {
        if (m_ <= tuning_.row_major_max_candidates) {
            run_row_major();
            return;
        }
        if (limit_ > tuning_.max_selected) {
            run_unbounded();
            return;
        }
        capacity_ = std::max<std::size_t>(1, std::min<std::size_t>(limit_, m_));
        // 1. Rows that are also candidates come first in the row list (rows ascend).
        const std::size_t both =
            static_cast<std::size_t>(std::lower_bound(work_.rows.begin(), work_.rows.end(), m_) - work_.rows.begin());
        const double bytes =
            static_cast<double>(work_.offsets[both]) * static_cast<double>(selection_bytes_per_cell(capacity_));
        const double budget = static_cast<double>(tuning_.selection_budget_bytes) +
                              static_cast<double>(tuning_.selection_budget_per_fitted_byte) *
                                  static_cast<double>(fitted_.size() * sizeof(double));
        const bool symmetric = both >= 2 && bytes <= budget;
        // 2. The panel: in symmetric mode those rows first, then every other candidate;
        //    otherwise row order.
        order_panel(symmetric ? both : 0);
        panel_.build(fitted_, cols_, row_of_, imputer_.metric_kind(), kernel_.masked_cells);
        superblock_ = panel_.superblock_blocks(tuning_.superblock_bytes);
        scratch_.resize(superblock_);
        std::size_t next = 0;
        if (symmetric) {
            run_symmetric(both);
            next = both;
        }
        // 3. Every other row, in groups, measured against all candidates.
        run_in_groups(next, symmetric);
    }

private:
    // Panel positions: rows[0..both) of the row list first, then every other candidate in
    // row order.
    void order_panel(std::size_t both) {
        row_of_.assign(work_.rows.begin(), work_.rows.begin() + static_cast<std::ptrdiff_t>(both));
        row_of_.reserve(m_);
        std::size_t next = 0;
        for (std::size_t t = 0; t < m_; ++t) {
            if (next < both && work_.rows[next] == t) {
                ++next;
            } else {
                row_of_.push_back(t);
            }
        }
    }

    // Rows next.. of the row list, a group at a time: at most group_rows rows and, unless one
    // row has more, group_selections missing cells. A row is its own candidate only when the
    // panel is in row order (no symmetric part).
    void run_in_groups(std::size_t next, bool symmetric) {
        while (next < work_.rows.size()) {
            clear_states();
            std::size_t cells_in_group = 0;
            while (next < work_.rows.size() && states_.size() < tuning_.group_rows) {
                const std::size_t n = work_.offsets[next + 1] - work_.offsets[next];
                if (!states_.empty() && cells_in_group + n > tuning_.group_selections) {
                    break;
                }
                const std::size_t row = work_.rows[next];
                add_state(next, row < m_ && !symmetric ? row : NO_POSITION);
                cells_in_group += n;
                ++next;
            }
            bind_selections();
            run_group(0, states_.size(), false);
        }
    }

    void clear_states() {
        states_.clear();
        selections_.clear();
    }

    void add_state(std::size_t i, std::size_t pos) {
        RowState s;
        s.row = work_.rows[i];
        s.pos = pos;
        s.first_selection = selections_.size();
        s.n_selections = work_.offsets[i + 1] - work_.offsets[i];
        for (const std::size_t col : work_.columns_of(i)) {
            CellSelection sel;
            sel.col = col;
            selections_.push_back(sel);
        }
        states_.push_back(s);
    }

    // Gives every selection its slots in the arena, once all states of a run are added.
    void bind_selections() {
        const std::size_t slots = checked_count<Entry>(checked_mul(selections_.size(), capacity_));
        if (arena_.size() < slots) {
            arena_.resize(slots);
        }
        for (std::size_t i = 0; i < selections_.size(); ++i) {
            selections_[i].top = TopK(arena_.data() + i * capacity_, static_cast<std::uint32_t>(limit_));
        }
    }

    // Rows 0..both-1 of the row list sit at panel positions 0..both-1; row at position p
    // measures positions p.. only, and hands each distance to the rows after it too.
    void run_symmetric(std::size_t both) {
        clear_states();
        states_.reserve(both);
        for (std::size_t i = 0; i < both; ++i) {
            add_state(i, i);
        }
        bind_selections();
        reverse_threshold_.assign(checked_count<std::uint64_t>(checked_mul(panel_.view().blocks, BLOCK_ROWS)), 0);
        for (std::size_t i = 0; i < both; ++i) {
            reverse_threshold_[i] = std::numeric_limits<std::uint64_t>::max();  // nothing full yet
        }
        for (std::size_t g = 0; g < both; g += tuning_.group_rows) {
            run_group(g, std::min(both, g + tuning_.group_rows), true);
        }
        reverse_threshold_.clear();
    }

    // Measures states [s0, s1) against the panel (from their own positions on in symmetric
    // mode), then writes their fill values.
    void run_group(std::size_t s0, std::size_t s1, bool symmetric) {
        steering_.group_started();
        group_size_ = 0;
        for (std::size_t s = s0; s < s1; ++s) {
            if (group_size_ == group_.size()) {
                group_.emplace_back();
            }
            GroupQuery& q = group_[group_size_];
            RowState& st = states_[s];
            st.slot = group_size_++;
            q.state = s;
            q.query.prepare(panel_, fitted_.data() + st.row * cols_, st.pos);
            steering_.arm(q.query.view);
            if (symmetric) {
                q.query.view.first = st.pos;
                q.query.view.reverse_end = states_.size();
                q.query.view.reverse_threshold = reverse_threshold_.data();
            }
            refresh(st);
        }
        const std::size_t start = symmetric ? states_[s0].pos / BLOCK_ROWS : 0;
        scan_group(panel_, kernel_, std::span(group_.data(), group_size_), symmetric, start, superblock_, scratch_,
                   [&](const GroupQuery& q, std::size_t b0, std::size_t b1) { collect(q, b0, b1, symmetric); });
        for (std::size_t s = s0; s < s1; ++s) {
            states_[s].slot = NO_POSITION;
            fill(states_[s]);
        }
        steering_.group_done();
    }

    // Offers the candidates of blocks [b0, b1) that passed the kernel's filters: forward ones
    // to the query's own selections, reverse ones (the query row as a candidate) to the rows at
    // those positions.
    void collect(const GroupQuery& q, std::size_t b0, std::size_t b1, bool with_reverse) {
        const std::size_t n = (b1 - b0) * BLOCK_BYTES;
        const RowState& self = states_[q.state];
        const std::size_t self_row = self.row;
        const std::size_t self_pos = self.pos;
        const std::size_t query_state = q.state;
        const double* dist = scratch_.dist();
        for (std::size_t i = 0; i < n; i += 8) {
            std::uint64_t forward = 0;
            std::uint64_t reverse = 0;
            const std::size_t chunk = std::min<std::size_t>(8, n - i);
            std::memcpy(&forward, scratch_.forward() + i, chunk);
            if (with_reverse) {
                std::memcpy(&reverse, scratch_.reverse() + i, chunk);
            }
            // The rows that get a reverse offer are scattered over memory: ask for their
            // states and selections at once so that the misses overlap.
            for (std::uint64_t bits = reverse; bits != 0; bits &= bits - 1) {
                const std::size_t p = b0 * BLOCK_ROWS + i * 8 + static_cast<std::size_t>(__builtin_ctzll(bits));
                const std::size_t first = work_.offsets[p];
                __builtin_prefetch(&states_[p]);
                __builtin_prefetch(&selections_[first]);
                __builtin_prefetch(&arena_[first * capacity_]);
            }
            while (forward != 0) {
                const std::size_t bit = static_cast<std::size_t>(__builtin_ctzll(forward));
                forward &= forward - 1;
                const std::size_t p = b0 * BLOCK_ROWS + i * 8 + bit;
                offer(states_[query_state], row_of_[p], p, dist[i * 8 + bit]);
            }
            while (reverse != 0) {
                const std::size_t bit = static_cast<std::size_t>(__builtin_ctzll(reverse));
                reverse &= reverse - 1;
                const std::size_t p = b0 * BLOCK_ROWS + i * 8 + bit;
                offer(states_[p], self_row, self_pos, dist[i * 8 + bit]);
            }
        }
    }

    // Offers candidate `row` (at panel position `pos`) at distance d to every selection of st
    // whose column it holds.
    void offer(const RowState& st, std::size_t row, std::size_t pos, double d) {
        const Entry e{distance_rank_key(d), row};
        bool changed = false;
        for (std::size_t i = 0; i < st.n_selections; ++i) {
            CellSelection& s = selections_[st.first_selection + i];
            if (!s.top.admits(e) || !panel_.holds(pos, s.col)) {
                continue;
            }
            changed |= s.top.take(e);
        }
        if (changed) {
            refresh(st);
        }
    }

    // Recomputes the filters that depend on st's selections: the largest threshold of its full
    // selections and the columns of the others.
    void refresh(const RowState& st) {
        std::uint64_t threshold = 0;
        bool open = false;
        GroupQuery* q = st.slot == NO_POSITION ? nullptr : &group_[st.slot];
        if (q != nullptr) {
            q->open.clear();
        }
        for (std::size_t i = 0; i < st.n_selections; ++i) {
            const CellSelection& s = selections_[st.first_selection + i];
            if (s.top.full()) {
                threshold = std::max(threshold, s.top.threshold());
            } else {
                open = true;
                if (q != nullptr) {
                    q->open.push_back(static_cast<std::uint32_t>(s.col));
                }
            }
        }
        if (q != nullptr) {
            q->query.view.threshold = threshold;
            q->query.view.open = q->open.data();
            q->query.view.n_open = q->open.size();
        }
        if (!reverse_threshold_.empty() && st.pos != NO_POSITION && st.pos < reverse_threshold_.size()) {
            reverse_threshold_[st.pos] = open ? std::numeric_limits<std::uint64_t>::max() : threshold;
        }
    }

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

    // `average` for one row: the unnormalised weighted sum of each cell's donors, from +0.0.
    void fill(const RowState& st) {
        for (std::size_t i = 0; i < st.n_selections; ++i) {
            CellSelection& s = selections_[st.first_selection + i];
            double value = 0.0;
            for (const Entry& e : s.top.sorted()) {
                value = value + fitted_[e.idx * cols_ + s.col] * weight(st.row, e.idx);
            }
            result_[(st.row - result_first_row_) * cols_ + s.col] = value;
        }
    }

    // Large k: every candidate is ranked, as the straightforward pass does, but with the fast
    // distances and without computing weights of rows that are never used.
    void run_unbounded() {
        order_panel(0);
        panel_.build(fitted_, cols_, row_of_, imputer_.metric_kind(), kernel_.masked_cells);
        const std::size_t blocks = panel_.view().blocks;
        scratch_.resize(blocks);
        std::vector<Entry> order(m_);
        QueryRow q;
        for (std::size_t i = 0; i < work_.rows.size(); ++i) {
            const std::size_t r = work_.rows[i];
            q.prepare(panel_, fitted_.data() + r * cols_, r < m_ ? r : NO_POSITION);
            kernel_(panel_.view(), q.view, 0, blocks, scratch_.dist(), scratch_.forward(), nullptr);
            const double* dist = scratch_.dist();
            for (std::size_t t = 0; t < m_; ++t) {
                order[t] = Entry{distance_rank_key(dist[t]), t};
            }
            std::sort(order.begin(), order.end(), EntryLess{});
            fill_from_order(i, r, order, dist);
        }
    }

    // The walk of one row's candidates in rank order: each missing column of work row i (fitted
    // row r) is the sum of value x weight over its first limit donors, from +0.0.
    void fill_from_order(std::size_t i, std::size_t r, std::span<const Entry> order, const double* dist) {
        for (const std::size_t c : work_.columns_of(i)) {
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

    // Few candidates: each row's distances with the scalar metric, straight from the fitted
    // rows, then the walk of run_unbounded. No panel.
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
            fill_from_order(i, r, order, dist.data());
        }
    }

    const KnnImputer& imputer_;
    MetricFn metric_;
    std::span<const double> fitted_;
    std::size_t cols_;
    std::size_t m_;
    Kernel kernel_;
    PassTuning tuning_;
    const MissingCells& work_;
    std::span<double> result_;
    std::size_t result_first_row_;
    bool uniform_;
    double uniform_weight_;
    std::size_t limit_;

    Panel panel_;
    std::vector<std::size_t> row_of_;
    std::size_t superblock_ = 1;
    BlockScratch scratch_;
    std::vector<std::uint64_t> reverse_threshold_;

    std::vector<RowState> states_;
    std::vector<CellSelection> selections_;
    std::vector<Entry> arena_;
    std::size_t capacity_ = 1;
    std::vector<GroupQuery> group_;
    std::size_t group_size_ = 0;

    PruneSteering steering_{tuning_, cols_};
};

}  // namespace

std::size_t selection_bytes_per_cell(std::size_t capacity) noexcept {
    // SIZE_MAX when it does not fit: over any budget.
    const std::optional<std::size_t> entries = try_mul(capacity, sizeof(Entry));
    return entries ? try_add(*entries, sizeof(CellSelection) + sizeof(RowState)).value_or(SIZE_MAX) : SIZE_MAX;
}

void run_row_pass(const KnnImputer& imputer, std::size_t m, Kernel kernel, const PassTuning& tuning,
                  const MissingCells& work, std::span<double> result, std::size_t result_first_row) {
    RowPass pass(imputer, m, kernel, tuning, work, result, result_first_row);
    pass.run();
    pass.report();
}

}  // namespace mirel::knn::detail
