// Distance kernels: one query row against blocks of candidate rows held in a column-blocked
// copy of the fitted matrix (the panel, knn/panel/panel.hpp).
//
// A block holds BLOCK_ROWS candidate rows stored column by column, so that vector registers
// hold one column of the block's rows and each lane accumulates the distance of its own row in
// column order. Every lane performs exactly the operations of the scalar metric (nan_euclid /
// expected_distance) in the same order, so results are identical bit for bit whatever the
// vector width.
//
// The query is any row of the fitted width: a fitted row (then it may sit in the panel itself,
// at position `self`) or a row from elsewhere (self = NO_POSITION). Rows sit in the panel at
// positions that need not be their row indices; kernels only know positions.
//
// Files: kernels/portable.cpp, kernels/avx2.cpp, kernels/avx512.cpp hold the per-block
// distance loops of each instruction set; kernels/block_driver.hpp is the one loop over blocks
// that every kernel runs (self slot, filters, output offsets); kernels/dispatch.cpp is the table
// of targets the pass chooses from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The vector kernels exist on x86-64 with GCC or Clang (each compiles them for the instruction
// set through its own pragma); elsewhere (32-bit ARM, other compilers) only the portable
// kernels exist.
#if defined(__x86_64__) && defined(__GNUC__)
#define MIREL_X86_KERNELS 1
#else
#define MIREL_X86_KERNELS 0
#endif

// A kernel file's target region: the functions between MIREL_TARGET_BEGIN("isa,...") and
// MIREL_TARGET_END are compiled for those instruction sets (GCC's target pragma, Clang's
// attribute pragma), the rest of the library for the baseline.
#define MIREL_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define MIREL_TARGET_BEGIN(isa) MIREL_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define MIREL_TARGET_END MIREL_PRAGMA(clang attribute pop)
#else
#define MIREL_TARGET_BEGIN(isa) MIREL_PRAGMA(GCC push_options) MIREL_PRAGMA(GCC target(isa))
#define MIREL_TARGET_END MIREL_PRAGMA(GCC pop_options)
#endif

namespace mirel::knn {

enum class KernelKind { portable, avx2, avx512 };

// The name of a kernel kind (the one spelling of each).
constexpr std::string_view kernel_kind_name(KernelKind kind) noexcept {
    switch (kind) {
        case KernelKind::portable:
            return "portable";
        case KernelKind::avx2:
            return "avx2";
        case KernelKind::avx512:
            return "avx512";
    }
    return "unknown";
}

}  // namespace mirel::knn

namespace mirel::knn::detail {

inline constexpr std::size_t BLOCK_ROWS = 32;
// Presence bits and filter results come in bytes of eight positions.
inline constexpr std::size_t BLOCK_BYTES = BLOCK_ROWS / 8;
// A panel position that no row holds: the query of a row that is not in the panel.
inline constexpr std::size_t NO_POSITION = SIZE_MAX;

// Read-only view of the column-blocked candidate rows (positions 0..rows-1, padded to whole
// blocks).
struct PanelView {
    std::size_t cols = 0;
    std::size_t rows = 0;  // candidate rows (the rest of the last block is padding)
    std::size_t blocks = 0;
    // values[(b * cols + c) * BLOCK_ROWS + i]: cell c of the row at position b * BLOCK_ROWS + i;
    // NaN in padding.
    const double* values = nullptr;
    // present[(b * cols + c) * BLOCK_BYTES + j]: bit l set when the row at position
    // b * BLOCK_ROWS + 8j + l holds a value in column c.
    const std::uint8_t* present = nullptr;
    // count[p]: number of present cells in the row at position p (0 in padding).
    const std::int64_t* count = nullptr;
    // expected_distance only: the term a candidate cell adds when the query's cell is missing,
    // 0.333 for a missing cell, fmax(v, 1 - v) otherwise. Same layout as `values`.
    const double* missing_term = nullptr;
    // nan_euclid only: scale[p] = cols / p for p = 1..cols (entry 0 unused).
    const double* scale = nullptr;
    // Masked cells (optional, for kernels without vector selects; see Panel::build): `zeroed`
    // holds the cells with +0.0 for a missing one and `weight` 1.0 for a present cell, 0.0 for a
    // missing one, both in the layout of `values`. With them a query value a that is finite
    // measures d = a - zeroed, d * (d * weight): d * d for a present cell and +0.0 for a missing
    // one (d is finite, d * 0.0 a zero, and d times that zero +0.0), with no comparison.
    const double* zeroed = nullptr;
    const double* weight = nullptr;
};

// Work a pruning kernel was asked for and skipped, in lane-columns: one candidate position
// times one column that the metric's sums visit for the query.
struct PruneCounts {
    std::uint64_t asked = 0;
    std::uint64_t skipped = 0;
};

// One query row and the filters that decide which candidates its caller gets to see. Built by
// QueryRow (knn/panel/panel.hpp); a pass only sets the filter fields.
struct QueryView {
    const double* ref = nullptr;                 // the query row, cols values
    const std::uint32_t* ref_present = nullptr;  // columns where ref holds a value, ascending
    std::size_t n_ref_present = 0;
    const std::uint32_t* ref_missing = nullptr;  // columns where ref is NaN, ascending
    std::size_t n_ref_missing = 0;
    const std::uint8_t* ref_is_missing = nullptr;  // per column: 1 when ref is NaN
    const double* ref_term = nullptr;              // expected_distance: fmax(a, 1 - a) per present column
    // Panel position of the query row itself (it gets SELF_DISTANCE), or NO_POSITION.
    std::size_t self = NO_POSITION;
    // True when every value ref holds is finite (then masked cells may be used).
    bool ref_finite = false;
    // True when no column where ref holds an infinity holds one in any candidate: then a NaN
    // difference can only come from a missing candidate cell (never from inf - inf).
    bool finite_pairs = false;
    // Forward filter, for the query's own selections: a candidate at position p >= `first`
    // passes when its ranking key is at most `threshold` or when it holds a value in one of the
    // `open` columns. threshold = UINT64_MAX lets every candidate from `first` on pass.
    std::size_t first = 0;
    std::uint64_t threshold = 0;
    const std::uint32_t* open = nullptr;
    std::size_t n_open = 0;
    // Reverse filter, the kernels' side of the shared-pairs mode (knn/pass/group_pass.hpp,
    // GroupPass::run_shared_pairs; optional: off while reverse_threshold is nullptr), for the selections of
    // the query rows at other positions when the query is itself a candidate of theirs: a
    // candidate at position p with self < p < reverse_end passes when its key is at most
    // reverse_threshold[p] (the array is readable up to the end of the last block).
    std::size_t reverse_end = 0;
    const std::uint64_t* reverse_threshold = nullptr;
    // Pruning (optional, off unless `prune`): a kernel stops measuring the positions of a block
    // once none of them can pass either filter any more, whatever the columns still to come add
    // (the argument is at prune_limits, kernels/block_driver.hpp). It never changes a result:
    // with or without it, the same positions pass the filters with the same distances. The
    // distances of positions that pass no filter are then unspecified.
    bool prune = false;
    // When not null, the kernel adds the lane-columns it was asked to measure to counts->asked
    // and those it skipped to counts->skipped (for benchmarks and tests).
    PruneCounts* counts = nullptr;
};

// Computes the distances from the query to every position of blocks [b0, b1) into
// dist[(b - b0) * BLOCK_ROWS + i] (the query's own position gets SELF_DISTANCE) and sets bit l
// of forward[(b - b0) * BLOCK_BYTES + j] when the position b * BLOCK_ROWS + 8j + l passes the
// forward filter. `reverse` receives the reverse filter's bits in the same layout; it may be
// nullptr when query.reverse_threshold is (then it is not written). Padding never passes.
// dist must be 64-byte aligned. With query.prune, dist holds the exact distance of every
// position that passes a filter; other entries are unspecified.
using KernelFn = void (*)(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                          std::uint8_t* forward, std::uint8_t* reverse);

struct KernelSet {
    KernelFn nan_euclid = nullptr;
    KernelFn expected_distance = nullptr;
    // Whether these kernels gain from a panel with masked cells (PanelView::zeroed, weight);
    // they give the same results without them.
    bool masked_cells = false;
};

// A kernel as a pass holds it: the function, and whether the panel it reads should carry masked
// cells. Converts to the bare function.
struct Kernel {
    KernelFn fn = nullptr;
    bool masked_cells = false;
    operator KernelFn() const noexcept { return fn; }
};

// One row of the dispatch table: an instruction set, whether this processor runs it, and its
// kernels (chosen for the column count: the AVX-512 nan_euclid looks its scale up differently
// for narrow and wide rows).
struct KernelTarget {
    KernelKind kind;
    std::string_view name;
    bool (*supported)() noexcept;
    KernelSet (*kernels)(std::size_t cols) noexcept;
};

// Every target this build has, slowest first; `portable` is always the first.
std::span<const KernelTarget> kernel_targets() noexcept;

KernelSet portable_kernels(std::size_t cols) noexcept;
#if MIREL_X86_KERNELS
KernelSet avx2_kernels(std::size_t cols) noexcept;
KernelSet avx512_kernels(std::size_t cols) noexcept;
#endif

}  // namespace mirel::knn::detail
