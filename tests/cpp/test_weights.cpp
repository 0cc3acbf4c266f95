// Weights from distances, and the weighted (never normalised) sums of donor values.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "knn/core/weights.hpp"
#include "test_helpers.hpp"

namespace mirel::knn::testing {
namespace {

// ---------------------------------------------------------------------------------------------
// get_weights
// ---------------------------------------------------------------------------------------------

std::vector<double> weights_for(std::uint32_t k, const char* scheme, const std::vector<double>& distances) {
    const KnnImputer imp = KnnImputer::create(k, "nan_euclid", scheme);
    return get_weights(imp, distances);
}

TEST(GetWeights, UniformIsOneOverKForEveryEntry) {
    EXPECT_EQ(bits(weights_for(5, "uniform", {2.0, 0.0, 4.0})), bits(std::vector<double>{0.2, 0.2, 0.2}));
    EXPECT_EQ(bits(weights_for(3, "uniform", {1.0, 1.0})), bits(std::vector<double>(2, 0.3333333333333333)));
    EXPECT_EQ(bits(weights_for(4294967295u, "uniform", {1.0})), bits(std::vector<double>{1.0 / 4294967295.0}));
}

TEST(GetWeights, UniformIgnoresTheDistancesEvenNaNAndInfinity) {
    const std::vector<double> w = weights_for(2, "uniform", {NAN_NEG, INF, -0.0, MAX, NAN_PAYLOAD});
    EXPECT_EQ(bits(w), bits(std::vector<double>(5, 0.5)));
}

TEST(GetWeights, UniformWithKZeroIsPlusInfinity) {
    EXPECT_EQ(bits(weights_for(0, "uniform", {1.0, 2.0, 3.0})), bits(std::vector<double>(3, INF)));
}

TEST(GetWeights, DistanceIsTheReciprocal) {
    EXPECT_EQ(bits(weights_for(5, "distance", {2.0, 0.0, 4.0})), bits(std::vector<double>{0.5, INF, 0.25}));
    EXPECT_EQ(bits(weights_for(5, "distance", {1.0, 2.0, 0.5, 4.0})), bits(std::vector<double>{1.0, 0.5, 2.0, 0.25}));
    // k plays no part.
    EXPECT_EQ(bits(weights_for(0, "distance", {3.0})), bits(std::vector<double>{1.0 / 3.0}));
}

TEST(GetWeights, DistanceAtInfinityNaNAndTheSelfDistance) {
    const std::vector<double> w = weights_for(5, "distance", {INF, NAN_NEG, SELF_DISTANCE});
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(bits(w[0]), bits(0.0));
    EXPECT_TRUE(std::isnan(w[1]));
    // 1 / 1.7976931348623157e308 is the subnormal 2^-1024, about 5.562684646268003e-309.
    EXPECT_EQ(SELF_DISTANCE, 1.7976931348623157e308);
    EXPECT_EQ(bits(w[2]), bits(std::ldexp(1.0, -1024)));
    EXPECT_EQ(bits(w[2]), bits(5.562684646268003e-309));
    EXPECT_EQ(std::fpclassify(w[2]), FP_SUBNORMAL);
}

TEST(GetWeights, EmptyDistanceListGivesAnEmptyList) {
    EXPECT_TRUE(weights_for(5, "uniform", {}).empty());
    EXPECT_TRUE(weights_for(0, "uniform", {}).empty());
    EXPECT_TRUE(weights_for(5, "distance", {}).empty());
}

// ---------------------------------------------------------------------------------------------
// average, on the 4 x 2 matrix [1, 10], [2, NaN], [3, 30], [4, 40]
// ---------------------------------------------------------------------------------------------

class Average : public ::testing::Test {
protected:
    static std::vector<double> matrix() { return {1.0, 10.0, 2.0, NAN_, 3.0, 30.0, 4.0, 40.0}; }

    static std::vector<double> run(std::uint32_t k, const char* scheme, std::vector<double> values,
                                   const std::vector<std::size_t>& order, const std::vector<std::size_t>& columns,
                                   const std::vector<double>& weights) {
        const std::size_t rows = values.size() / 2;
        const KnnImputer imp = fitted_imputer(k, "nan_euclid", scheme, std::move(values), rows, 2);
        return average(imp, order, columns, weights);
    }
};

TEST_F(Average, SkipsMissingDonorsAndStopsAfterK) {
    // Row 1 is passed over as NaN; then 30 x 0.5 and 10 x 0.5; row 3 is not used.
    const auto got = run(2, "uniform", matrix(), {1, 2, 0, 3}, {1}, std::vector<double>(4, 0.5));
    const double expected = (0.0 + 30.0 * 0.5) + 10.0 * 0.5;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(bits(got[0]), bits(expected));
    EXPECT_EQ(got[0], 20.0);
}

TEST_F(Average, ThirdsAccumulateInOrderAndDonorsAreChosenPerColumn) {
    const double w = 1.0 / 3.0;
    ASSERT_EQ(w, 0.3333333333333333);
    const auto got = run(3, "uniform", matrix(), {1, 2, 0, 3}, {1, 0}, std::vector<double>(4, w));
    ASSERT_EQ(got.size(), 2u);
    // Column 1: rows 2, 0, 3 (row 1 is missing). Column 0: rows 1, 2, 0.
    const double col1 = ((0.0 + 30.0 * w) + 10.0 * w) + 40.0 * w;
    const double col0 = ((0.0 + 2.0 * w) + 3.0 * w) + 1.0 * w;
    EXPECT_EQ(bits(got[0]), bits(col1));
    EXPECT_EQ(bits(got[1]), bits(col0));
    EXPECT_EQ(got[0], 26.666666666666664);
    EXPECT_EQ(got[1], 1.9999999999999998);
    EXPECT_NE(got[1], 2.0);
}

TEST_F(Average, FewerDonorsThanKAreStillDividedByK) {
    std::vector<double> x = matrix();
    x[7] = NAN_;  // row 3, column 1
    const double w = 1.0 / 3.0;
    const auto got = run(3, "uniform", x, {1, 2, 0, 3}, {1}, std::vector<double>(4, w));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(bits(got[0]), bits((0.0 + 30.0 * w) + 10.0 * w));
    EXPECT_EQ(got[0], 13.333333333333332);
}

TEST_F(Average, DistanceWeightedSumIsNotDividedByTheWeightTotal) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "distance", matrix(), 4, 2);
    const std::vector<double> w = get_weights(imp, std::vector<double>{1.0, 2.0, 0.5, 4.0});
    const std::vector<std::size_t> order = {2, 0, 1, 3};
    const std::vector<std::size_t> columns = {1};
    const auto got = average(imp, order, columns, w);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(bits(got[0]), bits((0.0 + 30.0 * 2.0) + 10.0 * 1.0));
    EXPECT_EQ(got[0], 70.0);
}

TEST_F(Average, ColumnWithoutAnyValueGetsPositiveZero) {
    const std::vector<double> x = {1.0, NAN_, 2.0, NAN_NEG, 3.0, NAN_PAYLOAD};
    const auto got = run(2, "uniform", x, {0, 1, 2}, {1, 0}, std::vector<double>(3, 0.5));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(bits(got[0]), bits(0.0));
    EXPECT_EQ(bits(got[1]), bits((0.0 + 1.0 * 0.5) + 2.0 * 0.5));
}

TEST_F(Average, SumStartsFromPositiveZero) {
    // A single donor of -0.0: +0.0 + (-0.0 x 1) is +0.0.
    const auto got = run(1, "uniform", {-0.0, -0.0}, {0}, {0, 1}, {1.0});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(bits(got[0]), bits(0.0));
    EXPECT_EQ(bits(got[1]), bits(0.0));
}

TEST_F(Average, KZeroUsesOneDonorTimesInfinity) {
    // Rows: [NaN, 5, 0, -2], [7, -3, 9, 0]; the first donor per column decides the sign, 0 gives NaN.
    const std::vector<double> x = {NAN_, 5.0, 0.0, -2.0, 7.0, -3.0, 9.0, 0.0};
    const KnnImputer imp = fitted_imputer(0, "nan_euclid", "uniform", x, 2, 4);
    const std::vector<double> w = get_weights(imp, std::vector<double>{1.0, 1.0});
    const std::vector<std::size_t> order = {0, 1};
    const std::vector<std::size_t> columns = {0, 1, 2, 3};
    const auto got = average(imp, order, columns, w);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], INF);           // row 0 is missing, row 1 gives 7 x inf
    EXPECT_EQ(got[1], INF);           // 5 x inf; row 1's -3 is not used
    EXPECT_TRUE(std::isnan(got[2]));  // 0 x inf
    EXPECT_EQ(got[3], -INF);          // -2 x inf
}

TEST_F(Average, KZeroWithDistanceWeightsUsesOneDonor) {
    const std::vector<double> w = {0.5, 0.25, 4.0, 1.0};
    const auto got = run(0, "distance", matrix(), {1, 2, 0, 3}, {1, 0}, w);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(bits(got[0]), bits(0.0 + 30.0 * 4.0));
    EXPECT_EQ(bits(got[1]), bits(0.0 + 2.0 * 0.25));
}

TEST_F(Average, KLargerThanTheOrderUsesEveryDonor) {
    const double w = 1.0 / 10.0;
    const auto got = run(10, "uniform", matrix(), {3, 2, 1, 0}, {1}, std::vector<double>(4, w));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(bits(got[0]), bits(((0.0 + 40.0 * w) + 30.0 * w) + 10.0 * w));
}

TEST_F(Average, InfiniteAndNaNWeightsFlowByIeeeRules) {
    const std::vector<double> x = {0.0, 5.0, INF, 1.0};
    // 0 x inf is NaN; inf x 0 is NaN; a NaN weight makes NaN.
    auto got = run(1, "distance", x, {0, 1}, {0, 1}, {INF, 0.0});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(std::isnan(got[0]));
    EXPECT_EQ(got[1], INF);
    got = run(1, "distance", x, {1, 0}, {0}, {2.0, 0.0});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(std::isnan(got[0]));
    got = run(2, "distance", x, {0, 1}, {1}, {NAN_, 1.0});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(std::isnan(got[0]));
}

TEST_F(Average, EmptyColumnsGiveAnEmptyResultWithoutReadingAnything) {
    const std::vector<std::size_t> bad_order = {100, 200};
    const std::vector<std::size_t> no_columns;
    const KnnImputer unfitted = KnnImputer::create(3, "nan_euclid", "uniform");
    EXPECT_TRUE(average(unfitted, bad_order, no_columns, std::vector<double>{}).empty());
    EXPECT_TRUE(average(unfitted, std::vector<std::size_t>{}, no_columns, std::vector<double>{}).empty());
    const KnnImputer fitted = fitted_imputer(3, "nan_euclid", "uniform", matrix(), 4, 2);
    EXPECT_TRUE(average(fitted, bad_order, no_columns, std::vector<double>{}).empty());
}

TEST_F(Average, UnfittedImputerGivesZerosForAnEmptyOrderAndFailsOtherwise) {
    const KnnImputer unfitted = KnnImputer::create(3, "nan_euclid", "uniform");
    const std::vector<std::size_t> columns = {0, 5};
    const auto got = average(unfitted, std::vector<std::size_t>{}, columns, std::vector<double>{});
    EXPECT_EQ(bits(got), bits(std::vector<double>{0.0, 0.0}));
    const std::vector<std::size_t> order = {0};
    EXPECT_FALSE(panic_message([&] { (void)average(unfitted, order, columns, std::vector<double>{1.0}); }).empty());
}

TEST_F(Average, EmptyOrderGivesZerosWithoutCheckingColumns) {
    const auto got = run(3, "uniform", matrix(), {}, {7, 1}, {});
    EXPECT_EQ(bits(got), bits(std::vector<double>{0.0, 0.0}));
}

// ---------------------------------------------------------------------------------------------
// average's index preconditions, checked before the offending value is used
// ---------------------------------------------------------------------------------------------

struct AverageFailure {
    const char* what;
    std::uint32_t k;
    std::vector<std::size_t> order;
    std::vector<std::size_t> columns;
    std::size_t weight_count;
    const char* message;
};

class AverageFailures : public ::testing::TestWithParam<AverageFailure> {};

TEST_P(AverageFailures, StopWithTheIndexMessage) {
    const AverageFailure& f = GetParam();
    const KnnImputer imp =
        fitted_imputer(f.k, "nan_euclid", "uniform", {1.0, 10.0, 2.0, NAN_, 3.0, 30.0, 4.0, 40.0}, 4, 2);
    const std::vector<double> w(f.weight_count, 0.5);
    EXPECT_TRUE(panics_with([&] { (void)average(imp, f.order, f.columns, w); }, f.message)) << f.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AverageFailures,
    ::testing::Values(
        AverageFailure{"row just past the fitted rows",
                       5,
                       {0, 4},
                       {0},
                       8,
                       "range end index 10 out of range for slice of length 8"},
        AverageFailure{"row further out", 5, {5}, {0}, 8, "range start index 10 out of range for slice of length 8"},
        AverageFailure{"row is checked before the column",
                       5,
                       {9},
                       {5},
                       16,
                       "range start index 18 out of range for slice of length 8"},
        AverageFailure{
            "column past the fitted columns", 5, {0}, {2}, 4, "index out of bounds: the len is 2 but the index is 2"},
        AverageFailure{"a later column past the fitted columns",
                       5,
                       {1},
                       {1, 3},
                       4,
                       "index out of bounds: the len is 2 but the index is 3"},
        AverageFailure{"weight list shorter than a donor's row index",
                       5,
                       {0, 3},
                       {0},
                       2,
                       "index out of bounds: the len is 2 but the index is 3"}),
    [](const auto& info) { return readable_name(info.index, info.param.what); });

TEST_F(Average, IndicesAfterTheColumnIsFinishedAreNeverTested) {
    // k = 1: row 0 finishes column 0, so row 99 is never taken.
    auto got = run(1, "uniform", matrix(), {0, 99}, {0}, {0.5});
    EXPECT_EQ(bits(got), bits(std::vector<double>{0.0 + 1.0 * 0.5}));
    // A donor missing in the column is passed over before its weight is looked up: row 1 has no
    // weight entry, but it is NaN in column 1.
    got = run(1, "uniform", matrix(), {1, 0}, {1}, {0.5});
    EXPECT_EQ(bits(got), bits(std::vector<double>{0.0 + 10.0 * 0.5}));
}

}  // namespace
}  // namespace mirel::knn::testing

namespace mirel::knn {
struct KnnImputerTestAccess {
    static KnnImputer with_weights(std::string weights) { return KnnImputer(3, "nan_euclid", std::move(weights)); }
};
}  // namespace mirel::knn

TEST(GetWeights, AnUnknownNameFailsBeforeAnythingElseEvenForNoDistances) {
    using mirel::knn::KnnImputerTestAccess;
    for (const std::string name : {"Uniform", "", "distances"}) {
        const auto imputer = KnnImputerTestAccess::with_weights(name);
        for (const std::vector<double>& distances : {std::vector<double>{}, std::vector<double>{1.0, 2.0}}) {
            try {
                (void)mirel::knn::get_weights(imputer, distances);
                ADD_FAILURE() << "no failure for weights name '" << name << "'";
            } catch (const mirel::knn::Panic& e) {
                EXPECT_EQ(std::string(e.what()), "Unknown weight " + name);
            }
        }
    }
}
