// The imputer record: configuration chosen at construction and the fitted matrix.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mirel::knn {

// The one ordinary error of the pass: a metric name that names no metric.
struct UnknownMetric {
    std::string message;  // "NAME is a unknown metric"
};

using ImputeResult = std::variant<std::vector<double>, UnknownMetric>;

inline UnknownMetric unknown_metric(const std::string& name) { return UnknownMetric{name + " is a unknown metric"}; }

inline constexpr std::array<std::string_view, 2> ALLOWED_WEIGHTS = {"uniform", "distance"};
// The metric names, in the order of Metric (the Python faces take them from here too).
inline constexpr std::array<std::string_view, 2> METRIC_NAMES = {"nan_euclid", "expected_distance"};

// The names are parsed once, where the imputer is configured; the engine works with these.
// `unknown` stands for any other text, which the record keeps for messages.
enum class Metric { nan_euclid, expected_distance, unknown };
enum class Weights { uniform, distance, unknown };

// Exact byte comparison: no case folding, no trimming.
Metric parse_metric(std::string_view name) noexcept;
Weights parse_weights(std::string_view name) noexcept;
bool is_allowed_weights(std::string_view weights) noexcept;

// How many donors a missing cell takes: k, and one when k is 0.
inline std::size_t donor_limit(std::uint32_t k) noexcept { return k == 0 ? 1 : k; }

class KnnImputer {
public:
    // Fails with the weights assertion when `weights` is not one of ALLOWED_WEIGHTS.
    // `metric` is stored as given; transform decides whether it names a metric.
    static KnnImputer create(std::uint32_t k, std::string metric, std::string weights);

    // The names as given (for messages and the Python properties) and as parsed.
    const std::string& metric() const noexcept { return metric_; }
    const std::string& weights() const noexcept { return weights_; }
    Metric metric_kind() const noexcept { return metric_kind_; }
    Weights weights_kind() const noexcept { return weights_kind_; }
    std::uint32_t k() const noexcept { return k_; }
    void set_k(std::uint32_t k) noexcept { k_ = k; }

    bool fitted() const noexcept { return fitted_values_.has_value(); }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    // The whole fitted matrix, row-major; empty when unfitted.
    std::span<const double> fitted_values() const noexcept {
        return fitted_values_ ? std::span<const double>(*fitted_values_) : std::span<const double>();
    }

    // Replaces the fitted state: the old vector goes first, then the new one is stored.
    // values.size() must be rows * cols (the conversion guarantees it).
    void store_fitted(std::vector<double> values, std::size_t rows, std::size_t cols) noexcept;

    // Row i of the fitted matrix: `cols` values. The start wraps at the width of size_t,
    // the end is checked, exactly like slicing [i*cols, i*cols + cols).
    std::span<const double> row(std::size_t i) const;

private:
    // Lets the engine's tests build records that create() refuses, to reach the checks that
    // guard against them further down.
    friend struct KnnImputerTestAccess;

    KnnImputer(std::uint32_t k, std::string metric, std::string weights) noexcept
        : metric_(std::move(metric)),
          weights_(std::move(weights)),
          metric_kind_(parse_metric(metric_)),
          weights_kind_(parse_weights(weights_)),
          k_(k) {}

    std::string metric_;
    std::string weights_;
    Metric metric_kind_;
    Weights weights_kind_;
    std::uint32_t k_;
    std::optional<std::vector<double>> fitted_values_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

}  // namespace mirel::knn
