// How a group of query rows scans a panel, the one loop both passes run ("row r against the
// fitted rows" and "query rows against fitted donor rows"): super-block by super-block, every
// query of the group measured against the step's blocks, and what passed its filters handed to
// the pass. Reading a super-block once for the whole group keeps it in the nearest cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "knn/kernels/kernel.hpp"
#include "knn/panel/panel.hpp"

namespace mirel::knn::detail {

// A row of the running group: the pass's state for it, its kernel view and the columns of its
// selections that are not full.
struct GroupQuery {
    std::size_t state = 0;
    QueryRow query;
    std::vector<std::uint32_t> open;
};

// The end of the step that starts at block b0 when a group scans blocks [start, blocks) by
// super-blocks of `superblock` blocks. The first step is a single block: a selection that is not
// full lets every candidate through, so the sooner the selections fill, the fewer candidates
// are offered to them.
inline std::size_t scan_step_end(std::size_t b0, std::size_t start, std::size_t blocks,
                                 std::size_t superblock) noexcept {
    return std::min(blocks, b0 + (b0 == start ? 1 : superblock));
}

// Measures every query of `group` against blocks [start, blocks of the panel), a step at a time
// (scan_step_end), and calls collect(query, b0, b1) after each kernel call with its outputs in
// `scratch`. In symmetric mode a query starts at the block of its own position
// (query.view.first) and the kernel also fills the reverse filter. Before each step,
// keep_going() may stop the scan: returns false when it did (the group's selections are then
// incomplete), true when every block was measured.
template <class Collect, class KeepGoing>
bool scan_group_while(const Panel& panel, KernelFn kernel, std::span<GroupQuery> group, bool symmetric,
                      std::size_t start, std::size_t superblock, BlockScratch& scratch, Collect&& collect,
                      KeepGoing&& keep_going) {
    const std::size_t blocks = panel.view().blocks;
    for (std::size_t b0 = start, b1 = 0; b0 < blocks; b0 = b1) {
        if (!keep_going()) {
            return false;
        }
        b1 = scan_step_end(b0, start, blocks, superblock);
        for (GroupQuery& q : group) {
            const std::size_t from = symmetric ? std::max(b0, q.query.view.first / BLOCK_ROWS) : b0;
            if (from >= b1) {
                continue;
            }
            kernel(panel.view(), q.query.view, from, b1, scratch.dist(), scratch.forward(),
                   symmetric ? scratch.reverse() : nullptr);
            collect(q, from, b1);
        }
    }
    return true;
}

// scan_group_while that always goes on.
template <class Collect>
void scan_group(const Panel& panel, KernelFn kernel, std::span<GroupQuery> group, bool symmetric, std::size_t start,
                std::size_t superblock, BlockScratch& scratch, Collect&& collect) {
    scan_group_while(panel, kernel, group, symmetric, start, superblock, scratch, std::forward<Collect>(collect),
                     [] { return true; });
}

}  // namespace mirel::knn::detail
