// The fast imputation pass behind `impute`, with the knobs that tests use to reach every path:
// the distance kernel (portable or a vector instruction set) and the block sizes.
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

// `impute` with a chosen kernel and block sizes. Fails with std::invalid_argument when the
// kernel is not available here. Results are bit-identical to impute_reference.
ImputeResult impute_with(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows,
                         KernelKind kernel, const PassTuning& tuning = PassTuning{});

// The distance list the fast pass computes for fitted row `row` against candidates
// 0..candidates-1 (its own entry SELF_DISTANCE), for tests of the kernels.
std::vector<double> distances_with(const KnnImputer& imputer, std::size_t row, std::size_t candidates,
                                   KernelKind kernel);

}  // namespace mirel::knn
