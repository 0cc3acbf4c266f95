// What every imputation pass does before it imputes anything, written once: the opening rules
// (in the order the straightforward pass applies them), the scan for missing cells, and the
// failures the straightforward pass meets while it visits the rows.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "knn/core/imputer.hpp"

namespace mirel::knn::detail {

// The rows with a missing cell, ascending, with their missing columns (ascending). A short last
// row counts only up to the end of the input.
struct MissingCells {
    std::vector<std::size_t> rows;
    std::vector<std::size_t> offsets{0};  // columns of rows[i]: cols[offsets[i] .. offsets[i+1])
    std::vector<std::size_t> cols;

    std::span<const std::size_t> columns_of(std::size_t i) const noexcept {
        return std::span<const std::size_t>(cols).subspan(offsets[i], offsets[i + 1] - offsets[i]);
    }
};

// The missing cells of `input` (rows of cols > 0 values; a short last row counts only up to the
// end) from cell `from` on, which must be a row's first missing cell or the start of a row; rows
// are numbered from first_row.
void collect_missing_cells(std::span<const double> input, std::size_t cols, std::size_t from, std::size_t first_row,
                           MissingCells& work);

// The opening of a pass: the metric name is checked (before anything is copied or examined),
// every cell starts as the input's own bits, and a zero column count with a missing cell fails
// with "attempt to divide by zero". Returns the finished result when nothing is left to impute
// (or the unknown-metric error); otherwise nullopt, with `result` holding the input's bits and
// `work` the missing cells (cols > 0 then).
std::optional<ImputeResult> open_pass(const KnnImputer& imputer, std::span<const double> input,
                                      std::vector<double>& result, MissingCells& work);
// The same opening into a buffer the caller owns (input.size() cells): returns the
// unknown-metric error, or whether a cell is left to impute (`work` holding them).
std::variant<UnknownMetric, bool> open_pass_into(const KnnImputer& imputer, std::span<const double> input,
                                                 std::span<double> result, MissingCells& work);

// Throws the failure the straightforward pass meets first, if any, when it imputes `work` from
// candidates 0..input_rows-1 of a well-formed record: it visits the rows in order, reads each
// row (which fails for a row beyond the fitted rows), and checks the candidate count right
// after reading the first. Nothing else can fail.
void check_row_failures(const KnnImputer& imputer, const MissingCells& work, std::size_t input_rows);

// Every check of a pass over `input` with candidates 0..input_rows-1, in the order the
// straightforward pass makes them, without imputing anything: returns the unknown-metric error,
// throws the internal failure the pass would meet first (the zero column count, a missing cell
// in a row beyond the fitted rows, more candidates than fitted rows), or returns nullopt when
// the pass would succeed. O(input), no allocation. For a well-formed record only: what happens
// with any other is the straightforward pass's to say.
std::optional<UnknownMetric> check_pass(const KnnImputer& imputer, std::span<const double> input,
                                        std::size_t input_rows);

// Cells of `work` in columns where no candidate row (fitted rows 0..m-1, m <= the fitted rows)
// holds a value have no donor: the straightforward pass fills them with +0.0 (a sum of no
// terms). Writes that +0.0 into `result` (the input's cells, row-major) and removes them from
// `work`, rows left without a cell included, so that no distance is measured for them.
void fill_donorless(const KnnImputer& imputer, std::size_t m, MissingCells& work, std::span<double> result);

// Whether the record is one the binding layer can build: a fitted matrix of its stated shape
// and a weights name the constructor admits. Faster passes leave any other record to the
// straightforward pass, which defines what happens then.
bool well_formed(const KnnImputer& imputer) noexcept;

}  // namespace mirel::knn::detail
