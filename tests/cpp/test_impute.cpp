// The imputation pass on hand-made tables, run against both the optimised pass and the
// straightforward reference.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "knn/core/metrics.hpp"
#include "knn/row/impute.hpp"
#include "test_helpers.hpp"

namespace mirel::knn::testing {
namespace {

class Pass : public ::testing::TestWithParam<PassImpl> {
protected:
    std::vector<double> run(const KnnImputer& imp, const std::vector<double>& input, std::size_t input_rows) const {
        return values_of(GetParam().fn(imp, input, input_rows));
    }
    ImputeResult run_raw(const KnnImputer& imp, const std::vector<double>& input, std::size_t input_rows) const {
        return GetParam().fn(imp, input, input_rows);
    }
    // Runs the pass and checks that it stops with exactly `message`.
    ::testing::AssertionResult fails_with(const KnnImputer& imp, const std::vector<double>& input,
                                          std::size_t input_rows, const std::string& message) const {
        return panics_with([&] { (void)GetParam().fn(imp, input, input_rows); }, message);
    }
};

INSTANTIATE_TEST_SUITE_P(Impl, Pass,
                         ::testing::Values(PassImpl{"impute", &impute},
                                           PassImpl{"impute_reference", &impute_reference}),
                         impl_name);

// Every cell other than the listed ones must be the input's bits.
void expect_only_changed(const std::vector<double>& input, const std::vector<double>& result,
                         const std::vector<std::size_t>& changed) {
    ASSERT_EQ(result.size(), input.size());
    for (std::size_t p = 0; p < input.size(); ++p) {
        bool listed = false;
        for (const std::size_t c : changed) {
            listed = listed || c == p;
        }
        if (!listed) {
            EXPECT_EQ(bits(result[p]), bits(input[p])) << "cell " << p << " changed";
        }
    }
}

std::vector<double> distance_list(const KnnImputer& imp, MetricFn metric, std::size_t r) {
    std::vector<double> d;
    for (std::size_t t = 0; t < imp.rows(); ++t) {
        d.push_back(t == r ? SELF_DISTANCE : metric(imp, imp.row(r), imp.row(t)));
    }
    return d;
}

// ---------------------------------------------------------------------------------------------
// The 4 x 2 table [1, 10], [2, NaN], [3, 30], [4, 40]
// ---------------------------------------------------------------------------------------------

const std::vector<double> FOUR_BY_TWO = {1.0, 10.0, 2.0, NAN_, 3.0, 30.0, 4.0, 40.0};

TEST_P(Pass, FourByTwoDistanceListAndOrderRevealedByK) {
    KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", FOUR_BY_TWO, 4, 2);
    // Distances from fitted row 1; the row itself gets the largest finite double.
    EXPECT_EQ(bits(distance_list(imp, &nan_euclid, 1)), bits(std::vector<double>{2.0, SELF_DISTANCE, 2.0, 8.0}));

    // Candidate order [0, 2, 3, 1]: each k takes one more donor for column 1 (row 1 is missing there).
    struct Step {
        std::uint32_t k;
        double expected;
    };
    const double third = 1.0 / 3.0;
    const Step steps[] = {
        {1, 0.0 + 10.0 * 1.0},                                      // row 0 before the tied row 2
        {2, (0.0 + 10.0 * 0.5) + 30.0 * 0.5},                       // 20.0
        {3, ((0.0 + 10.0 * third) + 30.0 * third) + 40.0 * third},  // 26.666666666666664
        {4, ((0.0 + 10.0 * 0.25) + 30.0 * 0.25) + 40.0 * 0.25},     // row 1 passed over: 20.0
    };
    for (const Step& s : steps) {
        imp.set_k(s.k);
        const auto out = run(imp, FOUR_BY_TWO, 4);
        EXPECT_EQ(bits(out[3]), bits(s.expected)) << "k = " << s.k;
        expect_only_changed(FOUR_BY_TWO, out, {3});
    }
    imp.set_k(2);
    EXPECT_EQ(run(imp, FOUR_BY_TWO, 4), (std::vector<double>{1.0, 10.0, 2.0, 20.0, 3.0, 30.0, 4.0, 40.0}));
    imp.set_k(3);
    EXPECT_EQ(run(imp, FOUR_BY_TWO, 4)[3], 26.666666666666664);
}

TEST_P(Pass, FourByTwoWithDistanceWeights) {
    KnnImputer imp = fitted_imputer(2, "nan_euclid", "distance", FOUR_BY_TWO, 4, 2);
    // Weights 1/2, 2^-1024 (the row itself), 1/2, 1/8 over the order [0, 2, 3, 1].
    EXPECT_EQ(bits(run(imp, FOUR_BY_TWO, 4)[3]), bits((0.0 + 10.0 * 0.5) + 30.0 * 0.5));
    imp.set_k(3);
    EXPECT_EQ(bits(run(imp, FOUR_BY_TWO, 4)[3]), bits(((0.0 + 10.0 * 0.5) + 30.0 * 0.5) + 40.0 * 0.125));
}

// ---------------------------------------------------------------------------------------------
// Fitted [1, 10], [2, 20], [3, 30], [4, 40]; the input differs from it
// ---------------------------------------------------------------------------------------------

const std::vector<double> COMPLETE = {1.0, 10.0, 2.0, 20.0, 3.0, 30.0, 4.0, 40.0};

TEST_P(Pass, TheReferenceRowIsTheLastFiniteCandidate) {
    KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", COMPLETE, 4, 2);
    EXPECT_EQ(bits(distance_list(imp, &nan_euclid, 1)), bits(std::vector<double>{101.0, SELF_DISTANCE, 101.0, 404.0}));
    std::vector<double> input = COMPLETE;
    input[3] = NAN_;
    auto out = run(imp, input, 4);
    EXPECT_EQ(out[3], 20.0);
    expect_only_changed(input, out, {3});

    // k = 4: fitted row 1 itself, ranked last, is the fourth donor with its value 20.
    imp.set_k(4);
    out = run(imp, input, 4);
    EXPECT_EQ(bits(out[3]), bits((((0.0 + 10.0 * 0.25) + 30.0 * 0.25) + 40.0 * 0.25) + 20.0 * 0.25));
    EXPECT_EQ(out[3], 25.0);

    // With distance weights the row itself weighs 2^-1024.
    KnnImputer by_distance = fitted_imputer(4, "nan_euclid", "distance", COMPLETE, 4, 2);
    const double expected =
        (((0.0 + 10.0 * (1.0 / 101.0)) + 30.0 * (1.0 / 101.0)) + 40.0 * (1.0 / 404.0)) + 20.0 * (1.0 / SELF_DISTANCE);
    EXPECT_EQ(bits(run(by_distance, input, 4)[3]), bits(expected));
}

TEST_P(Pass, DistancesComeFromTheFittedRowsAndPresentCellsFromTheInput) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", COMPLETE, 4, 2);
    const std::vector<double> input = {100.0, 10.0, 200.0, NAN_, 300.0, 30.0, 400.0, 40.0};
    EXPECT_EQ(run(imp, input, 4), (std::vector<double>{100.0, 10.0, 200.0, 20.0, 300.0, 30.0, 400.0, 40.0}));
}

TEST_P(Pass, DonorValuesComeFromTheFittedMatrix) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", COMPLETE, 4, 2);
    const std::vector<double> input = {1.0, 999.0, 2.0, NAN_, 3.0, 777.0, -0.0, INF};
    const auto out = run(imp, input, 4);
    EXPECT_EQ(bits(out[3]), bits((0.0 + 10.0 * 0.5) + 30.0 * 0.5));
    expect_only_changed(input, out, {3});
}

TEST_P(Pass, SameMissingCellsGiveTheSameFillWhateverTheOtherInputValues) {
    const KnnImputer imp = fitted_imputer(3, "expected_distance", "distance", COMPLETE, 4, 2);
    const std::vector<double> a = {NAN_, 1.0, 2.0, NAN_, 3.0, 4.0, 5.0, 6.0};
    const std::vector<double> b = {NAN_PAYLOAD, -1e300, INF, NAN_NEG, -0.0, 0.0, 7.0, -INF};
    const auto ra = run(imp, a, 4);
    const auto rb = run(imp, b, 4);
    EXPECT_EQ(bits(ra[0]), bits(rb[0]));
    EXPECT_EQ(bits(ra[3]), bits(rb[3]));
    expect_only_changed(b, rb, {0, 3});
}

// ---------------------------------------------------------------------------------------------
// [1, NaN], [NaN, 5], [3, 30]: rows at +inf rank behind the reference row
// ---------------------------------------------------------------------------------------------

TEST_P(Pass, RowsAtInfinityComeAfterTheReferenceRow) {
    const std::vector<double> x = {1.0, NAN_, NAN_, 5.0, 3.0, 30.0};
    KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", x, 3, 2);
    EXPECT_EQ(bits(distance_list(imp, &nan_euclid, 0)), bits(std::vector<double>{SELF_DISTANCE, INF, 8.0}));
    EXPECT_EQ(bits(distance_list(imp, &nan_euclid, 1)), bits(std::vector<double>{INF, SELF_DISTANCE, 1250.0}));

    // Orders: row 0 -> [2, 0, 1], row 1 -> [2, 1, 0].
    struct Step {
        std::uint32_t k;
        double cell01;
        double cell10;
    };
    const double third = 1.0 / 3.0;
    const Step steps[] = {
        {1, 0.0 + 30.0 * 1.0, 0.0 + 3.0 * 1.0},
        {2, (0.0 + 30.0 * 0.5) + 5.0 * 0.5, (0.0 + 3.0 * 0.5) + 1.0 * 0.5},
        {3, (0.0 + 30.0 * third) + 5.0 * third, (0.0 + 3.0 * third) + 1.0 * third},
        {4, (0.0 + 30.0 * 0.25) + 5.0 * 0.25, (0.0 + 3.0 * 0.25) + 1.0 * 0.25},
    };
    for (const Step& s : steps) {
        imp.set_k(s.k);
        const auto out = run(imp, x, 3);
        EXPECT_EQ(bits(out[1]), bits(s.cell01)) << "k = " << s.k;
        EXPECT_EQ(bits(out[2]), bits(s.cell10)) << "k = " << s.k;
        expect_only_changed(x, out, {1, 2});
    }
    imp.set_k(1);
    EXPECT_EQ(run(imp, x, 3), (std::vector<double>{1.0, 30.0, 3.0, 5.0, 3.0, 30.0}));
    imp.set_k(3);
    const auto out = run(imp, x, 3);
    EXPECT_EQ(out[1], 11.666666666666666);
    EXPECT_EQ(out[2], 1.3333333333333333);
}

TEST_P(Pass, TheReferenceRowDonatesWhenItHoldsAValue) {
    // Fitted row 0 holds 9 in column 1, the input row 0 misses it. Fitted row 1 is at +inf
    // (inf - 1), fitted row 2 at NaN (inf - inf): the reference row is the nearest candidate.
    KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", {INF, 9.0, 1.0, 7.0, INF, 5.0}, 3, 2);
    const std::vector<double> input = {INF, NAN_, 1.0, 7.0, INF, 5.0};
    EXPECT_EQ(bits(run(imp, input, 3)[1]), bits(0.0 + 9.0 * 1.0));
    imp.set_k(2);
    EXPECT_EQ(bits(run(imp, input, 3)[1]), bits((0.0 + 9.0 * 0.5) + 7.0 * 0.5));
    imp.set_k(3);
    const double w = 1.0 / 3.0;
    EXPECT_EQ(bits(run(imp, input, 3)[1]), bits(((0.0 + 9.0 * w) + 7.0 * w) + 5.0 * w));
}

TEST_P(Pass, TheReferenceRowRanksAheadOfALowerRowAtInfinity) {
    // Reference row 1 [1, 9]; row 0 [inf, 7] is at +inf (inf - 1) and has the lower index, so only
    // the largest finite self distance puts row 1 first.
    const KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", {INF, 7.0, 1.0, 9.0}, 2, 2);
    const std::vector<double> input = {INF, 7.0, 1.0, NAN_};
    EXPECT_EQ(bits(distance_list(imp, &nan_euclid, 1)), bits(std::vector<double>{INF, SELF_DISTANCE}));
    EXPECT_EQ(bits(run(imp, input, 2)[3]), bits(0.0 + 9.0 * 1.0));
}

TEST_P(Pass, NaNDistanceRanksAfterPlusInfinity) {
    // Row 0 [inf, NaN]; row 1 [inf, 5] is at a NaN distance (inf - inf); row 2 [NaN, 7] at +inf.
    const std::vector<double> x = {INF, NAN_, INF, 5.0, NAN_, 7.0};
    for (const char* metric : {"nan_euclid", "expected_distance"}) {
        SCOPED_TRACE(metric);
        KnnImputer imp = fitted_imputer(1, metric, "uniform", x, 3, 2);
        const std::vector<double> d = distance_list(imp, select_metric(metric), 0);
        ASSERT_TRUE(std::isnan(d[1]));
        ASSERT_EQ(d[2], INF);
        // Order [0, 2, 1]: row 0 is missing in column 1, row 2 is the first donor.
        auto out = run(imp, x, 3);
        EXPECT_EQ(bits(out[1]), bits(0.0 + 7.0 * 1.0));
        imp.set_k(2);
        out = run(imp, x, 3);
        EXPECT_EQ(bits(out[1]), bits((0.0 + 7.0 * 0.5) + 5.0 * 0.5));
        // With distance weights the NaN distance gives a NaN weight, and the sum is NaN once used.
        KnnImputer by_distance = fitted_imputer(1, metric, "distance", x, 3, 2);
        EXPECT_EQ(bits(run(by_distance, x, 3)[1]), bits(0.0 + 7.0 * 0.0));
        by_distance.set_k(2);
        EXPECT_TRUE(std::isnan(run(by_distance, x, 3)[1]));
    }
}

TEST_P(Pass, TheMetricNameChoosesTheDistance) {
    // Reference [0, NaN]; row 1 [1, 100] is nearer by nan_euclid (2 against 18), row 2 [3, 0.5]
    // is nearer by expected_distance (3.5 against 101).
    const std::vector<double> x = {0.0, NAN_, 1.0, 100.0, 3.0, 0.5};
    const KnnImputer euclid = fitted_imputer(1, "nan_euclid", "uniform", x, 3, 2);
    const KnnImputer expected = fitted_imputer(1, "expected_distance", "uniform", x, 3, 2);
    EXPECT_EQ(bits(distance_list(euclid, &nan_euclid, 0)), bits(std::vector<double>{SELF_DISTANCE, 2.0, 18.0}));
    EXPECT_EQ(bits(distance_list(expected, &expected_distance, 0)),
              bits(std::vector<double>{SELF_DISTANCE, 100.0 + 1.0, 0.5 + 3.0}));
    EXPECT_EQ(run(euclid, x, 3)[1], 100.0);
    EXPECT_EQ(run(expected, x, 3)[1], 0.5);
}

// ---------------------------------------------------------------------------------------------
// Rows and cells
// ---------------------------------------------------------------------------------------------

TEST_P(Pass, RowWithEveryCellMissing) {
    // Row 1 shares no coordinate with any row: all at +inf, behind the row itself, ties by index.
    const std::vector<double> x = {1.0, 2.0, 3.0, NAN_, NAN_NEG, NAN_PAYLOAD, 7.0, NAN_, 9.0};
    KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", x, 3, 3);
    auto out = run(imp, x, 3);
    // Row 1 from row 0; row 2's column 1 from its nearest row, row 0 (distance (6^2 + 6^2) x 3/2).
    EXPECT_EQ(bits(out), bits(std::vector<double>{1.0, 2.0, 3.0, 1.0, 2.0, 3.0, 7.0, 2.0, 9.0}));
    imp.set_k(2);
    out = run(imp, x, 3);
    EXPECT_EQ(bits(out[3]), bits((0.0 + 1.0 * 0.5) + 7.0 * 0.5));
    EXPECT_EQ(bits(out[4]), bits(0.0 + 2.0 * 0.5));  // row 2 is missing in column 1: only one donor
    EXPECT_EQ(bits(out[5]), bits((0.0 + 3.0 * 0.5) + 9.0 * 0.5));
}

TEST_P(Pass, ColumnMissingEverywhereIsFilledWithZero) {
    const std::vector<double> x = {1.0, NAN_, 2.0, NAN_, 3.0, NAN_};
    const KnnImputer imp = fitted_imputer(2, "expected_distance", "distance", x, 3, 2);
    const auto out = run(imp, x, 3);
    EXPECT_EQ(bits(out), bits(std::vector<double>{1.0, 0.0, 2.0, 0.0, 3.0, 0.0}));
}

TEST_P(Pass, EveryNaNPatternIsAMissingCell) {
    const std::vector<double> fitted = {1.0, 10.0, 2.0, 20.0, 3.0, 30.0, 4.0, 40.0};
    const KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", fitted, 4, 2);
    for (const double m : {NAN_Q, NAN_NEG, NAN_PAYLOAD, NAN_NEG_PAYLOAD, NAN_SIGNALLING}) {
        const std::vector<double> input = {1.0, 10.0, 2.0, m, 3.0, 30.0, 4.0, 40.0};
        EXPECT_EQ(bits(run(imp, input, 4)[3]), bits(10.0)) << std::hex << bits(m);
    }
}

TEST_P(Pass, PresentCellsOfAPartlyMissingRowKeepTheirBits) {
    const std::vector<double> x = {-0.0, NAN_, INF, 1.0, 2.0, 3.0, -INF, 4.0, 5e-324};
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", x, 3, 3);
    const auto out = run(imp, x, 3);
    expect_only_changed(x, out, {1});
    EXPECT_FALSE(std::isnan(out[1]));
}

TEST_P(Pass, InputWithoutMissingCellsIsReturnedBitForBit) {
    const std::vector<double> x = {-0.0, INF, -INF, 5e-324, MAX, -MAX, 1.0, 2.0};
    const KnnImputer imp = fitted_imputer(3, "expected_distance", "distance", x, 4, 2);
    EXPECT_EQ(bits(run(imp, x, 4)), bits(x));
}

TEST_P(Pass, EmptyInputGivesAnEmptyResult) {
    EXPECT_TRUE(run(fitted_imputer(3, "nan_euclid", "uniform", COMPLETE, 4, 2), {}, 0).empty());
    EXPECT_TRUE(run(fitted_imputer(3, "nan_euclid", "uniform", {}, 0, 0), {}, 0).empty());
    EXPECT_TRUE(run(fitted_imputer(3, "nan_euclid", "uniform", {}, 0, 3), {}, 0).empty());
}

TEST_P(Pass, ImputerAndInputAreNotChanged) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", FOUR_BY_TWO, 4, 2);
    const std::vector<double> input = FOUR_BY_TWO;
    const auto first = run(imp, input, 4);
    const auto second = run(imp, input, 4);
    EXPECT_EQ(bits(first), bits(second));
    EXPECT_EQ(bits(input), bits(FOUR_BY_TWO));
    EXPECT_EQ(bits(std::vector<double>(imp.fitted_values().begin(), imp.fitted_values().end())), bits(FOUR_BY_TWO));
    EXPECT_EQ(imp.k(), 2u);
    EXPECT_EQ(imp.rows(), 4u);
    EXPECT_EQ(imp.cols(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Ties
// ---------------------------------------------------------------------------------------------

TEST_P(Pass, TiesAboveTwentyCandidatesKeepAscendingRowOrder) {
    // 30 rows of 2. Row 0 is [0, NaN]; row 25 is nearest (0.5); every other row is tied at 2.
    const std::size_t rows = 30;
    std::vector<double> x;
    for (std::size_t t = 0; t < rows; ++t) {
        x.push_back(t == 0 ? 0.0 : (t == 25 ? 0.5 : 1.0));
        x.push_back(t == 0 ? NAN_ : static_cast<double>(100 + t));
    }
    KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", x, rows, 2);
    EXPECT_EQ(run(imp, x, rows)[1], 125.0);
    imp.set_k(4);
    const double w = 0.25;
    EXPECT_EQ(bits(run(imp, x, rows)[1]), bits((((0.0 + 125.0 * w) + 101.0 * w) + 102.0 * w) + 103.0 * w));
    imp.set_k(29);
    double sum = 0.0 + 125.0 * (1.0 / 29.0);
    for (std::size_t t = 1; t < rows; ++t) {
        if (t != 25) {
            sum = sum + static_cast<double>(100 + t) * (1.0 / 29.0);
        }
    }
    EXPECT_EQ(bits(run(imp, x, rows)[1]), bits(sum));
}

TEST_P(Pass, ThreeHundredTiedRowsDonateInRowOrder) {
    // Every row is [1, t / 2] and row 150 misses column 1: every distance from it is 0.
    const std::size_t rows = 300;
    std::vector<double> x;
    for (std::size_t t = 0; t < rows; ++t) {
        x.push_back(1.0);
        x.push_back(t == 150 ? NAN_ : static_cast<double>(t) * 0.5);
    }
    const KnnImputer imp = fitted_imputer(5, "nan_euclid", "uniform", x, rows, 2);
    const double w = 1.0 / 5.0;
    EXPECT_EQ(bits(run(imp, x, rows)[301]), bits(((((0.0 + 0.0 * w) + 0.5 * w) + 1.0 * w) + 1.5 * w) + 2.0 * w));
    // Distance weights on zero distances are +inf: the first donor, 0.0, gives 0 x inf = NaN.
    const KnnImputer by_distance = fitted_imputer(1, "nan_euclid", "distance", x, rows, 2);
    EXPECT_TRUE(std::isnan(run(by_distance, x, rows)[301]));
    // With row 0 missing column 1 as well, both rows take row 1's 0.5 x inf.
    x[1] = NAN_;
    const KnnImputer both = fitted_imputer(1, "nan_euclid", "distance", x, rows, 2);
    const auto out = run(both, x, rows);
    EXPECT_EQ(out[1], INF);
    EXPECT_EQ(out[301], INF);
}

TEST_P(Pass, TiesAtInfinityAboveTwentyCandidatesKeepAscendingRowOrder) {
    // Row 0 is [1, NaN]; every other row is [NaN, t]: all at +inf behind the row itself.
    const std::size_t rows = 40;
    std::vector<double> x = {1.0, NAN_};
    for (std::size_t t = 1; t < rows; ++t) {
        x.push_back(NAN_);
        x.push_back(static_cast<double>(t));
    }
    const KnnImputer imp = fitted_imputer(3, "nan_euclid", "uniform", x, rows, 2);
    const double w = 1.0 / 3.0;
    EXPECT_EQ(bits(run(imp, x, rows)[1]), bits(((0.0 + 1.0 * w) + 2.0 * w) + 3.0 * w));
}

// ---------------------------------------------------------------------------------------------
// Inputs of another shape than the fitted one
// ---------------------------------------------------------------------------------------------

const std::vector<double> FOUR_BY_THREE = {
    0.0, 0.0, 100.0,  //
    5.0, 5.0, 200.0,  //
    9.0, 9.0, 300.0,  //
    9.5, 9.5, 400.0,  //
};

TEST_P(Pass, FewerInputRowsLimitTheCandidates) {
    // 2 x 6 against a fitted 4 x 3: read as 4 rows of 3, and only fitted rows 0 and 1 are candidates,
    // although fitted row 3 is the nearest to row 2.
    const KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    std::vector<double> input = FOUR_BY_THREE;
    input[8] = NAN_;  // cell (2, 2) in rows of 3
    auto out = run(imp, input, 2);
    EXPECT_EQ(out[8], 200.0);
    expect_only_changed(input, out, {8});
    // With the fitted row count, row 3 is the donor.
    EXPECT_EQ(run(imp, input, 4)[8], 400.0);
    // k = 3: only two candidates, and the reference row 2 is not one of them.
    KnnImputer k3 = fitted_imputer(3, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    EXPECT_EQ(bits(run(k3, input, 2)[8]), bits((0.0 + 200.0 * (1.0 / 3.0)) + 100.0 * (1.0 / 3.0)));
    // No candidate at all: the cell gets 0.0.
    EXPECT_EQ(bits(run(k3, input, 0)[8]), bits(0.0));
}

TEST_P(Pass, ShortLastRowOnlyListsItsOwnCells) {
    // 2 x 5 = 10 cells against a fitted 4 x 3: the last row read is cell 9 alone.
    const KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    std::vector<double> input(FOUR_BY_THREE.begin(), FOUR_BY_THREE.begin() + 10);
    input[9] = NAN_;
    const auto out = run(imp, input, 2);
    ASSERT_EQ(out.size(), 10u);
    // Candidates rows 0 and 1; fitted row 1 is nearer to fitted row 3.
    EXPECT_EQ(out[9], 5.0);
    expect_only_changed(input, out, {9});
}

TEST_P(Pass, MoreInputRowsThanFittedFailInTheSort) {
    // 6 x 2 against a fitted 4 x 3: the cells read as 4 rows of 3, but there are 6 candidates.
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    for (const std::size_t p : {std::size_t{0}, std::size_t{7}, std::size_t{11}}) {
        std::vector<double> input = FOUR_BY_THREE;
        input[p] = NAN_;
        EXPECT_TRUE(fails_with(imp, input, 6, "index out of bounds: the len is 4 but the index is 4")) << "cell " << p;
    }
    // Without a missing cell nothing is sorted and the input comes back.
    EXPECT_EQ(bits(run(imp, FOUR_BY_THREE, 6)), bits(FOUR_BY_THREE));
}

TEST_P(Pass, MoreThanTwentyCandidatesBeyondTheFittedRowsFail) {
    // Any index at or past the fitted row count may be the one reported.
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    std::vector<double> input = FOUR_BY_THREE;
    input[4] = NAN_;
    const std::string message = panic_message([&] { (void)GetParam().fn(imp, input, 30); });
    const std::string prefix = "index out of bounds: the len is 4 but the index is ";
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
    const std::size_t index = std::stoul(message.substr(prefix.size()));
    EXPECT_GE(index, 4u);
    EXPECT_LT(index, 30u);
}

TEST_P(Pass, MissingCellInTheRowJustPastTheFittedRows) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    std::vector<double> input = FOUR_BY_THREE;
    input.insert(input.end(), {1.0, NAN_, 2.0});  // row 4 of 3 cells
    EXPECT_TRUE(fails_with(imp, input, 5, "range end index 15 out of range for slice of length 12"));
    EXPECT_TRUE(fails_with(imp, input, 1, "range end index 15 out of range for slice of length 12"));
    EXPECT_TRUE(fails_with(imp, input, 3, "range end index 15 out of range for slice of length 12"));
}

TEST_P(Pass, MissingCellInARowFurtherOut) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    std::vector<double> input = FOUR_BY_THREE;
    input.insert(input.end(), {1.0, 2.0, 3.0, 4.0, 5.0, NAN_});  // rows 4 and 5; row 5 misses a cell
    EXPECT_TRUE(fails_with(imp, input, 6, "range start index 15 out of range for slice of length 12"));
    EXPECT_TRUE(fails_with(imp, input, 2, "range start index 15 out of range for slice of length 12"));
}

TEST_P(Pass, RowsAreExaminedInOrderSoTheFirstFailureWins) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", FOUR_BY_THREE, 4, 3);
    std::vector<double> input = FOUR_BY_THREE;
    input.insert(input.end(), {1.0, NAN_, 2.0});
    input[1] = NAN_;  // row 0 now fails first, in the sort of 5 candidates
    EXPECT_TRUE(fails_with(imp, input, 5, "index out of bounds: the len is 4 but the index is 4"));
    // With 4 candidates row 0 is filled and row 4 then fails on its reference row.
    EXPECT_TRUE(fails_with(imp, input, 4, "range end index 15 out of range for slice of length 12"));
}

TEST_P(Pass, ZeroFittedRows) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", {}, 0, 3);
    EXPECT_TRUE(fails_with(imp, {NAN_, 1.0, 2.0}, 1, "range end index 3 out of range for slice of length 0"));
    EXPECT_TRUE(
        fails_with(imp, {1.0, 1.0, 2.0, 3.0, NAN_, 4.0}, 2, "range start index 3 out of range for slice of length 0"));
    EXPECT_EQ(bits(run(imp, {1.0, 2.0, 3.0}, 1)), bits(std::vector<double>{1.0, 2.0, 3.0}));
}

TEST_P(Pass, ZeroFittedColumns) {
    const KnnImputer imp = fitted_imputer(2, "nan_euclid", "uniform", {}, 4, 0);
    for (const double m : {NAN_Q, NAN_NEG, NAN_SIGNALLING}) {
        EXPECT_TRUE(fails_with(imp, {1.0, m}, 1, "attempt to divide by zero"));
    }
    const std::vector<double> input = {1.0, -0.0, INF};
    EXPECT_EQ(bits(run(imp, input, 3)), bits(input));
    EXPECT_TRUE(run(imp, {}, 0).empty());
}

// ---------------------------------------------------------------------------------------------
// Metric names
// ---------------------------------------------------------------------------------------------

struct MetricNameCase {
    std::string name;
    std::string message;
};

class PassUnknownMetric : public ::testing::TestWithParam<std::tuple<PassImpl, MetricNameCase>> {};

TEST_P(PassUnknownMetric, FailsBeforeLookingAtTheInput) {
    const auto& [impl, c] = GetParam();
    const KnnImputer imp = fitted_imputer(2, c.name, "uniform", FOUR_BY_TWO, 4, 2);
    const std::vector<std::vector<double>> inputs = {FOUR_BY_TWO, COMPLETE, {}, {NAN_}};
    for (const auto& input : inputs) {
        const ImputeResult result = impl.fn(imp, input, input.size() / 2);
        ASSERT_TRUE(std::holds_alternative<UnknownMetric>(result)) << "input of " << input.size() << " cells";
        EXPECT_EQ(std::get<UnknownMetric>(result).message, c.message);
    }
    // Also where the pass would otherwise fail.
    const KnnImputer no_cols = fitted_imputer(2, c.name, "uniform", {}, 4, 0);
    const ImputeResult result = impl.fn(no_cols, std::vector<double>{NAN_}, 1);
    ASSERT_TRUE(std::holds_alternative<UnknownMetric>(result));
    EXPECT_EQ(std::get<UnknownMetric>(result).message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PassUnknownMetric,
    ::testing::Combine(::testing::Values(PassImpl{"impute", &impute}, PassImpl{"impute_reference", &impute_reference}),
                       ::testing::Values(MetricNameCase{"manhattan", "manhattan is a unknown metric"},
                                         MetricNameCase{"", " is a unknown metric"},
                                         MetricNameCase{"Nan_euclid", "Nan_euclid is a unknown metric"},
                                         MetricNameCase{"nan_euclid ", "nan_euclid  is a unknown metric"},
                                         MetricNameCase{"expected-distance", "expected-distance is a unknown metric"},
                                         MetricNameCase{"métrique", "métrique is a unknown metric"})),
    [](const ::testing::TestParamInfo<std::tuple<PassImpl, MetricNameCase>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               readable_name(info.index, std::get<1>(info.param).name);
    });

}  // namespace
}  // namespace mirel::knn::testing
