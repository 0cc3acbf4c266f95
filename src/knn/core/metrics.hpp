// Distances between two rows that tolerate missing (NaN) cells.
// Both read `cols` = first.size() values of each row; the second row may be longer.
#pragma once

#include <span>
#include <string_view>

#include "knn/core/imputer.hpp"

namespace mirel::knn {

// The penalty of expected_distance for a coordinate missing in both rows.
inline constexpr double BOTH_MISSING_PENALTY = 0.333;

// Squared Euclidean distance over the coordinates both rows hold, scaled by n / present.
// +inf for empty rows or rows that share no present coordinate. No square root.
double nan_euclid(const KnnImputer& imputer, std::span<const double> first, std::span<const double> second);

// Euclidean distance over shared coordinates plus max(v, 1 - v) for every coordinate where
// one row misses, and 0.333 where both miss.
double expected_distance(const KnnImputer& imputer, std::span<const double> first, std::span<const double> second);

using MetricFn = double (*)(const KnnImputer&, std::span<const double>, std::span<const double>);

// The function of a metric; nullptr for Metric::unknown.
MetricFn metric_function(Metric metric) noexcept;
// The same by name: nullptr when `name` is not exactly "nan_euclid" or "expected_distance".
inline MetricFn select_metric(std::string_view name) noexcept { return metric_function(parse_metric(name)); }

}  // namespace mirel::knn
