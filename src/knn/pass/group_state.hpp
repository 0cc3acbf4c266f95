// What the group scheduler (knn/pass/group_pass.hpp) keeps per row being imputed and per missing
// cell, and what keeping it alive costs.
//
// A pass (the row pass, the query pass) is a policy of the scheduler that supplies only what
// differs between the passes: the PassPolicy concept below, which the scheduler checks.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

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

// What a pass supplies to the scheduler:
//   candidate_key(query_row, row, d, key): whether candidate `row`, measured at d (kernel output)
//       from `query_row`, is a donor candidate at all, and its ranking key;
//   bound(threshold): the kernels' filter bound (a key of kernel output) that a full selection
//       with this threshold (a key of candidate_key) allows: every candidate that could enter passes;
//   row_values(row): the values of a row being imputed;
//   fill(state, cells): writes a row's cells from its donors.
template <class P>
concept PassPolicy = requires(P& p, const P& cp, std::size_t row, double d, std::uint64_t& key, const RowState& st,
                              std::span<CellSelection> cells) {
    { cp.candidate_key(row, row, d, key) } -> std::same_as<bool>;
    { cp.bound(std::uint64_t{}) } -> std::same_as<std::uint64_t>;
    { cp.row_values(row) } -> std::same_as<const double*>;
    p.fill(st, cells);
};

// A policy that also serves the full-ordering path (GroupPass::run_full_ordering, over a panel whose
// position p holds row p): fill_from_full_ordering(row, cols, order, dist) writes a row's cells from all
// its candidates in rank order (dist: kernel output by candidate).
template <class P>
concept OrderingPolicy = PassPolicy<P> && requires(P& p, std::size_t row, std::span<const std::size_t> cols,
                                                   std::span<const Entry> order, const double* dist) {
    p.fill_from_full_ordering(row, cols, order, dist);
};

// A pass that can be stopped and reports progress (the query pass): keep_going() is asked between
// steps (false stops the pass); publish(upto) says the rows before `upto` are done. A policy
// without them runs to the end and reports nothing.
template <class P>
concept WatchedPolicy = requires(P& p, std::size_t upto) {
    { p.keep_going() } -> std::same_as<bool>;
    p.publish(upto);
};

// The rows a pass imputes, a row at a time: next() moves to the next row (false: none left);
// row() is its row, pos() its panel position (NO_POSITION: it is no candidate), columns() its
// missing columns; upto(): rows before it are done (progress).
template <class C>
concept RowCursor = requires(C& c, const C& cc) {
    { c.next() } -> std::same_as<bool>;
    { cc.row() } -> std::convertible_to<std::size_t>;
    { cc.pos() } -> std::convertible_to<std::size_t>;
    { cc.columns() } -> std::convertible_to<std::span<const std::size_t>>;
    { cc.upto() } -> std::convertible_to<std::size_t>;
};

}  // namespace mirel::knn::detail
