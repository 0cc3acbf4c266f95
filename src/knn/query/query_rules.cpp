// The rules every query pass follows, the straightforward one and the fast one alike: the
// column facts, the distance, the weighted mean, the cells a row imputes and the checks of a pass.
#include <algorithm>
#include <cmath>
#include <limits>

#include "knn/core/panic.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_detail.hpp"

namespace mirel::knn {

DonorColumns donor_columns(const TableView& fitted) {
    DonorColumns columns;
    std::vector<double> sum(fitted.cols, 0.0);
    columns.count.assign(fitted.cols, 0);
    for (std::size_t r = 0; r < fitted.rows; ++r) {
        const double* row = fitted.row(r);
        for (std::size_t c = 0; c < fitted.cols; ++c) {
            if (!std::isnan(row[c])) {
                sum[c] = sum[c] + row[c];
                ++columns.count[c];
            }
        }
    }
    columns.mean.resize(fitted.cols);
    for (std::size_t c = 0; c < fitted.cols; ++c) {
        columns.mean[c] = columns.count[c] == 0 ? std::numeric_limits<double>::quiet_NaN()
                                                : sum[c] / static_cast<double>(columns.count[c]);
    }
    return columns;
}

double nan_euclidean(const double* a, const double* b, std::size_t cols) noexcept {
    double sum = 0.0;
    std::size_t present = 0;
    for (std::size_t c = 0; c < cols; ++c) {
        if (!std::isnan(a[c]) && !std::isnan(b[c])) {
            ++present;
            const double d = a[c] - b[c];
            sum = sum + d * d;
        }
    }
    if (present == 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return detail::query_distance(sum, static_cast<double>(cols) / static_cast<double>(present));
}

std::size_t count_imputed_cells(const DonorColumns& columns, const TableView& query, std::size_t first,
                                std::size_t last) noexcept {
    std::size_t cells = 0;
    for (std::size_t r = first; r < last; ++r) {
        const double* row = query.row(r);
        for (std::size_t c = 0; c < query.cols; ++c) {
            cells += imputes_cell(columns, row[c], c) ? 1 : 0;
        }
    }
    return cells;
}

namespace {

// The weight of donor i as the pass gives it: 1 (uniform), 1/d, or, when any 1/d is infinite (a
// zero distance), 1 for those donors and 0 for the others.
double donor_weight(double distance, Weights weights, bool any_infinite) noexcept {
    if (weights != Weights::distance) {
        return 1.0;
    }
    const double w = 1.0 / distance;
    return any_infinite ? (std::isinf(w) ? 1.0 : 0.0) : w;
}

// The weighted mean formed so that no intermediate value overflows, for the donors whose
// straightforward sums overflowed (huge values or tiny distances) or whose weights are all zero
// (every distance overflowed to +inf: the donors are then equally far and count equally).
// Weights are scaled by the largest one and normalised before they multiply the values, so
// every term is at most its value in magnitude; the result is kept within the values of the
// donors that carry weight.
double overflow_free_mean(std::span<const double> values, std::span<const double> distances, Weights weights,
                          bool any_infinite) noexcept {
    double largest = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        largest = std::max(largest, donor_weight(distances[i], weights, any_infinite));
    }
    const auto scaled = [&](std::size_t i) {
        return largest == 0.0 ? 1.0 : donor_weight(distances[i], weights, any_infinite) / largest;
    };
    double total = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        total = total + scaled(i);
    }
    double sum = 0.0;
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double w = scaled(i);
        sum = sum + values[i] * (w / total);
        if (w > 0.0) {
            low = std::min(low, values[i]);
            high = std::max(high, values[i]);
        }
    }
    return std::min(std::max(sum, low), high);
}

bool all_finite(std::span<const double> values) noexcept {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

double weighted_mean(std::span<const double> values, std::span<const double> distances, Weights weights) {
    // 1/d per donor; a zero distance makes 1/d infinite, and then only such donors count.
    bool any_infinite = false;
    if (weights == Weights::distance) {
        for (const double d : distances) {
            any_infinite = any_infinite || std::isinf(1.0 / d);
        }
    }
    double sum = 0.0;
    double total = 0.0;
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double weight = donor_weight(distances[i], weights, any_infinite);  // uniform: 1, v * 1 = v
        sum = sum + values[i] * weight;
        total = total + weight;
        if (weight > 0.0) {
            low = std::min(low, values[i]);
            high = std::max(high, values[i]);
        }
    }
    if (total > 0.0 && std::isfinite(total)) {
        const double mean = sum / total;
        if (mean >= low && mean <= high) {
            return mean;
        }
    }
    if (!all_finite(values)) {
        return total == 0.0 ? sum : sum / total;
    }
    // Every weight zero (all distances +inf), sums that overflowed (huge values, tiny
    // distances) or underflowed, or a mean that rounding put past its donors' values.
    return overflow_free_mean(values, distances, weights, any_infinite);
}

namespace detail {

void check_pass_arguments(const TableView& fitted, const DonorColumns& columns, std::size_t query_rows,
                          std::size_t first, std::size_t last, std::size_t k) {
    if (k == 0) {
        throw Panic("the query pass needs at least one neighbour");
    }
    if (first > last || last > query_rows) {
        panic_index_out_of_bounds(query_rows, last);
    }
    if (columns.count.size() != fitted.cols || columns.mean.size() != fitted.cols) {
        throw Panic("the donor columns do not describe the fitted table");
    }
}

void missing_columns(const DonorColumns& columns, const double* row, std::size_t cols,
                     std::vector<std::size_t>& missing) {
    missing.clear();
    for (std::size_t c = 0; c < cols; ++c) {
        if (imputes_cell(columns, row[c], c)) {
            missing.push_back(c);
        }
    }
}

}  // namespace detail

}  // namespace mirel::knn
