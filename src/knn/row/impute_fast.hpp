// What tests of the fast row pass use beside `impute` (knn/row/impute.hpp): the kernels' distance
// lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "knn/kernels/dispatch.hpp"
#include "knn/pass/pass_tuning.hpp"
#include "knn/row/impute.hpp"

namespace mirel::knn {

// The distance list the fast pass computes for fitted row `row` against candidates
// 0..candidates-1 (its own entry SELF_DISTANCE), for tests of the kernels.
std::vector<double> distances_with(const KnnImputer& imputer, std::size_t row, std::size_t candidates,
                                   KernelKind kernel);

}  // namespace mirel::knn
