// The fast imputation pass.
//
// It computes exactly what the straightforward pass computes (impute_reference.cpp), bit for
// bit, failures included, but organises the work differently:
//
// 1. Failures are decided before any work. The straightforward pass can only fail on the
//    metric name, on a zero column count, on row access of the first query row (or of the
//    first query row beyond the fitted rows) and on a candidate index beyond the fitted rows;
//    each of these depends on where the first and last missing cells lie, so they are checked
//    up front in the order in which the straightforward pass meets them.
// 2. The candidate rows are copied once per call into a column-blocked panel (8 rows per
//    block, column by column), so that one vector lane follows one candidate row through the
//    columns in order, performing exactly the scalar metric's operations.
// 3. Query rows (rows with a missing cell) are taken in groups; each group is measured against
//    one cache-sized super-block of candidates after another.
// 4. Nobody sorts all candidates. `average` takes, per missing column, the first k candidates
//    in the order (distance key, row index) that hold a value in that column; the pass keeps
//    exactly that set per missing column with a bounded buffer and a running threshold. Keys
//    and indices together are unique, so the order of the kept entries is the one a stable
//    sort of all candidates gives.
// 5. Very large k (above PassTuning::max_selected) falls back to ordering all candidates of a
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

using detail::BLOCK_LANES;
using detail::KernelFn;
using detail::KernelSet;
using detail::PanelView;
using detail::QueryView;

constexpr std::align_val_t ALIGNMENT{64};

template <class T>
struct AlignedDelete {
    void operator()(T* p) const noexcept { ::operator delete(p, ALIGNMENT); }
};

// Uninitialised, 64-byte aligned array of trivially copyable T.
template <class T>
std::unique_ptr<T, AlignedDelete<T>> aligned_array(std::size_t n) {
    if (n == 0) {
        n = 1;
    }
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
        throw std::bad_alloc();
    }
    return std::unique_ptr<T, AlignedDelete<T>>(static_cast<T*>(::operator new(n * sizeof(T), ALIGNMENT)));
}

// ---------------------------------------------------------------------------------------------
// Column-blocked copy of the candidate rows 0..m-1 of the fitted matrix.

struct Panel {
    std::unique_ptr<double, AlignedDelete<double>> values;
    std::unique_ptr<double, AlignedDelete<double>> missing_term;
    std::unique_ptr<std::int64_t, AlignedDelete<std::int64_t>> count;
    std::vector<std::uint8_t> present;
    std::vector<double> scale;
    PanelView view;
};

void build_panel(Panel& panel, std::span<const double> fitted, std::size_t cols, std::size_t m,
                 bool expected) {
    const std::size_t blocks = (m + BLOCK_LANES - 1) / BLOCK_LANES;
    const std::size_t cells = blocks * cols * BLOCK_LANES;
    panel.values = aligned_array<double>(cells);
    panel.count = aligned_array<std::int64_t>(blocks * BLOCK_LANES);
    panel.present.assign(blocks * cols, 0);
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
        for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
            const std::size_t t = b * BLOCK_LANES + lane;
            std::int64_t present = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const std::size_t at = (b * cols + c) * BLOCK_LANES + lane;
                const double v = t < m ? fitted[t * cols + c] : nan;
                const bool missing = std::isnan(v);
                values[at] = v;
                if (!missing) {
                    panel.present[b * cols + c] |= static_cast<std::uint8_t>(1u << lane);
                    ++present;
                }
                if (term != nullptr) {
                    term[at] = missing ? BOTH_MISSING_PENALTY : std::fmax(v, 1.0 - v);
                }
            }
            count[b * BLOCK_LANES + lane] = present;
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

// ---------------------------------------------------------------------------------------------
// Selections.

struct Entry {
    std::uint64_t key;
    std::size_t idx;
    double dist;
};

inline bool entry_less(const Entry& a, const Entry& b) noexcept {
    return a.key < b.key || (a.key == b.key && a.idx < b.idx);
}

// The donors of one missing cell: the first `limit` candidates, by (key, index), that hold a
// value in column `col`. Holds at most 2 * limit entries; once `limit` entries are held, only
// candidates whose key is below `threshold` (the largest key held among the best `limit`) can
// still belong to the set. Candidates arrive in ascending index, so an equal key never wins.
struct ColumnSelection {
    std::size_t col = 0;
    std::vector<Entry> entries;
    std::uint64_t threshold = 0;
    bool full = false;
};

struct Query {
    std::size_t row = 0;
    std::vector<std::uint32_t> ref_present;
    std::vector<std::uint32_t> ref_missing;
    std::vector<std::uint8_t> ref_is_missing;
    std::vector<double> ref_term;
    std::size_t first_selection = 0;  // index into Pass::selections
    std::size_t n_selections = 0;
    std::vector<std::uint32_t> open;
    QueryView view;
};

void prepare_query(Query& q, std::span<const double> fitted, std::size_t cols, std::size_t r, std::size_t m) {
    q.row = r;
    const double* ref = fitted.data() + r * cols;
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
        }
    }
    QueryView& v = q.view;
    v.ref = ref;
    v.ref_present = q.ref_present.data();
    v.n_ref_present = q.ref_present.size();
    v.ref_missing = q.ref_missing.data();
    v.n_ref_missing = q.ref_missing.size();
    v.ref_is_missing = q.ref_is_missing.data();
    v.ref_term = q.ref_term.data();
    v.self = r < m ? r : SIZE_MAX;
    v.threshold = 0;
    v.open = nullptr;
    v.n_open = 0;
}

class Pass {
public:
    Pass(const KnnImputer& imputer, std::size_t m, KernelFn kernel, const PassTuning& tuning,
         std::vector<double>& result)
        : fitted_(imputer.fitted_values()),
          cols_(imputer.cols()),
          m_(m),
          kernel_(kernel),
          tuning_(tuning),
          result_(result),
          expected_(imputer.metric() == "expected_distance"),
          uniform_(imputer.weights() == "uniform"),
          uniform_weight_(1.0 / static_cast<double>(imputer.k())),
          limit_(imputer.k() == 0 ? 1 : imputer.k()) {
        build_panel(panel_, fitted_, cols_, m_, expected_);
        const std::size_t block_bytes = cols_ * BLOCK_LANES * sizeof(double) * (expected_ ? 2 : 1);
        superblock_ = std::max<std::size_t>(1, tuning_.superblock_bytes / std::max<std::size_t>(1, block_bytes));
        bounded_ = limit_ <= tuning_.max_selected;
        const std::size_t span = bounded_ ? superblock_ : std::max<std::size_t>(1, panel_.view.blocks);
        dist_ = aligned_array<double>(span * BLOCK_LANES);
        pass_.resize(span);
    }

    // Adds query row r with the given missing columns of the input; runs the group when full.
    void add(std::size_t r, std::span<const std::size_t> missing) {
        if (!bounded_) {
            run_unbounded(r, missing);
            return;
        }
        if (group_size_ > 0 && (group_size_ == tuning_.group_rows ||
                                n_selections_ + missing.size() > tuning_.group_selections)) {
            run_group();
        }
        Query& q = next_query();
        prepare_query(q, fitted_, cols_, r, m_);
        q.first_selection = n_selections_;
        q.n_selections = missing.size();
        for (const std::size_t c : missing) {
            ColumnSelection& s = next_selection();
            s.col = c;
        }
        refresh_filter(q);
    }

    void finish() {
        if (group_size_ > 0) {
            run_group();
        }
    }

private:
    Query& next_query() {
        if (group_size_ == group_.size()) {
            group_.emplace_back();
        }
        return group_[group_size_++];
    }

    ColumnSelection& next_selection() {
        if (n_selections_ == selections_.size()) {
            selections_.emplace_back();
            selections_.back().entries.reserve(std::min<std::size_t>(2 * limit_, m_) + 1);
        }
        ColumnSelection& s = selections_[n_selections_++];
        s.entries.clear();
        s.threshold = 0;
        s.full = false;
        return s;
    }

    // The filter the kernel applies for this query: below the largest threshold of the full
    // selections, or present in a column whose selection is not full yet.
    void refresh_filter(Query& q) {
        std::uint64_t threshold = 0;
        q.open.clear();
        for (std::size_t i = 0; i < q.n_selections; ++i) {
            const ColumnSelection& s = selections_[q.first_selection + i];
            if (s.full) {
                threshold = std::max(threshold, s.threshold);
            } else {
                q.open.push_back(static_cast<std::uint32_t>(s.col));
            }
        }
        q.view.threshold = threshold;
        q.view.open = q.open.data();
        q.view.n_open = q.open.size();
    }

    // Offers candidate t at distance d to every selection of the query.
    void offer(Query& q, std::size_t t, double d) {
        const std::uint64_t key = distance_rank_key(d);
        const double* row = fitted_.data() + t * cols_;
        bool changed = false;
        for (std::size_t i = 0; i < q.n_selections; ++i) {
            ColumnSelection& s = selections_[q.first_selection + i];
            if (s.full && !(key < s.threshold)) {
                continue;
            }
            if (std::isnan(row[s.col])) {
                continue;
            }
            s.entries.push_back(Entry{key, t, d});
            if (!s.full) {
                if (s.entries.size() == limit_) {
                    s.full = true;
                    std::uint64_t largest = 0;
                    for (const Entry& e : s.entries) {
                        largest = std::max(largest, e.key);
                    }
                    s.threshold = largest;
                    changed = true;
                }
            } else if (s.entries.size() >= 2 * limit_) {
                auto nth = s.entries.begin() + static_cast<std::ptrdiff_t>(limit_ - 1);
                std::nth_element(s.entries.begin(), nth, s.entries.end(), entry_less);
                s.entries.resize(limit_);
                s.threshold = s.entries[limit_ - 1].key;
                changed = true;
            }
        }
        if (changed) {
            refresh_filter(q);
        }
    }

    void run_group() {
        const std::size_t blocks = panel_.view.blocks;
        for (std::size_t b0 = 0; b0 < blocks; b0 += superblock_) {
            const std::size_t b1 = std::min(blocks, b0 + superblock_);
            for (std::size_t g = 0; g < group_size_; ++g) {
                Query& q = group_[g];
                kernel_(panel_.view, q.view, b0, b1, dist_.get(), pass_.data());
                collect(q, b0, b1);
            }
        }
        for (std::size_t g = 0; g < group_size_; ++g) {
            const Query& q = group_[g];
            for (std::size_t i = 0; i < q.n_selections; ++i) {
                ColumnSelection& s = selections_[q.first_selection + i];
                std::sort(s.entries.begin(), s.entries.end(), entry_less);
                const std::size_t used = std::min<std::size_t>(s.entries.size(), limit_);
                double fill = 0.0;
                for (std::size_t j = 0; j < used; ++j) {
                    const Entry& e = s.entries[j];
                    const double v = fitted_[e.idx * cols_ + s.col];
                    const double w = uniform_ ? uniform_weight_ : 1.0 / e.dist;
                    fill = fill + v * w;
                }
                result_[q.row * cols_ + s.col] = fill;
            }
        }
        group_size_ = 0;
        n_selections_ = 0;
    }

    void collect(Query& q, std::size_t b0, std::size_t b1) {
        const std::size_t n = b1 - b0;
        std::size_t i = 0;
        while (i < n) {
            if (i + 8 <= n) {
                std::uint64_t eight;
                std::memcpy(&eight, pass_.data() + i, sizeof eight);
                if (eight == 0) {
                    i += 8;
                    continue;
                }
            }
            unsigned lanes = pass_[i];
            while (lanes != 0) {
                const unsigned lane = static_cast<unsigned>(__builtin_ctz(lanes));
                lanes &= lanes - 1;
                offer(q, (b0 + i) * BLOCK_LANES + lane, dist_.get()[i * BLOCK_LANES + lane]);
            }
            ++i;
        }
    }

    // Large k: every candidate is ranked, as the straightforward pass does, but with the fast
    // distances and without computing weights of rows that are never used.
    void run_unbounded(std::size_t r, std::span<const std::size_t> missing) {
        Query& q = single_;
        prepare_query(q, fitted_, cols_, r, m_);
        kernel_(panel_.view, q.view, 0, panel_.view.blocks, dist_.get(), pass_.data());
        order_.resize(m_);
        for (std::size_t t = 0; t < m_; ++t) {
            order_[t] = Entry{distance_rank_key(dist_.get()[t]), t, dist_.get()[t]};
        }
        std::sort(order_.begin(), order_.end(), entry_less);
        for (const std::size_t c : missing) {
            double fill = 0.0;
            std::size_t used = 0;
            for (const Entry& e : order_) {
                const double v = fitted_[e.idx * cols_ + c];
                if (std::isnan(v)) {
                    continue;
                }
                const double w = uniform_ ? uniform_weight_ : 1.0 / e.dist;
                fill = fill + v * w;
                if (++used == limit_) {
                    break;
                }
            }
            result_[r * cols_ + c] = fill;
        }
    }

    std::span<const double> fitted_;
    std::size_t cols_;
    std::size_t m_;
    KernelFn kernel_;
    PassTuning tuning_;
    std::vector<double>& result_;
    bool expected_;
    bool uniform_;
    double uniform_weight_;
    std::size_t limit_;
    Panel panel_;
    std::size_t superblock_ = 1;
    bool bounded_ = true;
    std::unique_ptr<double, AlignedDelete<double>> dist_;
    std::vector<std::uint8_t> pass_;
    std::vector<Query> group_;
    std::size_t group_size_ = 0;
    std::vector<ColumnSelection> selections_;
    std::size_t n_selections_ = 0;
    std::vector<Entry> order_;
    Query single_;
};

KernelSet kernels_for(KernelKind kind) {
    switch (kind) {
        case KernelKind::portable:
            return detail::portable_kernels();
#if defined(__x86_64__)
        case KernelKind::avx2:
            if (__builtin_cpu_supports("avx2")) {
                return detail::avx2_kernels();
            }
            break;
        case KernelKind::avx512:
            if (__builtin_cpu_supports("avx512f")) {
                return detail::avx512_kernels();
            }
            break;
#else
        default:
            break;
#endif
    }
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
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
        kinds.push_back(KernelKind::avx2);
    }
    if (__builtin_cpu_supports("avx512f")) {
        kinds.push_back(KernelKind::avx512);
    }
#endif
    return kinds;
}

KernelKind best_kernel() noexcept {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) {
        return KernelKind::avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return KernelKind::avx2;
    }
#endif
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
    const KernelSet kernels = kernels_for(kernel);
    const std::size_t cols = imputer.cols();
    if (select_metric(imputer.metric()) == nullptr || cols == 0 || row >= imputer.rows() ||
        candidates > imputer.rows()) {
        throw std::invalid_argument("distances_with: no such metric, row or candidate count");
    }
    const bool expected = imputer.metric() == "expected_distance";
    Panel panel;
    build_panel(panel, imputer.fitted_values(), cols, candidates, expected);
    Query q;
    prepare_query(q, imputer.fitted_values(), cols, row, candidates);
    const std::size_t blocks = std::max<std::size_t>(1, panel.view.blocks);
    auto dist = aligned_array<double>(blocks * BLOCK_LANES);
    std::vector<std::uint8_t> pass(blocks);
    (expected ? kernels.expected_distance : kernels.nan_euclid)(panel.view, q.view, 0, panel.view.blocks, dist.get(),
                                                               pass.data());
    return std::vector<double>(dist.get(), dist.get() + candidates);
}

ImputeResult impute_with(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows,
                         KernelKind kernel, const PassTuning& tuning) {
    const KernelSet kernels = kernels_for(kernel);
    // 0. The metric is chosen once, before anything is copied or examined.
    const MetricFn metric = select_metric(imputer.metric());
    if (metric == nullptr) {
        return UnknownMetric{imputer.metric() + " is a unknown metric"};
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
    //    first row with a missing cell beyond the fitted rows (rows are visited in order).
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
    // 3. Rows with missing cells, in order, each imputed from candidates 0..input_rows-1.
    const KernelFn fn = imputer.metric() == "nan_euclid" ? kernels.nan_euclid : kernels.expected_distance;
    Pass pass(imputer, input_rows, fn, tuning, result);
    std::vector<std::size_t> missing;
    missing.reserve(20);
    std::size_t p = first;
    while (p < n) {
        if (!std::isnan(input[p])) {
            ++p;
            continue;
        }
        const std::size_t r = p / cols;
        const std::size_t c0 = p - r * cols;
        missing.clear();
        for (std::size_t c = c0, q = p; q < n && c < cols; ++c, ++q) {
            if (std::isnan(input[q])) {
                missing.push_back(c);
            }
        }
        pass.add(r, missing);
        p = r * cols + cols;
    }
    pass.finish();
    return result;
}

}  // namespace mirel::knn
