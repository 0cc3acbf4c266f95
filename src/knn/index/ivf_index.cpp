// The candidate index: training the quantiser, laying the lists out, and the search of one query
// row (its nearest lists, exact re-ranking of their rows, the full scan for a cell they cannot
// serve).
#include "knn/index/ivf_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <utility>

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/core/selection.hpp"
#include "knn/panel/panel.hpp"
#include "knn/query/query_detail.hpp"
#include "knn/query/query_pass.hpp"

namespace mirel::knn {

// The fitted rows in list order, or the centroids.
class IvfPanel : public detail::Panel {};

namespace detail {
// The distance kernel of a fast pass; std::invalid_argument for the reference.
static KernelKind fast_kind_of(QueryKernel kernel) {
    const std::optional<KernelKind> kind = query_kernel_kind(kernel);
    if (!kind) {
        throw std::invalid_argument("the index runs a fast kernel, not the reference pass");
    }
    return *kind;
}
}  // namespace detail

namespace {

// Blocks a kernel call measures at most (the scratch of one search).
constexpr std::size_t CHUNK_BLOCKS = 16;

// A small seeded generator whose output is the same on every platform (the standard
// distributions are not).
std::uint64_t splitmix64(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::size_t below(std::uint64_t& state, std::size_t n) noexcept {
    return static_cast<std::size_t>(splitmix64(state) % static_cast<std::uint64_t>(n));
}

void build_panel(IvfPanel& panel, std::span<const double> table, std::size_t cols, std::span<const std::size_t> row_of,
                 QueryKernel kernel) {
    const detail::Kernel fn = detail::kernel_for(detail::fast_kind_of(kernel), Metric::nan_euclid, cols);
    panel.build(table, cols, row_of, Metric::nan_euclid, fn.masked_cells);
}

// Nearest centroid of rows, by the key of the kernel's d2 (ties: the lower list).
class Assigner {
public:
    Assigner(const IvfPanel& centroids, std::size_t lists, QueryKernel kernel, std::size_t cols)
        : centroids_(centroids),
          lists_(lists),
          kernel_(detail::kernel_for(detail::fast_kind_of(kernel), Metric::nan_euclid, cols)),
          scratch_(centroids.view().blocks) {}

    std::uint32_t nearest(const double* row) {
        query_.prepare(centroids_, row, detail::NO_POSITION);
        query_.view.threshold = UINT64_MAX;
        kernel_(centroids_.view(), query_.view, 0, centroids_.view().blocks, scratch_.dist(), scratch_.forward(),
                nullptr);
        std::uint32_t best = 0;
        std::uint64_t best_key = UINT64_MAX;
        for (std::size_t l = 0; l < lists_; ++l) {
            const std::uint64_t key = distance_rank_key(scratch_.dist()[l]);
            if (key < best_key) {
                best_key = key;
                best = static_cast<std::uint32_t>(l);
            }
        }
        return best;
    }

private:
    const IvfPanel& centroids_;
    std::size_t lists_;
    detail::Kernel kernel_;
    detail::QueryRow query_;
    detail::BlockScratch scratch_;
};

// d2 between a row (NaN = missing) and a centroid (no NaN): the scaled sum of squares over the
// row's present cells, +inf for a row without any.
double centroid_d2(const double* row, const double* centroid, std::size_t cols) noexcept {
    double sum = 0.0;
    std::size_t present = 0;
    for (std::size_t c = 0; c < cols; ++c) {
        if (!std::isnan(row[c])) {
            const double d = row[c] - centroid[c];
            sum = sum + d * d;
            ++present;
        }
    }
    return present == 0 ? std::numeric_limits<double>::infinity()
                        : sum * (static_cast<double>(cols) / static_cast<double>(present));
}

std::vector<std::size_t> iota_rows(std::size_t n) {
    std::vector<std::size_t> v(checked_count<std::size_t>(n));
    std::iota(v.begin(), v.end(), std::size_t{0});
    return v;
}

}  // namespace

IvfIndex::IvfIndex(const TableView& fitted, QueryKernel kernel)
    : rows_(fitted.rows),
      cols_(fitted.cols),
      kernel_(kernel),
      columns_(donor_columns(fitted)),
      panel_(std::make_unique<IvfPanel>()),
      centroid_panel_(std::make_unique<IvfPanel>()) {
    detail::fast_kind_of(kernel);
}

IvfIndex::IvfIndex(IvfIndex&&) noexcept = default;
IvfIndex& IvfIndex::operator=(IvfIndex&&) noexcept = default;
IvfIndex::~IvfIndex() = default;

IvfIndex IvfIndex::train(const TableView& fitted, std::size_t lists, std::uint64_t seed, QueryKernel kernel,
                         std::size_t iterations) {
    IvfIndex index(fitted, kernel);
    const std::size_t n = fitted.rows;
    const std::size_t cols = fitted.cols;
    index.lists_ = n == 0 ? 0 : std::clamp<std::size_t>(lists, 1, std::min<std::size_t>(n, UINT32_MAX));
    const std::size_t L = index.lists_;
    index.list_of_row_.assign(checked_count<std::uint32_t>(n), 0);
    index.centroids_.assign(checked_count<double>(checked_mul(L, cols)), 0.0);
    if (L > 1) {
        // 1. The training sample: distinct rows drawn by a seeded partial shuffle, at most 40
        //    per centroid, in row order (so that the sums below run in one order).
        std::uint64_t state = seed;
        std::vector<std::size_t> pick = iota_rows(n);
        const std::size_t train = std::min(n, checked_mul(L, std::size_t{40}));
        for (std::size_t i = 0; i < train; ++i) {
            std::swap(pick[i], pick[i + below(state, n - i)]);
        }
        pick.resize(train);
        std::sort(pick.begin(), pick.end());
        // 2. The centroids start by k-means++ seeding over the sample: the first a drawn row,
        //    each next one a row drawn with probability proportional to its squared distance
        //    (d2) to the nearest centroid so far. A cell a row lacks (or that is not finite)
        //    starts at the column mean (0 for a column without a finite mean).
        auto seed_centroid = [&](std::size_t l, std::size_t r) {
            for (std::size_t c = 0; c < cols; ++c) {
                const double v = fitted.row(r)[c];
                const double mean = index.columns_.mean[c];
                index.centroids_[l * cols + c] = std::isfinite(v) ? v : (std::isfinite(mean) ? mean : 0.0);
            }
        };
        std::vector<double> nearest(train, std::numeric_limits<double>::infinity());
        seed_centroid(0, pick[below(state, train)]);
        for (std::size_t l = 1; l < L; ++l) {
            double total = 0.0;
            for (std::size_t i = 0; i < train; ++i) {
                const double d2 = centroid_d2(fitted.row(pick[i]), &index.centroids_[(l - 1) * cols], cols);
                nearest[i] = std::min(nearest[i], d2);
                total += std::isfinite(nearest[i]) ? nearest[i] : 0.0;
            }
            std::size_t chosen = below(state, train);
            if (total > 0.0 && std::isfinite(total)) {
                const double u = static_cast<double>(splitmix64(state) >> 11) * 0x1p-53 * total;
                double cum = 0.0;
                for (std::size_t i = 0; i < train; ++i) {
                    cum += std::isfinite(nearest[i]) ? nearest[i] : 0.0;
                    if (cum > u) {
                        chosen = i;
                        break;
                    }
                }
            }
            seed_centroid(l, pick[chosen]);
        }
        // 3. Lloyd's iterations over the sample: each row to its nearest centroid, each centroid
        //    to the mean of its rows' values column by column (kept where it gets none).
        std::vector<double> sum(index.centroids_.size());
        std::vector<std::size_t> count(index.centroids_.size());
        const std::vector<std::size_t> centroid_rows = iota_rows(L);
        for (std::size_t it = 0; it < iterations; ++it) {
            IvfPanel centroids;
            build_panel(centroids, index.centroids_, cols, centroid_rows, kernel);
            Assigner assign(centroids, L, kernel, cols);
            std::fill(sum.begin(), sum.end(), 0.0);
            std::fill(count.begin(), count.end(), 0);
            for (const std::size_t r : pick) {
                const double* row = fitted.row(r);
                const std::size_t l = assign.nearest(row);
                for (std::size_t c = 0; c < cols; ++c) {
                    if (!std::isnan(row[c])) {
                        sum[l * cols + c] += row[c];
                        ++count[l * cols + c];
                    }
                }
            }
            for (std::size_t i = 0; i < sum.size(); ++i) {
                const double mean = count[i] == 0 ? index.centroids_[i] : sum[i] / static_cast<double>(count[i]);
                if (std::isfinite(mean)) {
                    index.centroids_[i] = mean;
                }
            }
        }
    }
    index.lay_out(fitted, true);
    return index;
}

IvfIndex IvfIndex::from_parts(const TableView& fitted, std::span<const double> centroids,
                              std::span<const std::uint32_t> list_of_row, QueryKernel kernel) {
    IvfIndex index(fitted, kernel);
    if (list_of_row.size() != fitted.rows ||
        (fitted.cols == 0 ? !centroids.empty() : centroids.size() % fitted.cols != 0)) {
        throw Panic("the index's parts do not fit the fitted table");
    }
    index.lists_ = fitted.cols == 0 ? (fitted.rows == 0 ? 0 : 1) : centroids.size() / fitted.cols;
    if (fitted.rows != 0 && index.lists_ == 0) {
        throw Panic("the index's parts do not fit the fitted table");
    }
    for (const double v : centroids) {
        if (std::isnan(v)) {
            throw Panic("a centroid of the index is NaN");
        }
    }
    for (const std::uint32_t l : list_of_row) {
        if (l >= index.lists_) {
            throw Panic("a row of the index is in no list");
        }
    }
    index.centroids_.assign(centroids.begin(), centroids.end());
    index.list_of_row_.assign(list_of_row.begin(), list_of_row.end());
    index.lay_out(fitted, false);
    return index;
}

void IvfIndex::lay_out(const TableView& fitted, bool assign) {
    const std::size_t L = lists_;
    const std::vector<std::size_t> centroid_rows = iota_rows(L);
    build_panel(*centroid_panel_, centroids_, cols_, centroid_rows, kernel_);
    // Every row to its nearest centroid (unless the lists were given).
    if (assign && L > 1) {
        Assigner assign(*centroid_panel_, L, kernel_, cols_);
        for (std::size_t r = 0; r < rows_; ++r) {
            list_of_row_[r] = assign.nearest(fitted.row(r));
        }
    }
    // The lists, each in row order, one after another (a counting sort).
    list_start_.assign(checked_count<std::size_t>(checked_add(L, std::size_t{1})), 0);
    for (const std::uint32_t l : list_of_row_) {
        ++list_start_[l + 1];
    }
    std::partial_sum(list_start_.begin(), list_start_.end(), list_start_.begin());
    row_of_.assign(checked_count<std::size_t>(rows_), 0);
    pos_of_.assign(rows_, 0);
    std::vector<std::size_t> next(list_start_.begin(), list_start_.end() - (L == 0 ? 0 : 1));
    for (std::size_t r = 0; r < rows_; ++r) {
        const std::size_t p = next[list_of_row_[r]]++;
        row_of_[p] = r;
        pos_of_[r] = p;
    }
    build_panel(*panel_, {fitted.values, checked_mul(rows_, cols_)}, cols_, row_of_, kernel_);
    holders_.assign(checked_count<std::size_t>(checked_mul(L, cols_)), 0);
    for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < cols_; ++c) {
            holders_[list_of_row_[r] * cols_ + c] += std::isnan(fitted.row(r)[c]) ? 0 : 1;
        }
    }
}

std::size_t IvfIndex::bytes() const noexcept {
    return panel_->bytes() + centroid_panel_->bytes() + centroids_.size() * sizeof(double) +
           list_of_row_.size() * sizeof(std::uint32_t) +
           (list_start_.size() + row_of_.size() + pos_of_.size() + holders_.size()) * sizeof(std::size_t) +
           (columns_.mean.size() + columns_.count.size()) * sizeof(double) + sizeof(*this);
}

namespace {

// The search of one query row at a time: the probe order of the lists, the scan of chosen
// positions with exact re-ranking into one selection per missing cell, and the full scan for
// cells the probed lists cannot serve. Owns its scratch; one per thread.
class Search {
public:
    Search(const IvfIndex& index, std::size_t k)
        : index_(index),
          cols_(index.cols()),
          lists_(index.lists()),
          k_(std::min(k, index.rows())),
          kernel_(detail::kernel_for(detail::fast_kind_of(index.kernel()), Metric::nan_euclid, index.cols())),
          scratch_(CHUNK_BLOCKS),
          centroid_scratch_(index.centroid_panel().view().blocks),
          slots_(checked_count<detail::Entry>(checked_mul(index.cols(), std::max<std::size_t>(1, k_)))),
          tops_(index.cols()) {
        if (k_ > UINT32_MAX) {
            throw Panic("too many neighbours for the index");
        }
        missing_.reserve(cols_);
        open_.reserve(cols_);
        order_.reserve(lists_);
    }

    // The row's missing columns that have donors (empty: nothing to do).
    const std::vector<std::size_t>& missing(const double* row) {
        detail::missing_columns(index_.columns(), row, cols_, missing_);
        return missing_;
    }

    // order_: the lists by centroid distance (key of d2, then list number); the first `probe`
    // of them sorted (all when `probe` is lists_).
    void order_lists(const double* row, std::size_t probe) {
        const IvfPanel& centroids = index_.centroid_panel();
        centroid_row_.prepare(centroids, row, detail::NO_POSITION);
        centroid_row_.view.threshold = UINT64_MAX;
        kernel_(centroids.view(), centroid_row_.view, 0, centroids.view().blocks, centroid_scratch_.dist(),
                centroid_scratch_.forward(), nullptr);
        order_.clear();
        for (std::size_t l = 0; l < lists_; ++l) {
            order_.push_back({distance_rank_key(centroid_scratch_.dist()[l]), l});
        }
        probe = std::min(probe, lists_);
        std::partial_sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(probe), order_.end(),
                          detail::EntryLess{});
    }
    const std::vector<detail::Entry>& order() const noexcept { return order_; }

    // Fresh selections of the cells `cells` (indices into missing_).
    void open(const double* row) {
        row_.prepare(index_.panel(), row, detail::NO_POSITION);
        row_.view.threshold = UINT64_MAX;
        row_.view.prune = false;
        row_values_ = row;
        for (std::size_t m = 0; m < missing_.size(); ++m) {
            tops_[m] = detail::TopK(slots_.data() + m * k_, static_cast<std::uint32_t>(k_));
        }
    }
    void reopen(std::size_t m) { tops_[m] = detail::TopK(slots_.data() + m * k_, static_cast<std::uint32_t>(k_)); }

    // Measures positions [p0, p1) and offers each candidate with a distance to the selections
    // of the cells `active(m)` whose column it holds; `seen(p, m)` is told of every such donor.
    // With `filter`, the kernels' forward filter (and pruning) skips candidates that can enter
    // no active selection: its threshold is the largest d2 bound of the full selections, and
    // the columns of the others are open. Returns the positions in the range.
    template <class Active, class Seen>
    std::size_t scan(std::size_t p0, std::size_t p1, bool filter, Active&& active, Seen&& seen) {
        const IvfPanel& panel = index_.panel();
        const std::size_t b_end = (p1 + detail::BLOCK_ROWS - 1) / detail::BLOCK_ROWS;
        for (std::size_t b0 = p0 / detail::BLOCK_ROWS; b0 < b_end; b0 += CHUNK_BLOCKS) {
            const std::size_t b1 = std::min(b_end, b0 + CHUNK_BLOCKS);
            if (filter) {
                refresh(active);
            }
            kernel_(panel.view(), row_.view, b0, b1, scratch_.dist(), scratch_.forward(), nullptr);
            const std::size_t base = b0 * detail::BLOCK_ROWS;
            const std::size_t lo = std::max(p0, base);
            const std::size_t hi = std::min(p1, b1 * detail::BLOCK_ROWS);
            const std::uint8_t* passed = scratch_.forward();
            for (std::size_t p = lo; p < hi; ++p) {
                const std::size_t i = p - base;
                if (((passed[i / 8] >> (i % 8)) & 1u) == 0) {
                    continue;
                }
                const double d2 = scratch_.dist()[i];
                if (std::isnan(d2) || (std::isinf(d2) && !shares_coordinate(p))) {
                    continue;
                }
                const detail::Entry e{query_rank_key(std::sqrt(d2)), index_.row_at(p)};
                for (std::size_t m = 0; m < missing_.size(); ++m) {
                    if (active(m) && panel.holds(p, missing_[m])) {
                        seen(p, m);
                        tops_[m].offer(e);
                    }
                }
            }
        }
        return p1 > p0 ? p1 - p0 : 0;
    }

    // The forward filter of the active selections (see scan).
    template <class Active>
    void refresh(Active&& active) {
        std::uint64_t threshold = 0;
        open_.clear();
        for (std::size_t m = 0; m < missing_.size(); ++m) {
            if (!active(m)) {
                continue;
            }
            if (tops_[m].full()) {
                threshold = std::max(threshold, QueryPass::bound(tops_[m].threshold()));
            } else {
                open_.push_back(static_cast<std::uint32_t>(missing_[m]));
            }
        }
        row_.view.threshold = threshold;
        row_.view.open = open_.data();
        row_.view.n_open = open_.size();
        row_.view.prune = true;
    }

    // Scans the rows of the first `probe` lists of order_, nearest first (so that the filter
    // tightens early), each list's own positions only. Returns the positions measured.
    std::size_t scan_probed(std::size_t probe) {
        std::size_t measured = 0;
        for (std::size_t j = 0; j < probe; ++j) {
            const std::size_t l = order_[j].idx;
            measured += scan(
                index_.list_start()[l], index_.list_start()[l + 1], true, [](std::size_t) { return true; },
                [](std::size_t, std::size_t) {});
        }
        return measured;
    }

    template <class Active>
    std::size_t scan_all(Active&& active) {
        return scan(0, index_.rows(), true, active, [](std::size_t, std::size_t) {});
    }

    // Whether cell m has as many donors as the exact pass could give it.
    bool served(std::size_t m) const noexcept {
        return tops_[m].size() >= std::min(k_, index_.columns().count[missing_[m]]);
    }
    std::size_t needed(std::size_t m) const noexcept { return std::min(k_, index_.columns().count[missing_[m]]); }
    detail::TopK& top(std::size_t m) noexcept { return tops_[m]; }
    std::size_t k() const noexcept { return k_; }

    // Runs one row: probe, re-rank, full scan for the cells left short. Returns the positions
    // measured and counts the cells served by the full scan.
    // The end of a row whose probed lists were scanned (scan_list): the full scan for the cells
    // they left short. Returns the positions measured and counts those cells.
    std::size_t finish_row(std::uint64_t& fallback_cells) {
        short_.assign(missing_.size(), 0);
        bool any_short = false;
        for (std::size_t m = 0; m < missing_.size(); ++m) {
            if (!served(m)) {
                short_[m] = 1;
                any_short = true;
                reopen(m);
                ++fallback_cells;
            }
        }
        return any_short ? scan_all([&](std::size_t m) { return short_[m] != 0; }) : 0;
    }

    // Scans the rows of list l.
    std::size_t scan_list(std::size_t l) {
        return scan(
            index_.list_start()[l], index_.list_start()[l + 1], true, [](std::size_t) { return true; },
            [](std::size_t, std::size_t) {});
    }

    std::size_t run_row(const double* row, std::size_t probe, std::uint64_t& fallback_cells) {
        std::size_t measured = 0;
        open(row);
        if (probe >= lists_) {
            return scan_all([](std::size_t) { return true; });
        }
        order_lists(row, probe);
        measured += scan_probed(probe);
        short_.assign(missing_.size(), 0);
        bool any_short = false;
        for (std::size_t m = 0; m < missing_.size(); ++m) {
            if (!served(m)) {
                short_[m] = 1;
                any_short = true;
                reopen(m);
                ++fallback_cells;
            }
        }
        if (any_short) {
            measured += scan_all([&](std::size_t m) { return short_[m] != 0; });
        }
        return measured;
    }

private:
    bool shares_coordinate(std::size_t p) const noexcept {
        for (std::size_t c = 0; c < cols_; ++c) {
            if (!std::isnan(row_values_[c]) && index_.panel().holds(p, c)) {
                return true;
            }
        }
        return false;
    }

    const IvfIndex& index_;
    std::size_t cols_;
    std::size_t lists_;
    std::size_t k_;
    detail::Kernel kernel_;
    detail::QueryRow row_;
    detail::QueryRow centroid_row_;
    const double* row_values_ = nullptr;
    detail::BlockScratch scratch_;
    detail::BlockScratch centroid_scratch_;
    std::vector<detail::Entry> slots_;
    std::vector<detail::TopK> tops_;
    std::vector<std::uint8_t> short_;
    std::vector<std::uint32_t> open_;
    std::vector<std::size_t> missing_;
    std::vector<detail::Entry> order_;
};

void check_range(const IvfIndex& index, std::size_t query_rows, std::size_t first, std::size_t last, std::size_t k) {
    detail::check_pass_arguments({nullptr, index.rows(), index.cols()}, index.columns(), query_rows, first, last, k);
}

}  // namespace

IvfStats ivf_impute_rows(const IvfIndex& index, double* query, std::size_t query_rows,
                         std::span<const std::size_t> rows, std::size_t k, QueryWeights weights, std::size_t probe) {
    for (const std::size_t r : rows) {
        check_range(index, query_rows, r, r + 1, k);
    }
    check_range(index, query_rows, 0, 0, k);
    IvfStats stats;
    if (index.rows() == 0 || index.cols() == 0) {
        return stats;
    }
    // The rows go in batches. Round j measures the j-th nearest list of every row of the batch,
    // the rows ordered by that list, so that rows measuring the same list follow each other and
    // read it from the cache; round 0 (each row's nearest list) gives the selections their
    // first bounds. A row's selections keep the first k of what they are offered whatever the
    // order, so the batches and rounds change no result.
    // At most 256 rows, and their selections within about 16 MiB (a large k takes fewer).
    const std::size_t per_row = checked_mul(
        checked_mul(index.cols(), std::max<std::size_t>(1, std::min(k, index.rows()))), sizeof(detail::Entry));
    const std::size_t BATCH = std::clamp<std::size_t>((std::size_t{16} << 20) / per_row, 1, 256);
    std::vector<Search> searches;
    searches.reserve(std::min(BATCH, rows.size()));
    for (std::size_t i = 0; i < std::min(BATCH, rows.size()); ++i) {
        searches.emplace_back(index, k);
    }
    std::vector<double> values;
    std::vector<double> distances;
    std::vector<std::pair<std::size_t, std::size_t>> visits;  // (list, batch slot)
    std::vector<double*> batch;
    const std::size_t cols = index.cols();
    const bool every_list = probe >= index.lists();
    for (std::size_t first = 0; first < rows.size(); first += BATCH) {
        // 1. The batch's rows that impute a cell, their selections and nearest lists.
        batch.clear();
        for (std::size_t i = first; i < std::min(rows.size(), first + BATCH); ++i) {
            double* row = query + rows[i] * cols;
            Search& s = searches[batch.size()];
            if (s.missing(row).empty()) {
                continue;
            }
            s.open(row);
            if (!every_list) {
                s.order_lists(row, probe);
            }
            batch.push_back(row);
        }
        // 2. The probed lists, round by round (every row: one scan of everything).
        if (every_list) {
            for (std::size_t g = 0; g < batch.size(); ++g) {
                stats.measured += searches[g].scan_all([](std::size_t) { return true; });
            }
        } else {
            for (std::size_t j = 0; j < probe; ++j) {
                visits.clear();
                for (std::size_t g = 0; g < batch.size(); ++g) {
                    visits.emplace_back(searches[g].order()[j].idx, g);
                }
                std::sort(visits.begin(), visits.end());
                for (const auto& [l, g] : visits) {
                    stats.measured += searches[g].scan_list(l);
                }
            }
            for (std::size_t g = 0; g < batch.size(); ++g) {
                stats.measured += searches[g].finish_row(stats.fallback_cells);
            }
        }
        // 3. The cells, once every distance of their row is known.
        for (std::size_t g = 0; g < batch.size(); ++g) {
            Search& s = searches[g];
            double* row = batch[g];
            const std::vector<std::size_t>& missing = s.missing(row);
            for (std::size_t m = 0; m < missing.size(); ++m) {
                const std::size_t c = missing[m];
                values.clear();
                distances.clear();
                for (const detail::Entry& e : s.top(m).sorted()) {
                    values.push_back(index.panel().value(index.position_of(e.idx), c));
                    distances.push_back(rank_key_distance(e.key));
                }
                row[c] = values.empty() ? index.columns().mean[c] : weighted_mean(values, distances, weights);
                ++stats.cells;
            }
        }
    }
    return stats;
}

IvfStats ivf_impute(const IvfIndex& index, double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                    std::size_t k, QueryWeights weights, std::size_t probe) {
    check_range(index, query_rows, first, last, k);
    std::vector<std::size_t> rows(last - first);
    std::iota(rows.begin(), rows.end(), first);
    return ivf_impute_rows(index, query, query_rows, rows, k, weights, probe);
}

std::vector<std::uint32_t> ivf_nearest_lists(const IvfIndex& index, const double* query, std::size_t query_rows) {
    std::vector<std::uint32_t> out(checked_count<std::uint32_t>(query_rows), 0);
    if (index.lists() > 1) {
        Assigner assign(index.centroid_panel(), index.lists(), index.kernel(), index.cols());
        for (std::size_t r = 0; r < query_rows; ++r) {
            out[r] = assign.nearest(query + r * index.cols());
        }
    }
    return out;
}

void ivf_select(const IvfIndex& index, const double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                std::size_t k, std::size_t probe, std::int64_t* out, std::size_t slots) {
    check_range(index, query_rows, first, last, k);
    if (slots < std::min(k, index.rows())) {
        throw Panic("the selection has fewer slots than neighbours");
    }
    if (index.rows() == 0 || index.cols() == 0) {
        return;
    }
    Search search(index, k);
    std::uint64_t fallback = 0;
    std::size_t cell = 0;
    for (std::size_t r = first; r < last; ++r) {
        const double* row = query + r * index.cols();
        const std::vector<std::size_t>& missing = search.missing(row);
        if (missing.empty()) {
            continue;
        }
        search.run_row(row, probe, fallback);
        for (std::size_t m = 0; m < missing.size(); ++m, ++cell) {
            std::int64_t* o = out + cell * slots;
            std::fill(o, o + slots, std::int64_t{-1});
            std::size_t i = 0;
            for (const detail::Entry& e : search.top(m).sorted()) {
                o[i++] = static_cast<std::int64_t>(e.idx);
            }
        }
    }
}

RecallCurve ivf_recall(const IvfIndex& index, const TableView& sample, std::size_t k) {
    if (sample.cols != index.cols()) {
        throw Panic("the sample does not have the fitted width");
    }
    if (k == 0) {
        throw Panic("k must be at least 1");
    }
    const std::size_t L = index.lists();
    const std::size_t cols = index.cols();
    RecallCurve curve;
    // Difference arrays over P = 1..L (entry L + 1 absorbs the ends).
    std::vector<std::int64_t> found(checked_count<std::int64_t>(checked_add(L, std::size_t{2})), 0);
    std::vector<std::int64_t> fallback(L + 2, 0);
    std::vector<std::uint64_t> measured(L + 1, 0);
    if (index.rows() != 0 && cols != 0) {
        // Sample rows scan the panel in groups, a stretch of CHUNK_BLOCKS blocks at a time for
        // every row of the group, so that the stretch is read from the cache.
        constexpr std::size_t GROUP = 16;
        std::vector<Search> searches;
        searches.reserve(GROUP);
        for (std::size_t g = 0; g < GROUP; ++g) {
            searches.emplace_back(index, k);
        }
        std::vector<std::vector<std::size_t>> ranks(GROUP, std::vector<std::size_t>(L));
        std::vector<const double*> group;
        const auto all = [](std::size_t) { return true; };
        const auto none = [](std::size_t, std::size_t) {};
        for (std::size_t first = 0; first < sample.rows; first += GROUP) {
            // 1. The group: rows that impute a cell, their list order, fresh selections.
            group.clear();
            for (std::size_t r = first; r < std::min(sample.rows, first + GROUP); ++r) {
                Search& s = searches[group.size()];
                if (s.missing(sample.row(r)).empty()) {
                    continue;
                }
                s.order_lists(sample.row(r), L);
                for (std::size_t j = 0; j < L; ++j) {
                    ranks[group.size()][s.order()[j].idx] = j;
                }
                s.open(sample.row(r));
                group.push_back(sample.row(r));
            }
            // 2. The exact donors: every fitted row, with the filters of an exact scan.
            const std::size_t stretch = CHUNK_BLOCKS * detail::BLOCK_ROWS;
            for (std::size_t p0 = 0; p0 < index.rows(); p0 += stretch) {
                for (std::size_t g = 0; g < group.size(); ++g) {
                    searches[g].scan(p0, std::min(index.rows(), p0 + stretch), true, all, none);
                }
            }
            // 3. Per cell: the fewest lists whose rows hold enough of its column (fewer: the
            //    full scan serves the cell, finding every donor), and the rank of each exact
            //    donor's list.
            for (std::size_t g = 0; g < group.size(); ++g) {
                Search& s = searches[g];
                const std::vector<std::size_t>& rank_of_list = ranks[g];
                ++curve.rows;
                std::size_t row_short = 0;  // P <= row_short: the row runs a full scan
                const std::vector<std::size_t> cells = s.missing(group[g]);
                for (std::size_t m = 0; m < cells.size(); ++m) {
                    const std::size_t c = cells[m];
                    const std::size_t need = s.needed(m);
                    std::size_t enough = L;  // the cell is served from P = enough + 1 lists on
                    std::uint64_t cum = 0;
                    for (std::size_t j = 0; j < L; ++j) {
                        cum += index.holders()[s.order()[j].idx * cols + c];
                        if (cum >= need) {
                            enough = j;
                            break;
                        }
                    }
                    const std::span<const detail::Entry> donors = s.top(m).sorted();
                    curve.donors += donors.size();
                    ++curve.cells;
                    row_short = std::max(row_short, enough);
                    const std::size_t short_end = std::min(enough, L);  // P in [1, short_end]: full scan
                    if (short_end >= 1) {
                        found[1] += static_cast<std::int64_t>(donors.size());
                        found[short_end + 1] -= static_cast<std::int64_t>(donors.size());
                        fallback[1] += 1;
                        fallback[short_end + 1] -= 1;
                    }
                    for (const detail::Entry& e : donors) {
                        const std::size_t from = std::max(rank_of_list[index.list_of_row()[e.idx]] + 1, short_end + 1);
                        if (from <= L) {
                            found[from] += 1;
                            found[L + 1] -= 1;
                        }
                    }
                }
                // 4. Rows measured: the probed lists' rows, and every row when a cell is short.
                std::uint64_t prefix = 0;
                for (std::size_t P = 1; P <= L; ++P) {
                    const std::size_t l = s.order()[P - 1].idx;
                    prefix += index.list_start()[l + 1] - index.list_start()[l];
                    measured[P] += P == L ? index.rows() : prefix + (P <= row_short ? index.rows() : 0);
                }
            }
        }
    }
    curve.found.assign(L + 1, 0);
    curve.fallback.assign(L + 1, 0);
    std::int64_t f = 0;
    std::int64_t b = 0;
    for (std::size_t P = 1; P <= L; ++P) {
        f += found[P];
        b += fallback[P];
        curve.found[P] = static_cast<std::uint64_t>(f);
        curve.fallback[P] = static_cast<std::uint64_t>(b);
    }
    if (L != 0) {
        // With every list probed there is no short cell (it is the full scan).
        curve.found[L] = curve.donors;
        curve.fallback[L] = 0;
    }
    curve.measured = std::move(measured);
    return curve;
}

}  // namespace mirel::knn
