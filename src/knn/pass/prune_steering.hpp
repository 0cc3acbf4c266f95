// Whether the next group of query rows lets the kernels prune (kernels/block_driver.hpp,
// prune_limits). Pruning costs its checks and the columns measured one group of lanes at a
// time; on tables whose rows have no near neighbours it skips too little to pay for that. So
// after a group that pruned, pruning goes on only if that group skipped at least
// PassTuning::prune_min_skipped of its work; otherwise it pauses for prune_probe_every groups
// and is tried again (thresholds tighten as a pass goes on). Rows narrower than
// prune_min_columns never prune. Whether a group prunes never changes a result.
//
// One per pass (and per thread): the row pass and the query pass both steer with it. A pass
// over part of the rows may go on from where an earlier pass left the steering
// (PassTuning::prune_state): without that, every chunk of a parallel pass would prune its
// first group whatever the earlier chunks had found.
#pragma once

#include <cstddef>
#include <cstdint>

#include "knn/kernels/kernel.hpp"
#include "knn/pass/pass_tuning.hpp"

namespace mirel::knn::detail {

// Whether the next group prunes, and for how many groups pruning has paused.
struct PruneState {
    bool on = true;
    std::size_t paused = 0;
};

class PruneSteering {
public:
    PruneSteering(const PassTuning& tuning, std::size_t cols) noexcept
        : tuning_(tuning),
          allowed_(tuning.prune && cols >= tuning.prune_min_columns),
          state_(tuning.prune_state != nullptr ? *tuning.prune_state : own_) {}
    PruneSteering(const PruneSteering&) = delete;
    PruneSteering& operator=(const PruneSteering&) = delete;

    // Sets up a query of the group that starts now: whether it prunes, and where its kernel
    // counts the lane-columns it was asked for and skipped.
    void arm(QueryView& view) noexcept {
        view.prune = allowed_ && state_.on;
        view.counts = &counts_;
    }

    // Marks the start of a group (call before the group's kernels run).
    void group_started() noexcept {
        asked_ = counts_.asked;
        skipped_ = counts_.skipped;
    }

    // Decides for the next group from what this one skipped.
    void group_done() noexcept {
        const std::uint64_t asked = counts_.asked - asked_;
        const std::uint64_t skipped = counts_.skipped - skipped_;
        if (state_.on) {
            if (asked != 0 && static_cast<double>(skipped) < tuning_.prune_min_skipped * static_cast<double>(asked)) {
                state_.on = false;
                state_.paused = 0;
            }
        } else if (++state_.paused >= tuning_.prune_probe_every) {
            state_.on = true;
        }
    }

    // Adds this pass's totals to the caller's counters, when it asked for them.
    void report() const noexcept {
        if (tuning_.prune_counts != nullptr) {
            tuning_.prune_counts->asked += counts_.asked;
            tuning_.prune_counts->skipped += counts_.skipped;
        }
    }

private:
    const PassTuning& tuning_;
    bool allowed_;
    PruneState own_;     // the state of a pass that keeps its own
    PruneState& state_;  // own_ or PassTuning::prune_state
    PruneCounts counts_;
    std::uint64_t asked_ = 0;
    std::uint64_t skipped_ = 0;
};

}  // namespace mirel::knn::detail
