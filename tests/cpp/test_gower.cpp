// The Gower pass: the rules on hand-made rows, and the fast pass bit for bit against the
// straightforward one on random and adversarial tables, every kernel, 1 to 5 threads.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "knn/core/panic.hpp"
#include "knn/gower/gower.hpp"

namespace mirel::knn {
namespace {

const double NaN = std::nan("");

GowerConfig mixed_config(std::size_t k, GowerNumeric numeric, bool weighted_votes) {
    GowerConfig config;
    config.k = k;
    config.numeric = numeric;
    config.weighted_votes = weighted_votes;
    config.columns = {
        {GowerKind::numeric, false, true, 1.0, 0},   // values
        {GowerKind::numeric, true, true, 2.0, 0},    // integers
        {GowerKind::nominal, false, true, 1.0, 3},   // three levels
        {GowerKind::ordinal, false, true, 0.5, 4},   // four levels
        {GowerKind::ordinal, false, true, 1.0, 1},   // a single level
        {GowerKind::numeric, false, true, 1.0, 0},   // constant: zero range
        {GowerKind::numeric, false, false, 1.0, 0},  // not in the distance
        {GowerKind::nominal, false, true, 0.0, 2},   // weight 0
        {GowerKind::numeric, false, true, 1.0, 0},   // all missing
        {GowerKind::numeric, false, true, 1.0, 0},   // a tiny range: w / range overflows
    };
    return config;
}

std::vector<double> random_cells(std::mt19937_64& rng, const GowerConfig& config, std::size_t rows, double missing) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> cells(rows * config.columns.size());
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < config.columns.size(); ++c) {
            const GowerColumn& col = config.columns[c];
            double v = 0.0;
            if (c == 5) {
                v = 7.0;
            } else if (c == 8) {
                v = NaN;
            } else if (c == 9) {
                v = std::floor(u(rng) * 3.0) * 1e-310;
            } else if (col.kind == GowerKind::numeric) {
                v = std::floor(u(rng) * 4.0) * (c == 0 ? 0.25 : 1.0);  // few values: many ties
            } else {
                v = std::floor(u(rng) * col.levels);
            }
            cells[r * config.columns.size() + c] = u(rng) < missing ? NaN : v;
        }
    }
    return cells;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Gower, DistanceFollowsTheRules) {
    GowerConfig config = mixed_config(1, GowerNumeric::median, false);
    // Fitted rows: ranges 0..2 (column 0), 0..4 (column 1).
    const std::vector<double> fitted = {0.0, 0.0, 0.0, 0.0, 0.0, 7.0, 5.0, 0.0, NaN, NaN,  //
                                        2.0, 4.0, 2.0, 3.0, 0.0, 7.0, 9.0, 1.0, NaN, NaN};
    const GowerDonors donors = GowerDonors::build(config, fitted, 2);
    const double a[] = {1.0, 1.0, 2.0, 1.0, 0.0, 7.0, 0.0, 0.0, NaN, NaN};
    // Row 1: |1 - 2| * (1 / 2) + |1 - 4| * (2 / 4) + 0 (same level) + |1 - 3| * (0.5 / 3), then terms of 0.
    const double num = (((0.0 + 1.0 * (1.0 / 2.0)) + 3.0 * (2.0 / 4.0)) + 0.0) + 2.0 * (0.5 / 3.0);
    const double den = 1.0 + 2.0 + 1.0 + 0.5 + 1.0 + 1.0 + 0.0;
    EXPECT_EQ(gower_distance(donors, a, 1), num / den);
    // A range so small that w / range overflows: the term divides by the range instead.
    GowerConfig tiny_config;
    tiny_config.k = 1;
    tiny_config.columns = {{GowerKind::numeric, false, true, 4.0, 0}};
    const std::vector<double> tiny = {0.0, 1e-310};
    const GowerDonors tiny_donors = GowerDonors::build(tiny_config, tiny, 2);
    EXPECT_TRUE(std::isinf(tiny_donors.factor(0)));
    const double q = 0.5e-310;
    EXPECT_EQ(gower_distance(tiny_donors, &q, 1), (4.0 * (std::fabs(q - 1e-310) / 1e-310)) / 4.0);
    // No shared variable (only weight-0 ones): no distance.
    const double b[] = {NaN, NaN, NaN, NaN, NaN, NaN, 3.0, 1.0, NaN, NaN};
    EXPECT_TRUE(std::isnan(gower_distance(donors, b, 0)));
}

TEST(Gower, ValuesAndSummaries) {
    GowerConfig config = mixed_config(4, GowerNumeric::median, false);
    const std::vector<double> fitted = {1.0, 1.0, 0.0, 0.0, 0.0, 7.0, 0.0, 0.0, NaN, NaN,  //
                                        4.0, 2.0, 1.0, 1.0, 0.0, 7.0, 0.0, 0.0, NaN, NaN,  //
                                        2.0, 5.0, 1.0, 3.0, 0.0, 7.0, 0.0, 0.0, NaN, NaN,  //
                                        8.0, 3.0, 0.0, 2.0, 0.0, 7.0, 0.0, 0.0, NaN, NaN};
    const GowerDonors donors = GowerDonors::build(config, fitted, 4);
    EXPECT_EQ(donors.summary(0), 3.0);  // (2 + 4) / 2
    EXPECT_EQ(donors.summary(1), 2.0);  // integral: the lower middle value
    EXPECT_EQ(donors.summary(2), 0.0);  // two each: the lowest code
    EXPECT_EQ(donors.summary(3), 1.0);  // the lower median level
    EXPECT_TRUE(std::isnan(donors.summary(8)));
    GowerScratch scratch;
    // Nominal: 1 and 0 twice each; the nearest tied donor holds 1.
    EXPECT_EQ(gower_cell_value(donors, 2, std::vector<double>{1.0, 0.0, 0.0, 1.0},
                               std::vector<double>{0.1, 0.2, 0.3, 0.4}, scratch),
              1.0);
    config.weighted_votes = true;
    const GowerDonors weighted = GowerDonors::build(config, fitted, 4);
    // Weighted: 1/0.1 + 1/0.4 for level 1 against 1/0.05 for level 0.
    EXPECT_EQ(
        gower_cell_value(weighted, 2, std::vector<double>{1.0, 0.0, 1.0}, std::vector<double>{0.1, 0.05, 0.4}, scratch),
        0.0);
    // At distance 0, only such donors vote.
    EXPECT_EQ(gower_cell_value(weighted, 2, std::vector<double>{1.0, 0.0, 0.0}, std::vector<double>{0.0, 0.01, 0.01},
                               scratch),
              1.0);
}

TEST(Gower, BadConfigurationsAndCells) {
    GowerConfig config = mixed_config(0, GowerNumeric::median, false);
    EXPECT_EQ(gower_config_error(config), "the Gower pass needs at least one neighbour");
    config.k = 1;
    config.columns[0].weight = -1.0;
    EXPECT_EQ(gower_config_error(config), "column 0: weights must be finite and at least 0");
    config.columns[0].weight = 1.0;
    std::vector<double> cells(config.columns.size(), 0.0);
    cells[2] = 3.0;  // three levels: codes 0 to 2
    EXPECT_THROW(GowerDonors::build(config, cells, 1), Panic);
    cells[2] = 0.0;
    cells[0] = INFINITY;
    EXPECT_THROW(GowerDonors::build(config, cells, 1), Panic);
}

struct FastCase {
    std::size_t fitted_rows;
    std::size_t k;
    GowerNumeric numeric;
    bool weighted_votes;
    double missing;
};

class GowerFast : public ::testing::TestWithParam<FastCase> {};

// Options that start threads for any work, poll often (the calling thread then takes the chunks
// one at a time) and record every poll.
struct PolledOptions {
    std::vector<std::pair<std::size_t, std::size_t>> polls;
    PassOptions options;
    PolledOptions(std::size_t threads, std::size_t chunk_rows) {
        options.threads = threads;
        options.chunk_rows = chunk_rows;
        options.poll_interval = std::chrono::milliseconds(1);
        options.poll = [this](std::size_t done, std::size_t total) {
            polls.emplace_back(done, total);
            return true;
        };
    }
};

// The fast pass on the pass driver against the straightforward pass, bit for bit: every kernel,
// threads split the rows, chunks of any size, groups of any size; and its progress climbs to
// (rows, rows).
TEST_P(GowerFast, MatchesTheReferenceOnEveryKernelThreadCountAndChunking) {
    const FastCase p = GetParam();
    std::mt19937_64 rng(p.fitted_rows * 31 + p.k);
    const GowerConfig config = mixed_config(p.k, p.numeric, p.weighted_votes);
    const std::vector<double> fitted = random_cells(rng, config, p.fitted_rows, p.missing);
    const GowerDonors donors = GowerDonors::build(config, fitted, p.fitted_rows);
    for (const std::vector<double>& query : {fitted, random_cells(rng, config, 97, 0.4)}) {
        const std::size_t rows = query.size() / config.columns.size();
        std::vector<double> expected = query;
        gower_reference(donors, expected.data(), rows, 0, rows);
        for (const std::string& kernel : gower_kernels()) {
            for (const std::size_t threads : {1, 2, 3, 5}) {
                for (const std::size_t chunk : {0, 1, 7}) {
                    for (const std::size_t group_rows : {0, 1, 5}) {
                        PolledOptions run(threads, chunk);
                        std::vector<double> got = query;
                        EXPECT_TRUE(gower_fast(donors, got.data(), rows, 0, rows, run.options, kernel, group_rows));
                        EXPECT_TRUE(same_bits(got, expected))
                            << kernel << " threads " << threads << " chunk " << chunk << " group " << group_rows;
                        ASSERT_FALSE(run.polls.empty());
                        EXPECT_EQ(run.polls.back(), std::make_pair(rows, rows));
                        for (std::size_t i = 1; i < run.polls.size(); ++i) {
                            EXPECT_LE(run.polls[i - 1].first, run.polls[i].first);
                        }
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, GowerFast,
                         ::testing::Values(FastCase{1, 3, GowerNumeric::median, false, 0.2},
                                           FastCase{37, 1, GowerNumeric::mean, false, 0.0},
                                           FastCase{300, 5, GowerNumeric::distance, true, 0.3},
                                           FastCase{611, 8, GowerNumeric::median, true, 0.1},
                                           FastCase{257, 400, GowerNumeric::mean, false, 0.5},
                                           FastCase{50, 2, GowerNumeric::median, false, 0.95},
                                           // Many rows at the same few distances: full selections
                                           // early, most steps past the halfway bound, ties at 0.
                                           FastCase{2500, 3, GowerNumeric::median, false, 0.05}));

// Stopped at any poll, on the calling thread or on workers: every row is imputed whole or left as
// it came, and the rows reported done are imputed.
TEST(Gower, StoppedPassLeavesRowsWholeOrAsTheyWere) {
    std::mt19937_64 rng(5);
    const GowerConfig config = mixed_config(3, GowerNumeric::median, false);
    const std::size_t cols = config.columns.size();
    const std::vector<double> fitted = random_cells(rng, config, 700, 0.2);
    const GowerDonors donors = GowerDonors::build(config, fitted, 700);
    const std::size_t rows = 700;
    std::vector<double> expected = fitted;
    gower_reference(donors, expected.data(), rows, 0, rows);
    for (const std::size_t threads : {1, 3}) {
        for (const std::size_t stop_at : {1, 2, 5, 40}) {
            PassOptions options;
            options.threads = threads;
            options.chunk_rows = 16;
            options.poll_interval = std::chrono::milliseconds(0);
            std::size_t calls = 0;
            std::size_t reported = 0;
            options.poll = [&](std::size_t done, std::size_t total) {
                EXPECT_EQ(total, rows);
                reported = done;
                return ++calls < stop_at;
            };
            std::vector<double> got = fitted;
            const bool completed = gower_fast(donors, got.data(), rows, 0, rows, options, {}, 4);
            std::size_t imputed = 0;
            for (std::size_t r = 0; r < rows; ++r) {
                const std::vector<double> row(got.begin() + r * cols, got.begin() + (r + 1) * cols);
                const std::vector<double> want(expected.begin() + r * cols, expected.begin() + (r + 1) * cols);
                const std::vector<double> as_came(fitted.begin() + r * cols, fitted.begin() + (r + 1) * cols);
                const bool whole = same_bits(row, want);
                EXPECT_TRUE(whole || same_bits(row, as_came)) << "row " << r;
                imputed += whole && !same_bits(want, as_came) ? 1 : 0;
            }
            if (completed) {
                EXPECT_TRUE(same_bits(got, expected));
            } else {
                EXPECT_GE(calls, stop_at);  // the workers' waiter polls until they have stopped
                EXPECT_LT(reported, rows);
            }
            if (threads == 1) {
                // The calling thread asks before each block of 256 fitted rows, 3 per group: a
                // refusal within the first group comes before any row is written.
                EXPECT_FALSE(completed) << "stop " << stop_at;
                EXPECT_EQ(imputed == 0, stop_at <= 3) << "stop " << stop_at;
            }
        }
    }
}

TEST(Gower, UnknownKernelAndRows) {
    const GowerConfig config = mixed_config(1, GowerNumeric::median, false);
    const std::vector<double> cells(config.columns.size(), 0.0);
    const GowerDonors donors = GowerDonors::build(config, cells, 1);
    std::vector<double> query = cells;
    try {
        gower_fast(donors, query.data(), 1, 0, 1, PassOptions{}, "neon");
        ADD_FAILURE() << "no exception";
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "unknown or unavailable kernel: neon");
    }
    EXPECT_THROW(gower_fast(donors, query.data(), 1, 0, 2, PassOptions{}), Panic);
}

}  // namespace
}  // namespace mirel::knn
