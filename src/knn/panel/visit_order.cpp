#include "knn/panel/visit_order.hpp"

#include <algorithm>
#include <cmath>

#include "knn/core/checked.hpp"

namespace mirel::knn::detail {

namespace {

constexpr std::size_t DIRECTIONS = 3;
constexpr std::size_t SAMPLE_ROWS = 1024;
constexpr std::size_t POWER_STEPS = 10;
// Rows per grid piece, about: the slabs are cut so that a piece holds this many rows or more.
constexpr double PIECE_ROWS = 32.0;

// Row i's cells less the column means, missing and non-finite cells as 0.
class Centred {
public:
    Centred(std::span<const double> values, std::size_t cols, std::span<const std::size_t> rows,
            std::span<const double> mean)
        : values_(values), cols_(cols), rows_(rows), mean_(mean) {}

    double at(std::size_t i, std::size_t c) const noexcept {
        const double v = values_[rows_[i] * cols_ + c];
        return std::isfinite(v) ? v - mean_[c] : 0.0;
    }

    // Row i's projection on direction d.
    double dot(std::size_t i, std::span<const double> d) const noexcept {
        double s = 0.0;
        for (std::size_t c = 0; c < cols_; ++c) {
            s += at(i, c) * d[c];
        }
        return s;
    }

private:
    std::span<const double> values_;
    std::size_t cols_;
    std::span<const std::size_t> rows_;
    std::span<const double> mean_;
};

// Scales d to unit length; false (d zeroed) when it has none or is not finite.
bool normalise(std::span<double> d) noexcept {
    double norm = 0.0;
    for (const double x : d) {
        norm += x * x;
    }
    norm = std::sqrt(norm);
    if (!(norm > 0.0) || !std::isfinite(norm)) {
        std::fill(d.begin(), d.end(), 0.0);
        return false;
    }
    for (double& x : d) {
        x /= norm;
    }
    return true;
}

// Removes from d its components along the earlier (unit or zero) directions.
void orthogonalise(std::span<double> d, const std::vector<std::vector<double>>& earlier) noexcept {
    for (const std::vector<double>& e : earlier) {
        double s = 0.0;
        for (std::size_t c = 0; c < d.size(); ++c) {
            s += d[c] * e[c];
        }
        for (std::size_t c = 0; c < d.size(); ++c) {
            d[c] -= s * e[c];
        }
    }
}

// Sorts order[lo, hi) on key (stable, so equal keys keep their order), descending when `down`.
void sort_on(std::vector<std::size_t>& order, std::size_t lo, std::size_t hi, const std::vector<double>& key,
             bool down) {
    const auto first = order.begin() + static_cast<std::ptrdiff_t>(lo);
    const auto last = order.begin() + static_cast<std::ptrdiff_t>(hi);
    if (down) {
        std::stable_sort(first, last, [&](std::size_t a, std::size_t b) { return key[a] > key[b]; });
    } else {
        std::stable_sort(first, last, [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });
    }
}

// The start of part j of [lo, lo + n) cut into `parts` parts of sizes differing by at most one.
std::size_t part_start(std::size_t lo, std::size_t n, std::size_t parts, std::size_t j) noexcept {
    return lo + j * (n / parts) + std::min(j, n % parts);
}

}  // namespace

std::vector<std::size_t> near_order(std::span<const double> values, std::size_t cols,
                                    std::span<const std::size_t> rows) {
    const std::size_t n = rows.size();
    std::vector<std::size_t> order(checked_count<std::size_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        order[i] = i;
    }
    if (n < 2 || cols == 0) {
        return order;
    }
    // Column means over the sample's finite cells.
    const std::size_t stride = std::max<std::size_t>(1, n / SAMPLE_ROWS);
    std::vector<double> mean(checked_count<double>(cols), 0.0);
    std::vector<std::size_t> count(checked_count<std::size_t>(cols), 0);
    for (std::size_t i = 0; i < n; i += stride) {
        for (std::size_t c = 0; c < cols; ++c) {
            const double v = values[rows[i] * cols + c];
            if (std::isfinite(v)) {
                mean[c] += v;
                ++count[c];
            }
        }
    }
    for (std::size_t c = 0; c < cols; ++c) {
        mean[c] = count[c] != 0 && std::isfinite(mean[c]) ? mean[c] / static_cast<double>(count[c]) : 0.0;
    }
    const Centred x(values, cols, rows, mean);
    // The sample, centred, in one dense block.
    std::vector<double> sample;
    sample.reserve(checked_count<double>(checked_mul(n / stride + 1, cols)));
    for (std::size_t i = 0; i < n; i += stride) {
        for (std::size_t c = 0; c < cols; ++c) {
            sample.push_back(x.at(i, c));
        }
    }
    const std::size_t sampled = sample.size() / cols;
    // The leading directions of the sample, by power steps with deflation, each started from a
    // fixed vector.
    const std::size_t directions = std::min(DIRECTIONS, cols);
    std::vector<std::vector<double>> dir;
    std::vector<double> next(cols);
    for (std::size_t d = 0; d < directions; ++d) {
        std::vector<double> v(cols);
        for (std::size_t c = 0; c < cols; ++c) {
            v[c] = 1.0 + static_cast<double>((c * 7 + d * 13) % 17) / 17.0;
        }
        orthogonalise(v, dir);
        bool found = normalise(v);
        for (std::size_t step = 0; found && step < POWER_STEPS; ++step) {
            std::fill(next.begin(), next.end(), 0.0);
            for (std::size_t i = 0; i < sampled; ++i) {
                const double* row = sample.data() + i * cols;
                double p = 0.0;
                for (std::size_t c = 0; c < cols; ++c) {
                    p += row[c] * v[c];
                }
                for (std::size_t c = 0; c < cols; ++c) {
                    next[c] += p * row[c];
                }
            }
            orthogonalise(next, dir);
            v.swap(next);
            found = normalise(v);
        }
        dir.push_back(std::move(v));
    }
    // Every row's projections (non-finite ones as 0).
    std::vector<std::vector<double>> key(directions, std::vector<double>(checked_count<double>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < directions; ++d) {
            const double p = x.dot(i, dir[d]);
            key[d][i] = std::isfinite(p) ? p : 0.0;
        }
    }
    // The grid: slabs on the first projection, pieces of slabs on the second, each piece sorted
    // on the third; alternate slabs and pieces run backwards so that neighbouring pieces meet.
    const std::size_t parts =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::cbrt(static_cast<double>(n) / PIECE_ROWS)));
    sort_on(order, 0, n, key[0], false);
    if (directions < 2) {
        return order;
    }
    for (std::size_t a = 0; a < parts; ++a) {
        const std::size_t lo = part_start(0, n, parts, a);
        const std::size_t hi = part_start(0, n, parts, a + 1);
        sort_on(order, lo, hi, key[1], a % 2 == 1);
        if (directions < 3) {
            continue;
        }
        for (std::size_t b = 0; b < parts; ++b) {
            const std::size_t p0 = part_start(lo, hi - lo, parts, b);
            const std::size_t p1 = part_start(lo, hi - lo, parts, b + 1);
            sort_on(order, p0, p1, key[2], (a + b) % 2 == 1);
        }
    }
    return order;
}

}  // namespace mirel::knn::detail
