#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "knn/core/panic.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/core/selection.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_detail.hpp"

namespace mirel::knn {

namespace {

// Walks rows [first, last): for every row with a missing cell in a column that has donors,
// the distances, one stable ordering of all fitted rows, then `cell(row, c, order, dist)` for
// each such column (in ascending order) after all distances of the row are known.
template <class Cell>
void walk_rows(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
               std::size_t first, std::size_t last, std::size_t k, GivenDistances given, Cell&& cell) {
    detail::check_pass_arguments(fitted, columns, query_rows, first, last, k);
    const std::size_t cols = fitted.cols;
    std::vector<std::size_t> missing;
    std::vector<double> dist(fitted.rows);
    std::vector<std::size_t> order(fitted.rows);
    for (std::size_t r = first; r < last; ++r) {
        double* row = query + r * cols;
        // 1. The row's missing columns that have donors; nothing to do without any.
        detail::missing_columns(columns, row, cols, missing);
        if (missing.empty()) {
            continue;
        }
        // 2. Every distance, before any cell of the row is written.
        for (std::size_t t = 0; t < fitted.rows; ++t) {
            dist[t] =
                given.values != nullptr ? given.values[r * fitted.rows + t] : nan_euclidean(row, fitted.row(t), cols);
        }
        // 3. All fitted rows, nearest first, rows without a distance last, ties by index.
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return query_rank_key(dist[a]) < query_rank_key(dist[b]);
        });
        // 4. The cells.
        for (const std::size_t c : missing) {
            cell(row, c, order, dist);
        }
    }
}

}  // namespace

void query_reference(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                     std::size_t first, std::size_t last, std::size_t k, Weights weights, GivenDistances given) {
    std::vector<double> values;
    std::vector<double> distances;
    walk_rows(fitted, columns, query, query_rows, first, last, k, given,
              [&](double* row, std::size_t c, const std::vector<std::size_t>& order, const std::vector<double>& dist) {
                  values.clear();
                  distances.clear();
                  for (const std::size_t t : order) {
                      if (std::isnan(dist[t]) || values.size() == k) {
                          break;
                      }
                      const double v = fitted.row(t)[c];
                      if (!std::isnan(v)) {
                          values.push_back(v);
                          distances.push_back(dist[t]);
                      }
                  }
                  row[c] = values.empty() ? columns.mean[c] : weighted_mean(values, distances, weights);
              });
}

void query_select_reference(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                            std::size_t first, std::size_t last, std::size_t k, const SelectionOut& out,
                            GivenDistances given) {
    if (out.slots < k) {
        throw Panic("the selection has fewer slots than neighbours");
    }
    std::size_t cell_index = 0;
    walk_rows(fitted, columns, query, query_rows, first, last, k, given,
              [&](double* row, std::size_t c, const std::vector<std::size_t>& order, const std::vector<double>& dist) {
                  std::int64_t* index = out.index + cell_index * out.slots;
                  double* distance = out.distance + cell_index * out.slots;
                  ++cell_index;
                  std::fill(index, index + out.slots, std::int64_t{-1});
                  std::fill(distance, distance + out.slots, std::numeric_limits<double>::quiet_NaN());
                  // The first min(k, potential donors) potential donors, those without a distance last.
                  const std::size_t wanted = detail::selection_size(k, columns.count[c]);
                  std::size_t taken = 0;
                  bool any_distance = false;
                  for (std::size_t i = 0; i < order.size() && taken < wanted; ++i) {
                      const std::size_t t = order[i];
                      if (!std::isnan(fitted.row(t)[c])) {
                          index[taken] = static_cast<std::int64_t>(t);
                          distance[taken] = dist[t];
                          any_distance = any_distance || !std::isnan(dist[t]);
                          ++taken;
                      }
                  }
                  if (!any_distance) {
                      std::fill(index, index + out.slots, std::int64_t{-1});
                      std::fill(distance, distance + out.slots, std::numeric_limits<double>::quiet_NaN());
                      row[c] = columns.mean[c];
                  }
              });
}

}  // namespace mirel::knn
