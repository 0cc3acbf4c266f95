// The rules of the Gower pass: the fitted side, the distance, the value of a cell, and the
// straightforward pass that defines what every faster one computes.
#include "knn/gower/gower.hpp"

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/query/query.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace mirel::knn {

namespace {

// The median of `values` (finite, at least one): the middle one; for an even count the mean of
// the two middle ones (halved first when their sum overflows), or the lower one when `lower`.
double median_of(std::vector<double>& values, bool lower) {
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size();
    if (m % 2 == 1) {
        return values[m / 2];
    }
    const double lo = values[m / 2 - 1];
    const double hi = values[m / 2];
    if (lower) {
        return lo;
    }
    const double mid = (lo + hi) / 2.0;
    return std::isfinite(mid) ? mid : lo / 2.0 + hi / 2.0;
}

// The winning level of donors with codes `codes` and vote weights `weights` (rank order):
// the largest sum of weights (summed in rank order from +0.0), ties to the nearest tied donor.
double vote(std::span<const double> codes, std::span<const double> weights, std::vector<std::size_t>& order) {
    order.resize(codes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // By level, then rank: std::sort allocates nothing (a worker thread must not).
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return codes[a] < codes[b] || (codes[a] == codes[b] && a < b); });
    double best = -1.0;
    std::size_t best_first = 0;
    for (std::size_t i = 0; i < order.size();) {
        const double code = codes[order[i]];
        const std::size_t first = order[i];  // stable: the nearest donor of this level
        double score = 0.0;
        for (; i < order.size() && codes[order[i]] == code; ++i) {
            score = score + weights[order[i]];
        }
        if (score > best || (score == best && first < best_first)) {
            best = score;
            best_first = first;
        }
    }
    return codes[best_first];
}

bool is_code(double v, std::uint32_t levels) noexcept {
    return v >= 0.0 && v < static_cast<double>(levels) && v == std::floor(v);
}

}  // namespace

std::string gower_config_error(const GowerConfig& config) {
    if (config.k == 0) {
        return "the Gower pass needs at least one neighbour";
    }
    for (std::size_t c = 0; c < config.columns.size(); ++c) {
        const GowerColumn& col = config.columns[c];
        if (!(std::isfinite(col.weight) && col.weight >= 0.0)) {
            return "column " + std::to_string(c) + ": weights must be finite and at least 0";
        }
        if (col.kind != GowerKind::numeric && col.levels == 0 && col.integral) {
            return "column " + std::to_string(c) + ": only numeric columns are integral";
        }
    }
    return {};
}

GowerDonors GowerDonors::build(GowerConfig config, std::span<const double> cells, std::size_t rows) {
    if (std::string error = gower_config_error(config); !error.empty()) {
        throw Panic(error);
    }
    const std::size_t cols = config.columns.size();
    if (cells.size() != checked_mul(rows, cols)) {
        throw Panic("the fitted cells do not have the fitted shape");
    }
    GowerDonors d;
    d.rows_ = rows;
    d.cells_.resize(cells.size());
    d.scale_.assign(cols, 0.0);
    d.factor_.assign(cols, 0.0);
    d.count_.assign(cols, 0);
    d.summary_.assign(cols, std::nan(""));
    std::vector<double> values;
    values.reserve(rows);
    for (std::size_t c = 0; c < cols; ++c) {
        const GowerColumn& col = config.columns[c];
        values.clear();
        for (std::size_t r = 0; r < rows; ++r) {
            const double v = cells[r * cols + c];
            d.cells_[c * rows + r] = v;
            if (std::isnan(v)) {
                continue;
            }
            if (col.kind == GowerKind::numeric ? !std::isfinite(v) : !is_code(v, col.levels)) {
                throw Panic("column " + std::to_string(c) + " holds " + std::to_string(v) +
                            (col.kind == GowerKind::numeric ? ", not a finite number" : ", not a level code"));
            }
            values.push_back(v);
        }
        d.count_[c] = values.size();
        if (col.kind == GowerKind::nominal) {
            d.scale_[c] = 1.0;
        } else if (col.kind == GowerKind::ordinal) {
            d.scale_[c] = col.levels > 1 ? static_cast<double>(col.levels - 1) : 0.0;
        } else if (!values.empty()) {
            const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
            d.scale_[c] = *hi - *lo;
        }
        if (!std::isfinite(d.scale_[c])) {
            throw Panic("column " + std::to_string(c) + ": its values span more than a double holds");
        }
        d.factor_[c] = d.scale_[c] == 0.0 ? 0.0 : col.weight / d.scale_[c];
        if (values.empty()) {
            continue;
        }
        if (col.kind == GowerKind::nominal) {
            std::sort(values.begin(), values.end());
            std::size_t best = 0;
            for (std::size_t i = 0; i < values.size();) {
                std::size_t j = i;
                while (j < values.size() && values[j] == values[i]) {
                    ++j;
                }
                if (j - i > best) {  // strictly more: ties keep the lowest code
                    best = j - i;
                    d.summary_[c] = values[i];
                }
                i = j;
            }
        } else {
            d.summary_[c] = median_of(values, col.kind == GowerKind::ordinal || col.integral);
        }
    }
    d.config_ = std::move(config);
    return d;
}

std::size_t GowerDonors::bytes() const noexcept {
    return cells_.size() * sizeof(double) + (scale_.size() + factor_.size() + summary_.size()) * sizeof(double) +
           count_.size() * sizeof(std::size_t) + config_.columns.size() * sizeof(GowerColumn);
}

double gower_distance(const GowerDonors& donors, const double* a, std::size_t i) noexcept {
    double num = 0.0;
    double den = 0.0;
    for (std::size_t c = 0; c < donors.cols(); ++c) {
        const GowerColumn& col = donors.config().columns[c];
        const double b = donors.column(c)[i];
        if (!col.in_distance || std::isnan(a[c]) || std::isnan(b)) {
            continue;
        }
        double term = 0.0;
        if (col.kind == GowerKind::nominal) {
            term = a[c] != b ? col.weight : 0.0;
        } else if (donors.scale(c) != 0.0) {
            const double diff = std::fabs(a[c] - b);
            term = std::isfinite(donors.factor(c)) ? diff * donors.factor(c) : col.weight * (diff / donors.scale(c));
        }
        num = num + term;
        den = den + col.weight;
    }
    return den == 0.0 ? std::nan("") : num / den;
}

double gower_cell_value(const GowerDonors& donors, std::size_t c, std::span<const double> values,
                        std::span<const double> distances, GowerScratch& scratch) {
    const GowerColumn& col = donors.config().columns[c];
    if (col.kind == GowerKind::nominal) {
        std::vector<double>& weights = scratch.weights;
        weights.assign(values.size(), 1.0);
        if (donors.config().weighted_votes) {
            const bool any_zero = std::any_of(distances.begin(), distances.end(), [](double d) { return d == 0.0; });
            for (std::size_t i = 0; i < values.size(); ++i) {
                weights[i] = any_zero ? (distances[i] == 0.0 ? 1.0 : 0.0) : 1.0 / distances[i];
            }
        }
        return vote(values, weights, scratch.order);
    }
    if (col.kind == GowerKind::ordinal || donors.config().numeric == GowerNumeric::median) {
        scratch.sorted.assign(values.begin(), values.end());
        return median_of(scratch.sorted, col.kind == GowerKind::ordinal || col.integral);
    }
    const Weights weights = donors.config().numeric == GowerNumeric::distance ? Weights::distance : Weights::uniform;
    const double mean = weighted_mean(values, distances, weights);
    return col.integral ? std::rint(mean) + 0.0 : mean;  // + 0.0: an integer has no -0
}

void gower_reference(const GowerDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                     std::size_t last) {
    if (first > last || last > query_rows) {
        panic_index_out_of_bounds(query_rows, last);
    }
    const std::size_t cols = donors.cols();
    const std::size_t n = donors.rows();
    const std::size_t k = donors.config().k;
    std::vector<double> dist(n);
    std::vector<std::size_t> order;
    std::vector<double> values;
    std::vector<double> distances;
    GowerScratch scratch;
    for (std::size_t r = first; r < last; ++r) {
        double* row = query + r * cols;
        // 1. Every distance, one stable ordering of the rows that have one.
        order.clear();
        for (std::size_t i = 0; i < n; ++i) {
            dist[i] = gower_distance(donors, row, i);
            if (!std::isnan(dist[i])) {
                order.push_back(i);
            }
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return distance_rank_key(dist[a]) < distance_rank_key(dist[b]);
        });
        // 2. Per missing column, a walk down the ordering. The cells are written after the
        // walks: the distances were measured with the row as it came.
        std::vector<std::pair<std::size_t, double>> filled;
        for (std::size_t c = 0; c < cols; ++c) {
            if (!std::isnan(row[c]) || donors.count(c) == 0) {
                continue;
            }
            values.clear();
            distances.clear();
            for (std::size_t i : order) {
                if (values.size() == k) {
                    break;
                }
                const double v = donors.column(c)[i];
                if (!std::isnan(v)) {
                    values.push_back(v);
                    distances.push_back(dist[i]);
                }
            }
            filled.emplace_back(
                c, values.empty() ? donors.summary(c) : gower_cell_value(donors, c, values, distances, scratch));
        }
        for (const auto& [c, v] : filled) {
            row[c] = v;
        }
    }
}

}  // namespace mirel::knn
