// The candidate index: training the quantiser (seeded k-means++ and Lloyd's iterations over a
// sample of the fitted rows) and laying the lists out in the panel, each a run of whole blocks.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "knn/index/ivf_index.hpp"
#include "knn/index/ivf_source.hpp"
#include "knn/pass/pass_driver.hpp"

namespace mirel::knn {

namespace {

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
                 KernelKind kernel) {
    panel.build(table, cols, row_of, Metric::nan_euclid, detail::ivf_kernel(kernel, cols).masked_cells);
}

std::vector<std::size_t> iota_rows(std::size_t n) {
    std::vector<std::size_t> v(checked_count<std::size_t>(n));
    std::iota(v.begin(), v.end(), std::size_t{0});
    return v;
}

// Work of nearest_lists (rows x lists x columns) below which the calling thread assigns alone:
// starting and joining threads costs some 0.1 ms, a few 10^6 pair-columns.
constexpr std::size_t NEAREST_ON_THREADS_WORK = std::size_t{1} << 22;

// One worker of nearest_lists: rows [a, b) of the call, each to its nearest centroid.
class NearestWorker {
public:
    NearestWorker(const detail::Panel& centroids, std::size_t lists, KernelKind kernel, const TableView& table,
                  const std::size_t* rows_of, std::uint32_t* out)
        : table_(table), rows_of_(rows_of), out_(out) {
        order_.bind(centroids, lists, kernel, table.cols);
    }
    bool run(std::size_t a, std::size_t b, const PassControl& control) noexcept {
        for (std::size_t i = a; i < b; ++i) {
            out_[i] = order_.nearest(table_.row(rows_of_ == nullptr ? i : rows_of_[i]));
        }
        if (control.done != nullptr) {
            control.done->fetch_add(b - a, std::memory_order_relaxed);
        }
        return true;
    }
    void report() const noexcept {}

private:
    const TableView& table_;
    const std::size_t* rows_of_;
    std::uint32_t* out_;
    detail::ProbeOrder order_;
};

}  // namespace

namespace detail {

void nearest_lists(const Panel& centroids, std::size_t lists, KernelKind kernel, const TableView& table,
                   const std::size_t* rows_of, std::size_t rows, std::uint32_t* out, std::size_t threads) {
    if (rows == 0) {
        return;
    }
    if (lists <= 1) {
        std::fill(out, out + rows, 0u);
        return;
    }
    const std::size_t work = try_product({rows, lists, std::max<std::size_t>(table.cols, 1)}).value_or(SIZE_MAX);
    const std::size_t chunk = default_chunk_rows(rows, usable_threads(threads));
    const std::size_t chunks = rows / chunk + (rows % chunk != 0 ? 1 : 0);
    const std::size_t workers = work < NEAREST_ON_THREADS_WORK ? 1 : std::min(usable_threads(threads), chunks);
    // Every worker is built (and allocates) here, before any thread starts.
    std::vector<NearestWorker> pool;
    pool.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) {
        pool.emplace_back(centroids, lists, kernel, table, rows_of, out);
    }
    if (workers == 1) {
        pool.front().run(0, rows, PassControl{});
        return;
    }
    PassOptions options;
    options.threads = workers;
    split_rows(std::span<NearestWorker>(pool), 0, rows, chunk, options);
}

}  // namespace detail

IvfIndex::IvfIndex(const TableView& fitted, KernelKind kernel)
    : rows_(fitted.rows),
      cols_(fitted.cols),
      kernel_(kernel),
      columns_(donor_columns(fitted)),
      panel_(std::make_unique<IvfPanel>()),
      centroid_panel_(std::make_unique<IvfPanel>()) {
    detail::ivf_kernel(kernel, fitted.cols);
}

IvfIndex::IvfIndex(IvfIndex&&) noexcept = default;
IvfIndex& IvfIndex::operator=(IvfIndex&&) noexcept = default;
IvfIndex::~IvfIndex() = default;

IvfIndex IvfIndex::train(const TableView& fitted, std::size_t lists, std::uint64_t seed, KernelKind kernel,
                         std::size_t threads, std::size_t iterations) {
    IvfIndex index(fitted, kernel);
    const std::size_t n = fitted.rows;
    const std::size_t cols = fitted.cols;
    // At most one list per block of rows: a list's last block is partly empty, so more lists
    // would make the panel a multiple of the table.
    const std::size_t most = std::max<std::size_t>(1, n / detail::BLOCK_ROWS);
    index.lists_ = n == 0 ? 0 : std::clamp<std::size_t>(lists, 1, std::min<std::size_t>(most, UINT32_MAX));
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
        //    The d2 of the sample's rows to the newest centroid come from the kernel, the
        //    centroid measured as a query against a panel of the sample (+inf for a row without
        //    a present cell).
        IvfPanel sample;
        build_panel(sample, {fitted.values, checked_mul(n, cols)}, cols, pick, kernel);
        detail::ProbeOrder to_sample;
        to_sample.bind(sample, train, kernel, cols);
        std::vector<double> nearest(train, std::numeric_limits<double>::infinity());
        seed_centroid(0, pick[below(state, train)]);
        for (std::size_t l = 1; l < L; ++l) {
            double total = 0.0;
            const std::span<const double> d2 = to_sample.distances(&index.centroids_[(l - 1) * cols]);
            for (std::size_t i = 0; i < train; ++i) {
                nearest[i] = std::min(nearest[i], d2[i]);
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
        std::vector<std::uint32_t> list_of_pick(train);
        const std::vector<std::size_t> centroid_rows = iota_rows(L);
        for (std::size_t it = 0; it < iterations; ++it) {
            IvfPanel centroids;
            build_panel(centroids, index.centroids_, cols, centroid_rows, kernel);
            detail::nearest_lists(centroids, L, kernel, fitted, pick.data(), train, list_of_pick.data(), threads);
            std::fill(sum.begin(), sum.end(), 0.0);
            std::fill(count.begin(), count.end(), 0);
            for (std::size_t i = 0; i < train; ++i) {
                const double* row = fitted.row(pick[i]);
                const std::size_t l = list_of_pick[i];
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
    index.lay_out(fitted, true, threads);
    return index;
}

IvfIndex IvfIndex::from_parts(const TableView& fitted, std::span<const double> centroids,
                              std::span<const std::uint32_t> list_of_row, KernelKind kernel) {
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
    index.lay_out(fitted, false, 1);
    return index;
}

void IvfIndex::lay_out(const TableView& fitted, bool assign, std::size_t threads) {
    const std::size_t L = lists_;
    const std::vector<std::size_t> centroid_rows = iota_rows(L);
    build_panel(*centroid_panel_, centroids_, cols_, centroid_rows, kernel_);
    // Every row to its nearest centroid (unless the lists were given).
    if (assign) {
        detail::nearest_lists(*centroid_panel_, L, kernel_, fitted, nullptr, rows_, list_of_row_.data(), threads);
    }
    // The lists, each in row order, one after another, each from the start of a block (a
    // counting sort): a list is a run of whole blocks, which a query row measures or skips.
    list_size_.assign(checked_count<std::size_t>(L), 0);
    for (const std::uint32_t l : list_of_row_) {
        ++list_size_[l];
    }
    list_blocks_.assign(checked_count<std::size_t>(checked_add(L, std::size_t{1})), 0);
    for (std::size_t l = 0; l < L; ++l) {
        const std::size_t blocks = list_size_[l] / detail::BLOCK_ROWS + (list_size_[l] % detail::BLOCK_ROWS != 0);
        list_blocks_[l + 1] = checked_add(list_blocks_[l], blocks);
    }
    const std::size_t positions = checked_mul(list_blocks_[L], detail::BLOCK_ROWS);
    row_of_.assign(checked_count<std::size_t>(positions), detail::NO_POSITION);
    pos_of_.assign(checked_count<std::size_t>(rows_), 0);
    std::vector<std::size_t> next(L);
    for (std::size_t l = 0; l < L; ++l) {
        next[l] = list_blocks_[l] * detail::BLOCK_ROWS;
    }
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
           (list_blocks_.size() + list_size_.size() + row_of_.size() + pos_of_.size() + holders_.size()) *
               sizeof(std::size_t) +
           (columns_.mean.size() + columns_.count.size()) * sizeof(double) + sizeof(*this);
}

}  // namespace mirel::knn
