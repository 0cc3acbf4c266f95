// The fast imputation pass.
//
// It computes exactly what the straightforward pass computes (impute_reference.cpp), bit for
// bit, failures included, but organises the work differently:
//
// 1. Failures are decided before any work. The straightforward pass can only fail on the
//    metric name, on a zero column count, on row access of the first row with a missing cell
//    (or of the first such row beyond the fitted rows) and on a candidate index beyond the
//    fitted rows; each depends only on where the first and last missing cells lie, so they are
//    checked up front in the order in which the straightforward pass meets them.
// 2. The candidate rows are copied once per call into a column-blocked panel (32 rows per
//    block, column by column), so that one vector lane follows one candidate row through the
//    columns in order, performing exactly the scalar metric's operations.
// 3. Nobody sorts all candidates. `average` takes, per missing cell, the first k candidates in
//    the order (distance key, row index) that hold a value in the cell's column. The pass keeps
//    exactly that set per missing cell (a "selection", a heap of at most k entries whose top is
//    the running threshold). Key and row index together are unique, so the kept entries sorted by them are
//    in the order a stable sort of all candidates gives.
// 4. Both metrics are symmetric bit for bit, so when rows i and j both need imputing and both
//    are candidates, d(i, j) is computed once and offered to the selections of both rows.
//    These rows sit first in the panel, in row order; each measures only the panel positions
//    from its own onwards. Their selections live until the row is done, which costs memory per
//    missing cell, so this is done only within a budget (64 MiB plus twice the fitted matrix by
//    default, PassTuning); beyond it, rows are imputed in groups without reuse.
// 5. Rows are measured in groups against one cache-sized super-block of the panel after
//    another, so the panel is read from the nearest cache.
// 6. Very large k (above PassTuning::max_selected) is served by ordering all candidates of a
//    row, with the fast distances.
#include "knn/impute_fast.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "knn/distance_kernels.hpp"
#include "knn/metrics.hpp"
#include "knn/panic.hpp"

namespace mirel::knn {

namespace {

using detail::BLOCK_BYTES;
using detail::BLOCK_ROWS;
using detail::KernelFn;
using detail::KernelSet;
using detail::PanelView;
using detail::QueryView;

constexpr std::size_t NONE = SIZE_MAX;
constexpr std::align_val_t ALIGNMENT{64};

template <class T>
struct AlignedDelete {
    void operator()(T* p) const noexcept { ::operator delete(p, ALIGNMENT); }
};

template <class T>
using AlignedArray = std::unique_ptr<T, AlignedDelete<T>>;

// Uninitialised, 64-byte aligned array of trivially copyable T.
template <class T>
AlignedArray<T> aligned_array(std::size_t n) {
    if (n == 0) {
        n = 1;
    }
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
        throw std::bad_alloc();
    }
    return AlignedArray<T>(static_cast<T*>(::operator new(n * sizeof(T), ALIGNMENT)));
}

// ---------------------------------------------------------------------------------------------
// Column-blocked copy of the candidate rows; position p holds fitted row row_of[p].

struct Panel {
    AlignedArray<double> values;
    AlignedArray<double> missing_term;
    AlignedArray<std::int64_t> count;
    std::vector<std::uint8_t> present;
    std::vector<double> scale;
    std::vector<std::uint8_t> column_has_infinity;  // per column: some candidate holds +-inf
    PanelView view;
};

void build_panel(Panel& panel, std::span<const double> fitted, std::size_t cols, std::span<const std::size_t> row_of,
                 bool expected) {
    const std::size_t m = row_of.size();
    const std::size_t blocks = (m + BLOCK_ROWS - 1) / BLOCK_ROWS;
    const std::size_t cells = blocks * cols * BLOCK_ROWS;
    panel.values = aligned_array<double>(cells);
    panel.count = aligned_array<std::int64_t>(blocks * BLOCK_ROWS);
    panel.present.assign(blocks * cols * BLOCK_BYTES, 0);
    panel.column_has_infinity.assign(cols, 0);
    if (expected) {
        panel.missing_term = aligned_array<double>(cells);
    } else {
        panel.scale.assign(cols + 1, 0.0);
        for (std::size_t p = 1; p <= cols; ++p) {
            // Exactly the scale nan_euclid computes for `p` shared coordinates.
            panel.scale[p] = static_cast<double>(cols) / static_cast<double>(p);
        }
    }
    double* values = panel.values.get();
    double* term = panel.missing_term.get();
    std::int64_t* count = panel.count.get();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
            const std::size_t p = b * BLOCK_ROWS + i;
            const double* row = p < m ? fitted.data() + row_of[p] * cols : nullptr;
            std::int64_t present = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const std::size_t at = (b * cols + c) * BLOCK_ROWS + i;
                const double v = row != nullptr ? row[c] : nan;
                const bool missing = std::isnan(v);
                values[at] = v;
                if (!missing) {
                    panel.present[(b * cols + c) * BLOCK_BYTES + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
                    ++present;
                    if (std::isinf(v)) {
                        panel.column_has_infinity[c] = 1;
                    }
                }
                if (term != nullptr) {
                    term[at] = missing ? BOTH_MISSING_PENALTY : std::fmax(v, 1.0 - v);
                }
            }
            count[p] = present;
        }
    }
    panel.view.cols = cols;
    panel.view.rows = m;
    panel.view.blocks = blocks;
    panel.view.values = values;
    panel.view.present = panel.present.data();
    panel.view.count = count;
    panel.view.missing_term = term;
    panel.view.scale = expected ? nullptr : panel.scale.data();
}

// Whether the row at panel position p holds a value in column c (compact bits, usually still
// cached from the distance computation).
inline bool panel_holds(const PanelView& panel, std::size_t p, std::size_t c) noexcept {
    const std::size_t b = p / BLOCK_ROWS;
    const std::size_t i = p % BLOCK_ROWS;
    return (panel.present[(b * panel.cols + c) * BLOCK_BYTES + i / 8] >> (i % 8)) & 1u;
}

// ---------------------------------------------------------------------------------------------
// Rows to impute, selections, queries.

// The rows with a missing cell, ascending, with their missing columns (ascending).
struct RowsToImpute {
    std::vector<std::size_t> rows;
    std::vector<std::size_t> offsets{0};  // columns of rows[i]: cols[offsets[i] .. offsets[i+1])
    std::vector<std::size_t> cols;
};

// A candidate in a selection. Its distance is not kept: only "distance" weights need it, for
// the few donors finally used, and the scalar metric gives the very same bits again (the
// kernels compute exactly the metric, and the metric is symmetric).
struct Entry {
    std::uint64_t key;
    std::size_t idx;  // fitted row index
};

inline bool entry_less(const Entry& a, const Entry& b) noexcept {
    return a.key < b.key || (a.key == b.key && a.idx < b.idx);
}

// Replaces the top of a max-heap of n entries by a smaller entry e and restores the heap
// (one sift-down instead of a pop and a push).
inline void replace_top(Entry* heap, std::size_t n, const Entry& e) noexcept {
    std::size_t i = 0;
    for (;;) {
        std::size_t child = 2 * i + 1;
        if (child >= n) {
            break;
        }
        if (child + 1 < n && entry_less(heap[child], heap[child + 1])) {
            ++child;
        }
        if (!entry_less(e, heap[child])) {
            break;
        }
        heap[i] = heap[child];
        i = child;
    }
    heap[i] = e;
}

// The same order as an object type, so that the heap and sort algorithms inline it.
struct EntryLess {
    bool operator()(const Entry& a, const Entry& b) const noexcept { return entry_less(a, b); }
};

// The donors of one missing cell: the first `limit` candidates by (key, row index) that hold a
// value in column `col`, seen so far. Its entries live in the pass's arena (`capacity` slots)
// as a max-heap; once `limit` entries are held the selection is full, and only a candidate
// below the heap's top (the largest held) can still belong to the set: it replaces the top.
struct Selection {
    std::size_t col = 0;
    std::size_t size = 0;
    bool full = false;
};

// A row being imputed.
struct State {
    std::size_t row = 0;
    std::size_t pos = NONE;   // panel position, NONE when the row is no candidate
    std::size_t first_selection = 0;
    std::size_t n_selections = 0;
    std::size_t slot = NONE;  // its Query while its group runs
};

// What the kernel needs of a row while it is measured.
struct Query {
    std::size_t state = 0;
    std::vector<std::uint32_t> ref_present;
    std::vector<std::uint32_t> ref_missing;
    std::vector<std::uint8_t> ref_is_missing;
    std::vector<double> ref_term;
    std::vector<std::uint32_t> open;
    QueryView view;
};

void prepare_query(Query& q, const Panel& panel, std::span<const double> fitted, std::size_t cols, std::size_t row,
                   std::size_t pos) {
    const double* ref = fitted.data() + row * cols;
    bool finite_pairs = true;
    q.ref_present.clear();
    q.ref_missing.clear();
    q.ref_is_missing.assign(cols, 0);
    q.ref_term.assign(cols, 0.0);
    for (std::size_t c = 0; c < cols; ++c) {
        const double a = ref[c];
        if (std::isnan(a)) {
            q.ref_missing.push_back(static_cast<std::uint32_t>(c));
            q.ref_is_missing[c] = 1;
        } else {
            q.ref_present.push_back(static_cast<std::uint32_t>(c));
            q.ref_term[c] = std::fmax(a, 1.0 - a);  // what expected_distance adds when the other cell is missing
            if (std::isinf(a) && panel.column_has_infinity[c]) {
                finite_pairs = false;
            }
        }
    }
    q.open.clear();
    QueryView& v = q.view;
    v = QueryView{};
    v.ref = ref;
    v.ref_present = q.ref_present.data();
    v.n_ref_present = q.ref_present.size();
    v.ref_missing = q.ref_missing.data();
    v.n_ref_missing = q.ref_missing.size();
    v.ref_is_missing = q.ref_is_missing.data();
    v.ref_term = q.ref_term.data();
    v.self = pos;
    v.finite_pairs = finite_pairs;
}

class Pass {
public:
    Pass(const KnnImputer& imputer, std::size_t m, MetricFn metric, KernelFn kernel, const PassTuning& tuning,
         const RowsToImpute& work, std::vector<double>& result)
        : imputer_(imputer),
          metric_(metric),
          fitted_(imputer.fitted_values()),
          cols_(imputer.cols()),
          m_(m),
          kernel_(kernel),
          tuning_(tuning),
          work_(work),
          result_(result),
          expected_(imputer.metric() == "expected_distance"),
          uniform_(imputer.weights() == "uniform"),
          uniform_weight_(1.0 / static_cast<double>(imputer.k())),
          limit_(imputer.k() == 0 ? 1 : imputer.k()) {}

    void run() {
        if (limit_ > tuning_.max_selected) {
            run_unbounded();
            return;
        }
        capacity_ = std::max<std::size_t>(1, std::min<std::size_t>(limit_, m_));
        // 1. Rows that are also candidates come first in the row list (rows ascend).
        const std::size_t both = static_cast<std::size_t>(
            std::lower_bound(work_.rows.begin(), work_.rows.end(), m_) - work_.rows.begin());
        const std::size_t cells = work_.offsets[both];
        const double bytes = static_cast<double>(cells) *
                             static_cast<double>(capacity_ * sizeof(Entry) + sizeof(Selection) + sizeof(State));
        const double budget = static_cast<double>(tuning_.selection_budget_bytes) +
                              static_cast<double>(tuning_.selection_budget_per_fitted_byte) *
                                  static_cast<double>(fitted_.size() * sizeof(double));
        symmetric_ = both >= 2 && bytes <= budget;
        // 2. Panel order: in symmetric mode those rows first, then every other candidate;
        //    otherwise row order.
        std::vector<std::size_t> row_of;
        row_of.reserve(m_);
        if (symmetric_) {
            row_of.assign(work_.rows.begin(), work_.rows.begin() + static_cast<std::ptrdiff_t>(both));
            std::size_t next = 0;
            for (std::size_t t = 0; t < m_; ++t) {
                if (next < both && work_.rows[next] == t) {
                    ++next;
                } else {
                    row_of.push_back(t);
                }
            }
        } else {
            for (std::size_t t = 0; t < m_; ++t) {
                row_of.push_back(t);
            }
        }
        build_panel(panel_, fitted_, cols_, row_of, expected_);
        row_of_ = std::move(row_of);
        const std::size_t block_bytes = cols_ * BLOCK_ROWS * sizeof(double) * (expected_ ? 2 : 1);
        superblock_ = std::max<std::size_t>(1, tuning_.superblock_bytes / std::max<std::size_t>(1, block_bytes));
        dist_ = aligned_array<double>(superblock_ * BLOCK_ROWS);
        pass_.assign(superblock_ * BLOCK_BYTES, 0);
        reverse_.assign(superblock_ * BLOCK_BYTES, 0);
        std::size_t next = 0;
        if (symmetric_) {
            run_symmetric(both);
            next = both;
        }
        // 3. Every other row, in groups, measured against all candidates.
        while (next < work_.rows.size()) {
            states_.clear();
            selections_.clear();
            std::size_t cells_in_group = 0;
            while (next < work_.rows.size() && states_.size() < tuning_.group_rows) {
                const std::size_t n = work_.offsets[next + 1] - work_.offsets[next];
                if (!states_.empty() && cells_in_group + n > tuning_.group_selections) {
                    break;
                }
                const std::size_t row = work_.rows[next];
                add_state(next, row < m_ && !symmetric_ ? row : NONE);
                cells_in_group += n;
                ++next;
            }
            run_group(0, states_.size(), false);
        }
    }

private:
    void add_state(std::size_t i, std::size_t pos) {
        State s;
        s.row = work_.rows[i];
        s.pos = pos;
        s.first_selection = selections_.size();
        s.n_selections = work_.offsets[i + 1] - work_.offsets[i];
        for (std::size_t j = work_.offsets[i]; j < work_.offsets[i + 1]; ++j) {
            Selection sel;
            sel.col = work_.cols[j];
            selections_.push_back(sel);
        }
        states_.push_back(s);
        if (arena_.size() < selections_.size() * capacity_) {
            arena_.resize(selections_.size() * capacity_);
        }
    }

    // Rows 0..both-1 of the row list sit at panel positions 0..both-1; row at position p
    // measures positions p.. only, and hands each distance to the rows after it too.
    void run_symmetric(std::size_t both) {
        states_.clear();
        selections_.clear();
        states_.reserve(both);
        for (std::size_t i = 0; i < both; ++i) {
            add_state(i, i);
        }
        reverse_threshold_.assign(panel_.view.blocks * BLOCK_ROWS, 0);
        for (std::size_t i = 0; i < both; ++i) {
            reverse_threshold_[i] = std::numeric_limits<std::uint64_t>::max();  // nothing full yet
        }
        for (std::size_t g = 0; g < both; g += tuning_.group_rows) {
            run_group(g, std::min(both, g + tuning_.group_rows), true);
        }
    }

    // Measures states [s0, s1) against the panel (from their own positions on in symmetric
    // mode), then writes their fill values.
    void run_group(std::size_t s0, std::size_t s1, bool symmetric) {
        group_size_ = 0;
        for (std::size_t s = s0; s < s1; ++s) {
            if (group_size_ == group_.size()) {
                group_.emplace_back();
            }
            Query& q = group_[group_size_];
            State& st = states_[s];
            st.slot = group_size_++;
            q.state = s;
            prepare_query(q, panel_, fitted_, cols_, st.row, st.pos);
            if (symmetric) {
                q.view.first = st.pos;
                q.view.reverse_end = states_.size();
                q.view.reverse_threshold = reverse_threshold_.data();
            }
            refresh(st);
        }
        const std::size_t blocks = panel_.view.blocks;
        const std::size_t start = symmetric ? states_[s0].pos / BLOCK_ROWS : 0;
        for (std::size_t b0 = start; b0 < blocks; b0 += superblock_) {
            const std::size_t b1 = std::min(blocks, b0 + superblock_);
            for (std::size_t g = 0; g < group_size_; ++g) {
                Query& q = group_[g];
                const std::size_t from = symmetric ? std::max(b0, q.view.first / BLOCK_ROWS) : b0;
                if (from >= b1) {
                    continue;
                }
                kernel_(panel_.view, q.view, from, b1, dist_.get(), pass_.data(), reverse_.data());
                collect(q, from, b1);
            }
        }
        for (std::size_t s = s0; s < s1; ++s) {
            states_[s].slot = NONE;
            fill(states_[s]);
        }
    }

    // Offers the candidates of blocks [b0, b1) that passed the kernel's filters: forward ones
    // to the query's own selections, reverse ones (the query row as a candidate) to the rows at
    // those positions.
    void collect(Query& q, std::size_t b0, std::size_t b1) {
        const std::size_t n = (b1 - b0) * BLOCK_BYTES;
        const State& self = states_[q.state];
        const std::size_t self_row = self.row;
        const std::size_t self_pos = self.pos;
        const std::size_t query_state = q.state;
        for (std::size_t i = 0; i < n; i += 8) {
            std::uint64_t forward = 0;
            std::uint64_t backward = 0;
            const std::size_t chunk = std::min<std::size_t>(8, n - i);
            std::memcpy(&forward, pass_.data() + i, chunk);
            std::memcpy(&backward, reverse_.data() + i, chunk);
            // The rows that get a reverse offer are scattered over memory: ask for their
            // states, selections and heaps at once so that the misses overlap.
            for (std::uint64_t bits = backward; bits != 0; bits &= bits - 1) {
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
                offer(states_[query_state], row_of_[p], p, dist_.get()[i * 8 + bit]);
            }
            while (backward != 0) {
                const std::size_t bit = static_cast<std::size_t>(__builtin_ctzll(backward));
                backward &= backward - 1;
                const std::size_t p = b0 * BLOCK_ROWS + i * 8 + bit;
                offer(states_[p], self_row, self_pos, dist_.get()[i * 8 + bit]);
            }
        }
    }

    // Offers candidate `row` (at panel position `pos`) at distance d to every selection of st.
    void offer(State& st, std::size_t row, std::size_t pos, double d) {
        const Entry e{distance_rank_key(d), row};
        bool changed = false;
        for (std::size_t i = 0; i < st.n_selections; ++i) {
            const std::size_t index = st.first_selection + i;
            Selection& s = selections_[index];
            Entry* heap = arena_.data() + index * capacity_;
            if (s.full && !entry_less(e, heap[0])) {
                continue;
            }
            if (!panel_holds(panel_.view, pos, s.col)) {
                continue;
            }
            if (s.full) {
                replace_top(heap, s.size, e);
            } else {
                heap[s.size++] = e;
                std::push_heap(heap, heap + s.size, EntryLess{});
                s.full = s.size == limit_;
            }
            changed |= s.full;
        }
        if (changed) {
            refresh(st);
        }
    }

    // Recomputes the filters that depend on st's selections: the largest threshold of its full
    // selections and the columns of the others.
    void refresh(const State& st) {
        std::uint64_t threshold = 0;
        bool open = false;
        Query* q = st.slot == NONE ? nullptr : &group_[st.slot];
        if (q != nullptr) {
            q->open.clear();
        }
        for (std::size_t i = 0; i < st.n_selections; ++i) {
            const Selection& s = selections_[st.first_selection + i];
            if (s.full) {
                threshold = std::max(threshold, arena_[(st.first_selection + i) * capacity_].key);
            } else {
                open = true;
                if (q != nullptr) {
                    q->open.push_back(static_cast<std::uint32_t>(s.col));
                }
            }
        }
        if (q != nullptr) {
            q->view.threshold = threshold;
            q->view.open = q->open.data();
            q->view.n_open = q->open.size();
        }
        if (!reverse_threshold_.empty() && st.pos != NONE && st.pos < reverse_threshold_.size()) {
            reverse_threshold_[st.pos] = open ? std::numeric_limits<std::uint64_t>::max() : threshold;
        }
    }

    // The distance the straightforward pass lists for candidate t of row r.
    double distance(std::size_t r, std::size_t t) const {
        if (t == r) {
            return SELF_DISTANCE;
        }
        return metric_(imputer_, fitted_.subspan(r * cols_, cols_), fitted_.subspan(t * cols_, cols_));
    }

    void fill(const State& st) {
        for (std::size_t i = 0; i < st.n_selections; ++i) {
            const std::size_t index = st.first_selection + i;
            const Selection& s = selections_[index];
            Entry* buf = arena_.data() + index * capacity_;
            std::sort(buf, buf + s.size, EntryLess{});
            const std::size_t used = std::min<std::size_t>(s.size, limit_);
            double value = 0.0;
            for (std::size_t j = 0; j < used; ++j) {
                const double v = fitted_[buf[j].idx * cols_ + s.col];
                const double w = uniform_ ? uniform_weight_ : 1.0 / distance(st.row, buf[j].idx);
                value = value + v * w;
            }
            result_[st.row * cols_ + s.col] = value;
        }
    }

    // Large k: every candidate is ranked, as the straightforward pass does, but with the fast
    // distances and without computing weights of rows that are never used.
    void run_unbounded() {
        std::vector<std::size_t> row_of(m_);
        for (std::size_t t = 0; t < m_; ++t) {
            row_of[t] = t;
        }
        build_panel(panel_, fitted_, cols_, row_of, expected_);
        const std::size_t blocks = std::max<std::size_t>(1, panel_.view.blocks);
        dist_ = aligned_array<double>(blocks * BLOCK_ROWS);
        pass_.assign(blocks * BLOCK_BYTES, 0);
        reverse_.assign(blocks * BLOCK_BYTES, 0);
        std::vector<Entry> order(m_);
        Query q;
        for (std::size_t i = 0; i < work_.rows.size(); ++i) {
            const std::size_t r = work_.rows[i];
            prepare_query(q, panel_, fitted_, cols_, r, r < m_ ? r : NONE);
            kernel_(panel_.view, q.view, 0, panel_.view.blocks, dist_.get(), pass_.data(), reverse_.data());
            for (std::size_t t = 0; t < m_; ++t) {
                const double d = dist_.get()[t];
                order[t] = Entry{distance_rank_key(d), t};
            }
            std::sort(order.begin(), order.end(), EntryLess{});
            for (std::size_t j = work_.offsets[i]; j < work_.offsets[i + 1]; ++j) {
                const std::size_t c = work_.cols[j];
                double value = 0.0;
                std::size_t used = 0;
                for (const Entry& e : order) {
                    const double v = fitted_[e.idx * cols_ + c];
                    if (std::isnan(v)) {
                        continue;
                    }
                    const double w = uniform_ ? uniform_weight_ : 1.0 / dist_.get()[e.idx];
                    value = value + v * w;
                    if (++used == limit_) {
                        break;
                    }
                }
                result_[r * cols_ + c] = value;
            }
        }
    }

    const KnnImputer& imputer_;
    MetricFn metric_;
    std::span<const double> fitted_;
    std::size_t cols_;
    std::size_t m_;
    KernelFn kernel_;
    PassTuning tuning_;
    const RowsToImpute& work_;
    std::vector<double>& result_;
    bool expected_;
    bool uniform_;
    double uniform_weight_;
    std::size_t limit_;

    Panel panel_;
    std::vector<std::size_t> row_of_;
    std::size_t superblock_ = 1;
    bool symmetric_ = false;
    AlignedArray<double> dist_;
    std::vector<std::uint8_t> pass_;
    std::vector<std::uint8_t> reverse_;
    std::vector<std::uint64_t> reverse_threshold_;

    std::vector<State> states_;
    std::vector<Selection> selections_;
    std::vector<Entry> arena_;
    std::size_t capacity_ = 1;
    std::vector<Query> group_;
    std::size_t group_size_ = 0;
};

bool has_avx512() noexcept {
#if MIREL_X86_KERNELS
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
    return false;
#endif
}

bool has_avx2() noexcept {
#if MIREL_X86_KERNELS
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

KernelSet kernels_for(KernelKind kind, std::size_t cols) {
    switch (kind) {
        case KernelKind::portable:
            return detail::portable_kernels();
        case KernelKind::avx2:
#if MIREL_X86_KERNELS
            if (has_avx2()) {
                return detail::avx2_kernels();
            }
#endif
            break;
        case KernelKind::avx512:
#if MIREL_X86_KERNELS
            if (has_avx512()) {
                return detail::avx512_kernels(cols);
            }
#endif
            break;
    }
    (void)cols;
    throw std::invalid_argument("distance kernel not available on this machine");
}

std::size_t first_nan(std::span<const double> values, std::size_t from) noexcept {
    for (std::size_t p = from; p < values.size(); ++p) {
        if (std::isnan(values[p])) {
            return p;
        }
    }
    return values.size();
}

}  // namespace

std::vector<KernelKind> available_kernels() {
    std::vector<KernelKind> kinds{KernelKind::portable};
    if (has_avx2()) {
        kinds.push_back(KernelKind::avx2);
    }
    if (has_avx512()) {
        kinds.push_back(KernelKind::avx512);
    }
    return kinds;
}

KernelKind best_kernel() noexcept {
    if (has_avx512()) {
        return KernelKind::avx512;
    }
    if (has_avx2()) {
        return KernelKind::avx2;
    }
    return KernelKind::portable;
}

std::string_view kernel_name(KernelKind kind) noexcept {
    switch (kind) {
        case KernelKind::portable:
            return "portable";
        case KernelKind::avx2:
            return "avx2";
        case KernelKind::avx512:
            return "avx512";
    }
    return "?";
}

std::vector<double> distances_with(const KnnImputer& imputer, std::size_t row, std::size_t candidates,
                                   KernelKind kernel) {
    const KernelSet kernels = kernels_for(kernel, imputer.cols());
    const std::size_t cols = imputer.cols();
    if (select_metric(imputer.metric()) == nullptr || cols == 0 || row >= imputer.rows() ||
        candidates > imputer.rows()) {
        throw std::invalid_argument("distances_with: no such metric, row or candidate count");
    }
    const bool expected = imputer.metric() == "expected_distance";
    std::vector<std::size_t> row_of(candidates);
    for (std::size_t t = 0; t < candidates; ++t) {
        row_of[t] = t;
    }
    Panel panel;
    build_panel(panel, imputer.fitted_values(), cols, row_of, expected);
    Query q;
    prepare_query(q, panel, imputer.fitted_values(), cols, row, row < candidates ? row : NONE);
    const std::size_t blocks = std::max<std::size_t>(1, panel.view.blocks);
    auto dist = aligned_array<double>(blocks * BLOCK_ROWS);
    std::vector<std::uint8_t> pass(blocks * BLOCK_BYTES);
    std::vector<std::uint8_t> reverse(blocks * BLOCK_BYTES);
    (expected ? kernels.expected_distance : kernels.nan_euclid)(panel.view, q.view, 0, panel.view.blocks, dist.get(),
                                                               pass.data(), reverse.data());
    return std::vector<double>(dist.get(), dist.get() + candidates);
}

ImputeResult impute_with(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows,
                         KernelKind kernel, const PassTuning& tuning) {
    const KernelSet kernels = kernels_for(kernel, imputer.cols());
    // 0. The metric is chosen once, before anything is copied or examined.
    const MetricFn metric = select_metric(imputer.metric());
    if (metric == nullptr) {
        return unknown_metric(imputer.metric());
    }
    // 1. Every cell starts as the input's own bits.
    std::vector<double> result(input.begin(), input.end());
    const std::size_t n = input.size();
    if (n == 0) {
        return result;
    }
    const std::size_t cols = imputer.cols();
    const std::size_t rows = imputer.rows();
    const std::size_t first = first_nan(input, 0);
    if (cols == 0) {
        if (first < n) {
            throw Panic("attempt to divide by zero");
        }
        return result;
    }
    if (first == n) {
        return result;
    }
    // A record whose matrix does not have its stated shape, or whose weights name is not one
    // the constructor admits, cannot come from the binding layer; the straightforward pass
    // says what happens then.
    std::size_t cells = 0;
    if (!imputer.fitted() || __builtin_mul_overflow(rows, cols, &cells) || cells != imputer.fitted_values().size() ||
        (imputer.weights() != "uniform" && imputer.weights() != "distance")) {
        return impute_reference(imputer, input, input_rows);
    }
    // 2. The failures of the straightforward pass, in the order it meets them: row access of
    //    the first row with a missing cell, the candidate index check, then row access of the
    //    first row with a missing cell beyond the fitted rows (rows are visited in order, and
    //    nothing else can fail in between).
    const std::size_t first_row = first / cols;
    if (first_row >= rows) {
        (void)imputer.row(first_row);
        return impute_reference(imputer, input, input_rows);  // not reached: the access fails
    }
    if (input_rows > rows && input_rows >= 2) {
        panic_index_out_of_bounds(rows, rows);
    }
    const std::size_t beyond = first_nan(input, cells);  // first missing cell of a row >= rows
    if (beyond < n) {
        (void)imputer.row(beyond / cols);
        return impute_reference(imputer, input, input_rows);  // not reached: the access fails
    }
    // 3. The rows with missing cells and their missing columns, as the straightforward pass
    //    finds them (a short last row only up to the end of the input).
    RowsToImpute work;
    std::size_t p = first;
    while (p < n) {
        if (!std::isnan(input[p])) {
            ++p;
            continue;
        }
        const std::size_t r = p / cols;
        const std::size_t c0 = p - r * cols;
        for (std::size_t c = c0, q = p; q < n && c < cols; ++c, ++q) {
            if (std::isnan(input[q])) {
                work.cols.push_back(c);
            }
        }
        work.rows.push_back(r);
        work.offsets.push_back(work.cols.size());
        p = r * cols + cols;
    }
    // 4. Impute them from candidates 0..input_rows-1 (all below rows now).
    const KernelFn fn = imputer.metric() == "nan_euclid" ? kernels.nan_euclid : kernels.expected_distance;
    Pass pass(imputer, input_rows, metric, fn, tuning, work, result);
    pass.run();
    return result;
}

}  // namespace mirel::knn
