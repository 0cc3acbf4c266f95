// Turning distances into weights, and summing weighted donor values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "knn/core/imputer.hpp"

namespace mirel::knn {

// The weight of every donor under "uniform": 1/k (+inf for k = 0).
inline double uniform_weight(std::uint32_t k) noexcept { return 1.0 / static_cast<double>(k); }

// One weight per distance, in the same order: 1/k each for "uniform" (+inf for k = 0),
// 1/distance each for "distance". Any other weights name fails with "Unknown weight NAME".
std::vector<double> get_weights(const KnnImputer& imputer, std::span<const double> distances);

// The unnormalised weighted sum of the donors of each column. For each column in `columns`: the sum of value *
// weight[row] over the first k rows of `order` (1 row when k is 0) that hold a value in that column, accumulated in
// order from +0.0. Not divided by the weight total. A column without any donor gets 0.0.
std::vector<double> average(const KnnImputer& imputer, std::span<const std::size_t> order,
                            std::span<const std::size_t> columns, std::span<const double> weights);

}  // namespace mirel::knn
