// Pruning in the distance kernels: a kernel that stops measuring positions which can no longer
// pass a filter must let through exactly the positions, with exactly the distances, that the
// kernel without pruning lets through. Each decision is reached on a one-candidate panel, where
// the kernel's skip count shows whether the candidate was abandoned; a random property covers
// the rest (ties at thresholds drawn from the distances themselves, NaN and infinite distances,
// open columns, reverse thresholds of selections that are not full, the self slot).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "knn/panel/panel.hpp"
#include "knn/row/impute_fast.hpp"
#include "test_helpers.hpp"

namespace mirel::knn::testing {
namespace {

using detail::BLOCK_ROWS;
using detail::NO_POSITION;

constexpr std::uint64_t OPEN = std::numeric_limits<std::uint64_t>::max();
const double NaN = std::numeric_limits<double>::quiet_NaN();

// The filters of one query, applied to a pruned and an unpruned run.
struct Filters {
    std::size_t self = NO_POSITION;
    std::size_t first = 0;
    std::uint64_t threshold = 0;
    std::vector<std::uint32_t> open;
    bool with_reverse = false;
    std::vector<std::uint64_t> reverse_threshold;  // per position, padded to whole blocks
    std::size_t reverse_end = 0;
};

struct Measured {
    std::vector<double> dist;
    std::vector<std::uint8_t> pass;
    std::vector<std::uint8_t> reverse;
    detail::PruneCounts counts;
};

Measured measure(const detail::Panel& panel, const std::vector<double>& query, const Filters& f,
                 detail::KernelFn kernel, bool prune) {
    detail::QueryRow q;
    q.prepare(panel, query.data(), f.self);
    q.view.first = f.first;
    q.view.threshold = f.threshold;
    q.view.open = f.open.data();
    q.view.n_open = f.open.size();
    if (f.with_reverse) {
        q.view.reverse_threshold = f.reverse_threshold.data();
        q.view.reverse_end = f.reverse_end;
    }
    Measured run;
    q.view.prune = prune;
    q.view.counts = &run.counts;
    const std::size_t blocks = panel.view().blocks;
    detail::BlockScratch out(blocks);
    kernel(panel.view(), q.view, 0, blocks, out.dist(), out.forward(), f.with_reverse ? out.reverse() : nullptr);
    run.dist.assign(out.dist(), out.dist() + blocks * BLOCK_ROWS);
    run.pass.assign(out.forward(), out.forward() + blocks * detail::BLOCK_BYTES);
    if (f.with_reverse) {
        run.reverse.assign(out.reverse(), out.reverse() + blocks * detail::BLOCK_BYTES);
    }
    return run;
}

bool bit(const std::vector<std::uint8_t>& v, std::size_t p) { return (v[p / 8] >> (p % 8)) & 1u; }

// Runs the query with and without pruning on one kernel: the same positions pass each filter,
// and a position that passes has the same distance bits. Returns the pruned run.
Measured expect_same_filters(const detail::Panel& panel, const std::vector<double>& query, const Filters& f,
                             KernelKind kind, Metric metric, const std::string& what) {
    const detail::KernelFn kernel = detail::kernel_for(kind, metric, panel.view().cols);
    const Measured plain = measure(panel, query, f, kernel, false);
    const Measured pruned = measure(panel, query, f, kernel, true);
    EXPECT_EQ(plain.counts.skipped, 0u);
    EXPECT_EQ(pruned.counts.asked, plain.counts.asked);
    EXPECT_EQ(pruned.pass, plain.pass) << what << " " << kernel_name(kind);
    EXPECT_EQ(pruned.reverse, plain.reverse) << what << " " << kernel_name(kind);
    for (std::size_t p = 0; p < panel.view().rows; ++p) {
        if (bit(plain.pass, p) || (f.with_reverse && bit(plain.reverse, p))) {
            EXPECT_EQ(bits(pruned.dist[p]), bits(plain.dist[p]))
                << what << " " << kernel_name(kind) << " position " << p;
        }
    }
    return pruned;
}

detail::Panel panel_of(const std::vector<double>& rows, std::size_t cols, Metric metric) {
    std::vector<std::size_t> row_of(rows.size() / cols);
    for (std::size_t t = 0; t < row_of.size(); ++t) {
        row_of[t] = t;
    }
    detail::Panel panel;
    panel.build(rows, cols, row_of, metric);
    return panel;
}

std::uint64_t key(double d) { return distance_rank_key(d); }

// One candidate in every position of a block, a query outside the panel, eight columns (checks
// after columns 2, 4 and 6): whether the candidate is abandoned shows in the skip count, on
// every kernel whatever lanes it abandons together.
struct Decision {
    const char* what;
    Metric metric;
    std::vector<double> candidate;
    std::vector<double> query;
    std::uint64_t threshold;
    std::vector<std::uint32_t> open;
    int abandoned;  // 1 or 0; -1: either, as the kernel's bound allows
    bool passes;
};

std::vector<double> row8(double first, double second = 0.0) { return {first, second, 0, 0, 0, 0, 0, 0}; }

TEST(Pruning, EachDecisionOnOneCandidate) {
    const std::vector<double> zeros(8, 0.0);
    const double above_two = std::nextafter(2.0, 3.0);
    const std::vector<Decision> decisions = {
        // A bound equal to the limit is not out: the tie is for the selection to break.
        {"tie at the threshold", Metric::nan_euclid, row8(2.0), zeros, key(4.0), {}, false, true},
        {"just above the threshold", Metric::nan_euclid, row8(above_two), zeros, key(4.0), {}, true, false},
        // inf - inf: the partial sum is NaN, never out; the NaN distance does not pass.
        {"NaN distance", Metric::nan_euclid, row8(INF, 5.0), row8(INF), key(1.0), {}, false, false},
        // A selection full of NaN distances lets every candidate pass: no pruning.
        {"NaN threshold", Metric::nan_euclid, row8(100.0), zeros, key(NaN), {}, false, true},
        {"infinite distance", Metric::nan_euclid, row8(1e200), zeros, key(1.0), {}, true, false},
        {"infinite distance at an infinite threshold",
         Metric::nan_euclid,
         row8(1e200),
         zeros,
         key(INF),
         {},
         false,
         true},
        // Sharing no coordinate: +inf, whose bound (0) is never out.
        {"no shared coordinate", Metric::nan_euclid, std::vector<double>(8, NaN), zeros, key(1.0), {}, false, false},
        // A selection that is not full (open column 5) takes any candidate holding its column.
        {"open column held", Metric::nan_euclid, row8(100.0), zeros, key(1.0), {5}, false, true},
        {"open column not held", Metric::nan_euclid, {100, 0, 0, 0, 0, NaN, 0, 0}, zeros, key(1.0), {5}, true, false},
        // The scale (8 / 7) only grows the distance: 4 <= 4.2 < 4 * 8 / 7.
        // Kernels that bound with the scale abandon it, those that bound with the sum alone do not.
        {"scaled past the threshold", Metric::nan_euclid, {2, NaN, 0, 0, 0, 0, 0, 0}, zeros, key(4.2), {}, -1, false},
        {"expected_distance tie", Metric::expected_distance, row8(0.5), row8(0.0), key(0.5), {}, false, true},
        {"expected_distance above", Metric::expected_distance, row8(0.75), row8(0.0), key(0.5), {}, true, false},
        {"expected_distance missing terms",
         Metric::expected_distance,
         {NaN, NaN, NaN, 0, 0, 0, 0, 0},
         zeros,
         key(1.0),
         {},
         true,
         false},
        {"expected_distance NaN", Metric::expected_distance, row8(INF, 9.0), row8(INF), key(0.5), {}, false, false},
    };
    for (const Decision& d : decisions) {
        std::vector<double> rows;
        for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
            rows.insert(rows.end(), d.candidate.begin(), d.candidate.end());
        }
        const detail::Panel panel = panel_of(rows, 8, d.metric);
        Filters f;
        f.threshold = d.threshold;
        f.open = d.open;
        for (const KernelKind kind : available_kernels()) {
            const Measured run = expect_same_filters(panel, d.query, f, kind, d.metric, d.what);
            if (d.abandoned >= 0) {
                EXPECT_EQ(run.counts.skipped > 0, d.abandoned == 1) << d.what << " " << kernel_name(kind);
            }
            EXPECT_EQ(bit(run.pass, 0), d.passes) << d.what << " " << kernel_name(kind);
        }
    }
}

// The query's own row in the panel is measured by nobody: it gets SELF_DISTANCE and passes the
// forward filter exactly as without pruning; a block holding only it is not measured at all.
TEST(Pruning, SelfRowIsNotMeasured) {
    const std::vector<double> rows = row8(3.0);
    for (const Metric metric : {Metric::nan_euclid, Metric::expected_distance}) {
        const detail::Panel panel = panel_of(rows, 8, metric);
        for (const std::uint64_t threshold : {key(1.0), key(SELF_DISTANCE), OPEN}) {
            Filters f;
            f.self = 0;
            f.threshold = threshold;
            for (const KernelKind kind : available_kernels()) {
                const Measured run = expect_same_filters(panel, rows, f, kind, metric, "self");
                EXPECT_EQ(run.counts.skipped, run.counts.asked);
                EXPECT_EQ(bits(run.dist[0]), bits(SELF_DISTANCE));
                EXPECT_EQ(bit(run.pass, 0), threshold >= key(SELF_DISTANCE));
            }
        }
    }
}

// Shared pairs: a pair is abandoned only when it is out for both rows' selections.
TEST(Pruning, ReverseThresholdsKeepAPairMeasured) {
    // Position 0 is the query itself, positions 1..31 the candidate at distance 100 * 100.
    const std::vector<double> rows = [] {
        std::vector<double> r = row8(0.0);
        const std::vector<double> c = row8(100.0);
        for (std::size_t i = 1; i < BLOCK_ROWS; ++i) {
            r.insert(r.end(), c.begin(), c.end());
        }
        return r;
    }();
    const std::vector<double> query(rows.begin(), rows.begin() + 8);
    struct Case {
        const char* what;
        std::uint64_t reverse;
        bool abandoned;
        bool reverse_passes;
    };
    const std::vector<Case> cases = {
        {"candidate's selections not full", OPEN, false, true},
        {"out for both", key(1.0), true, false},
        {"in for the candidate's selections", key(1e6), false, true},
        {"tie in the candidate's selections", key(1e4), false, true},
    };
    for (const Case& c : cases) {
        const detail::Panel panel = panel_of(rows, 8, Metric::nan_euclid);
        Filters f;
        f.self = 0;
        f.first = 0;
        f.threshold = key(1.0);
        f.with_reverse = true;
        f.reverse_threshold.assign(BLOCK_ROWS, c.reverse);
        f.reverse_end = BLOCK_ROWS;
        for (const KernelKind kind : available_kernels()) {
            const Measured run = expect_same_filters(panel, query, f, kind, Metric::nan_euclid, c.what);
            EXPECT_EQ(run.counts.skipped > 0, c.abandoned) << c.what << " " << kernel_name(kind);
            EXPECT_EQ(bit(run.reverse, 1), c.reverse_passes) << c.what << " " << kernel_name(kind);
            EXPECT_FALSE(bit(run.pass, 1)) << c.what;
        }
    }
}

// Random panels and filters: thresholds drawn from the distances themselves (ties), NaN and
// infinite cells, open columns, reverse thresholds of every kind, any self position and first.
TEST(Pruning, RandomFiltersPassTheSamePositionsOnEveryKernel) {
    std::mt19937_64 rng(15);
    std::uint64_t abandoned = 0;
    for (int round = 0; round < 300; ++round) {
        const Metric metric = round % 2 == 0 ? Metric::nan_euclid : Metric::expected_distance;
        const std::size_t cols = std::uniform_int_distribution<std::size_t>(1, 24)(rng);
        const std::size_t rows = std::uniform_int_distribution<std::size_t>(1, 100)(rng);
        const int nan_rate = std::uniform_int_distribution<int>(0, 30)(rng);
        const bool with_inf = round % 5 == 0;
        // Few distinct values in half the rounds: many equal distances.
        const bool coarse = round % 4 < 2;
        auto draw = [&] {
            const int u = std::uniform_int_distribution<int>(0, 99)(rng);
            if (u < nan_rate) {
                return NaN;
            }
            if (with_inf && u < nan_rate + 3) {
                return u % 2 == 0 ? INF : -INF;
            }
            return coarse ? static_cast<double>(std::uniform_int_distribution<int>(0, 2)(rng))
                          : std::uniform_real_distribution<double>(-3.0, 3.0)(rng);
        };
        std::vector<double> fitted(rows * cols);
        for (double& v : fitted) {
            v = draw();
        }
        const detail::Panel panel = panel_of(fitted, cols, metric);
        Filters f;
        const bool in_panel = round % 3 != 0;
        std::vector<double> query(cols);
        if (in_panel) {
            f.self = std::uniform_int_distribution<std::size_t>(0, rows - 1)(rng);
            query.assign(fitted.begin() + static_cast<std::ptrdiff_t>(f.self * cols),
                         fitted.begin() + static_cast<std::ptrdiff_t>((f.self + 1) * cols));
            f.first = round % 2 == 0 ? f.self : 0;
        } else {
            for (double& v : query) {
                v = draw();
            }
        }
        // Thresholds from the true distances (ties), or NaN, +inf, open, 0.
        const detail::KernelFn portable = detail::kernel_for(KernelKind::portable, metric, cols);
        const Measured exact = measure(panel, query, Filters{f.self, 0, OPEN, {}, false, {}, 0}, portable, false);
        auto some_threshold = [&]() -> std::uint64_t {
            const int u = std::uniform_int_distribution<int>(0, 9)(rng);
            if (u == 0)
                return OPEN;
            if (u == 1)
                return key(NaN);
            if (u == 2)
                return key(INF);
            if (u == 3)
                return 0;
            return key(exact.dist[std::uniform_int_distribution<std::size_t>(0, rows - 1)(rng)]);
        };
        f.threshold = some_threshold();
        if (round % 4 == 1) {
            f.open.push_back(static_cast<std::uint32_t>(std::uniform_int_distribution<std::size_t>(0, cols - 1)(rng)));
        }
        if (in_panel && round % 2 == 0) {
            f.with_reverse = true;
            f.reverse_end = std::uniform_int_distribution<std::size_t>(f.self, rows)(rng);
            f.reverse_threshold.resize(panel.view().blocks * BLOCK_ROWS);
            for (std::uint64_t& t : f.reverse_threshold) {
                t = some_threshold();
            }
        }
        for (const KernelKind kind : available_kernels()) {
            const Measured run = expect_same_filters(panel, query, f, kind, metric, "round " + std::to_string(round));
            abandoned += run.counts.skipped;
            if (HasFailure()) {
                return;
            }
        }
    }
    EXPECT_GT(abandoned, 0u);
}

}  // namespace
}  // namespace mirel::knn::testing
