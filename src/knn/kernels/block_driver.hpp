// The one loop over blocks that every distance kernel runs, and the per-block epilogue it owns:
// the query's own slot, the forward and reverse filters, the output offsets.
//
// A kernel file supplies two small types and instantiates drive_blocks with them:
//   Distances(panel, query)       per-query setup (tables, registers);
//   distances.steps()             the columns its sums visit per position (for PruneCounts);
//   Distances::PER_LANE           whether block<true> abandons lanes in groups smaller than the
//                                 block;
//   distances.block<false>(b, out, nullptr, 0, skipped)
//                                 the BLOCK_ROWS distances of block b into out (64-byte aligned);
//   distances.block<true>(b, out, limit, needed, skipped)
//                                 the same, but every prune_step() columns the lanes whose lower
//                                 bound (see prune_limits) exceeds limit[i] are out; once every
//                                 lane of `needed` is out (or, per group of lanes a kernel
//                                 computes together, every lane of the group), the rest of the
//                                 columns is skipped. Returns the lanes left unfinished (their
//                                 out[] entries hold no distance) and adds the skipped
//                                 lane-columns to `skipped`;
//   Keys(out)                     the ranking keys of those distances (see measured_rank_key:
//                                 out never holds a negative number);
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
#include <cstring>
#include <limits>

#include "knn/core/rank_key.hpp"
#include "knn/kernels/kernel.hpp"

namespace mirel::knn::detail {
namespace {

// The base of a per-block distance loop (the Distances of drive_blocks): the panel and the query
// row it measures.
struct BlockDistances {
    const PanelView& panel;
    const QueryView& query;

    BlockDistances(const PanelView& p, const QueryView& q) noexcept : panel(p), query(q) {}
};

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

// Kernels check their lanes against the limits every prune_step(steps) columns: at about a
// quarter, half and three quarters of the way. Checks cost time and early ones rarely find a
// lane out; when they are made never changes a result.
inline std::size_t prune_step(std::size_t steps) noexcept { return steps < 8 ? 2 : (steps + 3) / 4; }

// The largest distance a filter with ranking-key threshold t lets pass, as a double that a
// lower bound is compared with. For the key of a non-negative distance (the only finite
// thresholds a selection has) this is that distance; the key of a NaN and UINT64_MAX (every key
// passes) give a NaN, which never prunes. A key below that of +0.0 would give a negative limit
// or a NaN, still right: the key of every non-negative distance and of NaN exceeds it.
// (measured_key_limit, knn/core/rank_key.hpp)

// Pruning: when may a kernel stop measuring a position?
//
// A position matters only if it can pass the forward filter (key <= query.threshold, or it
// holds a value in an open column) or the reverse filter (key <= reverse_threshold[p]). Both
// thresholds are those of full selections (a selection that is not full is an open column, or
// a reverse threshold of UINT64_MAX), so a position that passes neither filter cannot enter any
// selection, now or later: thresholds only ever fall. In the shared-pairs mode this means a pair
// is abandoned only when it is out for both rows' selections.
//
// The bound. Every term either metric adds is +0.0, a positive number, +inf or NaN, and both
// sums start from +0.0 with round-to-nearest addition, which is monotone: fl(s + t) >= s for
// t >= 0. So a partial sum after some columns, taken in the column order the metric uses, is
// at most the completed sum (or the completed sum is NaN). The final steps are monotone too:
// nan_euclid multiplies the square sum by cols / shared, where shared (the coordinates both rows
// hold) is known per position before any column is summed, so fl(partial * scale) <=
// fl(sum * scale) holds exactly; expected_distance adds the missing-term sum to the square
// root of the square sum, and fl(m + fl(sqrt(q))) grows with m and q. The kernels form these
// bounds with the very operations and operands kinds of the final step, so no rounding margin
// is needed: the bound is itself a correctly rounded value below the final one.
//
// The comparison. Keys of non-negative doubles order exactly as the doubles do, and NaN keys
// rank after all of them (+inf included). A lane is out when bound > limit in an ordered
// comparison: then the final distance is larger than the limit, or NaN, and either way its key
// exceeds the threshold. Equality is not out: a tie at the threshold is decided by row index
// in the selection, so such a position must be measured. A NaN bound (inf - inf met in some
// column) is never out, and a NaN limit (a NaN threshold, or a selection that is not full:
// UINT64_MAX) never prunes. The query's own position, positions before query.first and padding
// are needed by no filter. Visit order does not matter: a selection keeps the first k of the
// (key, row index) order among what it was offered, and every position it could keep is offered.
//
// Fills limit[i] for the positions of block b and returns the lanes some filter needs;
// `unbounded` receives the needed lanes whose limit is NaN (they are never out). A lane passes a
// filter it is in the range of when its key is at most that filter's threshold, so what it
// must beat is the larger of the two thresholds (key order: UINT64_MAX for an open lane); a
// lane in neither range gets threshold 0, which is -0.0 as a limit, and is not needed. The
// loops are branch-free so that they vectorise.
inline std::uint32_t prune_limits(const PanelView& panel, const QueryView& query, std::size_t b, double* limit,
                                  std::uint32_t& unbounded) {
    std::uint32_t forward = forward_range(panel, query, b);
    std::uint32_t backward = query.reverse_threshold != nullptr ? reverse_range(query, b) : 0u;
    if (query.self != NO_POSITION && query.self / BLOCK_ROWS == b) {
        const std::uint32_t self = ~(std::uint32_t{1} << (query.self % BLOCK_ROWS));
        forward &= self;
        backward &= self;
    }
    // A lane holding a value in an open column may enter a selection that is not full.
    const std::uint32_t open = query.n_open != 0 ? open_rows(panel, query, b) & forward : 0u;
    const std::uint64_t t = query.threshold;
    alignas(64) std::uint64_t key[BLOCK_ROWS];
    if (backward == 0) {
        for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
            const std::uint64_t f = std::uint64_t{0} - ((forward >> i) & 1u);
            const std::uint64_t o = std::uint64_t{0} - ((open >> i) & 1u);
            key[i] = (t | o) & f;
        }
    } else {
        // The array is readable up to the end of the last block.
        const std::uint64_t* r = query.reverse_threshold + b * BLOCK_ROWS;
        if (forward == ~std::uint32_t{0} && backward == ~std::uint32_t{0} && open == 0) {
            for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
                key[i] = t > r[i] ? t : r[i];
            }
        } else {
            for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
                const std::uint64_t f = std::uint64_t{0} - ((forward >> i) & 1u);
                const std::uint64_t o = std::uint64_t{0} - ((open >> i) & 1u);
                const std::uint64_t back = r[i] & (std::uint64_t{0} - ((backward >> i) & 1u));
                const std::uint64_t front = (t | o) & f;
                key[i] = front > back ? front : back;
            }
        }
    }
    std::uint32_t nan_lanes = 0;
    for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
        limit[i] = measured_key_limit(key[i]);
        nan_lanes |= static_cast<std::uint32_t>(key[i] > KEY_OF_INFINITY) << i;
    }
    unbounded = nan_lanes & (forward | backward);
    return forward | backward;
}

template <class Distances, class Keys>
void drive_blocks(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                  std::uint8_t* forward, std::uint8_t* reverse) {
    const Distances distances(panel, query);
    alignas(64) double limit[BLOCK_ROWS];
    std::uint64_t asked = 0;
    std::uint64_t skipped = 0;
    for (std::size_t b = b0; b < b1; ++b) {
        double* out = dist + (b - b0) * BLOCK_ROWS;
        // Lanes left unfinished: they pass no filter.
        std::uint32_t unfinished = 0;
        asked += BLOCK_ROWS * distances.steps();
        if (query.prune) {
            std::uint32_t unbounded = 0;
            const std::uint32_t needed = prune_limits(panel, query, b, limit, unbounded);
            // Kernels that abandon lanes in groups gain nothing while one of them is unbounded.
            const bool whole = Distances::PER_LANE ? unbounded == needed : unbounded != 0;
            if (needed == 0) {
                // Only positions no filter wants (before `first`, the query itself, padding).
                for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
                    out[i] = 0.0;
                }
                unfinished = ~std::uint32_t{0};
                skipped += BLOCK_ROWS * distances.steps();
            } else if (whole) {
                distances.template block<false>(b, out, nullptr, 0, skipped);
            } else {
                unfinished = distances.template block<true>(b, out, limit, needed, skipped);
            }
        } else {
            distances.template block<false>(b, out, nullptr, 0, skipped);
        }
        // The query's own row is not measured: it ranks at SELF_DISTANCE.
        if (query.self != NO_POSITION && query.self / BLOCK_ROWS == b) {
            out[query.self % BLOCK_ROWS] = SELF_DISTANCE;
            unfinished &= ~(std::uint32_t{1} << (query.self % BLOCK_ROWS));
        }
        const Keys keys(out);
        std::uint32_t near = keys.at_most(query.threshold);
        if (query.n_open != 0) {
            near |= open_rows(panel, query, b);
        }
        store_rows(forward + (b - b0) * BLOCK_BYTES, near & forward_range(panel, query, b) & ~unfinished);
        if (query.reverse_threshold != nullptr) {
            const std::uint32_t range = reverse_range(query, b);
            const std::uint32_t near_reverse =
                range == 0 ? 0u : keys.at_most_each(query.reverse_threshold + b * BLOCK_ROWS) & range;
            store_rows(reverse + (b - b0) * BLOCK_BYTES, near_reverse & ~unfinished);
        }
    }
    if (query.counts != nullptr) {
        query.counts->asked += asked;
        query.counts->skipped += skipped;
    }
}

}  // namespace
}  // namespace mirel::knn::detail
