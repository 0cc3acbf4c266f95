#include "knn/panel/panel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "knn/core/checked.hpp"
#include "knn/core/metrics.hpp"

namespace mirel::knn::detail {

// Every size of a panel of `m` positions.
struct Panel::Sizes {
    std::size_t blocks = 0;
    std::size_t positions = 0;
    std::size_t cells = 0;  // of each cell array
    std::size_t present_bytes = 0;
    std::size_t scale_entries = 0;
    std::size_t total = 0;  // bytes of everything
};

// Throws SizeOverflow when a size does not fit.
Panel::Sizes Panel::sizes_for(std::size_t m, std::size_t cols, Metric metric, bool masked_cells) {
    const bool expected = metric == Metric::expected_distance;
    Sizes s;
    s.blocks = checked_add(m, BLOCK_ROWS - 1) / BLOCK_ROWS;
    s.positions = checked_mul(s.blocks, BLOCK_ROWS);
    s.cells = checked_count<double>(checked_product({s.blocks, cols, BLOCK_ROWS}));
    s.present_bytes = checked_count<std::uint8_t>(checked_product({s.blocks, cols, BLOCK_BYTES}));
    s.scale_entries = expected ? 0 : checked_add(cols, 1);
    const std::size_t cell_arrays = 1 + (masked_cells ? 2 : 0) + (expected ? 1 : 0);
    std::size_t total = checked_mul(checked_bytes<double>(s.cells), cell_arrays);
    total = checked_add(total, checked_bytes<std::int64_t>(s.positions));
    total = checked_add(total, s.present_bytes);
    total = checked_add(total, checked_bytes<double>(s.scale_entries));
    s.total = checked_add(total, checked_count<std::uint8_t>(cols));
    return s;
}

std::optional<std::size_t> Panel::bytes_for(std::size_t rows, std::size_t cols, Metric metric,
                                            bool masked_cells) noexcept {
    try {
        return sizes_for(rows, cols, metric, masked_cells).total;
    } catch (const SizeOverflow&) {
        return std::nullopt;
    }
}

void Panel::build(std::span<const double> fitted, std::size_t cols, std::span<const std::size_t> row_of, Metric metric,
                  bool masked_cells) {
    // 1. Every size, checked, before anything is allocated.
    const Sizes sizes = sizes_for(row_of.size(), cols, metric, masked_cells);
    // 2. The arrays (no view of the old ones survives a failure here).
    allocate(sizes, cols, metric, masked_cells);
    // 3. The cells, position by position.
    copy_rows(fitted, cols, row_of, sizes.blocks);
    // 4. The view the kernels read.
    bytes_ = sizes.total;
    view_ = PanelView{};
    view_.cols = cols;
    view_.rows = row_of.size();
    view_.blocks = sizes.blocks;
    view_.values = values_.get();
    view_.present = present_.data();
    view_.count = count_.get();
    view_.missing_term = missing_term_.get();
    view_.scale = metric == Metric::expected_distance ? nullptr : scale_.data();
    view_.zeroed = zeroed_.get();
    view_.weight = weight_.get();
}

void Panel::allocate(const Sizes& sizes, std::size_t cols, Metric metric, bool masked_cells) {
    view_ = PanelView{};
    bytes_ = 0;
    values_ = aligned_array<double>(sizes.cells);
    count_ = aligned_array<std::int64_t>(sizes.positions);
    present_.assign(sizes.present_bytes, 0);
    column_has_infinity_.assign(cols, 0);
    missing_term_.reset();
    zeroed_.reset();
    weight_.reset();
    if (masked_cells) {
        zeroed_ = aligned_array<double>(sizes.cells);
        weight_ = aligned_array<double>(sizes.cells);
    }
    scale_.clear();
    if (metric == Metric::expected_distance) {
        missing_term_ = aligned_array<double>(sizes.cells);
    } else {
        scale_.assign(sizes.scale_entries, 0.0);
        for (std::size_t p = 1; p <= cols; ++p) {
            // Exactly the scale nan_euclid computes for `p` shared coordinates.
            scale_[p] = static_cast<double>(cols) / static_cast<double>(p);
        }
    }
}

void Panel::copy_rows(std::span<const double> fitted, std::size_t cols, std::span<const std::size_t> row_of,
                      std::size_t blocks) {
    const std::size_t m = row_of.size();
    double* values = values_.get();
    double* zeroed = zeroed_.get();
    double* weight = weight_.get();
    double* term = missing_term_.get();
    std::int64_t* count = count_.get();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
            const std::size_t p = b * BLOCK_ROWS + i;
            // A position past the rows, or one no row holds (NO_POSITION), is empty: padding.
            const double* row = p < m && row_of[p] != NO_POSITION ? fitted.data() + row_of[p] * cols : nullptr;
            std::int64_t present = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const std::size_t at = panel_cell(cols, p, c);
                const double v = row != nullptr ? row[c] : nan;
                const bool missing = std::isnan(v);
                values[at] = v;
                if (zeroed != nullptr) {
                    zeroed[at] = missing ? 0.0 : v;
                    weight[at] = missing ? 0.0 : 1.0;
                }
                if (!missing) {
                    present_[at / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
                    ++present;
                    if (std::isinf(v)) {
                        column_has_infinity_[c] = 1;
                    }
                }
                if (term != nullptr) {
                    term[at] = missing ? BOTH_MISSING_PENALTY : std::fmax(v, 1.0 - v);
                }
            }
            count[p] = present;
        }
    }
}

void QueryRow::prepare(const Panel& panel, const double* row, std::size_t self) {
    const std::size_t cols = panel.view().cols;
    bool finite_pairs = true;
    bool finite = true;
    present_.clear();
    missing_.clear();
    is_missing_.assign(cols, 0);
    term_.assign(cols, 0.0);
    for (std::size_t c = 0; c < cols; ++c) {
        const double a = row[c];
        if (std::isnan(a)) {
            missing_.push_back(static_cast<std::uint32_t>(c));
            is_missing_[c] = 1;
        } else {
            present_.push_back(static_cast<std::uint32_t>(c));
            term_[c] = std::fmax(a, 1.0 - a);  // what expected_distance adds when the other cell is missing
            if (std::isinf(a)) {
                finite = false;
                if (panel.column_has_infinity(c)) {
                    finite_pairs = false;
                }
            }
        }
    }
    view = QueryView{};
    view.ref = row;
    view.ref_present = present_.data();
    view.n_ref_present = present_.size();
    view.ref_missing = missing_.data();
    view.n_ref_missing = missing_.size();
    view.ref_is_missing = is_missing_.data();
    view.ref_term = term_.data();
    view.self = self;
    view.finite_pairs = finite_pairs;
    view.ref_finite = finite;
}

void BlockScratch::resize(std::size_t blocks) {
    blocks = std::max<std::size_t>(1, blocks);
    const std::size_t positions = checked_count<double>(checked_mul(blocks, BLOCK_ROWS));
    const std::size_t bits = checked_mul(blocks, BLOCK_BYTES);
    dist_ = aligned_array<double>(positions);
    forward_.assign(bits, 0);
    reverse_.assign(bits, 0);
}

}  // namespace mirel::knn::detail
