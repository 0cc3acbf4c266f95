#include "knn/query/given_distances.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/core/selection.hpp"
#include "knn/query/query_detail.hpp"

namespace mirel::knn {

namespace {

// Walks the query rows: for each row with imputed cells, its distances (given or formed), one
// TopK per missing column filled in one scan of the fitted rows, then `cell(row, c, entries,
// dist)` for each missing column in ascending order with its donors sorted.
template <class Cell>
void walk_given(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                std::size_t k, const DistanceBlock& distances, Cell&& cell) {
    detail::check_pass_arguments(fitted, columns, query_rows, 0, query_rows, k);
    if (distances.values != nullptr && (distances.rows != query_rows || distances.cols != fitted.rows)) {
        throw Panic("the distance block does not have a row per query row and a column per fitted row");
    }
    const std::size_t cols = fitted.cols;
    const std::size_t limit = detail::selection_size(k, fitted.rows);
    if (limit > std::numeric_limits<std::uint32_t>::max()) {
        throw Panic("too many neighbours for one selection");
    }
    std::vector<std::size_t> missing;
    std::vector<detail::Entry> slots;
    std::vector<detail::TopK> selections;
    std::vector<double> formed(distances.values == nullptr ? fitted.rows : 0);
    for (std::size_t r = 0; r < query_rows; ++r) {
        double* row = query + r * cols;
        detail::missing_columns(columns, row, cols, missing);
        if (missing.empty()) {
            continue;
        }
        // 1. The row's distances.
        const double* dist = nullptr;
        if (distances.values != nullptr) {
            dist = distances.values + r * fitted.rows;
        } else {
            for (std::size_t t = 0; t < fitted.rows; ++t) {
                formed[t] = nan_euclidean(row, fitted.row(t), cols);
            }
            dist = formed.data();
        }
        // 2. One selection per missing column, of min(k, potential donors) entries.
        std::size_t held = 0;
        for (const std::size_t c : missing) {
            held = checked_add(held, detail::selection_size(limit, columns.count[c]));
        }
        slots.resize(checked_count<detail::Entry>(held));
        selections.clear();
        held = 0;
        for (const std::size_t c : missing) {
            const std::size_t wanted = detail::selection_size(limit, columns.count[c]);
            selections.emplace_back(slots.data() + held, static_cast<std::uint32_t>(wanted));
            held += wanted;
        }
        // 3. Every fitted row is offered to the columns it holds a value in.
        for (std::size_t t = 0; t < fitted.rows; ++t) {
            const detail::Entry e{query_rank_key(dist[t]), t};
            const double* fitted_row = fitted.row(t);
            for (std::size_t j = 0; j < missing.size(); ++j) {
                if (selections[j].admits(e) && !std::isnan(fitted_row[missing[j]])) {
                    selections[j].take(e);
                }
            }
        }
        // 4. The cells, their donors nearest first.
        for (std::size_t j = 0; j < missing.size(); ++j) {
            cell(row, missing[j], selections[j].sorted(), dist);
        }
    }
}

}  // namespace

void given_select(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                  std::size_t k, const DistanceBlock& distances, const GivenSelectionOut& out) {
    if (out.slots < detail::selection_size(k, fitted.rows)) {
        throw Panic("the selection has fewer slots than neighbours");
    }
    std::size_t cell_index = 0;
    walk_given(fitted, columns, query, query_rows, k, distances,
               [&](double* row, std::size_t c, std::span<const detail::Entry> donors, const double* dist) {
                   const std::size_t at = checked_mul(cell_index, out.slots);
                   ++cell_index;
                   std::int64_t* index = out.index + at;
                   double* distance = out.distance + at;
                   double* value = out.value + at;
                   const double nan = std::numeric_limits<double>::quiet_NaN();
                   std::fill(index, index + out.slots, std::int64_t{-1});
                   std::fill(distance, distance + out.slots, nan);
                   std::fill(value, value + out.slots, nan);
                   // Rows without a distance rank last: the first donor tells whether any has one.
                   if (donors.empty() || std::isnan(dist[donors[0].idx])) {
                       row[c] = columns.mean[c];
                       return;
                   }
                   for (std::size_t i = 0; i < donors.size(); ++i) {
                       index[i] = static_cast<std::int64_t>(donors[i].idx);
                       distance[i] = dist[donors[i].idx];
                       value[i] = fitted.row(donors[i].idx)[c];
                   }
               });
}

void given_impute(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                  std::size_t k, Weights weights, const DistanceBlock& distances) {
    std::vector<double> values;
    std::vector<double> kept;
    walk_given(fitted, columns, query, query_rows, k, distances,
               [&](double* row, std::size_t c, std::span<const detail::Entry> donors, const double* dist) {
                   values.clear();
                   kept.clear();
                   for (const detail::Entry& e : donors) {
                       if (std::isnan(dist[e.idx])) {
                           break;  // the rest have no distance either
                       }
                       values.push_back(fitted.row(e.idx)[c]);
                       kept.push_back(dist[e.idx]);
                   }
                   row[c] = values.empty() ? columns.mean[c] : weighted_mean(values, kept, weights);
               });
}

}  // namespace mirel::knn
