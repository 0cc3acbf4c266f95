#include "knn/panel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "knn/metrics.hpp"

namespace mirel::knn::detail {

void Panel::build(std::span<const double> fitted, std::size_t cols, std::span<const std::size_t> row_of, Metric metric,
                  bool masked_cells) {
    const bool expected = metric == Metric::expected_distance;
    const std::size_t m = row_of.size();
    const std::size_t blocks = (m + BLOCK_ROWS - 1) / BLOCK_ROWS;
    const std::size_t cells = blocks * cols * BLOCK_ROWS;
    values_ = aligned_array<double>(cells);
    count_ = aligned_array<std::int64_t>(blocks * BLOCK_ROWS);
    present_.assign(blocks * cols * BLOCK_BYTES, 0);
    column_has_infinity_.assign(cols, 0);
    missing_term_.reset();
    zeroed_.reset();
    weight_.reset();
    if (masked_cells) {
        zeroed_ = aligned_array<double>(cells);
        weight_ = aligned_array<double>(cells);
    }
    double* zeroed = zeroed_.get();
    double* weight = weight_.get();
    scale_.clear();
    if (expected) {
        missing_term_ = aligned_array<double>(cells);
    } else {
        scale_.assign(cols + 1, 0.0);
        for (std::size_t p = 1; p <= cols; ++p) {
            // Exactly the scale nan_euclid computes for `p` shared coordinates.
            scale_[p] = static_cast<double>(cols) / static_cast<double>(p);
        }
    }
    double* values = values_.get();
    double* term = missing_term_.get();
    std::int64_t* count = count_.get();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
            const std::size_t p = b * BLOCK_ROWS + i;
            const double* row = p < m ? fitted.data() + row_of[p] * cols : nullptr;
            std::int64_t present = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const std::size_t at = (b * cols + c) * BLOCK_ROWS + i;
                const double v = row != nullptr ? row[c] : nan;
                const bool missing = std::isnan(v);
                values[at] = v;
                if (zeroed != nullptr) {
                    zeroed[at] = missing ? 0.0 : v;
                    weight[at] = missing ? 0.0 : 1.0;
                }
                if (!missing) {
                    present_[(b * cols + c) * BLOCK_BYTES + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
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
    view_ = PanelView{};
    view_.cols = cols;
    view_.rows = m;
    view_.blocks = blocks;
    view_.values = values;
    view_.present = present_.data();
    view_.count = count;
    view_.missing_term = term;
    view_.scale = expected ? nullptr : scale_.data();
    view_.zeroed = zeroed;
    view_.weight = weight;
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
    dist_ = aligned_array<double>(blocks * BLOCK_ROWS);
    forward_.assign(blocks * BLOCK_BYTES, 0);
    reverse_.assign(blocks * BLOCK_BYTES, 0);
}

}  // namespace mirel::knn::detail
