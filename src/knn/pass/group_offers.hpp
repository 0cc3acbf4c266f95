// The group scheduler's hand-over of candidates (knn/pass/group_pass.hpp): what passed the
// kernels' filters is offered to the selections of the rows it may enter, and a selection that
// changed tightens its row's filters. Included by group_pass.hpp, after the class.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "knn/pass/group_pass.hpp"

namespace mirel::knn::detail {

// Offers the candidates of blocks [b0, b1) that passed the kernel's filters: forward ones
// to the state's own selections, reverse ones (the state's row as a candidate) to the
// states at those positions (state p sits at position p).
template <class Policy, CandidateSource Source>
inline void GroupPass<Policy, Source>::collect(std::size_t state, std::size_t b0, std::size_t b1, bool with_reverse) {
    const std::size_t n = (b1 - b0) * BLOCK_BYTES;
    const double* dist = scratch_.dist();
    const std::size_t self_row = states_[state].row;
    const std::size_t self_pos = states_[state].pos;
    for (std::size_t i = 0; i < n; i += 8) {
        const std::size_t chunk = std::min<std::size_t>(8, n - i);
        std::uint64_t forward = 0;
        std::uint64_t reverse = 0;
        std::memcpy(&forward, scratch_.forward() + i, chunk);
        if (with_reverse) {
            std::memcpy(&reverse, scratch_.reverse() + i, chunk);
            // The states that get a reverse offer are scattered over memory: ask for them
            // at once so that the misses overlap.
            for (std::uint64_t bits = reverse; bits != 0; bits &= bits - 1) {
                const std::size_t p = b0 * BLOCK_ROWS + i * 8 + static_cast<std::size_t>(__builtin_ctzll(bits));
                const std::size_t first = cell_offsets_[p];
                __builtin_prefetch(&states_[p]);
                __builtin_prefetch(&cells_[first]);
                __builtin_prefetch(&arena_[first * capacity_]);
            }
        }
        for (std::uint64_t bits = forward | reverse; bits != 0; bits &= bits - 1) {
            const std::size_t bit = static_cast<std::size_t>(__builtin_ctzll(bits));
            const std::size_t p = b0 * BLOCK_ROWS + i * 8 + bit;
            const std::size_t row = row_at(p);
            std::uint64_t key = 0;
            if (!p_.candidate_key(self_row, row, dist[i * 8 + bit], key)) {
                continue;  // no distance
            }
            if ((forward >> bit) & 1u) {
                offer(state, Entry{key, row}, p);
            }
            if ((reverse >> bit) & 1u) {
                offer(p, Entry{key, self_row}, self_pos);
            }
        }
    }
}

// Offers candidate e (at panel position pos) to every selection of state s whose column it
// holds.
template <class Policy, CandidateSource Source>
inline void GroupPass<Policy, Source>::offer(std::size_t state, const Entry& e, std::size_t pos) {
    bool changed = false;
    for (std::size_t i = cell_offsets_[state]; i < cell_offsets_[state + 1]; ++i) {
        CellSelection& s = cells_[i];
        if (!s.top.admits(e) || !scan_->holds(pos, s.col)) {
            continue;
        }
        changed |= s.top.take(e);  // the filters change only when a selection is full
    }
    if (changed) {
        refresh(state);
    }
}

// Recomputes the filters that depend on st's selections: the largest bound of its full
// selections and the columns of the others (any candidate holding a value there passes).
template <class Policy, CandidateSource Source>
inline void GroupPass<Policy, Source>::refresh(std::size_t state) {
    const RowState& st = states_[state];
    std::uint64_t threshold = 0;
    bool open = false;
    GroupQuery* q = st.slot == NO_POSITION ? nullptr : &group_[st.slot];
    if (q != nullptr) {
        q->open.clear();
    }
    for (std::size_t i = cell_offsets_[state]; i < cell_offsets_[state + 1]; ++i) {
        const CellSelection& s = cells_[i];
        if (s.top.full()) {
            threshold = std::max(threshold, p_.bound(s.top.threshold()));
        } else {
            open = true;
            if (q != nullptr) {
                q->open.push_back(static_cast<std::uint32_t>(s.col));
            }
        }
    }
    if (q != nullptr) {
        q->query.view.threshold = threshold;
        q->query.view.open = q->open.data();
        q->query.view.n_open = q->open.size();
    }
    if (!reverse_threshold_.empty() && st.pos != NO_POSITION) {
        reverse_threshold_[st.pos] = open ? std::numeric_limits<std::uint64_t>::max() : threshold;
    }
}

}  // namespace mirel::knn::detail
