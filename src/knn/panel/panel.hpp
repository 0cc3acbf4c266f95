// The panel: a column-blocked copy of the candidate rows that the distance kernels read, and the
// query rows measured against it.
//
// To measure one row (any row of the fitted width) against a panel with a chosen kernel:
//
//     Panel panel;
//     panel.build(fitted, cols, row_of, metric);          // position p holds fitted row row_of[p]
//     QueryRow query;
//     query.prepare(panel, row, NO_POSITION);             // or the row's own panel position
//     query.view.threshold = UINT64_MAX;                  // forward filter: let everything pass
//     BlockScratch out(panel.view().blocks);
//     kernel(panel.view(), query.view, 0, panel.view().blocks, out.dist(), out.forward(), nullptr);
//     // out.dist()[p]: distance to the row at position p; bit p of out.forward(): p passed
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "knn/core/aligned.hpp"
#include "knn/core/checked.hpp"
#include "knn/core/imputer.hpp"
#include "knn/kernels/kernel.hpp"

namespace mirel::knn::detail {

// The cell layout of a panel of `cols` columns: cell c of the row at position p is
// values[panel_cell(cols, p, c)] (likewise the masked cells and the terms), and its presence bit
// is bit p % 8 of present[panel_cell(cols, p, c) / 8].
inline std::size_t panel_cell(std::size_t cols, std::size_t p, std::size_t c) noexcept {
    return ((p / BLOCK_ROWS) * cols + c) * BLOCK_ROWS + p % BLOCK_ROWS;
}

class Panel {
public:
    // Copies rows row_of[p] of `fitted` (rows of `cols` values) to positions p (row_of[p] ==
    // NO_POSITION: position p is empty, like the padding of the last block). The missing-cell
    // terms are built for expected_distance, the scale table for nan_euclid, and with
    // `masked_cells` the zeroed cells and their weights (two more copies of the cells) for
    // kernels without vector selects (see Kernel::masked_cells).
    void build(std::span<const double> fitted, std::size_t cols, std::span<const std::size_t> row_of, Metric metric,
               bool masked_cells = false);

    const PanelView& view() const noexcept { return view_; }

    // Whether the row at position p holds a value in column c (compact bits, usually still
    // cached from the distance computation).
    bool holds(std::size_t p, std::size_t c) const noexcept {
        return (view_.present[panel_cell(view_.cols, p, c) / 8] >> (p % 8)) & 1u;
    }

    // Cell c of the row at position p, bit for bit as built.
    double value(std::size_t p, std::size_t c) const noexcept { return view_.values[panel_cell(view_.cols, p, c)]; }

    // Whether some row of the panel holds +-inf in column c.
    bool column_has_infinity(std::size_t c) const noexcept { return column_has_infinity_[c] != 0; }

    // Bytes of one block that a kernel streams through (values, and terms for expected_distance).
    std::size_t block_bytes() const noexcept {
        // Kernels read the zeroed cells and weights instead of the values when they are there.
        const std::size_t arrays = (view_.weight != nullptr ? 2 : 1) + (view_.missing_term != nullptr ? 1 : 0);
        return try_product({view_.cols, BLOCK_ROWS, sizeof(double), arrays}).value_or(SIZE_MAX);
    }

    // Bytes the panel holds: its cells (and terms, masked cells), counts, presence bits and
    // tables. Owners report it to the interpreter's memory accounting.
    // (Summed with checked arithmetic when the panel was built.)
    std::size_t bytes() const noexcept { return bytes_; }

    // Blocks of one super-block: as many as fit in `bytes`, at least one. A group of query rows
    // is measured against one super-block after another, so that it is read from the nearest
    // cache.
    std::size_t superblock_blocks(std::size_t bytes) const noexcept {
        return std::max<std::size_t>(1, bytes / std::max<std::size_t>(1, block_bytes()));
    }

    // The bytes build() would hold for `rows` candidate rows of `cols` values, or nullopt when
    // that does not fit in size_t. Nothing is allocated.
    static std::optional<std::size_t> bytes_for(std::size_t rows, std::size_t cols, Metric metric,
                                                bool masked_cells) noexcept;

private:
    struct Sizes;  // every size of a panel, checked
    static Sizes sizes_for(std::size_t rows, std::size_t cols, Metric metric, bool masked_cells);
    // build's steps: the arrays for `sizes` (zeroed, no view of the old ones left), then the
    // cells of rows row_of[p] at positions p.
    void allocate(const Sizes& sizes, std::size_t cols, Metric metric, bool masked_cells);
    void copy_rows(std::span<const double> fitted, std::size_t cols, std::span<const std::size_t> row_of,
                   std::size_t blocks);

    AlignedArray<double> values_;
    AlignedArray<double> missing_term_;
    AlignedArray<double> zeroed_;
    AlignedArray<double> weight_;
    AlignedArray<std::int64_t> count_;
    std::vector<std::uint8_t> present_;
    std::vector<double> scale_;
    std::vector<std::uint8_t> column_has_infinity_;
    std::size_t bytes_ = 0;
    PanelView view_;
};

// What a kernel needs of one query row. prepare() fills view's row fields and leaves its
// filters closed (threshold 0, nothing open, no reverse filter): the pass sets those.
class QueryRow {
public:
    // `row`: cols values, a fitted row or any row of that width (it must outlive the view);
    // `self`: the row's own panel position, or NO_POSITION when it is not in the panel.
    void prepare(const Panel& panel, const double* row, std::size_t self);

    QueryView view;

private:
    std::vector<std::uint32_t> present_;
    std::vector<std::uint32_t> missing_;
    std::vector<std::uint8_t> is_missing_;
    std::vector<double> term_;
};

// A kernel's outputs for up to `blocks` blocks.
class BlockScratch {
public:
    BlockScratch() = default;
    explicit BlockScratch(std::size_t blocks) { resize(blocks); }
    void resize(std::size_t blocks);
    double* dist() noexcept { return dist_.get(); }
    std::uint8_t* forward() noexcept { return forward_.data(); }
    std::uint8_t* reverse() noexcept { return reverse_.data(); }

private:
    AlignedArray<double> dist_;
    std::vector<std::uint8_t> forward_;
    std::vector<std::uint8_t> reverse_;
};

}  // namespace mirel::knn::detail
