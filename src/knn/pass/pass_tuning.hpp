// The block sizes and budgets of the fast passes (both run the group scheduler of
// knn/pass/group_pass.hpp), which tests and benchmarks set to reach every path.
#pragma once

#include <cstddef>

#include "knn/kernels/kernel.hpp"

namespace mirel::knn {

namespace detail {
struct PruneState;  // knn/pass/prune_steering.hpp
}  // namespace detail

// The small-table threshold of both passes: with at most this many candidate rows a panel would
// be mostly padding (it holds whole blocks of BLOCK_ROWS rows, 2.5 times 12 rows), and the scalar
// metric over the rows as they are is about as fast as the kernels (from 13 rows on the kernels
// are faster). Such candidates are measured in place, row by row, so that memory stays
// proportional to the table: the row pass's candidates (PassTuning::row_major_max_candidates)
// and the query pass's fitted rows (DonorLayout::automatic, knn/query/query_fast.hpp).
inline constexpr std::size_t SMALL_TABLE_MAX_ROWS = 12;

struct PassTuning {
    // Candidate rows are visited in super-blocks of about this many bytes of column-blocked
    // values, so that a super-block stays in the first-level cache while a group of query rows
    // is measured against it.
    std::size_t superblock_bytes = 16384;
    // A group holds at most this many query rows, and at most this many selections
    // (missing cells) unless a single row has more.
    std::size_t group_rows = 32;
    std::size_t group_selections = 64;
    // Neighbour counts above this are served by a full ordering of the candidates per row
    // instead of bounded per-cell selections.
    std::size_t max_bounded_k = 256;
    // The shared-pairs mode (GroupPass::run_shared_pairs) keeps the selections of every row that
    // is both imputed and a candidate alive at once (16 * min(k, rows) + 64 bytes per missing
    // cell). It runs while they fit in selection_budget_bytes plus
    // selection_budget_per_fitted_byte times the size of the fitted matrix (fit_transform on
    // threads keeps one copy per worker, all of them within it); beyond it, rows are imputed in
    // groups without sharing.
    std::size_t selection_budget_bytes = std::size_t{64} << 20;
    std::size_t selection_budget_per_fitted_byte = 2;
    // The kernels stop measuring a candidate that can no longer be chosen (exact: results are
    // the same bit for bit either way). When prune_counts is set, the lane-columns the kernels
    // were asked for and those they skipped are added to it (by each pass when it ends, without
    // synchronisation: for single-threaded callers such as tests and benchmarks).
    bool prune = true;
    detail::PruneCounts* prune_counts = nullptr;
    // A group of rows that pruned but skipped less than this fraction of its lane-columns turns
    // pruning off for the next prune_probe_every groups (0 keeps it on throughout).
    double prune_min_skipped = 0.3;
    std::size_t prune_probe_every = 8;
    // Where set, a pass steers with this state instead of a fresh one of its own, so that passes
    // run one after another over parts of the same rows (the chunks a worker of query_parallel
    // takes) steer as one pass would. Unset, a pass starts with pruning on.
    detail::PruneState* prune_state = nullptr;
    // Rows narrower than this are too short for the checks to pay: no pruning.
    std::size_t prune_min_columns = 12;
    // With at most this many candidate rows the row pass measures them in place with the scalar
    // metric (SMALL_TABLE_MAX_ROWS).
    std::size_t row_major_max_candidates = SMALL_TABLE_MAX_ROWS;
};

}  // namespace mirel::knn
