// The index as a candidate source of the group scheduler (knn/pass/group_scan.hpp): the lists a
// query row probes (ProbeOrder), and the blocks of the index panel each row of a group measures
// (IvfSource). Internal to knn/index.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "knn/core/rank_key.hpp"
#include "knn/core/selection.hpp"
#include "knn/index/ivf_index.hpp"
#include "knn/kernels/dispatch.hpp"
#include "knn/panel/panel.hpp"
#include "knn/pass/group_scan.hpp"

namespace mirel::knn {

// The fitted rows in list order, or the centroids.
class IvfPanel : public detail::Panel {};

namespace detail {

// The nan_euclid kernel over an instruction set.
inline Kernel ivf_kernel(KernelKind kernel, std::size_t cols) { return kernel_for(kernel, Metric::nan_euclid, cols); }

// The lists by the distance of their centroid to a row: the key of the kernel's d2, ties by list
// number. bind() allocates; nearest() and order() then allocate nothing.
class ProbeOrder {
public:
    void bind(const Panel& centroids, std::size_t lists, KernelKind kernel, std::size_t cols) {
        centroids_ = &centroids;
        lists_ = lists;
        kernel_ = ivf_kernel(kernel, cols);
        scratch_.resize(centroids.view().blocks);
        order_.reserve(lists);
        // Capacity for any row of this width (one with every cell missing, one with none).
        std::vector<double> probe(cols, std::numeric_limits<double>::quiet_NaN());
        row_.prepare(centroids, probe.data(), NO_POSITION);
        probe.assign(cols, 0.0);
        row_.prepare(centroids, probe.data(), NO_POSITION);
    }

    // The nearest list (the lower list on a tie).
    std::uint32_t nearest(const double* row) noexcept {
        const double* d2 = measure(row);
        std::uint32_t best = 0;
        std::uint64_t best_key = UINT64_MAX;
        for (std::size_t l = 0; l < lists_; ++l) {
            const std::uint64_t key = distance_rank_key(d2[l]);
            if (key < best_key) {
                best_key = key;
                best = static_cast<std::uint32_t>(l);
            }
        }
        return best;
    }

    // The kernel's d2 of the row to every position of the panel (empty positions included).
    std::span<const double> distances(const double* row) noexcept {
        return {measure(row), centroids_->view().blocks * BLOCK_ROWS};
    }

    // Every list, the nearest `probe` first in order (entry j: key and list of the j-th).
    std::span<const Entry> order(const double* row, std::size_t probe) noexcept {
        const double* d2 = measure(row);
        order_.clear();
        for (std::size_t l = 0; l < lists_; ++l) {
            order_.push_back(Entry{distance_rank_key(d2[l]), l});
        }
        const auto cut = order_.begin() + static_cast<std::ptrdiff_t>(std::min(probe, lists_));
        std::partial_sort(order_.begin(), cut, order_.end(), EntryLess{});
        return order_;
    }

private:
    const double* measure(const double* row) noexcept {
        row_.prepare(*centroids_, row, NO_POSITION);  // allocates nothing: bind gave it capacity
        row_.view.threshold = UINT64_MAX;
        kernel_(centroids_->view(), row_.view, 0, centroids_->view().blocks, scratch_.dist(), scratch_.forward(),
                nullptr);
        return scratch_.dist();
    }

    const Panel* centroids_ = nullptr;
    std::size_t lists_ = 0;
    Kernel kernel_;
    QueryRow row_;
    BlockScratch scratch_;
    std::vector<Entry> order_;
};

// The nearest list of rows [0, rows) of `table` (`rows_of`: the table row of each, or null for
// row i itself), into out[0, rows), on up to `threads` workers of the pass driver's "split the
// rows" (the calling thread alone for little work). Each row's list depends on the row alone, so
// the result is the same for any thread count. Defined in ivf_build.cpp.
void nearest_lists(const Panel& centroids, std::size_t lists, KernelKind kernel, const TableView& table,
                   const std::size_t* rows_of, std::size_t rows, std::uint32_t* out, std::size_t threads);

// The blocks each row of a group measures: the blocks of its `probe` nearest lists (every block
// when the lists are all probed, or in full-scan mode). A group's step visits the union of its
// rows' blocks; each row measures only its own, so its candidates (and its donors) do not depend
// on the group it is in. bind() allocates; the rest allocates nothing.
class IvfSource {
public:
    void bind(const IvfIndex& index, std::size_t probe, std::size_t group_rows) {
        index_ = &index;
        probe_ = std::min(probe, index.lists());
        every_ = probe_ >= index.lists();
        order_.bind(index.centroid_panel(), index.lists(), index.kernel(), index.cols());
        const std::size_t slots = std::max<std::size_t>(1, group_rows);
        runs_.assign(checked_count<Run>(checked_mul(slots, std::max<std::size_t>(1, probe_))), Run{});
        count_.assign(slots, 0);
        union_.reserve(runs_.size());
        visit_.reserve(checked_add(runs_.size(), std::size_t{1}));
        all_ = Run{0, index.panel().view().blocks};
    }

    // Full-scan mode (the cells the probed lists cannot serve), or back to the probed lists.
    void scan_everything(bool on) noexcept { every_ = on || probe_ >= index_->lists(); }

    // Fitted rows measured so far (list rows, not empty positions).
    std::uint64_t measured() const noexcept { return measured_; }

    void start_group(std::span<const GroupQuery> group) noexcept {
        if (every_) {
            measured_ += static_cast<std::uint64_t>(group.size()) * index_->rows();
            return;
        }
        union_.clear();
        std::size_t lead = SIZE_MAX;  // the first block of the first row's nearest list
        for (std::size_t i = 0; i < group.size(); ++i) {
            Run* runs = runs_.data() + i * probe_;
            std::size_t n = 0;
            for (const Entry& e : order_.order(group[i].query.view.ref, probe_).first(probe_)) {
                const std::size_t l = e.idx;
                if (lead == SIZE_MAX) {
                    lead = index_->list_blocks()[l];
                }
                measured_ += index_->list_size(l);
                if (index_->list_blocks()[l] != index_->list_blocks()[l + 1]) {
                    runs[n++] = Run{index_->list_blocks()[l], index_->list_blocks()[l + 1]};
                }
            }
            count_[i] = merge(runs, n);
            union_.insert(union_.end(), runs, runs + count_[i]);
        }
        union_.resize(merge(union_.data(), union_.size()));
        lead_first(lead);
    }

    // The group's blocks in visit order (PerQuerySource).
    std::span<const BlockRun> group_runs() const noexcept {
        if (every_) {
            return {&all_, 1};
        }
        return visit_;
    }

    // The group's blocks (CandidateSource).
    std::size_t first(std::size_t b, std::size_t blocks) const noexcept {
        return every_ ? b : first_in({union_.data(), union_.size()}, b, blocks);
    }
    std::size_t run_end(std::size_t b, std::size_t blocks) const noexcept {
        return every_ ? blocks : run_end_in({union_.data(), union_.size()}, b, blocks);
    }
    // The blocks of the group's i-th row.
    std::size_t query_first(std::size_t i, std::size_t b, std::size_t blocks) const noexcept {
        return every_ ? b : first_in(runs_of(i), b, blocks);
    }
    std::size_t query_run_end(std::size_t i, std::size_t b, std::size_t blocks) const noexcept {
        return every_ ? blocks : run_end_in(runs_of(i), b, blocks);
    }

private:
    using Run = BlockRun;

    // visit_: the group's runs from block `lead` on, then wrapping around to the start. The rows
    // of a group share their nearest list (they are grouped by it), whose candidates then come
    // first.
    void lead_first(std::size_t lead) noexcept {
        visit_.clear();
        const auto at = std::find_if(union_.begin(), union_.end(), [&](const Run& r) { return r.end > lead; });
        const bool split = at != union_.end() && at->begin < lead;  // `lead` inside a run: its tail first
        if (split) {
            visit_.push_back(Run{lead, at->end});
        }
        visit_.insert(visit_.end(), split ? at + 1 : at, union_.end());
        visit_.insert(visit_.end(), union_.begin(), at);
        if (split) {
            visit_.push_back(Run{at->begin, lead});
        }
    }

    std::span<const Run> runs_of(std::size_t i) const noexcept { return {runs_.data() + i * probe_, count_[i]}; }

    // Sorts runs [0, n) and merges those that touch; returns how many are left.
    static std::size_t merge(Run* runs, std::size_t n) noexcept {
        std::sort(runs, runs + n, [](const Run& a, const Run& b) { return a.begin < b.begin; });
        std::size_t out = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (out != 0 && runs[i].begin <= runs[out - 1].end) {
                runs[out - 1].end = std::max(runs[out - 1].end, runs[i].end);
            } else {
                runs[out++] = runs[i];
            }
        }
        return out;
    }
    // The first block at or after b inside a run (`blocks` when none), and the end of its run.
    static const Run* run_after(std::span<const Run> runs, std::size_t b) noexcept {
        return std::upper_bound(runs.data(), runs.data() + runs.size(), b,
                                [](std::size_t x, const Run& r) { return x < r.end; });
    }
    static std::size_t first_in(std::span<const Run> runs, std::size_t b, std::size_t blocks) noexcept {
        const Run* r = run_after(runs, b);
        return r == runs.data() + runs.size() ? blocks : std::max(b, r->begin);
    }
    static std::size_t run_end_in(std::span<const Run> runs, std::size_t b, std::size_t blocks) noexcept {
        const Run* r = run_after(runs, b);
        return r == runs.data() + runs.size() ? blocks : r->end;
    }

    const IvfIndex* index_ = nullptr;
    std::size_t probe_ = 0;
    bool every_ = true;
    ProbeOrder order_;
    std::vector<Run> runs_;  // group slot i: runs_[i * probe_ ..], count_[i] of them
    std::vector<std::size_t> count_;
    std::vector<Run> union_;  // in block order
    std::vector<Run> visit_;  // in visit order
    Run all_;
    std::uint64_t measured_ = 0;
};

static_assert(PerQuerySource<IvfSource>);

}  // namespace detail
}  // namespace mirel::knn
