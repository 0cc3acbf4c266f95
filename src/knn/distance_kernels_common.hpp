// Pieces shared by every distance kernel (scalar parts of the work around the vector loops).
#pragma once

#include <cstddef>
#include <cstdint>

#include "knn/distance_kernels.hpp"
#include "knn/impute.hpp"

namespace mirel::knn::detail {

// Lanes of block b that are candidate rows (the last block may be padded).
inline unsigned valid_lanes(const PanelView& panel, std::size_t b) noexcept {
    const std::size_t first = b * BLOCK_LANES;
    const std::size_t left = panel.rows - first;
    return left >= BLOCK_LANES ? 0xFFu : ((1u << left) - 1u);
}

// The query's own row is not measured: it ranks at SELF_DISTANCE.
inline void set_self(const QueryView& query, std::size_t b, double* out) noexcept {
    if (query.self != SIZE_MAX && query.self / BLOCK_LANES == b) {
        out[query.self % BLOCK_LANES] = SELF_DISTANCE;
    }
}

// Lanes of block b holding a value in one of the query's open columns.
inline unsigned open_lanes(const PanelView& panel, const QueryView& query, std::size_t b) noexcept {
    unsigned lanes = 0;
    const std::uint8_t* present = panel.present + b * panel.cols;
    for (std::size_t i = 0; i < query.n_open; ++i) {
        lanes |= present[query.open[i]];
    }
    return lanes;
}

}  // namespace mirel::knn::detail
