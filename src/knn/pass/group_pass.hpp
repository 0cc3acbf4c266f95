// The group scheduler of the fast passes ("row r against the fitted rows" and "query rows against
// fitted donor rows"): the one place that owns the rows being imputed, their per-cell
// selections, the groups they are measured in, the shared-pairs mode and the
// full-ordering path. A pass is a policy that supplies only what differs between them (the
// PassPolicy, WatchedPolicy and RowCursor concepts of knn/pass/group_state.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/core/selection.hpp"
#include "knn/kernels/kernel.hpp"
#include "knn/panel/panel.hpp"
#include "knn/pass/group_scan.hpp"
#include "knn/pass/group_state.hpp"
#include "knn/pass/pass_tuning.hpp"
#include "knn/pass/prune_steering.hpp"

namespace mirel::knn::detail {

// Source: which blocks of candidates a group is measured against (group_scan.hpp).
template <class Policy, CandidateSource Source = EveryBlock>
class GroupPass {
public:
    // (The policy holds its scheduler, so it is complete only here, where the concept is checked.)
    GroupPass(Policy& policy, Kernel kernel, const PassTuning& tuning, std::size_t cols)
        : p_(policy), kernel_(kernel), tuning_(tuning), cols_(cols) {
        static_assert(PassPolicy<Policy>, "a pass supplies what knn/pass/group_state.hpp lists");
    }

    // Adds the kernels' pruning counts to PassTuning::prune_counts, when it is set.
    void report() const noexcept { steering_.report(); }

    // The candidate source, for the policy to set up (a candidate index: the rows it probes).
    Source& source() noexcept { return source_; }
    const Source& source() const noexcept { return source_; }

    // Selections keep the first `limit` donors in `capacity` slots each (capacity >= 1).
    void set_capacity(std::size_t capacity, std::size_t limit) noexcept {
        capacity_ = capacity;
        limit_ = limit;
    }

    void clear_states() noexcept {
        states_.clear();
        cells_.clear();
        cell_offsets_.resize(1);
    }

    // Adds a row to impute: fitted or query row `row` at panel position `pos` (NO_POSITION when
    // it is no candidate), its missing columns `cols`.
    void add_state(std::size_t row, std::size_t pos, std::span<const std::size_t> cols) {
        RowState st;
        st.row = row;
        st.pos = pos;
        for (const std::size_t c : cols) {
            CellSelection cell;
            cell.col = c;
            cells_.push_back(cell);
        }
        states_.push_back(st);
        cell_offsets_.push_back(cells_.size());
    }

    std::size_t n_states() const noexcept { return states_.size(); }

    // Whether the selections of the states added so far fit the budget for keeping them alive
    // at once: PassTuning's bytes plus its share of the fitted table's `fitted_bytes`.
    // `copies`: the selections are kept that many times (one per worker).
    bool within_budget(double fitted_bytes, std::size_t copies = 1) const noexcept {
        const double bytes = static_cast<double>(copies) * static_cast<double>(cells_.size()) *
                             static_cast<double>(selection_bytes_per_cell(capacity_));
        const double budget = static_cast<double>(tuning_.selection_budget_bytes) +
                              static_cast<double>(tuning_.selection_budget_per_fitted_byte) * fitted_bytes;
        return bytes <= budget;
    }

    // Scans a panel of its own, built from rows of `source` (rows of cols values): with
    // `states_first` the rows of the states added so far first (in their order, which ascends),
    // then every other candidate 0..candidates-1 in row order; otherwise row order.
    void build_panel(std::span<const double> source, std::size_t candidates, Metric metric, bool states_first) {
        row_of_.clear();
        row_of_.reserve(candidates);
        const std::size_t first = states_first ? states_.size() : 0;
        for (std::size_t i = 0; i < first; ++i) {
            row_of_.push_back(states_[i].row);
        }
        std::size_t next = 0;
        for (std::size_t t = 0; t < candidates; ++t) {
            if (next < first && states_[next].row == t) {
                ++next;
            } else {
                row_of_.push_back(t);
            }
        }
        own_panel_.build(source, cols_, row_of_, metric, kernel_.masked_cells);
        scan_ = &own_panel_;
        positions_ = row_of_.data();
        identity_ = false;
    }

    // Scans `panel`, where position p holds row p.
    void scan_panel(const Panel& panel) noexcept {
        scan_ = &panel;
        identity_ = true;
    }

    // Scans `panel`, where position p holds row row_of[p] (a candidate index's panel, in list
    // order); `row_of` outlives the scans.
    void scan_panel(const Panel& panel, std::span<const std::size_t> row_of) noexcept {
        scan_ = &panel;
        positions_ = row_of.data();
        identity_ = false;
    }

    // Everything a later run over groups of rows of the panel being scanned needs, allocated
    // now (groups of at most max_cells cells), so that the run allocates nothing.
    void prepare_groups(std::size_t max_cells) {
        size_scratch(superblock_blocks());
        states_.reserve(tuning_.group_rows);
        cell_offsets_.reserve(checked_add(tuning_.group_rows, 1));
        cells_.reserve(max_cells);
        arena_.resize(checked_count<Entry>(checked_mul(max_cells, capacity_)));
        group_.resize(std::max<std::size_t>(1, tuning_.group_rows));
        for (GroupQuery& q : group_) {
            prepare_row(q.query);
            q.open.reserve(cols_);
        }
    }

    // The same for the full-ordering path over `panel`.
    void prepare_unbounded(const Panel& panel, std::size_t candidates) {
        scan_panel(panel);
        size_scratch(panel.view().blocks);
        order_.reserve(candidates);
        prepare_row(unbounded_row_);
    }

    // The shared-pairs mode (the one description of it; elsewhere a pointer here). When the rows
    // being imputed are also candidates (the row pass, and the query pass over the fitted table),
    // d(i, j) = d(j, i) bit for bit, so each such pair is measured once and offered to the
    // selections of both rows. The states added so far sit at panel positions 0, 1, ... of the
    // panel being scanned (build_panel with states_first): the state at position p measures
    // positions p.. only and hands each distance to the states after it too, through the
    // kernels' reverse filter (the threshold of the candidate's own selections, beside the
    // forward filter of the row's). It keeps every such row's selections alive at once, so the
    // passes take it only within PassTuning's selection budget; on threads, the pass driver's
    // "share the pairs" strategy deals the groups out to workers (below). False when
    // keep_going stopped the pass.
    bool run_shared_pairs() {
        const std::size_t both = states_.size();
        size_scratch(superblock_blocks());
        bind_selections();
        open_reverse();
        for (std::size_t g = 0; g < both; g += tuning_.group_rows) {
            const std::size_t end = std::min(both, g + tuning_.group_rows);
            if (!run_group(g, end, true)) {
                reverse_threshold_.clear();
                return false;
            }
            // A row's candidates before its position came from earlier groups: it is done.
            publish(states_[end - 1].row + 1);
        }
        reverse_threshold_.clear();
        return true;
    }

    // run_shared_pairs on several workers, each with a GroupPass holding the same states: one builds
    // the panel, the others share it; prepare_shared allocates everything; any worker runs any
    // group g < shared_groups() without writing; then all selections are merged into one pass's
    // (merge_into), which writes the rows (fill_all). Each pair is measured by one worker, and a
    // selection keeps the first k of what it is offered in any order: run_shared_pairs's result.
    void share_panel(const GroupPass& owner) {
        scan_ = owner.scan_;
        row_of_ = owner.row_of_;
        positions_ = owner.positions_;  // the owner's, alive as long as its panel
        identity_ = owner.identity_;
    }
    void prepare_shared() {
        prepare_groups(cells_.size());
        bind_selections();
        open_reverse();
    }
    std::size_t shared_groups() const noexcept {
        const std::size_t g = tuning_.group_rows;  // at least 1
        return states_.size() / g + (states_.size() % g != 0 ? 1 : 0);
    }
    bool run_shared_group(std::size_t g) {
        const std::size_t s0 = g * tuning_.group_rows;
        return run_group(s0, std::min(states_.size(), s0 + tuning_.group_rows), true, false);
    }
    // The rows group g stands for in progress: from the row after the previous group's last state
    // to its own last state. The groups' spans are disjoint and cover every row up to the last
    // state, in whatever order the workers measure them.
    std::size_t shared_group_rows(std::size_t g) const noexcept {
        const std::size_t s0 = g * tuning_.group_rows;
        const std::size_t s1 = std::min(states_.size(), s0 + tuning_.group_rows);
        const std::size_t from = s0 == 0 ? 0 : states_[s0 - 1].row + 1;
        return states_[s1 - 1].row + 1 - from;
    }
    void merge_into(GroupPass& into) const noexcept {
        for (std::size_t i = 0; i < cells_.size(); ++i) {
            for (const Entry& e : cells_[i].top.entries()) {
                into.cells_[i].top.offer(e);
            }
        }
    }
    void fill_all() {
        for (std::size_t s = 0; s < states_.size(); ++s) {
            p_.fill(states_[s], std::span(cells_.data() + cell_offsets_[s], cells_.data() + cell_offsets_[s + 1]));
        }
    }

    // The rows of `cursor`, a group at a time: at most group_rows rows and, unless one row has
    // more, group_selections missing cells, each measured against the panel being scanned.
    // False when keep_going stopped the pass.
    template <RowCursor Cursor>
    bool run_in_groups(Cursor& cursor) {
        size_scratch(superblock_blocks());
        bool pending = cursor.next();
        while (pending) {
            clear_states();
            std::size_t cells = 0;
            while (pending && states_.size() < tuning_.group_rows) {
                const std::span<const std::size_t> cols = cursor.columns();
                if (!states_.empty() && cells + cols.size() > tuning_.group_selections) {
                    break;
                }
                add_state(cursor.row(), cursor.pos(), cols);
                cells += cols.size();
                pending = cursor.next();
            }
            bind_selections();
            if (!run_group(0, states_.size(), false)) {
                return false;
            }
            publish(cursor.upto());
        }
        return true;
    }

    // Large k: every candidate of each row of `cursor` is ordered with the fast distances, then
    // the policy walks the order. False when keep_going stopped the pass. (The concept is checked
    // in the body, where the policy is complete: a constraint on the declaration would be checked,
    // and remembered as unmet, while a policy that holds its scheduler is still being defined.)
    template <RowCursor Cursor>
    bool run_full_ordering(Cursor& cursor, std::size_t candidates) {
        static_assert(OrderingPolicy<Policy>, "the full-ordering path needs fill_from_full_ordering");
        const std::size_t blocks = scan_->view().blocks;
        size_scratch(blocks);
        order_.reserve(candidates);
        while (cursor.next()) {
            if (!keep_going()) {
                return false;
            }
            publish(cursor.row());
            const std::size_t row = cursor.row();
            unbounded_row_.prepare(*scan_, p_.row_values(row), cursor.pos());
            unbounded_row_.view.threshold = std::numeric_limits<std::uint64_t>::max();
            kernel_(scan_->view(), unbounded_row_.view, 0, blocks, scratch_.dist(), scratch_.forward(), nullptr);
            const double* dist = scratch_.dist();
            order_.clear();
            for (std::size_t t = 0; t < candidates; ++t) {
                std::uint64_t key = 0;
                if (p_.candidate_key(row, t, dist[t], key)) {
                    order_.push_back(Entry{key, t});
                }
            }
            std::sort(order_.begin(), order_.end(), EntryLess{});
            p_.fill_from_full_ordering(row, cursor.columns(), order_, dist);
        }
        return true;
    }

private:
    bool keep_going() {
        if constexpr (WatchedPolicy<Policy>) {
            return p_.keep_going();
        } else {
            return true;
        }
    }
    void publish(std::size_t upto) {
        if constexpr (WatchedPolicy<Policy>) {
            p_.publish(upto);
        }
    }

    // Blocks of the panel being scanned that a group reads per step, the scratch's size then.
    std::size_t superblock_blocks() noexcept {
        superblock_ = scan_->superblock_blocks(tuning_.superblock_bytes);
        return superblock_;
    }

    void size_scratch(std::size_t blocks) {
        if (blocks != scratch_blocks_) {
            scratch_.resize(blocks);
            scratch_blocks_ = blocks;
        }
    }

    // Gives a row's kernel view the capacity of any row of this width (one row with every cell
    // missing, one with every cell present), so that preparing it again allocates nothing.
    void prepare_row(QueryRow& row) {
        std::vector<double> probe(cols_, std::numeric_limits<double>::quiet_NaN());
        row.prepare(*scan_, probe.data(), NO_POSITION);
        probe.assign(cols_, 0.0);
        row.prepare(*scan_, probe.data(), NO_POSITION);
    }

    // The reverse filter of the states, which sit at positions 0, 1, ...: open (nothing full).
    void open_reverse() {
        reverse_threshold_.assign(checked_count<std::uint64_t>(checked_mul(scan_->view().blocks, BLOCK_ROWS)), 0);
        std::fill_n(reverse_threshold_.begin(), states_.size(), std::numeric_limits<std::uint64_t>::max());
    }

    // Gives every selection its slots in the arena, once all states of a run are added.
    void bind_selections() {
        const std::size_t slots = checked_count<Entry>(checked_mul(cells_.size(), capacity_));
        if (arena_.size() < slots) {
            arena_.resize(slots);
        }
        for (std::size_t i = 0; i < cells_.size(); ++i) {
            cells_[i].top = TopK(arena_.data() + i * capacity_, static_cast<std::uint32_t>(limit_));
        }
    }

    // The row at panel position p of the panel being scanned.
    std::size_t row_at(std::size_t p) const noexcept { return identity_ ? p : positions_[p]; }

    // Measures states [s0, s1) against the panel being scanned (in the shared-pairs mode from their
    // own positions on), then, with `write`, has the policy write their cells. Returns false,
    // writing nothing, when keep_going stopped the scan.
    bool run_group(std::size_t s0, std::size_t s1, bool share_pairs, bool write = true) {
        steering_.group_started();
        group_size_ = 0;
        for (std::size_t s = s0; s < s1; ++s) {
            if (group_size_ == group_.size()) {
                group_.emplace_back();
            }
            GroupQuery& q = group_[group_size_];
            RowState& st = states_[s];
            st.slot = group_size_++;
            q.state = s;
            q.query.prepare(*scan_, p_.row_values(st.row), st.pos);
            steering_.arm(q.query.view);
            if (share_pairs) {
                q.query.view.first = st.pos;
                q.query.view.reverse_end = states_.size();
                q.query.view.reverse_threshold = reverse_threshold_.data();
            }
            refresh(s);
        }
        const std::size_t start = share_pairs ? states_[s0].pos / BLOCK_ROWS : 0;
        if constexpr (PerQuerySource<Source>) {
            source_.start_group(std::span<const GroupQuery>(group_.data(), group_size_));
        }
        const bool scanned = scan_group_while(
            *scan_, kernel_, std::span(group_.data(), group_size_), share_pairs, start, superblock_, scratch_,
            [&](const GroupQuery& q, std::size_t b0, std::size_t b1) { collect(q.state, b0, b1, share_pairs); },
            [&] { return keep_going(); }, source_);
        if (!scanned) {
            return false;
        }
        for (std::size_t s = s0; s < s1; ++s) {
            RowState& st = states_[s];
            st.slot = NO_POSITION;
            if (!write) {
                continue;
            }
            p_.fill(st, std::span(cells_.data() + cell_offsets_[s], cells_.data() + cell_offsets_[s + 1]));
        }
        steering_.group_done();
        return true;
    }

    // Handing candidates to the selections and the filters that follow from them
    // (knn/pass/group_offers.hpp).
    void collect(std::size_t state, std::size_t b0, std::size_t b1, bool with_reverse);
    void offer(std::size_t state, const Entry& e, std::size_t pos);
    void refresh(std::size_t state);

    Policy& p_;
    Kernel kernel_;
    PassTuning tuning_;
    std::size_t cols_;
    std::size_t capacity_ = 1;
    std::size_t limit_ = 1;

    const Panel* scan_ = nullptr;  // the panel the kernels read: one of the caller's, or own_panel_
    Panel own_panel_;
    std::vector<std::size_t> row_of_;         // own_panel_'s rows by position
    const std::size_t* positions_ = nullptr;  // the rows by position of scan_ unless identity_
    bool identity_ = true;                    // position p of scan_ holds row p
    std::size_t superblock_ = 1;
    BlockScratch scratch_;
    std::size_t scratch_blocks_ = 0;  // what scratch_ holds
    std::vector<std::uint64_t> reverse_threshold_;

    std::vector<RowState> states_;
    std::vector<CellSelection> cells_;
    std::vector<std::size_t> cell_offsets_{0};  // cells of state s: [cell_offsets_[s], cell_offsets_[s + 1])
    std::vector<Entry> arena_;
    std::vector<GroupQuery> group_;
    std::size_t group_size_ = 0;
    std::vector<Entry> order_;  // the full-ordering path
    QueryRow unbounded_row_;

    PruneSteering steering_{tuning_, cols_};
    Source source_{};
};

}  // namespace mirel::knn::detail

#include "knn/pass/group_offers.hpp"  // IWYU pragma: keep (the members declared above)
