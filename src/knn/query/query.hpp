// The query pass behind mirel.sklearn: rows of a new table (the queries) are imputed from the
// fitted rows (the donors), with scikit-learn's KNNImputer semantics.
//
// For a query row with a missing cell in column c:
//   * its distance to fitted row t is nan_euclidean: sqrt(sum * (cols / present)), the sum of
//     squared differences over the coordinates both rows hold, added in column order from +0.0;
//     a pair that shares no coordinate (or whose sum is NaN) has no distance;
//   * the donors of c are the fitted rows holding a value in c and having a distance, ranked by
//     distance (the square-rooted value), equal distances by ascending fitted row index;
//   * the cell gets the weighted mean of the first min(k, donors) of them: "uniform" (the plain
//     mean) or "distance" (weights 1/d; when any 1/d among them is infinite, a zero distance,
//     those donors get weight 1 and the others 0), sums in rank order from +0.0;
//   * when c has potential donors but none has a distance, the cell gets the mean of the
//     fitted values of c (summed in row order from +0.0).
// Columns without any fitted value are not imputed (the caller drops them or fills them).
// Rows are independent: a pass over rows [first, last) touches only those rows' cells and keeps
// no state between calls, so ranges may be processed in any order or concurrently.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "knn/core/imputer.hpp"

namespace mirel::knn {

// A row-major table of doubles, NaN marking a missing cell. Borrowed, never owned.
struct TableView {
    const double* values = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    const double* row(std::size_t r) const noexcept { return values + r * cols; }
};

// Weights (knn/core/imputer.hpp) is the query pass's too: `uniform` or `distance` (a caller
// parses names and rejects `unknown` before a pass).

// What a pass needs to know of the fitted columns: computed once per fitted table.
struct DonorColumns {
    std::vector<double> mean;        // mean of the present values; NaN for an empty column
    std::vector<std::size_t> count;  // number of present values
};
DonorColumns donor_columns(const TableView& fitted);

// Whether a pass imputes a cell of column c holding `value`: the one rule every pass, count and
// write-back follows. A missing cell in a column without any fitted value is left as it is.
inline bool imputes_cell(const DonorColumns& columns, double value, std::size_t c) noexcept {
    return std::isnan(value) && columns.count[c] != 0;
}

// The distance of the query pass between two rows of `cols` cells; NaN when they share no
// coordinate.
double nan_euclidean(const double* a, const double* b, std::size_t cols) noexcept;

// Where the distances come from: computed with nan_euclidean, or given by the caller as a
// (query rows x fitted rows) row-major matrix (row q of it belongs to query row q; NaN = none).
struct GivenDistances {
    const double* values = nullptr;  // null: compute nan_euclidean
};

// The selection of one missing cell, for callers that weight donors themselves: `slots` entries
// per cell, the first min(k, potential donors) potential donors in rank order (rows without a
// distance last, with a NaN distance), then index -1 and NaN. A cell without any donor that
// has a distance gets the column mean written into the query table and index -1 everywhere.
struct SelectionOut {
    std::int64_t* index = nullptr;  // cells x slots
    double* distance = nullptr;     // cells x slots
    std::size_t slots = 0;
};

// Number of cells that a pass over rows [first, last) of `query` imputes: missing cells in
// columns that hold a value in the fitted table.
std::size_t count_imputed_cells(const DonorColumns& columns, const TableView& query, std::size_t first,
                                std::size_t last) noexcept;

// The straightforward pass, the yardstick of every faster one: for each query row, every
// distance, one stable ordering of all fitted rows, then per missing column a walk down it.
// Imputes the missing cells of rows [first, last) of `query` in place (`query` has the fitted
// width). Throws Panic on broken preconditions.
void query_reference(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                     std::size_t first, std::size_t last, std::size_t k, Weights weights, GivenDistances given = {});

// The same walk, recording the selections (cells of rows [first, last) in row-major order,
// numbered from 0) instead of averaging. Writes column means as described at SelectionOut.
void query_select_reference(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                            std::size_t first, std::size_t last, std::size_t k, const SelectionOut& out,
                            GivenDistances given = {});

// The weighted mean of donor values `values` at distances `distances` (rank order, all with a
// distance), as the pass forms it: sum of value x weight over total weight, sums in rank order
// from +0.0. A cell is never given a value outside the values of its weighted donors (for finite
// values): where those sums overflow (huge values, tiny distances) or underflow, where every
// weight is zero (every distance overflowed to +inf, so the donors are equally far), or where
// rounding puts the quotient past the donors' values, the mean is formed without overflow
// instead: weights scaled by the largest (all 1 when all are zero) and normalised before they
// multiply the values, the result kept within the values of the donors that carry weight.
double weighted_mean(std::span<const double> values, std::span<const double> distances, Weights weights);

}  // namespace mirel::knn
