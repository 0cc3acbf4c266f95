// The query pass on several threads: bit for bit the straightforward pass for every thread
// count, chunk size and kernel; a poll that stops the pass leaves untouched rows untouched; a
// failing poll ends the call cleanly.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "knn/panic.hpp"
#include "knn/prune_steering.hpp"
#include "knn/query.hpp"
#include "knn/query_parallel.hpp"
#include "test_helpers.hpp"

namespace mirel::knn {
namespace {

using testing::bits;
using testing::NAN_;

// Values from a small set (many equal distances) or Gaussian, NaN (either sign) at `rate`.
std::vector<double> table(std::mt19937_64& rng, std::size_t rows, std::size_t cols, double rate, bool ties) {
    static constexpr double small_values[] = {0.0, 1.0, 2.0, 3.0, 4.0};
    return testing::random_cells(rng, rows * cols, rate, ties, small_values);
}

std::vector<QueryKernel> fast_kernels() {
    std::vector<QueryKernel> out;
    for (const QueryKernel kernel : available_query_kernels()) {
        if (kernel != QueryKernel::reference) {
            out.push_back(kernel);
        }
    }
    return out;
}

// Single-block steps and groups of a few rows: many groups per pass.
PassTuning small_blocks() {
    PassTuning tuning;
    tuning.superblock_bytes = 1;
    tuning.group_rows = 3;
    tuning.group_selections = 4;
    return tuning;
}

TEST(QueryParallel, MatchesTheReferenceForEveryThreadCountAndChunk) {
    std::mt19937_64 rng(1412);
    PassTuning small = small_blocks();
    small.max_selected = 4;
    std::size_t cases = 0;
    for (int round = 0; round < 24; ++round) {
        const std::size_t cols = 1 + rng() % 9;
        const std::size_t fitted_rows = 1 + rng() % 120;
        const double rate = 0.05 + 0.5 * static_cast<double>(rng() % 100) / 100.0;
        const std::vector<double> fitted = table(rng, fitted_rows, cols, rate, round % 2 == 0);
        // Every third round the query is the fitted table itself (fit_transform).
        const bool same = round % 3 == 0;
        const std::size_t query_rows = same ? fitted_rows : 1 + rng() % 90;
        const std::vector<double> query = same ? fitted : table(rng, query_rows, cols, rate, round % 2 == 0);
        const TableView f{fitted.data(), fitted_rows, cols};
        const DonorColumns columns = donor_columns(f);
        const QueryDonors donors(f);
        const std::size_t k = 1 + rng() % 7;
        for (const QueryWeights weights : {QueryWeights::uniform, QueryWeights::distance}) {
            std::vector<double> want = query;
            query_reference(f, columns, want.data(), query_rows, 0, query_rows, k, weights);
            for (const QueryKernel kernel : fast_kernels()) {
                for (const std::size_t threads : {1, 2, 3, 7}) {
                    for (const std::size_t chunk : {0, 1, 4}) {
                        for (const PassTuning& tuning : {PassTuning{}, small}) {
                            ParallelOptions options;
                            options.threads = threads;
                            options.chunk_rows = chunk;
                            std::vector<double> got = query;
                            ASSERT_TRUE(query_parallel(donors, got.data(), query_rows, 0, query_rows, k, weights,
                                                       kernel, options, tuning));
                            ASSERT_EQ(bits(got), bits(want))
                                << "round " << round << " threads " << threads << " chunk " << chunk << " k " << k;
                            ++cases;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GE(cases, 24u * 2 * 4 * 3 * 2);
}

// A worker runs one pass per chunk; the pruning steering goes on from chunk to chunk
// (PassTuning::prune_state) instead of probing anew in each. Whatever the steering decides,
// every kernel still gives the straightforward pass's bits, on rows wide enough to prune.
TEST(QueryParallel, ChunksSteerPruningAsOnePass) {
    PassTuning tuning;
    tuning.prune_min_skipped = 0.5;
    tuning.prune_probe_every = 2;
    detail::PruneState state;
    tuning.prune_state = &state;
    const auto pass = [&](std::uint64_t skipped_per_100) {
        detail::PruneSteering steering(tuning, 20);
        detail::QueryView view;
        steering.group_started();
        steering.arm(view);
        view.counts->asked += 100;
        view.counts->skipped += skipped_per_100;
        steering.group_done();
        return view.prune;
    };
    EXPECT_TRUE(pass(10));   // a new state prunes; this group skips too little
    EXPECT_FALSE(pass(10));  // the next passes start paused...
    EXPECT_FALSE(pass(10));
    EXPECT_TRUE(pass(90));  // ...until prune_probe_every groups have passed; enough skipped:
    EXPECT_TRUE(pass(90));  // pruning stays on
    tuning.prune_state = nullptr;
    state = detail::PruneState{};
    state.on = false;
    EXPECT_TRUE(pass(10));  // without a shared state every pass starts pruning
    EXPECT_FALSE(state.on);

    std::mt19937_64 rng(2041);
    PassTuning steered = small_blocks();
    steered.prune_min_columns = 0;
    steered.prune_min_skipped = 0.2;
    steered.prune_probe_every = 2;
    detail::PruneCounts counts;  // one worker's, so written by one thread at a time
    for (int round = 0; round < 8; ++round) {
        const std::size_t cols = 4 + rng() % 20;
        const std::size_t fitted_rows = 40 + rng() % 160;
        const std::size_t query_rows = 1 + rng() % 60;
        const std::vector<double> fitted = table(rng, fitted_rows, cols, 0.15, round % 2 == 0);
        const std::vector<double> query = table(rng, query_rows, cols, 0.3, round % 2 == 0);
        const TableView f{fitted.data(), fitted_rows, cols};
        const QueryDonors donors(f);
        const std::size_t k = 1 + rng() % 5;
        std::vector<double> want = query;
        query_reference(f, donor_columns(f), want.data(), query_rows, 0, query_rows, k, QueryWeights::distance);
        for (const QueryKernel kernel : fast_kernels()) {
            for (const std::size_t threads : {1, 2}) {
                ParallelOptions options;
                options.threads = threads;
                options.chunk_rows = 3;
                options.poll = [](std::size_t, std::size_t) { return true; };
                PassTuning tuning_here = steered;
                tuning_here.prune_counts = threads == 1 ? &counts : nullptr;
                std::vector<double> got = query;
                ASSERT_TRUE(query_parallel(donors, got.data(), query_rows, 0, query_rows, k, QueryWeights::distance,
                                           kernel, options, tuning_here));
                ASSERT_EQ(bits(got), bits(want)) << "round " << round << " threads " << threads;
            }
        }
    }
    EXPECT_GT(counts.skipped, 0u);  // the kernels did prune
}

TEST(QueryParallel, PollSeesProgressAndCanStopThePass) {
    std::mt19937_64 rng(7);
    const std::size_t cols = 6;
    const std::size_t rows = 400;
    const std::vector<double> fitted = table(rng, rows, cols, 0.2, false);
    const std::vector<double> query = table(rng, rows, cols, 0.3, false);
    const TableView f{fitted.data(), rows, cols};
    const DonorColumns columns = donor_columns(f);
    const QueryDonors donors(f);
    std::vector<double> want = query;
    query_reference(f, columns, want.data(), rows, 0, rows, 3, QueryWeights::uniform);

    // Polled to the end: (done, total) never decreases, ends with (total, total).
    ParallelOptions options;
    options.threads = 2;
    options.chunk_rows = 5;
    options.poll_interval = std::chrono::milliseconds(0);
    std::vector<std::size_t> seen;
    options.poll = [&](std::size_t done, std::size_t total) {
        EXPECT_EQ(total, rows);
        seen.push_back(done);
        return true;
    };
    std::vector<double> got = query;
    ASSERT_TRUE(
        query_parallel(donors, got.data(), rows, 0, rows, 3, QueryWeights::uniform, best_query_kernel(), options));
    EXPECT_EQ(bits(got), bits(want));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), rows);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_LE(seen[i - 1], seen[i]);
    }

    // Stopped at the first poll: every row is either done or untouched (chunks finish whole).
    options.poll = [](std::size_t, std::size_t) { return false; };
    options.chunk_rows = 1;
    got = query;
    const bool finished =
        query_parallel(donors, got.data(), rows, 0, rows, 3, QueryWeights::uniform, best_query_kernel(), options);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<double> row(got.begin() + r * cols, got.begin() + (r + 1) * cols);
        const std::vector<double> done(want.begin() + r * cols, want.begin() + (r + 1) * cols);
        const std::vector<double> before(query.begin() + r * cols, query.begin() + (r + 1) * cols);
        ASSERT_TRUE(bits(row) == bits(done) || bits(row) == bits(before)) << "row " << r;
    }
    if (finished) {
        EXPECT_EQ(bits(got), bits(want));
    }

    // A poll that throws: the workers are joined and the exception comes out.
    options.poll = [](std::size_t, std::size_t) -> bool { throw std::runtime_error("poll failed"); };
    got = query;
    EXPECT_THROW(
        query_parallel(donors, got.data(), rows, 0, rows, 3, QueryWeights::uniform, best_query_kernel(), options),
        std::runtime_error);
}

TEST(QueryParallel, BadArgumentsFailBeforeAnyThreadStarts) {
    const std::vector<double> fitted{1.0, 2.0, 3.0, 4.0};
    std::vector<double> query{NAN_, 1.0};
    const TableView f{fitted.data(), 2, 2};
    const QueryDonors donors(f);
    ParallelOptions options;
    options.threads = 0;
    EXPECT_THROW(query_parallel(donors, query.data(), 1, 0, 1, 1, QueryWeights::uniform, best_query_kernel(), options),
                 std::invalid_argument);
    options.threads = 2;
    EXPECT_THROW(
        query_parallel(donors, query.data(), 1, 0, 1, 1, QueryWeights::uniform, QueryKernel::reference, options),
        std::invalid_argument);
    EXPECT_THROW(query_parallel(donors, query.data(), 1, 0, 2, 1, QueryWeights::uniform, best_query_kernel(), options),
                 Panic);
    EXPECT_TRUE(std::isnan(query[0]));
}

}  // namespace
}  // namespace mirel::knn
