// The search of the index on the one pass driver: the query rows, grouped by their nearest list,
// run through the group scheduler with the index as its candidate source (knn/index/ivf_source.hpp)
// and the query pass's rule for candidates, on the threads of drive_pass ("split the rows").
//
// A worker takes a chunk of the grouped rows at a time, in two steps:
//   1. each row measures the rows of its probed lists; a cell whose selection holds
//      min(k, donors of its column) donors is served from it, the others are marked short;
//   2. the rows with a short cell measure every fitted row again, for their short cells only.
// The rows are measured from a copy of their cells taken before the search, so a row's written
// cells never change what it measures.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "knn/index/ivf_index.hpp"
#include "knn/index/ivf_source.hpp"
#include "knn/pass/group_pass.hpp"
#include "knn/query/query_detail.hpp"
#include "knn/query/query_pass.hpp"

namespace mirel::knn {
namespace {

void check_range(const IvfIndex& index, std::size_t query_rows, std::size_t first, std::size_t last, std::size_t k) {
    detail::check_pass_arguments({nullptr, index.rows(), index.cols()}, index.columns(), query_rows, first, last, k);
}

// What the search hands out: the imputed cells, or (ivf_select) the donors of each cell.
struct SelectOut {
    std::int64_t* out = nullptr;  // null: impute
    std::size_t slots = 0;
};

// The rows of one search, built on the calling thread: the query rows [first, last) that impute
// a cell, ordered by (nearest list, row); a copy of their cells in that order (what the search
// measures); per cell, whether the probed lists left it short.
struct SearchRows {
    std::vector<std::size_t> row;         // query row of each grouped row
    std::vector<double> values;           // their cells, row.size() x cols
    std::vector<std::uint8_t> short_;     // marks, row.size() x cols (partial probes only)
    std::vector<std::size_t> first_cell;  // ivf_select: the output cell of each one's first cell
    std::size_t max_cells = 0;            // the most cells one row imputes
};

SearchRows search_rows(const IvfJob& job, bool partial, bool select, std::size_t threads) {
    const IvfIndex& index = job.index;
    const std::size_t cols = index.cols();
    SearchRows rows;
    std::vector<std::size_t> cells_before;  // output cells of the rows before each row
    std::size_t cells = 0;
    for (std::size_t r = job.first; r < job.last; ++r) {
        std::size_t n = 0;
        for (std::size_t c = 0; c < cols; ++c) {
            n += imputes_cell(index.columns(), job.query[r * cols + c], c) ? 1 : 0;
        }
        if (n != 0) {
            rows.row.push_back(r);
            cells_before.push_back(cells);
            rows.max_cells = std::max(rows.max_cells, n);
            cells += n;
        }
    }
    // Grouped by their nearest list: rows probing the same lists then share them in the cache.
    std::vector<std::uint32_t> nearest(rows.row.size(), 0);
    if (partial) {
        detail::nearest_lists(index.centroid_panel(), index.lists(), index.kernel(),
                              TableView{job.query, job.query_rows, cols}, rows.row.data(), rows.row.size(),
                              nearest.data(), threads);
    }
    std::vector<std::size_t> by(rows.row.size());
    std::iota(by.begin(), by.end(), std::size_t{0});
    std::stable_sort(by.begin(), by.end(), [&](std::size_t a, std::size_t b) { return nearest[a] < nearest[b]; });
    std::vector<std::size_t> sorted(by.size());
    rows.values.resize(checked_count<double>(checked_mul(by.size(), cols)));
    if (select) {
        rows.first_cell.resize(by.size());
    }
    for (std::size_t i = 0; i < by.size(); ++i) {
        sorted[i] = rows.row[by[i]];
        std::copy_n(job.query + sorted[i] * cols, cols, rows.values.data() + i * cols);
        if (select) {
            rows.first_cell[i] = cells_before[by[i]];
        }
    }
    rows.row = std::move(sorted);
    if (partial) {
        rows.short_.assign(rows.values.size(), 0);
    }
    return rows;
}

// Grouped rows [first, last) that impute a cell: every such cell (step 1), or the short ones
// (step 2).
class SearchCursor {
public:
    SearchCursor(const SearchRows& rows, const DonorColumns& columns, std::size_t cols, std::size_t first,
                 std::size_t last, bool short_only, std::vector<std::size_t>& missing) noexcept
        : rows_(rows),
          columns_(columns),
          cols_(cols),
          i_(first),
          last_(last),
          short_only_(short_only),
          missing_(missing) {}

    bool next() {
        i_ += started_ ? 1 : 0;
        started_ = true;
        for (; i_ < last_; ++i_) {
            if (short_only_) {
                missing_.clear();
                for (std::size_t c = 0; c < cols_; ++c) {
                    if (rows_.short_[i_ * cols_ + c] != 0) {
                        missing_.push_back(c);
                    }
                }
            } else {
                detail::missing_columns(columns_, rows_.values.data() + i_ * cols_, cols_, missing_);
            }
            if (!missing_.empty()) {
                return true;
            }
        }
        return false;
    }
    std::size_t row() const noexcept { return i_; }
    static std::size_t pos() noexcept { return detail::NO_POSITION; }
    std::span<const std::size_t> columns() const noexcept { return missing_; }
    std::size_t upto() const noexcept { return i_; }

private:
    const SearchRows& rows_;
    const DonorColumns& columns_;
    std::size_t cols_;
    std::size_t i_;
    std::size_t last_;
    bool short_only_;
    std::vector<std::size_t>& missing_;
    bool started_ = false;
};

// The group scheduler's policy for the index: the query pass's candidate rule and bound over the
// index panel (positions in list order), the short-cell rule, and the cells written into the
// query (or the donors into a SelectOut). A row of the scheduler is a grouped row.
class SearchPolicy {
public:
    SearchPolicy(const IvfJob& job, SearchRows& rows, SelectOut select, const PassTuning& tuning)
        : index_(job.index),
          job_(job),
          rows_(rows),
          select_(select),
          cols_(job.index.cols()),
          capacity_(std::min(job.k, job.index.rows())),
          pass_(*this, detail::ivf_kernel(job.index.kernel(), job.index.cols()), tuning, job.index.cols()) {
        // Everything a run needs, allocated here, on the calling thread.
        if (capacity_ > UINT32_MAX) {
            throw Panic("too many neighbours for the index");
        }
        missing_.reserve(cols_);
        values_.reserve(capacity_);
        distances_.reserve(capacity_);
        pass_.set_capacity(capacity_, capacity_);
        pass_.scan_panel(index_.panel(), index_.rows_by_position());
        pass_.prepare_groups(std::max(tuning.group_selections, rows.max_cells));
        pass_.source().bind(index_, job.probe, tuning.group_rows);
    }
    SearchPolicy(const SearchPolicy&) = delete;
    SearchPolicy& operator=(const SearchPolicy&) = delete;

    // Grouped rows [first, last); false when the control stopped the search.
    bool run(std::size_t first, std::size_t last, const PassControl& control) {
        control_ = &control;
        published_ = first;
        // 1. Every row's probed lists.
        full_scan_ = false;
        any_short_ = false;
        pass_.source().scan_everything(false);
        SearchCursor probed(rows_, index_.columns(), cols_, first, last, false, missing_);
        if (!pass_.run_in_groups(probed)) {
            return false;
        }
        // 2. Every fitted row, for the cells the probed lists left short.
        if (any_short_) {
            full_scan_ = true;
            pass_.source().scan_everything(true);
            SearchCursor everything(rows_, index_.columns(), cols_, first, last, true, missing_);
            if (!pass_.run_in_groups(everything)) {
                return false;
            }
            full_scan_ = false;
        }
        publish(last);
        return true;
    }

    void add_to(IvfStats& stats) const noexcept {
        stats.cells += cells_;
        stats.fallback_cells += fallback_cells_;
        stats.measured += pass_.source().measured();
        pass_.report();
    }

    // The scheduler's policy (knn/pass/group_state.hpp).
    bool candidate_key(std::size_t i, std::size_t row, double d2, std::uint64_t& key) const noexcept {
        return detail::query_candidate_key(
            d2,
            [&] {
                // An empty position is no candidate.
                return row != detail::NO_POSITION && shares_coordinate(row_values(i), index_.position_of(row));
            },
            key);
    }
    static std::uint64_t bound(std::uint64_t threshold) noexcept { return QueryPass::bound(threshold); }
    const double* row_values(std::size_t i) const noexcept { return rows_.values.data() + i * cols_; }
    bool keep_going() const noexcept {
        return control_ == nullptr || control_->keep_going == nullptr || control_->keep_going(control_->context);
    }
    // Progress moves in step 1; a chunk's rows are all done at its end.
    void publish(std::size_t upto) noexcept {
        if (!full_scan_ && control_ != nullptr && control_->done != nullptr && upto > published_) {
            control_->done->fetch_add(upto - published_);
            published_ = upto;
        }
    }

    void fill(const detail::RowState& st, std::span<detail::CellSelection> cells) {
        const std::size_t i = st.row;
        for (detail::CellSelection& s : cells) {
            if (!full_scan_ && !rows_.short_.empty() &&
                s.top.size() < std::min(job_.k, index_.columns().count[s.col])) {
                rows_.short_[i * cols_ + s.col] = 1;
                any_short_ = true;
                ++fallback_cells_;
                continue;
            }
            ++cells_;
            if (select_.out != nullptr) {
                write_donors(i, s);
                continue;
            }
            values_.clear();
            distances_.clear();
            for (const detail::Entry& e : s.top.sorted()) {
                values_.push_back(index_.panel().value(index_.position_of(e.idx), s.col));
                distances_.push_back(rank_key_distance(e.key));
            }
            job_.query[rows_.row[i] * cols_ + s.col] =
                values_.empty() ? index_.columns().mean[s.col] : weighted_mean(values_, distances_, job_.weights);
        }
    }

private:
    bool shares_coordinate(const double* q, std::size_t p) const noexcept {
        for (std::size_t c = 0; c < cols_; ++c) {
            if (!std::isnan(q[c]) && index_.panel().holds(p, c)) {
                return true;
            }
        }
        return false;
    }

    // The cell's donors, fitted rows in rank order then -1, at its place in row-major cell order.
    void write_donors(std::size_t i, detail::CellSelection& s) noexcept {
        std::size_t cell = rows_.first_cell[i];
        const double* q = row_values(i);
        for (std::size_t c = 0; c < s.col; ++c) {
            cell += imputes_cell(index_.columns(), q[c], c) ? 1 : 0;
        }
        std::int64_t* o = select_.out + cell * select_.slots;
        std::fill(o, o + select_.slots, std::int64_t{-1});
        for (const detail::Entry& e : s.top.sorted()) {
            *o++ = static_cast<std::int64_t>(e.idx);
        }
    }

    const IvfIndex& index_;
    const IvfJob& job_;
    SearchRows& rows_;
    SelectOut select_;
    std::size_t cols_;
    std::size_t capacity_;
    const PassControl* control_ = nullptr;
    std::size_t published_ = 0;
    bool full_scan_ = false;
    bool any_short_ = false;
    std::uint64_t cells_ = 0;
    std::uint64_t fallback_cells_ = 0;
    std::vector<std::size_t> missing_;
    std::vector<double> values_;
    std::vector<double> distances_;
    detail::GroupPass<SearchPolicy, detail::IvfSource> pass_;
};

// One worker of "split the rows" (or the calling thread's run): its policy, allocated on the
// calling thread, and where its counts go after the join.
class SearchWorker {
public:
    SearchWorker(const IvfJob& job, SearchRows& rows, SelectOut select, const PassTuning& tuning, IvfStats& stats)
        : policy_(std::make_unique<SearchPolicy>(job, rows, select, tuning)), stats_(&stats) {}

    // Everything was allocated by the policy's constructor: nothing here allocates or throws.
    // NOLINTNEXTLINE(bugprone-exception-escape)
    bool run(std::size_t first, std::size_t last, const PassControl& control) noexcept {
        return policy_->run(first, last, control);
    }
    void report() const noexcept { policy_->add_to(*stats_); }

private:
    std::unique_ptr<SearchPolicy> policy_;
    IvfStats* stats_;
};

// The index shares no pairs (its queries are not its candidates' selections).
struct NoSharedPairs {
    static std::size_t workers() noexcept { return 0; }
    static bool run(std::size_t, const PassControl&) noexcept { return false; }
    void finish() {}
    void report() const noexcept {}
};

// The search as the driver runs it.
class DrivenSearch {
public:
    DrivenSearch(const IvfJob& job, SearchRows& rows, SelectOut select, const PassTuning& tuning, IvfStats& stats)
        : job_(job), rows_(rows), select_(select), tuning_(tuning), stats_(stats) {}

    bool run_serially(std::size_t chunk, bool /*share_pairs*/, const PassControl& control) {
        SearchWorker worker(job_, rows_, select_, tuning_, stats_);
        const std::size_t total = rows_.row.size();
        bool completed = true;
        for (std::size_t a = 0; a < total && completed; a += chunk) {
            completed = worker.run(a, std::min(total, a + chunk), control);
        }
        worker.report();
        return completed;
    }
    std::vector<SearchWorker> range_workers(std::size_t workers) const {
        std::vector<SearchWorker> out;
        out.reserve(workers);
        for (std::size_t w = 0; w < workers; ++w) {
            out.emplace_back(job_, rows_, select_, tuning_, stats_);
        }
        return out;
    }
    static NoSharedPairs pair_workers(std::size_t /*workers*/) noexcept { return {}; }

private:
    const IvfJob& job_;
    SearchRows& rows_;
    SelectOut select_;
    const PassTuning& tuning_;
    IvfStats& stats_;
};

static_assert(DrivenPass<DrivenSearch>);

bool run_search(const IvfJob& job, const PassOptions& options, SelectOut select, IvfStats* stats) {
    if (options.threads == 0) {
        throw std::invalid_argument("a search of the index needs at least one thread");
    }
    check_range(job.index, job.query_rows, job.first, job.last, job.k);
    detail::ivf_kernel(job.index.kernel(), job.index.cols());
    const std::size_t total = job.last - job.first;
    IvfStats counts;
    bool completed = true;
    if (job.index.rows() != 0 && job.index.cols() != 0 && total != 0) {
        const bool partial = job.probe < job.index.lists();
        SearchRows rows = search_rows(job, partial, select.out != nullptr, options.threads);
        PassOptions own = options;
        // A large k keeps big selections: a group then holds fewer cells (at least one row).
        const std::size_t capacity = std::min(job.k, job.index.rows());
        const std::size_t per_cell = checked_mul(std::max<std::size_t>(1, capacity), sizeof(detail::Entry));
        own.tuning.group_selections =
            std::clamp<std::size_t>((std::size_t{16} << 20) / per_cell, 1, own.tuning.group_selections);
        // The poll sees the job's rows: those without a cell to impute are done from the start.
        const std::size_t skipped = total - rows.row.size();
        if (options.poll) {
            own.poll = [&](std::size_t done, std::size_t) { return options.poll(skipped + done, total); };
        }
        PassFacts facts;
        facts.first = 0;
        facts.rows = rows.row.size();
        const std::size_t probed = partial ? std::max<std::size_t>(1, job.index.rows() / job.index.lists()) *
                                                 std::max<std::size_t>(1, job.probe)
                                           : job.index.rows();
        facts.work = try_product({facts.rows, probed, job.index.cols()}).value_or(SIZE_MAX);
        DrivenSearch search(job, rows, select, own.tuning, counts);
        completed = facts.rows == 0 || drive_pass(search, facts, own);
        if (facts.rows == 0 && options.poll) {
            options.poll(total, total);
        }
    } else if (options.poll) {
        options.poll(total, total);
    }
    if (stats != nullptr) {
        stats->cells += counts.cells;
        stats->fallback_cells += counts.fallback_cells;
        stats->measured += counts.measured;
    }
    return completed;
}

}  // namespace

bool ivf_pass(const IvfJob& job, const PassOptions& options, IvfStats* stats) {
    return run_search(job, options, SelectOut{}, stats);
}

IvfStats ivf_impute(const IvfIndex& index, double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                    std::size_t k, Weights weights, std::size_t probe) {
    IvfStats stats;
    ivf_pass({index, query, query_rows, first, last, k, weights, probe}, PassOptions{}, &stats);
    return stats;
}

std::vector<std::uint32_t> ivf_nearest_lists(const IvfIndex& index, const double* query, std::size_t query_rows) {
    std::vector<std::uint32_t> out(checked_count<std::uint32_t>(query_rows), 0);
    detail::nearest_lists(index.centroid_panel(), index.lists(), index.kernel(),
                          TableView{query, query_rows, index.cols()}, nullptr, query_rows, out.data(), 1);
    return out;
}

void ivf_select(const IvfIndex& index, const double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                std::size_t k, std::size_t probe, std::int64_t* out, std::size_t slots, std::size_t threads) {
    check_range(index, query_rows, first, last, k);
    if (slots < std::min(k, index.rows())) {
        throw Panic("the selection has fewer slots than neighbours");
    }
    // The search writes no query cell in this mode.
    PassOptions options;
    options.threads = threads;
    options.min_thread_work = std::size_t{1} << 20;
    run_search({index, const_cast<double*>(query), query_rows, first, last, k, Weights::uniform, probe}, options,
               SelectOut{out, slots}, nullptr);
}

}  // namespace mirel::knn
