// Distance kernels of the fast pass: one fitted row (the query) against blocks of candidate
// rows held in a column-blocked copy of the fitted matrix.
//
// A block holds BLOCK_LANES consecutive candidate rows stored column by column, so that one
// vector register holds one column of all rows of the block and each lane accumulates the
// distance of its own row in column order. Every lane performs exactly the operations of the
// scalar metric (nan_euclid / expected_distance) in the same order, so results are identical
// bit for bit whatever the vector width.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirel::knn::detail {

inline constexpr std::size_t BLOCK_LANES = 8;

// Read-only view of the column-blocked candidate rows 0..rows-1 (padded to whole blocks).
struct PanelView {
    std::size_t cols = 0;
    std::size_t rows = 0;     // candidate rows (the rest of the last block is padding)
    std::size_t blocks = 0;
    // values[(b * cols + c) * BLOCK_LANES + lane]: cell (b * BLOCK_LANES + lane, c); NaN in padding.
    const double* values = nullptr;
    // present[b * cols + c]: bit `lane` set when that cell holds a value.
    const std::uint8_t* present = nullptr;
    // count[b * BLOCK_LANES + lane]: number of present cells in the row (0 in padding).
    const std::int64_t* count = nullptr;
    // expected_distance only: the term a candidate cell adds when the query's cell is missing,
    // 0.333 for a missing cell, fmax(v, 1 - v) otherwise. Same layout as `values`.
    const double* missing_term = nullptr;
    // nan_euclid only: scale[p] = cols / p for p = 1..cols (entry 0 unused).
    const double* scale = nullptr;
};

// One query: fitted row `row`, compared with candidates; plus the filter that decides which
// candidates are worth a look by the selection (see impute_fast.cpp).
struct QueryView {
    const double* ref = nullptr;                  // fitted row, cols values
    const std::uint32_t* ref_present = nullptr;   // columns where ref holds a value, ascending
    std::size_t n_ref_present = 0;
    const std::uint32_t* ref_missing = nullptr;   // columns where ref is NaN, ascending
    std::size_t n_ref_missing = 0;
    const std::uint8_t* ref_is_missing = nullptr; // per column: 1 when ref is NaN
    const double* ref_term = nullptr;             // expected_distance: fmax(a, 1 - a) per present column
    std::size_t self = SIZE_MAX;                  // candidate index of the query row, or SIZE_MAX
    // Filter: a candidate passes when its ranking key is below `threshold`, or when it holds a
    // value in one of the `open` columns.
    std::uint64_t threshold = 0;
    const std::uint32_t* open = nullptr;
    std::size_t n_open = 0;
};

// Computes the distances from the query to every row of blocks [b0, b1) into
// dist[(b - b0) * BLOCK_LANES + lane] (the query's own row gets SELF_DISTANCE) and sets
// pass[b - b0] to the lanes that pass the filter (padding lanes never pass).
using KernelFn = void (*)(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                          double* dist, std::uint8_t* pass);

struct KernelSet {
    KernelFn nan_euclid = nullptr;
    KernelFn expected_distance = nullptr;
};

KernelSet portable_kernels() noexcept;
#if defined(__x86_64__)
KernelSet avx2_kernels() noexcept;
KernelSet avx512_kernels() noexcept;
#endif

}  // namespace mirel::knn::detail
