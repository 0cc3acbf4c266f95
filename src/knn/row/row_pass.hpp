// The fast pass "row r against the fitted rows": input row r is imputed from the candidates
// 0..m-1 nearest to fitted row r (itself excluded), exactly as the straightforward pass does.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "knn/kernels/kernel.hpp"
#include "knn/pass/pass_plan.hpp"
#include "knn/row/impute_fast.hpp"

namespace mirel::knn::detail {

// Imputes the cells of `work` into `result` from candidates 0..m-1 (m <= the fitted rows) of a
// well-formed record whose failures check_row_failures has ruled out. `result` holds the rows
// from `result_first_row` on (every row of `work` is one of them): cell (r, c) is
// result[(r - result_first_row) * cols + c].
void run_row_pass(const KnnImputer& imputer, std::size_t m, Kernel kernel, const PassTuning& tuning,
                  const MissingCells& work, std::span<double> result, std::size_t result_first_row = 0);

}  // namespace mirel::knn::detail
