// The query pass: its rules on small tables worked by hand, and the fast driver checked bit for
// bit against the straightforward pass on random and adversarial tables, on every kernel and
// with block sizes that reach every path.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "knn/query/query.hpp"
#include "knn/query/query_fast.hpp"
#include "knn/query/query_parallel.hpp"
#include "test_helpers.hpp"

namespace mirel::knn {
namespace {

using testing::bits;
using testing::INF;
using testing::NAN_;
using testing::NAN_NEG;

struct Table {
    std::vector<double> values;
    std::size_t rows = 0;
    std::size_t cols = 0;
    TableView view() const { return {values.data(), rows, cols}; }
};

// Imputes a copy of `query` with the reference pass.
std::vector<double> reference(const Table& fitted, std::vector<double> query, std::size_t k, Weights weights) {
    const DonorColumns columns = donor_columns(fitted.view());
    const std::size_t rows = query.size() / fitted.cols;
    query_reference(fitted.view(), columns, query.data(), rows, 0, rows, k, weights);
    return query;
}

TEST(QueryDistance, IsScaledEuclideanOverSharedCoordinatesOrNone) {
    const double a[] = {1.0, NAN_, 4.0, 0.0};
    const double b[] = {4.0, 2.0, 0.0, NAN_NEG};
    // shared: columns 0 and 2, sum 9 + 16 = 25, scale 4 / 2.
    EXPECT_EQ(bits(nan_euclidean(a, b, 4)), bits(std::sqrt(25.0 * 2.0)));
    const double c[] = {NAN_, 1.0, NAN_, NAN_};
    EXPECT_TRUE(std::isnan(nan_euclidean(a, c, 4)));
    const double big[] = {1e300, NAN_, 0.0, 0.0};
    EXPECT_EQ(nan_euclidean(big, b, 4), INF);  // overflow is a distance
}

TEST(QueryReference, EqualDistancesGoToTheLowerRowIndex) {
    // Rows 1, 2 and 3 tie behind row 0 for the query (0, ?).
    const Table fitted{{0.0, 10.0, 2.0, 20.0, -2.0, 30.0, 2.0, 40.0, NAN_, 50.0}, 5, 2};
    for (const auto& [k, want] :
         std::vector<std::pair<std::size_t, double>>{{1, 10.0}, {2, 15.0}, {3, 20.0}, {4, 25.0}, {9, 25.0}}) {
        EXPECT_EQ(reference(fitted, {0.0, NAN_}, k, Weights::uniform)[1], want) << k;
    }
}

TEST(QueryReference, DonorsNeedAValueInTheColumnAndADistance) {
    // Row 0 holds nothing in column 1; row 1 shares no coordinate with the query.
    const Table fitted{{0.0, NAN_, 7.0, NAN_, 100.0, 5.0, 3.0, 9.0}, 4, 2};
    const Table three{{0.0, NAN_, 1.0, NAN_, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0}, 4, 3};
    EXPECT_EQ(reference(fitted, {0.5, NAN_}, 1, Weights::uniform)[1], 9.0);
    EXPECT_EQ(reference(fitted, {0.5, NAN_}, 5, Weights::uniform)[1], 7.0);  // (5 + 9) / 2
    const std::vector<double> out = reference(three, {NAN_, NAN_, NAN_}, 2, Weights::uniform);
    // No coordinate is shared with anyone: every cell gets its column mean.
    EXPECT_EQ(out[0], (0.0 + 3.0 + 6.0) / 3.0);
    EXPECT_EQ(out[1], (1.0 + 4.0 + 7.0) / 3.0);
    EXPECT_EQ(out[2], (1.0 + 2.0 + 5.0 + 8.0) / 4.0);
}

TEST(QueryReference, ColumnsWithoutFittedValuesAreLeftAlone) {
    const Table fitted{{1.0, NAN_, 2.0, NAN_}, 2, 2};
    const std::vector<double> out = reference(fitted, {NAN_, NAN_NEG, 1.5, NAN_}, 1, Weights::uniform);
    EXPECT_EQ(out[0], 1.5);  // column mean: no shared coordinate
    EXPECT_EQ(bits(out[1]), bits(NAN_NEG));
    EXPECT_EQ(bits(out[3]), bits(NAN_));
    EXPECT_EQ(out[2], 1.5);
}

TEST(QueryReference, DistanceWeightsAndZeroDistances) {
    const Table fitted{{0.0, 1.0, 3.0, 2.0, 1.0, 4.0}, 3, 2};
    // Distances from (1, ?): 1, 2 and 0 -> only the zero-distance donor counts.
    EXPECT_EQ(reference(fitted, {1.0, NAN_}, 3, Weights::distance)[1], 4.0);
    // From (0.5, ?) with k = 2: rows 0 (0.5) and 2 (0.5), weights 2 and 2... all equal.
    EXPECT_EQ(reference(fitted, {0.5, NAN_}, 2, Weights::distance)[1], (1.0 * 2.0 + 4.0 * 2.0) / 4.0);
    const double values[] = {1.0, 4.0};
    const double dists[] = {INF, INF};
    // Every distance overflowed: the donors are equally far and count equally.
    EXPECT_EQ(weighted_mean(values, dists, Weights::distance), 2.5);
}

TEST(QueryReference, WeightedMeansStayWithinTheDonorValues) {
    // Sums that overflow (huge values, tiny distances, every distance +inf) are formed without
    // overflow; a cell is never given a value outside the values of its weighted donors.
    const double max = std::numeric_limits<double>::max();
    const double huge[] = {max, 0.5 * max, 0.75 * max};
    const double near[] = {1e-300, 2e-300, 4e-300};
    const double far[] = {INF, INF, INF};
    const double mixed[] = {1.0, INF, 2.0};
    EXPECT_DOUBLE_EQ(weighted_mean(huge, near, Weights::uniform), 0.75 * max);
    EXPECT_DOUBLE_EQ(weighted_mean(huge, far, Weights::uniform), 0.75 * max);
    const double by_distance = weighted_mean(huge, near, Weights::distance);  // weights 4:2:1
    EXPECT_NEAR(by_distance / max, (4.0 + 1.0 + 0.75) / 7.0, 1e-15);
    EXPECT_DOUBLE_EQ(weighted_mean(huge, far, Weights::distance), 0.75 * max);  // all equally far
    // Weights 1, 0 (+inf) and 1/2, normalised before they multiply: 2/3 and 1/3.
    EXPECT_EQ(weighted_mean(huge, mixed, Weights::distance),
              max * (1.0 / 1.5) + 0.5 * max * (0.0 / 1.5) + 0.75 * max * (0.5 / 1.5));
    // Weights that overflow their total: 1/d near the largest double.
    const double tiny_values[] = {1e-10, 3e-10, 2e-10};
    const double smallest[] = {1.0 / (0.9 * max), 1.0 / (0.9 * max), 1.0 / (0.9 * max)};
    EXPECT_NEAR(weighted_mean(tiny_values, smallest, Weights::distance), 2e-10, 1e-24);
    // Equal values whose sum rounds up: the mean is the value itself.
    const double tenths[] = {0.1, 0.1, 0.1};
    EXPECT_EQ(weighted_mean(tenths, near, Weights::uniform), 0.1);
    // Products that underflow: 1e-300 x 1e-300 is zero, the mean is not.
    const double small_values[] = {1e-300, 1e-300};
    const double distant[] = {1e300, 1e300};
    EXPECT_EQ(weighted_mean(small_values, distant, Weights::distance), 1e-300);
    // Ordinary tables keep the straightforward sums.
    const double plain[] = {1.0, 2.0, 4.0};
    const double plain_d[] = {1.0, 2.0, 4.0};
    EXPECT_EQ(weighted_mean(plain, plain_d, Weights::distance), (1.0 + 2.0 * 0.5 + 4.0 * 0.25) / 1.75);
    EXPECT_EQ(weighted_mean(plain, plain_d, Weights::uniform), 7.0 / 3.0);
    // Random magnitudes across the whole range: finite, and within the donors' values.
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int round = 0; round < 20000; ++round) {
        const std::size_t n = 1 + rng() % 6;
        std::vector<double> values(n);
        std::vector<double> distances(n);
        for (std::size_t i = 0; i < n; ++i) {
            values[i] = std::ldexp(normal(rng), static_cast<int>(rng() % 2094) - 1074);  // finite
            distances[i] =
                rng() % 7 == 0 ? INF : std::ldexp(std::fabs(normal(rng)), static_cast<int>(rng() % 2100) - 1074);
        }
        std::sort(distances.begin(), distances.end());
        const double low = *std::min_element(values.begin(), values.end());
        const double high = *std::max_element(values.begin(), values.end());
        for (const Weights weights : {Weights::uniform, Weights::distance}) {
            const double mean = weighted_mean(values, distances, weights);
            ASSERT_TRUE(std::isfinite(mean)) << round;
            ASSERT_GE(mean, low) << round;
            ASSERT_LE(mean, high) << round;
        }
    }
}

TEST(QueryReference, GivenDistancesAndSelections) {
    const Table fitted{{1.0, 10.0, 2.0, NAN_, 3.0, 30.0, 4.0, 40.0}, 4, 2};
    std::vector<double> query{NAN_, NAN_, 0.0, NAN_};
    const DonorColumns columns = donor_columns(fitted.view());
    // Row 0 sees the rows at distances 3, NaN, 1, 1 (given); row 1 has no distance at all.
    const std::vector<double> given{3.0, NAN_, 1.0, -0.0 + 1.0, NAN_, NAN_, NAN_, NAN_};
    std::vector<std::int64_t> index(3 * 2);
    std::vector<double> distance(3 * 2);
    query_select_reference(fitted.view(), columns, query.data(), 2, 0, 2, 2, {index.data(), distance.data(), 2},
                           {given.data()});
    EXPECT_EQ(index, (std::vector<std::int64_t>{2, 3, 2, 3, -1, -1}));
    EXPECT_EQ(distance[0], 1.0);
    EXPECT_EQ(query[3], (10.0 + 30.0 + 40.0) / 3.0);
    EXPECT_TRUE(std::isnan(query[0]));  // selections are not averaged
    std::vector<double> averaged{NAN_, NAN_, 0.0, NAN_};
    query_reference(fitted.view(), columns, averaged.data(), 2, 0, 2, 2, Weights::uniform, {given.data()});
    EXPECT_EQ(averaged[0], 3.5);
    EXPECT_EQ(averaged[1], 35.0);
}

TEST(QueryReference, BrokenPreconditionsFail) {
    const Table fitted{{1.0, 2.0}, 1, 2};
    const DonorColumns columns = donor_columns(fitted.view());
    std::vector<double> query{NAN_, 1.0};
    EXPECT_TRUE(testing::panics_with(
        [&] { query_reference(fitted.view(), columns, query.data(), 1, 0, 1, 0, Weights::uniform); },
        "the query pass needs at least one neighbour"));
    EXPECT_TRUE(testing::panics_with(
        [&] { query_reference(fitted.view(), columns, query.data(), 1, 0, 2, 1, Weights::uniform); },
        "index out of bounds: the len is 1 but the index is 2"));
}

// --- the fast driver against the reference ---------------------------------------------------

enum class Flavour { integers, adversarial, gaussian, huge };

Table random_table(std::mt19937_64& rng, std::size_t rows, std::size_t cols, double rate, Flavour flavour) {
    Table t{std::vector<double>(rows * cols), rows, cols};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double odd[] = {0.0, -0.0, 1.0, 2.0, 1e200, -1e200, 1e-200, 3.0, 0.5, 2.0};
    for (double& v : t.values) {
        switch (flavour) {
            case Flavour::integers:
                v = static_cast<double>(rng() % 7);
                break;
            case Flavour::adversarial:
                v = odd[rng() % 10];
                break;
            case Flavour::gaussian:
                v = normal(rng);
                break;
            case Flavour::huge:  // distances and weighted sums that overflow, weights that do
                v = std::ldexp(normal(rng), (rng() & 1) ? 1020 : -1070);
                break;
        }
        if (unit(rng) < rate) {
            v = (rng() & 1) ? NAN_ : NAN_NEG;
        }
    }
    if (rows > 0 && cols > 1 && rng() % 3 == 0) {  // a column without values, a row without values
        const std::size_t c = rng() % cols;
        const std::size_t r = rng() % rows;
        for (std::size_t i = 0; i < rows; ++i) {
            t.values[i * cols + c] = NAN_;
        }
        for (std::size_t j = 0; j < cols; ++j) {
            t.values[r * cols + j] = NAN_;
        }
    }
    return t;
}

TEST(QueryFast, MatchesTheReferenceBitForBitOnEveryKernel) {
    std::mt19937_64 rng(20261208);
    const std::vector<KernelKind> kernels = available_kernels();
    ASSERT_EQ(kernels.front(), KernelKind::portable);
    PassTuning small;  // tiny blocks and groups: many super-blocks, groups split by cells
    small.superblock_bytes = 1;
    small.group_rows = 3;
    small.group_selections = 4;
    small.max_bounded_k = 4;  // k above it takes the full-ordering path
    // Pruning on every group of every width, and off: the same bits either way.
    detail::PruneCounts pruned_counts;
    PassTuning always = small;
    always.prune_min_skipped = 0.0;
    always.prune_min_columns = 0;
    always.prune_counts = &pruned_counts;
    PassTuning never;
    never.prune = false;
    std::size_t cases = 0;
    for (int round = 0; round < 120; ++round) {
        const auto flavour = static_cast<Flavour>(round % 4);
        const std::size_t cols = 1 + rng() % (round % 5 == 0 ? 70 : 12);
        const std::size_t fitted_rows = 1 + rng() % 150;
        const double rate = 0.05 + 0.6 * static_cast<double>(rng() % 100) / 100.0;
        const Table fitted = random_table(rng, fitted_rows, cols, rate, flavour);
        const Table query = random_table(rng, 1 + rng() % 60, cols, rate, flavour);
        const std::size_t k = 1 + rng() % 12;
        const DonorColumns columns = donor_columns(fitted.view());
        const QueryDonors donors(fitted.view());
        ASSERT_EQ(bits(donors.table()), bits(fitted.values));  // the panel keeps every bit
        for (const Weights weights : {Weights::uniform, Weights::distance}) {
            std::vector<double> want = query.values;
            query_reference(fitted.view(), columns, want.data(), query.rows, 0, query.rows, k, weights);
            for (const KernelKind kernel : kernels) {
                for (const PassTuning& tuning : {PassTuning{}, small, always, never}) {
                    std::vector<double> got = query.values;
                    // Two ranges: rows are independent.
                    const std::size_t half = query.rows / 2;
                    query_pass({donors, got.data(), query.rows, 0, half, k, weights, kernel},
                               with_tuning(PassOptions{}, tuning));
                    query_pass({donors, got.data(), query.rows, half, query.rows, k, weights, kernel},
                               with_tuning(PassOptions{}, tuning));
                    ASSERT_EQ(bits(got), bits(want))
                        << "round " << round << " kernel " << kernel_name(kernel) << " k " << k;
                    ++cases;
                }
            }
            // The query table is the fitted table (fit_transform): the shared-pairs path, and with
            // no selection budget the grouped one.
            std::vector<double> want_self = fitted.values;
            query_reference(fitted.view(), columns, want_self.data(), fitted.rows, 0, fitted.rows, k, weights);
            PassTuning no_budget = small;
            no_budget.selection_budget_bytes = 0;
            no_budget.selection_budget_per_fitted_byte = 0;
            for (const KernelKind kernel : kernels) {
                for (const PassTuning& tuning : {PassTuning{}, small, no_budget, always, never}) {
                    std::vector<double> got = fitted.values;
                    query_pass({donors, got.data(), fitted.rows, 0, fitted.rows, k, weights, kernel},
                               with_tuning(PassOptions{}, tuning));
                    ASSERT_EQ(bits(got), bits(want_self))
                        << "self, round " << round << " kernel " << kernel_name(kernel) << " k " << k;
                    ++cases;
                }
            }
        }
    }
    EXPECT_GE(cases, 1000u);
    // The pass did prune (else the comparison above would not cover it).
    EXPECT_GT(pruned_counts.skipped, 0u);
}

TEST(QueryFast, DonorsWithMaskedCellsGiveTheSameBits) {
    // The donors' panel with masked cells (what the portable kernels read where they are the
    // fastest) against the reference pass, on the portable kernel, pruning on and off.
    std::mt19937_64 rng(81);
    PassTuning always;
    always.prune_min_skipped = 0.0;
    always.prune_min_columns = 0;
    PassTuning never;
    never.prune = false;
    for (int round = 0; round < 60; ++round) {
        const auto flavour = static_cast<Flavour>(round % 4);
        const std::size_t cols = 1 + rng() % 20;
        const double rate = 0.05 + 0.5 * static_cast<double>(rng() % 100) / 100.0;
        const Table fitted = random_table(rng, 1 + rng() % 120, cols, rate, flavour);
        const Table query = random_table(rng, 1 + rng() % 40, cols, rate, flavour);
        const std::size_t k = 1 + rng() % 8;
        const QueryDonors plain(fitted.view(), false);
        const QueryDonors masked(fitted.view(), true);
        // The masked cells are two more copies of the padded cells, and the accounting says so.
        const std::size_t positions = (fitted.rows + 31) / 32 * 32;
        EXPECT_EQ(masked.bytes() - plain.bytes(), 2 * positions * cols * sizeof(double));
        EXPECT_GT(plain.bytes(), positions * cols * sizeof(double));
        ASSERT_EQ(bits(masked.table()), bits(fitted.values));
        std::vector<double> want = query.values;
        query_reference(fitted.view(), donor_columns(fitted.view()), want.data(), query.rows, 0, query.rows, k,
                        Weights::distance);
        for (const PassTuning& tuning : {PassTuning{}, always, never}) {
            std::vector<double> got = query.values;
            query_pass({masked, got.data(), query.rows, 0, query.rows, k, Weights::distance, KernelKind::portable},
                       with_tuning(PassOptions{}, tuning));
            ASSERT_EQ(bits(got), bits(want)) << "round " << round;
        }
    }
}

TEST(QueryFast, SquareRootTiesRankByRowIndex) {
    // Two fitted rows whose scaled squares d2 differ while their distances sqrt(d2) are equal:
    // the reference ranks them as equal distances (the lower index first), and so must the
    // fast driver, although the kernels order them apart by d2. Row 0 has the larger d2.
    const std::vector<double> query{0.0, NAN_};
    double low = std::sqrt(2.0);
    double high = low;
    bool found = false;
    for (int i = 0; i < 1000 && !found; ++i) {
        high = std::nextafter(low, 2.0);
        const double a[] = {high, 0.0};
        const double b[] = {low, 0.0};
        found = high * high * 2.0 > low * low * 2.0 &&
                nan_euclidean(query.data(), a, 2) == nan_euclidean(query.data(), b, 2);
        if (!found) {
            low = high;
        }
    }
    ASSERT_TRUE(found);
    const Table fitted{{high, 100.0, low, 200.0}, 2, 2};
    const QueryDonors donors(fitted.view());
    EXPECT_EQ(reference(fitted, query, 1, Weights::uniform)[1], 100.0);
    for (const KernelKind kernel : available_kernels()) {
        std::vector<double> got = query;
        query_pass({donors, got.data(), 1, 0, 1, 1, Weights::uniform, kernel});
        EXPECT_EQ(got[1], 100.0) << kernel_name(kernel);
    }
}

TEST(QueryFast, FewFittedRowsHeldRowMajorGiveTheSameBits) {
    // A few fitted rows are held as they are (DonorLayout::automatic takes them so while a panel
    // would be mostly padding): every kernel, ranges of rows, the fitted table as the query, and
    // the workers, against the reference pass.
    std::mt19937_64 rng(2718);
    std::size_t row_major = 0;
    for (int round = 0; round < 80; ++round) {
        const auto flavour = static_cast<Flavour>(round % 3);
        const std::size_t cols = 1 + rng() % 15;
        const std::size_t rows = 1 + rng() % 24;
        const double rate = 0.05 + 0.6 * static_cast<double>(rng() % 100) / 100.0;
        const Table fitted = random_table(rng, rows, cols, rate, flavour);
        const Table query = random_table(rng, 1 + rng() % 40, cols, rate, flavour);
        const std::size_t k = 1 + rng() % (round % 4 == 0 ? 400 : 8);
        const DonorColumns columns = donor_columns(fitted.view());
        for (const DonorLayout layout : {DonorLayout::automatic, DonorLayout::rows}) {
            const QueryDonors donors(fitted.view(), round % 2 == 0, layout);
            row_major += donors.is_row_major() ? 1 : 0;
            ASSERT_EQ(bits(donors.table()), bits(fitted.values));
            for (const Weights weights : {Weights::uniform, Weights::distance}) {
                for (const auto& [table, n] : {std::pair{&query.values, query.rows}, std::pair{&fitted.values, rows}}) {
                    std::vector<double> want = *table;
                    query_reference(fitted.view(), columns, want.data(), n, 0, n, k, weights);
                    for (const KernelKind kernel : available_kernels()) {
                        std::vector<double> got = *table;
                        query_pass({donors, got.data(), n, 0, n / 2, k, weights, kernel});
                        query_pass({donors, got.data(), n, n / 2, n, k, weights, kernel});
                        ASSERT_EQ(bits(got), bits(want)) << "round " << round << " " << kernel_name(kernel);
                        std::vector<double> par = *table;
                        PassOptions options;
                        options.threads = 2;
                        options.chunk_rows = 3;
                        ASSERT_TRUE(query_pass({donors, par.data(), n, 0, n, k, weights, kernel}, options));
                        ASSERT_EQ(bits(par), bits(want)) << "parallel, round " << round;
                        if (!donors.is_row_major()) {
                            continue;
                        }
                        // Polled (the calling thread runs such donors whatever `threads` says):
                        // the same bits with progress seen, and a refusal stops the pass at once,
                        // leaving its rows as they were.
                        PassOptions polled = options;
                        polled.poll_interval = std::chrono::milliseconds(0);
                        std::size_t last_done = 0;
                        polled.poll = [&](std::size_t done, std::size_t total) {
                            EXPECT_EQ(total, n);
                            EXPECT_GE(done, last_done);
                            last_done = done;
                            return true;
                        };
                        std::vector<double> seen = *table;
                        ASSERT_TRUE(query_pass({donors, seen.data(), n, 0, n, k, weights, kernel}, polled));
                        ASSERT_EQ(bits(seen), bits(want)) << "polled, round " << round;
                        EXPECT_EQ(last_done, n);
                        polled.poll = [](std::size_t, std::size_t) { return false; };
                        std::vector<double> stopped = *table;
                        EXPECT_FALSE(query_pass({donors, stopped.data(), n, 0, n, k, weights, kernel}, polled));
                        EXPECT_EQ(bits(stopped), bits(*table)) << "stopped, round " << round;
                    }
                }
            }
        }
    }
    EXPECT_GT(row_major, 80u);
}

}  // namespace
}  // namespace mirel::knn
