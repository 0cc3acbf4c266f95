// The one loop over blocks that every distance kernel runs, and the per-block epilogue it owns:
// the query's own slot, the forward and reverse filters, the output offsets.
//
// A kernel file supplies two small types and instantiates drive_blocks with them:
//   Distances(panel, query)       per-query setup (tables, registers);
//   distances.block(b, out)       the BLOCK_ROWS distances of block b into out (64-byte aligned);
//   Keys(out)                     the ranking keys of those distances (see distance_rank_key);
//   keys.at_most(t)               bit i set when key i <= t;
//   keys.at_most_each(limits)     bit i set when key i <= limits[i] (limits not aligned).
//
// Include this header inside the kernel file's instruction-set region (after everything it
// depends on), so that the loop is compiled for the same instruction set as the types it
// inlines. Everything here has internal linkage, so no function compiled for one instruction
// set can stand in for another file's copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "knn/impute.hpp"
#include "knn/kernels/kernel.hpp"

namespace mirel::knn::detail {
namespace {

// Bits of the positions first + 0..31 that lie in [lo, hi).
inline std::uint32_t positions_in(std::size_t first, std::size_t lo, std::size_t hi) noexcept {
    const std::uint32_t all = 0xFFFFFFFFu;
    const std::uint32_t from = lo <= first ? all : (lo >= first + 32 ? 0u : all << (lo - first));
    const std::uint32_t below = hi >= first + 32 ? all : (hi <= first ? 0u : (std::uint32_t{1} << (hi - first)) - 1u);
    return from & below;
}

// Forward candidates of block b (bit i: position b * BLOCK_ROWS + i): real rows from query.first.
inline std::uint32_t forward_range(const PanelView& panel, const QueryView& query, std::size_t b) noexcept {
    return positions_in(b * BLOCK_ROWS, query.first, panel.rows);
}

// Reverse candidates of block b: query rows after the query's own position.
inline std::uint32_t reverse_range(const QueryView& query, std::size_t b) noexcept {
    if (query.self == NO_POSITION) {
        return 0;
    }
    return positions_in(b * BLOCK_ROWS, query.self + 1, query.reverse_end);
}

// Positions of block b holding a value in one of the query's open columns.
inline std::uint32_t open_rows(const PanelView& panel, const QueryView& query, std::size_t b) noexcept {
    const std::uint8_t* present = panel.present + b * panel.cols * BLOCK_BYTES;
    std::uint32_t rows = 0;
    for (std::size_t j = 0; j < BLOCK_BYTES; ++j) {
        unsigned byte = 0;
        for (std::size_t i = 0; i < query.n_open; ++i) {
            byte |= present[query.open[i] * BLOCK_BYTES + j];
        }
        rows |= static_cast<std::uint32_t>(byte) << (8 * j);
    }
    return rows;
}

// Stores the 32 bits of a block's filter result as its four bytes (byte j: positions 8j..8j+7).
inline void store_rows(std::uint8_t* out, std::uint32_t rows) noexcept {
    static_assert(BLOCK_BYTES == 4, "a block's filter result is one 32-bit word");
    for (std::size_t j = 0; j < BLOCK_BYTES; ++j) {
        out[j] = static_cast<std::uint8_t>(rows >> (8 * j));
    }
}

template <class Distances, class Keys>
void drive_blocks(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                  std::uint8_t* forward, std::uint8_t* reverse) {
    const Distances distances(panel, query);
    for (std::size_t b = b0; b < b1; ++b) {
        double* out = dist + (b - b0) * BLOCK_ROWS;
        distances.block(b, out);
        // The query's own row is not measured: it ranks at SELF_DISTANCE.
        if (query.self != NO_POSITION && query.self / BLOCK_ROWS == b) {
            out[query.self % BLOCK_ROWS] = SELF_DISTANCE;
        }
        const Keys keys(out);
        std::uint32_t near = keys.at_most(query.threshold);
        if (query.n_open != 0) {
            near |= open_rows(panel, query, b);
        }
        store_rows(forward + (b - b0) * BLOCK_BYTES, near & forward_range(panel, query, b));
        if (query.reverse_threshold != nullptr) {
            const std::uint32_t range = reverse_range(query, b);
            const std::uint32_t near_reverse =
                range == 0 ? 0u : keys.at_most_each(query.reverse_threshold + b * BLOCK_ROWS) & range;
            store_rows(reverse + (b - b0) * BLOCK_BYTES, near_reverse);
        }
    }
}

}  // namespace
}  // namespace mirel::knn::detail
