// One block of rows of the pass "row r against the fitted rows", for drivers that split an input
// of the fitted shape over processes or machines (mirel.dask).
//
// With an input of the fitted shape (R rows of C), row r's fill values depend only on the fitted
// matrix, r and which cells of row r are missing: every fitted row is a candidate (m = R). So
// rows [a, b) of such an input can be imputed from the fitted matrix and those rows alone, with
// exactly the values `impute` gives them in the whole table, in O((b - a) * C) memory beyond
// the fitted state instead of the R * C of a whole input and result.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "knn/row/impute.hpp"
#include "knn/row/impute_fast.hpp"

namespace mirel::knn {

// Imputes in place the NaN cells of `block`, which holds rows [first_row, first_row + rows) of an
// input of the fitted shape (rows = block.size() / C), bit for bit as `impute` imputes those
// rows of the whole input. Returns the unknown-metric error (nothing written) for a metric name
// that names no metric. Throws Panic when the imputer is unfitted or not well formed, when the
// block is not whole rows, or when the rows end beyond the fitted rows.
std::optional<UnknownMetric> impute_row_range(const KnnImputer& imputer, std::span<double> block, std::size_t first_row,
                                              KernelKind kernel = best_kernel(),
                                              const PassTuning& tuning = PassTuning{});

}  // namespace mirel::knn
