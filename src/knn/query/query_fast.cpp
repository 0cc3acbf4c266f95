// The fast query pass: one thin driver over the engine's parts.
//
// It computes exactly what query_reference computes, bit for bit:
//
// 1. The fitted rows live in a column-blocked panel (knn/panel/panel.hpp, built once per fitted table
//    by QueryDonors) in row order, so panel position p is fitted row p.
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
// 6. When the query table is the fitted table (fit_transform), each distance between two rows
//    that both need imputing is computed once and offered to both (the kernels' reverse
//    filter), within a memory budget for the selections that this keeps alive.
// 7. The kernels prune (kernels/block_driver.hpp, prune_limits), steered per group as in the
//    row pass (knn/pass/prune_steering.hpp): the filters' thresholds are d2 bounds, so a candidate
//    whose partial scaled sum already exceeds them passes no filter, and need not be finished.
// 8. Very large k is served by ordering all candidates of a row with the fast distances.
#include "knn/query/query_fast.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>

#include "knn/core/checked.hpp"
#include "knn/core/selection.hpp"
#include "knn/panel/panel.hpp"
#include "knn/pass/group_scan.hpp"
#include "knn/pass/prune_steering.hpp"
#include "knn/query/query_detail.hpp"
#include "knn/row/impute_fast.hpp"

namespace mirel::knn {

namespace detail {
namespace {

// The distance a query_rank_key stands for (keys of the pass are never NaN).
double key_distance(std::uint64_t key) noexcept {
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    return std::bit_cast<double>((key & sign) ? (key & ~sign) : ~key);
}

// A d2 at least as large as every d2 whose query distance sqrt(d2) is at most w (w >= 0 or
// +inf): the filter may let a few more candidates through, never fewer. sqrt(d2) <= w means
// d2 <= (w (1 + 2^-53))^2 < fl(w * w) (1 + 2^-51) while w * w is a normal number; the product
// by (1 + 2^-50), rounded, stays above that. Below 1e-150, w * w may be subnormal: 1e-299 is
// above (1e-150)^2.
double square_bound(double w) noexcept {
    if (w < 1e-150) {
        return 1e-299;
    }
    return (w * w) * (1.0 + 0x1p-50);
}

// Whether the query row and fitted row t hold a value in a common column.
bool shares_coordinate(const QueryDonors& donors, const double* q, std::size_t t) noexcept {
    for (std::size_t c = 0; c < donors.cols(); ++c) {
        if (!std::isnan(q[c]) && donors.panel().holds(t, c)) {
            return true;
        }
    }
    return false;
}

// Whether the query table holds exactly the fitted cells, bit for bit (fit_transform).
bool same_cells(const QueryDonors& donors, const double* query) noexcept {
    for (std::size_t r = 0; r < donors.rows(); ++r) {
        for (std::size_t c = 0; c < donors.cols(); ++c) {
            if (std::bit_cast<std::uint64_t>(query[r * donors.cols() + c]) !=
                std::bit_cast<std::uint64_t>(donors.value(r, c))) {
                return false;
            }
        }
    }
    return true;
}

// The donors of one missing cell, and the d2 bound its threshold allows once it is full.
struct CellSelection {
    TopK top;
    std::size_t col = 0;
    std::uint64_t bound = 0;
};

// A query row being imputed: its cells' selections.
struct RowState {
    std::size_t row = 0;
    std::size_t first_cell = 0;
    std::size_t n_cells = 0;
    std::size_t slot = NO_POSITION;  // its GroupQuery while its group runs
};

// The most cells one query row of `query` (rows [0, query_rows)) imputes.
std::size_t max_row_cells(const DonorColumns& columns, const double* query, std::size_t query_rows,
                          std::size_t cols) noexcept {
    std::size_t most = 0;
    for (std::size_t r = 0; r < query_rows; ++r) {
        std::size_t n = 0;
        for (std::size_t c = 0; c < cols; ++c) {
            n += std::isnan(query[r * cols + c]) && columns.count[c] != 0 ? 1 : 0;
        }
        most = std::max(most, n);
    }
    return most;
}

}  // namespace

class QueryPass {
public:
    QueryPass(const QueryDonors& donors, double* query, std::size_t k, QueryWeights weights, Kernel kernel,
              const PassTuning& tuning)
        : donors_(donors),
          columns_(donors.columns()),
          cols_(donors.cols()),
          query_(query),
          k_(k),
          weights_(weights),
          kernel_(kernel),
          tuning_(tuning) {}

    // Adds the kernels' pruning counts to PassTuning::prune_counts, when it is set.
    void report() const noexcept { steering_.report(); }

    // No fitted row or no column: nothing to impute.
    bool donors_empty() const noexcept { return donors_.rows() == 0 || donors_.cols() == 0; }

    // Rows [first, last) of `query`; false when the control stopped the pass.
    bool run(std::size_t first, std::size_t last, bool query_is_fitted, const PassControl* control) {
        const std::size_t cols = cols_;
        control_ = control;
        published_ = first;
        if (k_ > tuning_.max_selected) {
            return run_unbounded(first, last);
        }
        capacity_ = std::min(k_, donors_.rows());
        bool completed = true;
        if (query_is_fitted && run_symmetric(first, last, completed)) {
            return completed;
        }
        scan_ = &donors_.panel();
        superblock_ = scan_->superblock_blocks(tuning_.superblock_bytes);
        size_scratch(superblock_);
        // Rows in groups of at most group_rows rows and (unless one row has more)
        // group_selections cells, each measured against every fitted row.
        std::size_t r = first;
        while (r < last) {
            states_.clear();
            cells_.clear();
            while (r < last && states_.size() < tuning_.group_rows) {
                missing_columns(columns_, query_ + r * cols, cols, missing_);
                if (missing_.empty()) {
                    ++r;
                    continue;
                }
                if (!states_.empty() && cells_.size() + missing_.size() > tuning_.group_selections) {
                    break;
                }
                add_state(r);
                ++r;
            }
            bind_selections();
            if (!run_group(0, states_.size(), false)) {
                return false;
            }
            publish(r);
        }
        publish(last);
        return true;
    }

    // Allocates, on the calling thread, everything run() needs for any range of the query rows
    // (without sharing distances): afterwards it allocates nothing and so cannot fail. Cells per
    // group: the first row's (at most the most any query row has), then more rows only while
    // the group holds at most group_selections cells.
    void prepare_ranges(std::size_t query_rows) {
        const std::size_t cols = cols_;
        missing_.reserve(cols);
        const std::size_t used = std::min(k_, donors_.rows());
        values_.reserve(used);
        distances_.reserve(used);
        if (k_ > tuning_.max_selected) {
            size_scratch(donors_.panel().view().blocks);
            order_.reserve(donors_.rows());
            prepare_row(unbounded_row_);
            return;
        }
        capacity_ = used;
        scan_ = &donors_.panel();
        superblock_ = scan_->superblock_blocks(tuning_.superblock_bytes);
        size_scratch(superblock_);
        const std::size_t max_cells =
            std::max(tuning_.group_selections, max_row_cells(columns_, query_, query_rows, cols));
        const std::size_t arena = checked_count<Entry>(checked_mul(max_cells, capacity_));
        states_.reserve(tuning_.group_rows);
        cells_.reserve(max_cells);
        arena_.resize(arena);
        group_.resize(std::max<std::size_t>(1, tuning_.group_rows));
        for (GroupQuery& q : group_) {
            prepare_row(q.query);
            q.open.reserve(cols);
        }
    }

private:
    // Whether the pass goes on (asked between steps).
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

    void size_scratch(std::size_t blocks) {
        if (blocks != scratch_blocks_) {
            scratch_.resize(blocks);
            scratch_blocks_ = blocks;
        }
    }

    // Gives a row's kernel view the capacity of any row of this width (one row with every cell
    // missing, one with every cell present), so that preparing it again allocates nothing.
    void prepare_row(QueryRow& row) {
        std::vector<double> probe(cols_, std::numeric_limits<double>::quiet_NaN());
        row.prepare(donors_.panel(), probe.data(), NO_POSITION);
        probe.assign(cols_, 0.0);
        row.prepare(donors_.panel(), probe.data(), NO_POSITION);
    }

    void add_state(std::size_t r) {
        RowState st;
        st.row = r;
        st.first_cell = cells_.size();
        st.n_cells = missing_.size();
        for (const std::size_t c : missing_) {
            CellSelection cell;
            cell.col = c;
            cells_.push_back(cell);
        }
        states_.push_back(st);
    }

    void bind_selections() {
        const std::size_t slots = checked_count<Entry>(checked_mul(cells_.size(), capacity_));
        if (arena_.size() < slots) {
            arena_.resize(slots);
        }
        for (std::size_t i = 0; i < cells_.size(); ++i) {
            cells_[i].top = TopK(arena_.data() + i * capacity_, static_cast<std::uint32_t>(capacity_));
        }
    }

    // The query table is the fitted table (fit_transform): d(i, j) = d(j, i) bit for bit, so when
    // rows i and j both need imputing, the distance is computed once and offered to both. Those
    // rows sit first in a panel of their own, in row order; the one at position p measures
    // positions p.. only and hands each distance to the rows after it too (the kernels' reverse
    // filter). All their selections live until the end, so this runs only within the budget of
    // PassTuning; returns false (nothing done) beyond it. `completed`: false when the control
    // stopped the pass.
    bool run_symmetric(std::size_t first, std::size_t last, bool& completed) {
        const std::size_t rows = donors_.rows();
        if (first != 0 || last != rows) {
            return false;  // a range of the rows: their distances to rows outside are not shared
        }
        states_.clear();
        cells_.clear();
        for (std::size_t r = 0; r < rows; ++r) {
            missing_columns(columns_, query_ + r * cols_, cols_, missing_);
            if (!missing_.empty()) {
                add_state(r);
            }
        }
        const std::size_t both = states_.size();
        const double bytes = static_cast<double>(cells_.size()) * (16.0 * static_cast<double>(capacity_) + 64.0);
        const double budget = static_cast<double>(tuning_.selection_budget_bytes) +
                              static_cast<double>(tuning_.selection_budget_per_fitted_byte) *
                                  static_cast<double>(rows) * static_cast<double>(cols_ * sizeof(double));
        if (both < 2 || bytes > budget) {
            return false;
        }
        // Panel order: the rows being imputed, then every other row.
        row_of_.clear();
        row_of_.reserve(rows);
        for (const RowState& st : states_) {
            row_of_.push_back(st.row);
        }
        std::size_t next = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            if (next < both && states_[next].row == r) {
                ++next;
            } else {
                row_of_.push_back(r);
            }
        }
        own_panel_.build({query_, checked_mul(rows, cols_)}, cols_, row_of_, Metric::nan_euclid, kernel_.masked_cells);
        scan_ = &own_panel_;
        superblock_ = scan_->superblock_blocks(tuning_.superblock_bytes);
        size_scratch(superblock_);
        bind_selections();
        reverse_threshold_.assign(checked_count<std::uint64_t>(checked_mul(scan_->view().blocks, BLOCK_ROWS)), 0);
        for (std::size_t i = 0; i < both; ++i) {
            reverse_threshold_[i] = std::numeric_limits<std::uint64_t>::max();  // nothing full yet
        }
        for (std::size_t g = 0; g < both; g += tuning_.group_rows) {
            const std::size_t end = std::min(both, g + tuning_.group_rows);
            if (!run_group(g, end, true)) {
                completed = false;
                return true;
            }
            // A row's candidates before its position came from earlier groups: it is done.
            publish(states_[end - 1].row + 1);
        }
        reverse_threshold_.clear();
        publish(last);
        return true;
    }

    // Measures states [s0, s1) against the panel being scanned (in symmetric mode from their
    // own positions on, state i sitting at position i), then writes their cells. Returns false,
    // writing nothing, when the control stopped the scan.
    bool run_group(std::size_t s0, std::size_t s1, bool symmetric) {
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
            q.query.prepare(*scan_, query_ + st.row * cols_, symmetric ? s : NO_POSITION);
            steering_.arm(q.query.view);
            if (symmetric) {
                q.query.view.first = s;
                q.query.view.reverse_end = states_.size();
                q.query.view.reverse_threshold = reverse_threshold_.data();
            }
            refresh(s);
        }
        const std::size_t start = symmetric ? s0 / BLOCK_ROWS : 0;
        const bool scanned = scan_group_while(
            *scan_, kernel_, std::span(group_.data(), group_size_), symmetric, start, superblock_, scratch_,
            [&](const GroupQuery& q, std::size_t b0, std::size_t b1) { collect(q.state, b0, b1, symmetric); },
            [&] { return keep_going(); });
        if (!scanned) {
            return false;
        }
        for (std::size_t s = s0; s < s1; ++s) {
            states_[s].slot = NO_POSITION;
            fill(states_[s]);
        }
        steering_.group_done();
        return true;
    }

    // The row index at panel position p of the panel being scanned.
    std::size_t row_at(std::size_t p) const noexcept { return scan_ == &own_panel_ ? row_of_[p] : p; }

    // Offers the candidates of blocks [b0, b1) that passed the kernel's filters: forward ones
    // to the state's own selections, reverse ones (the state's row as a candidate) to the
    // states at those positions.
    void collect(std::size_t state, std::size_t b0, std::size_t b1, bool with_reverse) {
        const std::size_t n = (b1 - b0) * BLOCK_BYTES;
        const double* dist = scratch_.dist();
        const std::size_t self_row = states_[state].row;
        const double* q = query_ + self_row * cols_;
        for (std::size_t i = 0; i < n; i += 8) {
            const std::size_t chunk = std::min<std::size_t>(8, n - i);
            std::uint64_t forward = 0;
            std::uint64_t reverse = 0;
            std::memcpy(&forward, scratch_.forward() + i, chunk);
            if (with_reverse) {
                std::memcpy(&reverse, scratch_.reverse() + i, chunk);
            }
            for (std::uint64_t bits = forward | reverse; bits != 0; bits &= bits - 1) {
                const std::size_t bit = static_cast<std::size_t>(__builtin_ctzll(bits));
                const std::size_t p = b0 * BLOCK_ROWS + i * 8 + bit;
                const std::size_t row = row_at(p);
                const double d2 = dist[i * 8 + bit];
                if (std::isnan(d2) || (std::isinf(d2) && !shares_coordinate(donors_, q, row))) {
                    continue;  // no distance
                }
                const std::uint64_t key = query_rank_key(std::sqrt(d2));
                if ((forward >> bit) & 1u) {
                    offer(state, Entry{key, row});
                }
                if ((reverse >> bit) & 1u) {
                    offer(p, Entry{key, self_row});  // state p sits at position p
                }
            }
        }
    }

    void offer(std::size_t state, const Entry& e) {
        const RowState& st = states_[state];
        bool changed = false;
        for (std::size_t i = 0; i < st.n_cells; ++i) {
            CellSelection& s = cells_[st.first_cell + i];
            if (!s.top.admits(e) || !donors_.panel().holds(e.idx, s.col)) {
                continue;
            }
            if (s.top.take(e)) {
                s.bound = distance_rank_key(square_bound(key_distance(s.top.threshold())));
                changed = true;
            }
        }
        if (changed) {
            refresh(state);
        }
    }

    // The filters that depend on a state's selections: the largest bound of its full selections
    // and the columns of the others (any candidate holding a value there passes).
    void refresh(std::size_t state) {
        const RowState& st = states_[state];
        std::uint64_t threshold = 0;
        bool open = false;
        GroupQuery* q = st.slot == NO_POSITION ? nullptr : &group_[st.slot];
        if (q != nullptr) {
            q->open.clear();
        }
        for (std::size_t i = 0; i < st.n_cells; ++i) {
            const CellSelection& s = cells_[st.first_cell + i];
            if (s.top.full()) {
                threshold = std::max(threshold, s.bound);
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
        if (!reverse_threshold_.empty()) {
            reverse_threshold_[state] = open ? std::numeric_limits<std::uint64_t>::max() : threshold;
        }
    }

    void fill(const RowState& st) {
        double* q = query_ + st.row * cols_;
        for (std::size_t i = 0; i < st.n_cells; ++i) {
            CellSelection& s = cells_[st.first_cell + i];
            values_.clear();
            distances_.clear();
            for (const Entry& e : s.top.sorted()) {
                values_.push_back(donors_.value(e.idx, s.col));
                distances_.push_back(key_distance(e.key));
            }
            q[s.col] = values_.empty() ? columns_.mean[s.col] : weighted_mean(values_, distances_, weights_);
        }
    }

    // Large k: every candidate with a distance is ordered, then each column walks the order.
    bool run_unbounded(std::size_t first, std::size_t last) {
        const std::size_t cols = cols_;
        const Panel& panel = donors_.panel();
        const std::size_t blocks = panel.view().blocks;
        size_scratch(blocks);
        std::vector<Entry>& order = order_;
        order.reserve(donors_.rows());
        QueryRow& query = unbounded_row_;
        for (std::size_t r = first; r < last; ++r) {
            double* q = query_ + r * cols;
            missing_columns(columns_, q, cols, missing_);
            if (missing_.empty()) {
                continue;
            }
            if (!keep_going()) {
                return false;
            }
            publish(r);
            query.prepare(panel, q, NO_POSITION);
            query.view.threshold = std::numeric_limits<std::uint64_t>::max();
            kernel_(panel.view(), query.view, 0, blocks, scratch_.dist(), scratch_.forward(), nullptr);
            order.clear();
            for (std::size_t t = 0; t < donors_.rows(); ++t) {
                const double d2 = scratch_.dist()[t];
                if (std::isnan(d2) || (std::isinf(d2) && !shares_coordinate(donors_, q, t))) {
                    continue;
                }
                order.push_back(Entry{query_rank_key(std::sqrt(d2)), t});
            }
            std::sort(order.begin(), order.end(), EntryLess{});
            for (const std::size_t c : missing_) {
                values_.clear();
                distances_.clear();
                for (const Entry& e : order) {
                    if (values_.size() == k_) {
                        break;
                    }
                    const double v = donors_.value(e.idx, c);
                    if (!std::isnan(v)) {
                        values_.push_back(v);
                        distances_.push_back(key_distance(e.key));
                    }
                }
                q[c] = values_.empty() ? columns_.mean[c] : weighted_mean(values_, distances_, weights_);
            }
        }
        publish(last);
        return true;
    }

    const QueryDonors& donors_;
    const DonorColumns& columns_;
    std::size_t cols_;
    double* query_;
    std::size_t k_;
    QueryWeights weights_;
    Kernel kernel_;
    PassTuning tuning_;

    std::size_t capacity_ = 1;
    const Panel* scan_ = nullptr;  // the panel the kernels read: the donors' own, or own_panel_
    Panel own_panel_;              // symmetric mode: the rows being imputed first
    std::vector<std::size_t> row_of_;
    std::size_t superblock_ = 1;
    BlockScratch scratch_;
    std::size_t scratch_blocks_ = 0;  // what scratch_ holds
    std::vector<Entry> order_;        // the full-ordering path
    QueryRow unbounded_row_;
    const PassControl* control_ = nullptr;
    std::size_t published_ = 0;  // rows up to this one were added to control_->done
    std::vector<RowState> states_;
    std::vector<GroupQuery> group_;
    std::size_t group_size_ = 0;
    std::vector<std::uint64_t> reverse_threshold_;
    std::vector<CellSelection> cells_;
    std::vector<Entry> arena_;
    std::vector<std::size_t> missing_;
    std::vector<double> values_;
    std::vector<double> distances_;
    PruneSteering steering_{tuning_, cols_};
};

}  // namespace detail

std::vector<QueryKernel> available_query_kernels() {
    std::vector<QueryKernel> kernels{QueryKernel::reference};
    for (const KernelKind kind : available_kernels()) {
        switch (kind) {
            case KernelKind::portable:
                kernels.push_back(QueryKernel::portable);
                break;
            case KernelKind::avx2:
                kernels.push_back(QueryKernel::avx2);
                break;
            case KernelKind::avx512:
                kernels.push_back(QueryKernel::avx512);
                break;
        }
    }
    return kernels;
}

QueryKernel best_query_kernel() noexcept {
    switch (best_kernel()) {
        case KernelKind::avx512:
            return QueryKernel::avx512;
        case KernelKind::avx2:
            return QueryKernel::avx2;
        case KernelKind::portable:
            break;
    }
    return QueryKernel::portable;
}

std::string_view query_kernel_name(QueryKernel kernel) noexcept {
    switch (kernel) {
        case QueryKernel::reference:
            return "reference";
        case QueryKernel::portable:
            return "portable";
        case QueryKernel::avx2:
            return "avx2";
        case QueryKernel::avx512:
            return "avx512";
    }
    return "unknown";
}

QueryDonors::QueryDonors(const TableView& fitted, bool masked_cells, DonorLayout layout)
    : rows_(fitted.rows),
      cols_(fitted.cols),
      row_major_(layout == DonorLayout::rows ||
                 (layout == DonorLayout::automatic && fitted.rows <= QUERY_ROW_MAJOR_MAX_ROWS)),
      columns_(donor_columns(fitted)) {
    const std::size_t cells = checked_count<double>(checked_mul(rows_, cols_));
    if (row_major_) {
        rows_table_.assign(fitted.values, fitted.values + cells);
        return;
    }
    std::vector<std::size_t> row_of(checked_count<std::size_t>(rows_));
    std::iota(row_of.begin(), row_of.end(), std::size_t{0});
    panel_.build({fitted.values, cells}, cols_, row_of, Metric::nan_euclid, masked_cells);
}

std::vector<double> QueryDonors::table() const {
    if (row_major_) {
        return rows_table_;
    }
    std::vector<double> out(checked_count<double>(checked_mul(rows_, cols_)));
    for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < cols_; ++c) {
            out[r * cols_ + c] = value(r, c);
        }
    }
    return out;
}

std::size_t QueryDonors::bytes() const noexcept {
    // Each part exists in memory, so the sum fits.
    return panel_.bytes() + rows_table_.size() * sizeof(double) + columns_.mean.size() * sizeof(double) +
           columns_.count.size() * sizeof(std::size_t) + sizeof(*this);
}

bool query_is_fitted(const QueryDonors& donors, const double* query, std::size_t query_rows) noexcept {
    return query_rows == donors.rows() && detail::same_cells(donors, query);
}

void query_fast(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                std::size_t k, QueryWeights weights, QueryKernel kernel, const PassTuning& tuning) {
    query_fast_with(donors, query, query_rows, first, last, k, weights, kernel,
                    first == 0 && last == donors.rows() && query_is_fitted(donors, query, query_rows), tuning);
}

namespace {

// The kernel kind of a fast pass; std::invalid_argument for the reference.
KernelKind fast_kind(QueryKernel kernel) {
    KernelKind kind = KernelKind::portable;
    switch (kernel) {
        case QueryKernel::reference:
            throw std::invalid_argument("the reference query pass is query_reference");
        case QueryKernel::portable:
            kind = KernelKind::portable;
            break;
        case QueryKernel::avx2:
            kind = KernelKind::avx2;
            break;
        case QueryKernel::avx512:
            kind = KernelKind::avx512;
            break;
    }
    return kind;
}

}  // namespace

void query_fast_with(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                     std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel, bool query_is_fitted,
                     const PassTuning& tuning) {
    query_fast_controlled(donors, query, query_rows, first, last, k, weights, kernel, query_is_fitted, tuning,
                          PassControl{});
}

bool query_fast_controlled(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                           std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel,
                           bool query_is_fitted, const PassTuning& tuning, const PassControl& control) {
    const KernelKind kind = fast_kind(kernel);
    detail::check_pass_arguments({nullptr, donors.rows(), donors.cols()}, donors.columns(), query_rows, first, last, k);
    const detail::Kernel fn = detail::kernel_for(kind, Metric::nan_euclid, donors.cols());
    if (donors.rows() == 0 || donors.cols() == 0 || first == last) {
        if (control.done != nullptr) {
            control.done->fetch_add(last - first);
        }
        return true;  // no column has a donor, or no row to impute
    }
    if (donors.is_row_major()) {
        // A few fitted rows, held as they are: the straightforward pass measures them in place,
        // a step of about 2^16 cell distances at a time, the control asked between steps.
        const std::size_t per_row = std::max<std::size_t>(1, donors.rows() * donors.cols());
        const std::size_t step = std::max<std::size_t>(1, (std::size_t{1} << 16) / per_row);
        for (std::size_t a = first; a < last;) {
            if (control.keep_going != nullptr && !control.keep_going(control.context)) {
                return false;
            }
            const std::size_t b = a + std::min(step, last - a);
            query_reference(donors.row_major(), donors.columns(), query, query_rows, a, b, k, weights);
            if (control.done != nullptr) {
                control.done->fetch_add(b - a);
            }
            a = b;
        }
        return true;
    }
    detail::QueryPass pass(donors, query, k, weights, fn, tuning);
    const bool completed = pass.run(first, last, query_is_fitted, &control);
    pass.report();
    return completed;
}

QueryWorker::QueryWorker(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t k,
                         QueryWeights weights, QueryKernel kernel, const PassTuning& tuning) {
    if (donors.is_row_major()) {
        // query_parallel keeps such donors on the calling thread: the straightforward pass
        // allocates as it goes, which a worker must not.
        throw std::invalid_argument("a worker's pass needs the donors held as a panel");
    }
    const KernelKind kind = fast_kind(kernel);
    detail::check_pass_arguments({nullptr, donors.rows(), donors.cols()}, donors.columns(), query_rows, 0, query_rows,
                                 k);
    const detail::Kernel fn = detail::kernel_for(kind, Metric::nan_euclid, donors.cols());
    pass_ = std::make_unique<detail::QueryPass>(donors, query, k, weights, fn, tuning);
    if (donors.rows() != 0 && donors.cols() != 0) {
        pass_->prepare_ranges(query_rows);
    }
}

QueryWorker::QueryWorker(QueryWorker&&) noexcept = default;
QueryWorker& QueryWorker::operator=(QueryWorker&&) noexcept = default;
QueryWorker::~QueryWorker() = default;

// The pass's code can throw where it grows its buffers (checked sizes, vectors), but on a worker
// it never grows them: prepare_ranges sized every one for any group, with the same checked sizes
// (QueryParallel.WorkerPassesAllocateNothingAndStopAtAnyStep counts the allocations).
// NOLINTNEXTLINE(bugprone-exception-escape)
bool QueryWorker::run(std::size_t first, std::size_t last, const PassControl& control) noexcept {
    if (pass_->donors_empty() || first == last) {
        if (control.done != nullptr) {
            control.done->fetch_add(last - first);
        }
        return true;
    }
    // Everything was allocated by prepare_ranges: nothing here allocates or throws.
    return pass_->run(first, last, false, &control);
}

void QueryWorker::report() const noexcept { pass_->report(); }

}  // namespace mirel::knn
