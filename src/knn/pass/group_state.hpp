// What the group scheduler (knn/pass/group_pass.hpp) keeps per row being imputed and per missing
// cell, and what keeping it alive costs.
//
// A pass (the row pass, the query pass) is a policy of the scheduler that supplies only what
// differs between the passes:
//
//   bool candidate_key(std::size_t query_row, std::size_t row, double d, std::uint64_t& key)
//       whether candidate `row`, measured at d (kernel output) from `query_row`, is a donor
//       candidate at all, and its ranking key;
//   std::uint64_t bound(std::uint64_t threshold)
//       the kernels' filter bound (a key of kernel output) that a full selection with this
//       threshold (a key of candidate_key) allows: every candidate that could enter passes;
//   const double* row_values(std::size_t row)       the values of a row being imputed;
//   bool keep_going()                               asked between steps; false stops the pass;
//   void publish(std::size_t upto)                  rows before `upto` are done;
//   void fill(const RowState&, std::span<CellSelection>)   writes a row's cells from its donors;
//   void fill_from_order(std::size_t row, std::span<const std::size_t> cols,
//                        std::span<const Entry> order, const double* dist)
//       the full-ordering path: writes a row's cells from all its candidates in rank order.
//
// and a cursor over the rows to impute (next(), row(), pos(), columns(), upto()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "knn/core/checked.hpp"
#include "knn/core/selection.hpp"
#include "knn/kernels/kernel.hpp"

namespace mirel::knn::detail {

// The donors of one missing cell.
struct CellSelection {
    TopK top;
    std::size_t col = 0;
};

// A row being imputed.
struct RowState {
    std::size_t row = 0;
    std::size_t pos = NO_POSITION;   // panel position, NO_POSITION when the row is no candidate
    std::size_t slot = NO_POSITION;  // its GroupQuery while its group runs
};

// What selection_bytes_per_cell counts per cell besides the heap: its selection and, as if every
// row had one cell, the row's state and cell offset.
static_assert(sizeof(Entry) == 16 && sizeof(CellSelection) + sizeof(RowState) + sizeof(std::size_t) <= 64,
              "selection_bytes_per_cell states the sizes");

// Bytes that keeping a row's selections alive costs per missing cell: at most
// 16 * capacity + 64 (the donor heap, its selection and, counted per cell, the row's state and
// its cell offset);
// SIZE_MAX when that does not fit (over any budget).
inline std::size_t selection_bytes_per_cell(std::size_t capacity) noexcept {
    const std::optional<std::size_t> entries = try_mul(capacity, sizeof(Entry));
    return entries ? try_add(*entries, 64).value_or(SIZE_MAX) : SIZE_MAX;
}

}  // namespace mirel::knn::detail
