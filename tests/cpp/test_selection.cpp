// The bounded top-k selection against a full stable sort, and the panel/kernel interface a
// pass uses to measure a row that is not in the panel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "knn/core/metrics.hpp"
#include "knn/core/selection.hpp"
#include "knn/panel/panel.hpp"
#include "knn/row/impute_fast.hpp"
#include "test_helpers.hpp"

namespace mirel::knn::testing {
namespace {

using detail::Entry;
using detail::TopK;

// Offers `keys` (entry i has row index i) in a random order and compares the kept set with the
// first `limit` of a stable sort by key.
void check_against_sort(const std::vector<std::uint64_t>& keys, std::uint32_t limit, std::mt19937_64& rng) {
    std::vector<std::size_t> order(keys.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    order.resize(std::min<std::size_t>(order.size(), limit));

    std::vector<std::size_t> offers(keys.size());
    for (std::size_t i = 0; i < offers.size(); ++i) {
        offers[i] = i;
    }
    std::shuffle(offers.begin(), offers.end(), rng);
    std::vector<Entry> slots(std::max<std::size_t>(1, std::min<std::size_t>(limit, keys.size())));
    TopK top(slots.data(), limit);
    for (const std::size_t i : offers) {
        const Entry e{keys[i], i};
        const bool admitted = top.admits(e);
        EXPECT_EQ(top.offer(e), admitted);
        if (top.full()) {
            // Every entry held is at most the threshold.
            EXPECT_LE(top.size(), static_cast<std::size_t>(limit));
        }
    }
    EXPECT_EQ(top.full(), keys.size() >= limit);
    const auto kept = top.sorted();
    ASSERT_EQ(kept.size(), order.size());
    for (std::size_t j = 0; j < kept.size(); ++j) {
        EXPECT_EQ(kept[j].idx, order[j]) << "position " << j << " of " << kept.size();
        EXPECT_EQ(kept[j].key, keys[order[j]]);
    }
}

TEST(TopK, KeepsWhatAStableSortPutsFirst) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 80)(rng);
        const std::uint32_t limit = std::uniform_int_distribution<std::uint32_t>(1, 40)(rng);
        // Few distinct keys: many ties, which the row index must break.
        const std::uint64_t spread = std::uniform_int_distribution<std::uint64_t>(1, 6)(rng);
        std::vector<std::uint64_t> keys(n);
        for (auto& k : keys) {
            k = std::uniform_int_distribution<std::uint64_t>(0, spread)(rng);
        }
        check_against_sort(keys, limit, rng);
    }
}

TEST(TopK, ThresholdIsTheLargestKeyHeldOnceFull) {
    std::vector<Entry> slots(3);
    TopK top(slots.data(), 3);
    for (const std::uint64_t key : {50u, 10u, 40u}) {
        EXPECT_FALSE(top.full());
        top.offer(Entry{key, static_cast<std::size_t>(key)});
    }
    ASSERT_TRUE(top.full());
    EXPECT_EQ(top.threshold(), 50u);
    EXPECT_FALSE(top.offer(Entry{50, 51}));  // equal key, larger row index: after the kept one
    EXPECT_TRUE(top.offer(Entry{50, 49}));   // equal key, smaller row index: before it
    EXPECT_EQ(top.threshold(), 50u);
    EXPECT_TRUE(top.offer(Entry{20, 99}));
    EXPECT_EQ(top.threshold(), 40u);
    const auto kept = top.sorted();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].key, 10u);
    EXPECT_EQ(kept[1].key, 20u);
    EXPECT_EQ(kept[2].key, 40u);
}

// A row that is not in the panel (no self slot, no reverse filter) measured with every kernel
// gives the scalar metric's bits for every candidate, and an open forward filter passes them all.
TEST(Panel, QueryRowFromOutsideMatchesTheMetricOnEveryKernel) {
    std::mt19937_64 rng(11);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const char* metric : {"nan_euclid", "expected_distance"}) {
        for (const std::size_t cols : {1u, 3u, 9u, 17u}) {
            const std::size_t rows = 45;
            std::vector<double> fitted(rows * cols);
            std::vector<double> query(cols);
            auto draw = [&] {
                const int kind = std::uniform_int_distribution<int>(0, 9)(rng);
                return kind == 0 ? nan : kind == 1 ? INF : std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
            };
            for (double& v : fitted) {
                v = draw();
            }
            for (double& v : query) {
                v = draw();
            }
            KnnImputer imp = KnnImputer::create(3, metric, "uniform");
            imp.store_fitted(fitted, rows, cols);
            std::vector<std::size_t> row_of(rows);
            for (std::size_t t = 0; t < rows; ++t) {
                row_of[t] = t;
            }
            detail::Panel panel;
            panel.build(imp.fitted_values(), cols, row_of, imp.metric_kind());
            detail::QueryRow q;
            q.prepare(panel, query.data(), detail::NO_POSITION);
            q.view.threshold = std::numeric_limits<std::uint64_t>::max();
            const MetricFn scalar = metric_function(imp.metric_kind());
            for (const KernelKind kind : available_kernels()) {
                const detail::KernelFn kernel = detail::kernel_for(kind, imp.metric_kind(), cols);
                detail::BlockScratch out(panel.view().blocks);
                kernel(panel.view(), q.view, 0, panel.view().blocks, out.dist(), out.forward(), nullptr);
                for (std::size_t t = 0; t < rows; ++t) {
                    const double want = scalar(imp, query, imp.row(t));
                    EXPECT_EQ(bits(out.dist()[t]), bits(want))
                        << metric << " " << kernel_name(kind) << " cols " << cols << " row " << t;
                    EXPECT_TRUE((out.forward()[t / 8] >> (t % 8)) & 1u) << kernel_name(kind) << " row " << t;
                }
            }
        }
    }
}

}  // namespace
}  // namespace mirel::knn::testing
