// The fast Gower pass, a policy of the pass driver (knn/pass/pass_driver.hpp): groups of query
// rows walk the fitted rows block by block (a block's columns are read from cache by every row
// of the group), each row measuring the block with the per-target loops and offering the block's
// rows to one bounded selection per missing cell. A selection keeps the first k by (distance
// key, row index) whatever order it is offered them, so every kernel, group size, chunking and
// thread count gives the reference's cells. The driver owns the threads, the stop and the
// progress; this file supplies a worker's run over a range of rows and builds the workers.
#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/core/selection.hpp"
#include "knn/gower/gower.hpp"
#include "knn/gower/gower_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace mirel::knn {

namespace {

using detail::Entry;
using detail::TopK;
using gower_detail::GowerLoops;
using gower_detail::TermKind;

constexpr std::size_t BLOCK_ROWS = 256;
constexpr std::size_t MAX_GROUP_ROWS = 128;
// The selections of a group stay within this many bytes (one row at least).
constexpr std::size_t GROUP_SELECTION_BYTES = std::size_t{8} << 20;

std::vector<GowerLoops> available_loops() {
    std::vector<GowerLoops> loops{gower_detail::portable_loops()};
#if MIREL_X86_KERNELS
    if (__builtin_cpu_supports("avx2")) {
        loops.push_back(gower_detail::avx2_loops());
    }
    if (__builtin_cpu_supports("avx512f")) {
        loops.push_back(gower_detail::avx512_loops());
    }
#endif
    return loops;
}

GowerLoops loops_named(const std::string& name) {
    const std::vector<GowerLoops> loops = available_loops();
    if (name.empty()) {
        return loops.back();
    }
    for (const GowerLoops& l : loops) {
        if (name == l.name) {
            return l;
        }
    }
    throw Panic("unknown or unavailable kernel: " + name);
}

using gower_detail::Term;

// One worker: the buffers of a group, all allocated before any thread starts, and its run over
// a range of rows, group by group.
class GowerWorker {
public:
    GowerWorker(const GowerDonors& donors, double* query, GowerLoops loops, std::size_t group_rows)
        : donors_(donors),
          query_(query),
          loops_(loops),
          group_rows_(group_rows),
          k_(std::min(donors.config().k, donors.rows())) {
        const std::size_t cols = donors.cols();
        dist_.resize(BLOCK_ROWS);
        candidate_.resize(BLOCK_ROWS);
        slots_.resize(checked_product({group_rows, cols, std::max<std::size_t>(k_, 1)}));
        selections_.resize(checked_mul(group_rows, cols));
        cells_.resize(checked_mul(group_rows, cols));
        cell_count_.resize(group_rows);
        terms_.resize(checked_mul(group_rows, cols));
        block_terms_.resize(cols);
        term_count_.resize(group_rows);
        values_.reserve(k_);
        distances_.reserve(k_);
        filled_.reserve(cols);
        scratch_.reserve(k_);
    }

    // Imputes rows [first, last) of the query, a group at a time, adding each group's rows to
    // control.done once they are written. False when the control stopped the pass: the rows of
    // the group being measured are then left as they were.
    bool run(std::size_t first, std::size_t last, const PassControl& control) noexcept {
        for (std::size_t a = first; a < last;) {
            const std::size_t b = a + std::min(group_rows_, last - a);
            if (!run_group(a, b, control)) {
                return false;
            }
            if (control.done != nullptr) {
                control.done->fetch_add(b - a);
            }
            a = b;
        }
        return true;
    }
    void report() const noexcept {}  // no counters

private:
    static bool keep_going(const PassControl& control) noexcept {
        return control.keep_going == nullptr || control.keep_going(control.context);
    }

    // Imputes rows [first, last) of the query (at most the group size); false, writing nothing,
    // when the control stopped it (asked before each block of fitted rows).
    bool run_group(std::size_t first, std::size_t last, const PassControl& control) noexcept {
        double* query = query_;
        const std::size_t cols = donors_.cols();
        const std::size_t n = donors_.rows();
        const std::size_t rows = last - first;
        // 1. Each row's missing cells (columns with a fitted value) and distance terms.
        bool any = false;
        for (std::size_t g = 0; g < rows; ++g) {
            const double* row = query + (first + g) * cols;
            std::size_t cells = 0;
            std::size_t terms = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const GowerColumn& col = donors_.config().columns[c];
                if (std::isnan(row[c])) {
                    if (donors_.count(c) != 0) {
                        cells_[g * cols + cells] = c;
                        selections_[g * cols + cells] =
                            TopK(slots_.data() + (g * cols + cells) * k_, static_cast<std::uint32_t>(k_));
                        ++cells;
                    }
                } else if (col.in_distance) {
                    const double scale = donors_.scale(c);
                    const double factor = donors_.factor(c);
                    TermKind kind = TermKind::scaled;
                    if (col.kind == GowerKind::nominal) {
                        kind = TermKind::mismatch;
                    } else if (scale == 0.0) {
                        kind = TermKind::weight_only;
                    } else if (!std::isfinite(factor)) {
                        kind = TermKind::divided;
                    }
                    terms_[g * cols + terms++] = Term{donors_.column(c), row[c], col.weight, scale, factor, kind};
                }
            }
            cell_count_[g] = cells;
            term_count_[g] = terms;
            any = any || cells != 0;
        }
        if (!any) {
            return true;
        }
        // 2. Block by block, every row of the group.
        for (std::size_t b0 = 0; b0 < n; b0 += BLOCK_ROWS) {
            if (!keep_going(control)) {
                return false;
            }
            const std::size_t bn = std::min(BLOCK_ROWS, n - b0);
            for (std::size_t g = 0; g < rows; ++g) {
                if (cell_count_[g] == 0) {
                    continue;
                }
                for (std::size_t t = 0; t < term_count_[g]; ++t) {
                    block_terms_[t] = terms_[g * cols + t];
                    block_terms_[t].column += b0;
                }
                // The rows any of the row's selections may still admit (NaN, no distance, never).
                double row_limit = -INFINITY;
                for (std::size_t s = 0; s < cell_count_[g]; ++s) {
                    const TopK& sel = selections_[g * cols + s];
                    row_limit = std::max(row_limit, sel.full() ? rank_key_distance(sel.threshold()) : INFINITY);
                }
                const std::size_t candidates = loops_.distances(block_terms_.data(), term_count_[g], bn, dist_.data(),
                                                                row_limit, candidate_.data());
                for (std::size_t s = 0; s < cell_count_[g]; ++s) {
                    TopK& sel = selections_[g * cols + s];
                    const double* column = donors_.column(cells_[g * cols + s]) + b0;
                    // A full selection admits no distance above its largest (later rows have
                    // higher indices, so an equal one is refused too, by admits).
                    double limit = sel.full() ? rank_key_distance(sel.threshold()) : INFINITY;
                    for (std::size_t ci = 0; ci < candidates; ++ci) {
                        const std::size_t i = candidate_[ci];
                        const double d = dist_[i];
                        if (!(d <= limit) || std::isnan(column[i])) {
                            continue;
                        }
                        const Entry e{distance_rank_key(d), b0 + i};
                        if (sel.admits(e)) {
                            sel.take(e);
                            if (sel.full()) {
                                limit = rank_key_distance(sel.threshold());
                            }
                        }
                    }
                }
            }
        }
        // 3. The cells, written after the row's selections are complete.
        for (std::size_t g = 0; g < rows; ++g) {
            double* row = query + (first + g) * cols;
            filled_.clear();
            for (std::size_t s = 0; s < cell_count_[g]; ++s) {
                const std::size_t c = cells_[g * cols + s];
                values_.clear();
                distances_.clear();
                for (const Entry& e : selections_[g * cols + s].sorted()) {
                    values_.push_back(donors_.column(c)[e.idx]);
                    distances_.push_back(rank_key_distance(e.key));
                }
                filled_.emplace_back(c, values_.empty() ? donors_.summary(c)
                                                        : gower_cell_value(donors_, c, values_, distances_, scratch_));
            }
            for (const auto& [c, v] : filled_) {
                row[c] = v;
            }
        }
        return true;
    }

    const GowerDonors& donors_;
    double* query_;
    GowerLoops loops_;
    std::size_t group_rows_;
    std::size_t k_;
    std::vector<double> dist_;
    std::vector<std::uint32_t> candidate_;
    std::vector<Entry> slots_;
    std::vector<TopK> selections_;
    std::vector<std::size_t> cells_;
    std::vector<std::size_t> cell_count_;
    std::vector<Term> terms_;
    std::vector<Term> block_terms_;
    std::vector<std::size_t> term_count_;
    std::vector<double> values_, distances_;
    std::vector<std::pair<std::size_t, double>> filled_;
    GowerScratch scratch_;
};

// The pass as the driver runs it: rows [first, last) of the query in groups of group_rows.
// The query rows are never the candidates, so no pairs are shared.
class DrivenGowerPass {
public:
    DrivenGowerPass(const GowerDonors& donors, double* query, std::size_t first, std::size_t last, GowerLoops loops,
                    std::size_t group_rows) noexcept
        : donors_(donors), query_(query), first_(first), last_(last), loops_(loops), group_rows_(group_rows) {}

    // On the calling thread, `chunk` rows at a time (a group never spans two chunks).
    bool run_serially(std::size_t chunk, bool /*share_pairs*/, const PassControl& control) {
        GowerWorker worker(donors_, query_, loops_, group_rows_);
        for (std::size_t a = first_; a < last_;) {
            const std::size_t b = a + std::min(chunk, last_ - a);
            if (!worker.run(a, b, control)) {
                return false;
            }
            a = b;
        }
        return true;
    }

    // Every worker and its buffers, built here before any thread starts.
    std::vector<GowerWorker> range_workers(std::size_t workers) const {
        std::vector<GowerWorker> pool;
        pool.reserve(workers);
        for (std::size_t w = 0; w < workers; ++w) {
            pool.emplace_back(donors_, query_, loops_, group_rows_);
        }
        return pool;
    }

    struct NoSharedPairs {
        static std::size_t workers() noexcept { return 0; }
        static bool run(std::size_t /*worker*/, const PassControl& /*control*/) noexcept { return true; }
        static void finish() noexcept {}
        static void report() noexcept {}
    };
    static NoSharedPairs pair_workers(std::size_t /*workers*/) noexcept { return {}; }

private:
    const GowerDonors& donors_;
    double* query_;
    std::size_t first_;
    std::size_t last_;
    GowerLoops loops_;
    std::size_t group_rows_;
};

static_assert(DrivenPass<DrivenGowerPass>);

}  // namespace

std::vector<std::string> gower_kernels() {
    std::vector<std::string> names;
    for (const GowerLoops& l : available_loops()) {
        names.emplace_back(l.name);
    }
    return names;
}

bool gower_fast(const GowerDonors& donors, double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                const PassOptions& options, const std::string& kernel, std::size_t group_rows) {
    if (first > last || last > query_rows) {
        panic_index_out_of_bounds(query_rows, last);
    }
    const GowerLoops loops = loops_named(kernel);
    const std::size_t k = std::min(donors.config().k, donors.rows());
    if (k > UINT32_MAX) {
        throw Panic("the Gower pass takes at most 4294967295 neighbours");
    }
    if (group_rows == 0) {
        const std::size_t per_row = checked_product({donors.cols(), std::max<std::size_t>(k, 1), sizeof(Entry)});
        group_rows =
            std::clamp<std::size_t>(GROUP_SELECTION_BYTES / std::max<std::size_t>(per_row, 1), 1, MAX_GROUP_ROWS);
    }
    // A group is never larger than the pass: its buffers stay proportional to the rows.
    group_rows = std::clamp<std::size_t>(group_rows, 1, std::max<std::size_t>(last - first, 1));
    PassFacts facts;
    facts.first = first;
    facts.rows = last - first;
    // No fitted row: no work, so the calling thread passes over the rows (no cell has a donor).
    facts.work = try_product({facts.rows, donors.rows(), donors.cols()}).value_or(SIZE_MAX);
    DrivenGowerPass pass(donors, query, first, last, loops, group_rows);
    return drive_pass(pass, facts, options);
}

}  // namespace mirel::knn
