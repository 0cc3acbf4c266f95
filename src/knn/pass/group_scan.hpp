// How a group of query rows scans a panel, the one loop both passes run ("row r against the
// fitted rows" and "query rows against fitted donor rows"): super-block by super-block, every
// query of the group measured against the step's blocks, and what passed its filters handed to
// the pass. Reading a super-block once for the whole group keeps it in the nearest cache.
#pragma once

#include <algorithm>
#include <concepts>
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

// Where a group's candidates come from: the blocks of the panel it is measured against, as runs
// of consecutive blocks. first(b) is the first block at or after b to measure (the panel's block
// count when none is left), run_end(b) the end of the run that starts at b. Leaving blocks out
// only leaves candidates out: the selections, filters and tie rule stay as they are, so a source
// that names every block that could hold a donor (a candidate index) gives the same donors.
template <class S>
concept CandidateSource = requires(const S& s, std::size_t b, std::size_t blocks) {
    { s.first(b, blocks) }
    noexcept->std::same_as<std::size_t>;
    { s.run_end(b, blocks) }
    noexcept->std::same_as<std::size_t>;
};

// Every block: what both passes measure today.
struct EveryBlock {
    static std::size_t first(std::size_t b, std::size_t /*blocks*/) noexcept { return b; }
    static std::size_t run_end(std::size_t /*b*/, std::size_t blocks) noexcept { return blocks; }
};

// Blocks [begin, end) of a panel.
struct BlockRun {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// A source that also names the blocks of each query of the group (a candidate index: each row
// its own probed lists, whatever group it is in). start_group(group) is told the group before
// its scan; group_runs() are then the union of its queries' blocks (what first/run_end name) in
// the order the group visits them (a candidate index starts with the lists nearest to the group,
// so that the selections fill with near candidates and the filters tighten early);
// query_first(i, b, blocks) and query_run_end(i, b, blocks) are first/run_end for the group's
// i-th query alone.
template <class S>
concept PerQuerySource = CandidateSource<S> &&
    requires(S& s, const S& cs, std::span<const GroupQuery> group, std::size_t i, std::size_t b, std::size_t blocks) {
    s.start_group(group);
    { cs.group_runs() }
    noexcept->std::convertible_to<std::span<const BlockRun>>;
    { cs.query_first(i, b, blocks) }
    noexcept->std::same_as<std::size_t>;
    { cs.query_run_end(i, b, blocks) }
    noexcept->std::same_as<std::size_t>;
};

// Measures every query of `group` against blocks [start, blocks of the panel) that `source` names, a step at a time
// (scan_step_end), and calls collect(query, b0, b1) after each kernel call with its outputs in
// `scratch`. In the shared-pairs mode (GroupPass::run_shared_pairs) a query starts at the block of its own position
// (query.view.first) and the kernel also fills the reverse filter. Before each step,
// keep_going() may stop the scan: returns false when it did (the group's selections are then
// incomplete), true when every block was measured.
template <class Collect, class KeepGoing, CandidateSource Source = EveryBlock>
bool scan_group_while(const Panel& panel, KernelFn kernel, std::span<GroupQuery> group, bool share_pairs,
                      std::size_t start, std::size_t superblock, BlockScratch& scratch, Collect&& collect,
                      KeepGoing&& keep_going, const Source& source = {}) {
    const std::size_t blocks = panel.view().blocks;
    // One step: every query of the group against blocks [b0, b1).
    const auto step = [&](std::size_t b0, std::size_t b1) {
        for (std::size_t i = 0; i < group.size(); ++i) {
            GroupQuery& q = group[i];
            const std::size_t from = share_pairs ? std::max(b0, q.query.view.first / BLOCK_ROWS) : b0;
            if constexpr (PerQuerySource<Source>) {
                // The query's own runs within the step.
                for (std::size_t a = source.query_first(i, from, blocks), e = 0; a < b1;
                     a = source.query_first(i, e, blocks)) {
                    e = std::min(b1, source.query_run_end(i, a, blocks));
                    kernel(panel.view(), q.query.view, a, e, scratch.dist(), scratch.forward(),
                           share_pairs ? scratch.reverse() : nullptr);
                    collect(q, a, e);
                }
            } else {
                if (from >= b1) {
                    continue;
                }
                kernel(panel.view(), q.query.view, from, b1, scratch.dist(), scratch.forward(),
                       share_pairs ? scratch.reverse() : nullptr);
                collect(q, from, b1);
            }
        }
    };
    if constexpr (PerQuerySource<Source>) {
        const std::span<const BlockRun> runs = source.group_runs();
        for (const BlockRun& run : runs) {
            for (std::size_t b0 = std::max(run.begin, start), b1 = 0; b0 < run.end; b0 = b1) {
                if (!keep_going()) {
                    return false;
                }
                b1 = std::min(scan_step_end(b0, runs.front().begin, blocks, superblock), run.end);
                step(b0, b1);
            }
        }
        return true;
    }
    for (std::size_t b0 = source.first(start, blocks), b1 = 0; b0 < blocks; b0 = source.first(b1, blocks)) {
        if (!keep_going()) {
            return false;
        }
        b1 = std::min(scan_step_end(b0, start, blocks, superblock), source.run_end(b0, blocks));
        step(b0, b1);
    }
    return true;
}

// scan_group_while that always goes on.
template <class Collect>
void scan_group(const Panel& panel, KernelFn kernel, std::span<GroupQuery> group, bool share_pairs, std::size_t start,
                std::size_t superblock, BlockScratch& scratch, Collect&& collect) {
    scan_group_while(panel, kernel, group, share_pairs, start, superblock, scratch, std::forward<Collect>(collect),
                     [] { return true; });
}

}  // namespace mirel::knn::detail
