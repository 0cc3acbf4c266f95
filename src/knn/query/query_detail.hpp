// Pieces shared by the query passes (the straightforward one and the fast driver), so that
// both form distances, keys and checks in exactly the same way.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "knn/query/query.hpp"

namespace mirel::knn::detail {

// The query distance from the scaled sum of squares: sum * (cols / present), then the square
// root. Ranking happens on this square-rooted value, so two rows whose scaled sums differ but
// round to the same distance tie (and the lower index ranks first), as with scikit-learn.
inline double query_distance(double sum, double scale) noexcept { return std::sqrt(sum * scale); }

void check_pass_arguments(const TableView& fitted, const DonorColumns& columns, std::size_t query_rows,
                          std::size_t first, std::size_t last, std::size_t k);

// Columns of `row` that are missing and have at least one fitted value, ascending.
void missing_columns(const DonorColumns& columns, const double* row, std::size_t cols,
                     std::vector<std::size_t>& missing);

}  // namespace mirel::knn::detail
