// An order of table rows in which rows near each other in the table tend to sit near each other.
//
// A pass prunes well once its selections hold near candidates: the sooner they do, the tighter
// the kernels' thresholds. near_order gives a cheap proxy for "near": the rows' projections on
// the leading principal directions of the table (found on a sample, missing and non-finite
// cells taken as the column mean), cut into a grid of quantile slabs: sorted on the first
// projection and cut into slabs, each slab sorted on the second and cut again, each piece sorted
// on the third. Rows a few places apart in that order are mostly near neighbours on structured
// tables. The order only steers where a pass looks first; no result depends on it.
//
// Cost: O(sample x cols) for the directions, O(rows x cols) for the projections and
// O(rows log rows) for the sorts; memory: one index and three projections per row.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace mirel::knn::detail {

// A permutation of 0..rows.size()-1: index i stands for the row rows[i] of `values` (rows of
// `cols` values, row-major). Deterministic: the same input gives the same order.
std::vector<std::size_t> near_order(std::span<const double> values, std::size_t cols,
                                    std::span<const std::size_t> rows);

}  // namespace mirel::knn::detail
