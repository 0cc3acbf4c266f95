// Selection and averaging over distances that are not the pass's own: a callable metric's, or
// nan_euclidean's formed a block at a time for a caller that weights the donors itself.
//
// For each missing cell (a NaN in a column that holds a fitted value) of a query row, the donors
// are the first min(k, potential donors) fitted rows holding a value in the column, in the order
// (query_rank_key(distance), row index): nearest first, equal distances by row index, rows
// without a distance (NaN) last. This is query_select_reference's selection, found with a bounded
// TopK per cell instead of a full sort of the fitted rows per query row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "knn/query/query.hpp"

namespace mirel::knn {

// A row-major block of distances: row q belongs to query row q, column t to fitted row t.
struct DistanceBlock {
    const double* values = nullptr;  // null: nan_euclidean of the two rows, formed here
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// The selections of the cells, `slots` per cell, in row-major cell order: the donors' fitted row
// indices, their distances (as given) and their values in the cell's column; then index -1 and
// NaN. A cell whose donors all lack a distance gets the column mean written into the query and
// index -1 everywhere.
struct GivenSelectionOut {
    std::int64_t* index = nullptr;  // cells x slots
    double* distance = nullptr;     // cells x slots
    double* value = nullptr;        // cells x slots
    std::size_t slots = 0;
};

// Records the selection of every imputed cell of the `query_rows` rows of `query` (fitted width).
// out.slots must be at least min(k, fitted rows). Throws Panic on broken preconditions.
void given_select(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                  std::size_t k, const DistanceBlock& distances, const GivenSelectionOut& out);

// Imputes every such cell in place with weighted_mean over its donors that have a distance (the
// column mean when none has): query_reference's result, bit for bit, with the same distances.
void given_impute(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                  std::size_t k, Weights weights, const DistanceBlock& distances);

}  // namespace mirel::knn
