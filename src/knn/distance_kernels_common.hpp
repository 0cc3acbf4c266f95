// Pieces shared by every distance kernel (the scalar parts around the vector loops).
#pragma once

#include <cstddef>
#include <cstdint>

#include "knn/distance_kernels.hpp"
#include "knn/impute.hpp"

namespace mirel::knn::detail {

// Bits of the positions first + 0..7 that lie in [lo, hi).
inline unsigned positions_in(std::size_t first, std::size_t lo, std::size_t hi) noexcept {
    const unsigned from = lo <= first ? 0xFFu : (lo >= first + 8 ? 0u : (0xFFu << (lo - first)) & 0xFFu);
    const unsigned below = hi >= first + 8 ? 0xFFu : (hi <= first ? 0u : (1u << (hi - first)) - 1u);
    return from & below;
}

// Bits of the positions first + 0..31 that lie in [lo, hi).
inline std::uint32_t positions_in_32(std::size_t first, std::size_t lo, std::size_t hi) noexcept {
    const std::uint32_t all = 0xFFFFFFFFu;
    const std::uint32_t from = lo <= first ? all : (lo >= first + 32 ? 0u : all << (lo - first));
    const std::uint32_t below = hi >= first + 32 ? all : (hi <= first ? 0u : (std::uint32_t{1} << (hi - first)) - 1u);
    return from & below;
}

// Forward candidates of block b (bit i: position b * BLOCK_ROWS + i).
inline std::uint32_t forward_range_32(const PanelView& panel, const QueryView& query, std::size_t b) noexcept {
    return positions_in_32(b * BLOCK_ROWS, query.first, panel.rows);
}

// Reverse candidates of block b (bit i: position b * BLOCK_ROWS + i).
inline std::uint32_t reverse_range_32(const QueryView& query, std::size_t b) noexcept {
    if (query.self == SIZE_MAX) {
        return 0;
    }
    return positions_in_32(b * BLOCK_ROWS, query.self + 1, query.reverse_end);
}

// Forward candidates among byte j of block b: real rows at or after query.first.
inline unsigned forward_range(const PanelView& panel, const QueryView& query, std::size_t b, std::size_t j) noexcept {
    const std::size_t p = b * BLOCK_ROWS + 8 * j;
    if (p >= query.first && p + 8 <= panel.rows) {
        return 0xFFu;
    }
    return positions_in(p, query.first, panel.rows);
}

// Reverse candidates among byte j of block b: query rows after the query's own position.
inline unsigned reverse_range(const QueryView& query, std::size_t b, std::size_t j) noexcept {
    const std::size_t p = b * BLOCK_ROWS + 8 * j;
    if (query.self == SIZE_MAX || p >= query.reverse_end || p + 8 <= query.self + 1) {
        return 0;
    }
    return positions_in(p, query.self + 1, query.reverse_end);
}

// The query's own row is not measured: it ranks at SELF_DISTANCE.
inline void set_self(const QueryView& query, std::size_t b, double* out) noexcept {
    if (query.self != SIZE_MAX && query.self / BLOCK_ROWS == b) {
        out[query.self % BLOCK_ROWS] = SELF_DISTANCE;
    }
}

// Positions of byte j of block b holding a value in one of the query's open columns.
inline unsigned open_rows(const PanelView& panel, const QueryView& query, std::size_t b, std::size_t j) noexcept {
    unsigned rows = 0;
    const std::uint8_t* present = panel.present + b * panel.cols * BLOCK_BYTES + j;
    for (std::size_t i = 0; i < query.n_open; ++i) {
        rows |= present[query.open[i] * BLOCK_BYTES];
    }
    return rows;
}

// Positions of block b holding a value in one of the query's open columns (bit i: position
// b * BLOCK_ROWS + i).
inline std::uint32_t open_rows_32(const PanelView& panel, const QueryView& query, std::size_t b) noexcept {
    std::uint32_t rows = 0;
    for (std::size_t j = 0; j < BLOCK_BYTES; ++j) {
        rows |= static_cast<std::uint32_t>(open_rows(panel, query, b, j)) << (8 * j);
    }
    return rows;
}

// Stores the 32 bits of a block's filter result as its four bytes (byte j: positions 8j..8j+7).
inline void store_rows_32(std::uint8_t* out, std::uint32_t rows) noexcept {
    for (std::size_t j = 0; j < BLOCK_BYTES; ++j) {
        out[j] = static_cast<std::uint8_t>(rows >> (8 * j));
    }
}

}  // namespace mirel::knn::detail
