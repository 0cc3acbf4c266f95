// The two NaN-tolerant row distances, their exact arithmetic and their failure on a short row.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "knn/core/metrics.hpp"
#include "test_helpers.hpp"

namespace mirel::knn::testing {
namespace {

const KnnImputer& any_imputer() {
    // Neither metric consults the imputer; an unfitted one shows that.
    static const KnnImputer imp = KnnImputer::create(5, "whatever", "uniform");
    return imp;
}

double euclid(const std::vector<double>& a, const std::vector<double>& b) { return nan_euclid(any_imputer(), a, b); }

double expected(const std::vector<double>& a, const std::vector<double>& b) {
    return expected_distance(any_imputer(), a, b);
}

// ---------------------------------------------------------------------------------------------
// Worked examples
// ---------------------------------------------------------------------------------------------

TEST(NanEuclid, OneSharedCoordinateIsScaledToTheFullWidth) {
    // One shared coordinate, squared difference 1, scaled by 3 / 1.
    EXPECT_EQ(bits(euclid({1.0, NAN_, 3.0}, {2.0, 5.0, NAN_})), bits(3.0));
}

TEST(ExpectedDistance, MissingTermsAddOutsideTheRoot) {
    // square_sum 1; missing_sum max(5, -4) + max(3, -2) = 8; 8 + sqrt(1).
    EXPECT_EQ(bits(expected({1.0, NAN_, 3.0}, {2.0, 5.0, NAN_})), bits(9.0));
}

TEST(NanEuclid, FractionalExampleGivesThreeHundredSixtyThousandths) {
    const double got = euclid({0.2, NAN_, 0.9, NAN_}, {0.5, 0.7, NAN_, NAN_});
    // The stated operations, each rounded: d = 0.2 - 0.5, sum = +0.0 + d * d, scale = 4 / 1.
    const double d = 0.2 - 0.5;
    const double sum = 0.0 + d * d;
    const double scale = 4.0 / 1.0;
    EXPECT_EQ(bits(got), bits(sum * scale));
    EXPECT_NEAR(got, 0.36, 1e-15);
}

TEST(ExpectedDistance, FractionalExampleGivesTwoPointTwoThreeThree) {
    const double got = expected({0.2, NAN_, 0.9, NAN_}, {0.5, 0.7, NAN_, NAN_});
    // missing_sum in index order: max(0.7, 1 - 0.7), max(0.9, 1 - 0.9), 0.333; then + sqrt(d * d).
    double missing_sum = 0.0;
    missing_sum = missing_sum + 0.7;
    missing_sum = missing_sum + 0.9;
    missing_sum = missing_sum + 0.333;
    const double d = 0.2 - 0.5;
    const double square_sum = 0.0 + d * d;
    EXPECT_EQ(bits(got), bits(missing_sum + std::sqrt(square_sum)));
    EXPECT_NEAR(got, 2.233, 1e-15);
    EXPECT_NEAR(missing_sum, 1.933, 1e-15);
}

TEST(BothMetrics, IdenticalCompleteRowsAreAtPositiveZero) {
    for (const auto& row : std::vector<std::vector<double>>{{1.0, 2.0, 3.0}, {-0.0, 0.0}, {-5.5}, {1e300, -1e-300}}) {
        EXPECT_EQ(bits(euclid(row, row)), bits(0.0));
        EXPECT_EQ(bits(expected(row, row)), bits(0.0));
    }
}

TEST(BothMetrics, NoSharedCoordinate) {
    EXPECT_EQ(euclid({NAN_, NAN_}, {1.0, 2.0}), INF);
    // max(1, 0) + max(2, -1) + sqrt(0)
    EXPECT_EQ(bits(expected({NAN_, NAN_}, {1.0, 2.0})), bits(3.0));
}

TEST(BothMetrics, BothMissingInTheOnlyCoordinate) {
    EXPECT_EQ(euclid({NAN_}, {NAN_}), INF);
    EXPECT_EQ(bits(expected({NAN_}, {NAN_})), bits(0.333));
    // 0.333 is the double nearest 0.333, not a third.
    EXPECT_EQ(BOTH_MISSING_PENALTY, 0.333);
}

TEST(BothMetrics, EmptyRows) {
    EXPECT_EQ(euclid({}, {}), INF);
    EXPECT_EQ(bits(expected({}, {})), bits(0.0));
    // The length check comes after the empty case: an empty first row never fails.
    EXPECT_EQ(euclid({}, {1.0}), INF);
    EXPECT_EQ(bits(expected({}, {1.0})), bits(0.0));
}

TEST(BothMetrics, SameInfinityInASharedCoordinateGivesNaN) {
    EXPECT_TRUE(std::isnan(euclid({INF, 1.0}, {INF, 1.0})));
    EXPECT_TRUE(std::isnan(expected({INF, 1.0}, {INF, 1.0})));
    EXPECT_TRUE(std::isnan(euclid({-INF, 1.0}, {-INF, 3.0})));
    EXPECT_TRUE(std::isnan(expected({-INF, 1.0}, {-INF, 3.0})));
}

TEST(BothMetrics, OneInfiniteSharedCoordinateGivesPlusInfinity) {
    EXPECT_EQ(euclid({INF, 1.0}, {2.0, 1.0}), INF);
    EXPECT_EQ(euclid({-INF, NAN_}, {INF, 1.0}), INF);
    EXPECT_EQ(expected({1.0, -INF}, {1.0, 7.0}), INF);
    // ... unless another shared coordinate yields NaN.
    EXPECT_TRUE(std::isnan(euclid({INF, INF}, {2.0, INF})));
}

TEST(ExpectedDistance, OneMissingTermIsTheLargerOfValueAndComplement) {
    // v = 3 gives 3, v = -2 gives 3 (1 - (-2)); v in [0, 1] gives at least 0.5.
    EXPECT_EQ(bits(expected({NAN_}, {3.0})), bits(3.0));
    EXPECT_EQ(bits(expected({NAN_}, {-2.0})), bits(3.0));
    EXPECT_EQ(bits(expected({-2.0}, {NAN_})), bits(3.0));
    EXPECT_EQ(bits(expected({0.5}, {NAN_})), bits(0.5));
    EXPECT_EQ(bits(expected({NAN_}, {0.25})), bits(0.75));
    EXPECT_EQ(bits(expected({NAN_}, {-0.0})), bits(1.0));
    EXPECT_EQ(expected({NAN_}, {INF}), INF);
    EXPECT_EQ(expected({-INF}, {NAN_}), INF);
    // Terms are not squared: 3 + 3, plus sqrt((1 - 4)^2) = 3.
    EXPECT_EQ(bits(expected({NAN_, -2.0, 1.0}, {3.0, NAN_, 4.0})), bits(9.0));
}

TEST(ExpectedDistance, KnownKnownPartIsAnUnscaledEuclideanDistance) {
    // sqrt(3^2 + 4^2) = 5, without the rescaling that nan_euclid applies.
    EXPECT_EQ(bits(expected({0.0, 0.0, NAN_}, {3.0, 4.0, NAN_})), bits(5.0 + 0.333));
    EXPECT_EQ(bits(euclid({0.0, 0.0, NAN_}, {3.0, 4.0, NAN_})), bits(25.0 * (3.0 / 2.0)));
}

TEST(NanEuclid, ScaleIsDividedBeforeTheMultiplication) {
    // 3 shared coordinates of 7, with a sum for which sum * (7 / 3) and sum * 7 / 3 differ in the
    // last bit.
    const std::vector<double> a = {0.1, 0.2, 0.3, NAN_, NAN_, NAN_, NAN_};
    const std::vector<double> b = {0.4, 0.4, 2.1, 1.0, NAN_, 2.0, NAN_};
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double d = a[i] - b[i];
        sum = sum + d * d;
    }
    const double divided_first = sum * (7.0 / 3.0);
    const double multiplied_first = sum * 7.0 / 3.0;
    ASSERT_NE(bits(divided_first), bits(multiplied_first)) << "pick values that tell the two orders apart";
    EXPECT_EQ(bits(euclid(a, b)), bits(divided_first));
}

TEST(BothMetrics, SumsRunInIndexOrderWithRoundedProducts) {
    // Three squares whose sum depends on the order of addition.
    const std::vector<double> a = {1e8, 1.1, -1.1};
    const std::vector<double> b = {0.0, 0.0, 0.0};
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double d = a[i] - b[i];
        const double square = d * d;  // rounded before the addition
        sum = sum + square;
    }
    double reversed = 0.0;
    for (int i = 2; i >= 0; --i) {
        reversed = reversed + a[i] * a[i];
    }
    ASSERT_NE(bits(sum), bits(reversed)) << "pick values that tell the orders apart";
    EXPECT_EQ(bits(euclid(a, b)), bits(sum));
    EXPECT_EQ(bits(expected(a, b)), bits(std::sqrt(sum)));
}

TEST(BothMetrics, LongerSecondRowIsReadOnlyUpToTheFirstRowsLength) {
    EXPECT_EQ(bits(euclid({1.0, NAN_, 3.0}, {2.0, 5.0, NAN_, 100.0, INF})), bits(3.0));
    EXPECT_EQ(bits(expected({1.0, NAN_, 3.0}, {2.0, 5.0, NAN_, 100.0, NAN_})), bits(9.0));
}

// ---------------------------------------------------------------------------------------------
// Failure on a shorter second row: checked once, before any arithmetic
// ---------------------------------------------------------------------------------------------

struct ShortCase {
    std::vector<double> first;
    std::vector<double> second;
    std::string message;
};

class ShorterSecondRow : public ::testing::TestWithParam<ShortCase> {};

TEST_P(ShorterSecondRow, NanEuclidFails) {
    const ShortCase& c = GetParam();
    EXPECT_TRUE(panics_with([&] { (void)euclid(c.first, c.second); }, c.message));
}

TEST_P(ShorterSecondRow, ExpectedDistanceFails) {
    const ShortCase& c = GetParam();
    EXPECT_TRUE(panics_with([&] { (void)expected(c.first, c.second); }, c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ShorterSecondRow,
    ::testing::Values(
        ShortCase{{1.0, 2.0, 3.0}, {1.0, 2.0}, "index out of bounds: the len is 2 but the index is 2"},
        ShortCase{{1.0}, {}, "index out of bounds: the len is 0 but the index is 0"},
        ShortCase{{NAN_, NAN_, NAN_, NAN_}, {NAN_}, "index out of bounds: the len is 1 but the index is 1"},
        ShortCase{{INF, 1.0, 2.0, 3.0, 4.0}, {INF, 1.0, 2.0}, "index out of bounds: the len is 3 but the index is 3"}),
    [](const auto& info) {
        return std::to_string(info.param.first.size()) + "_against_" + std::to_string(info.param.second.size());
    });

// ---------------------------------------------------------------------------------------------
// Selection by name
// ---------------------------------------------------------------------------------------------

TEST(SelectMetric, ExactNamesOnly) {
    EXPECT_EQ(select_metric("nan_euclid"), &nan_euclid);
    EXPECT_EQ(select_metric("expected_distance"), &expected_distance);
    for (const char* name : {"", "Nan_euclid", "nan_euclid ", " expected_distance", "euclid", "nan-euclid"}) {
        EXPECT_EQ(select_metric(name), nullptr) << '"' << name << '"';
    }
}

// ---------------------------------------------------------------------------------------------
// Properties over random rows
// ---------------------------------------------------------------------------------------------

double random_cell(std::mt19937_64& rng) {
    static const double specials[] = {NAN_Q, NAN_NEG, NAN_PAYLOAD, NAN_NEG_PAYLOAD, NAN_SIGNALLING, INF, -INF,
                                      -0.0,  0.0,     MAX};
    std::uniform_int_distribution<int> kind(0, 9);
    switch (kind(rng)) {
        case 0:
        case 1:
            return specials[std::uniform_int_distribution<int>(0, 9)(rng)];
        case 2:
        case 3:
        case 4:
            return static_cast<double>(std::uniform_int_distribution<int>(-3, 3)(rng));
        case 5:
            return std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        default:
            return std::uniform_real_distribution<double>(-50.0, 50.0)(rng);
    }
}

bool same_infinity(double a, double b) { return std::isinf(a) && a == b; }

TEST(MetricProperties, SymmetricBitForBitAndNaNOnlyFromEqualInfinities) {
    std::mt19937_64 rng(0x6d6972656cULL);
    for (int trial = 0; trial < 5000; ++trial) {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 9)(rng);
        std::vector<double> a(n), b(n);
        bool equal_infinities = false;
        bool shared = false;
        bool any_missing = false;
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = random_cell(rng);
            b[i] = random_cell(rng);
            // MAX squared overflows, which keeps the NaN rule below simple to state: keep it out
            // of shared coordinates.
            if (a[i] == MAX && !std::isnan(b[i])) {
                a[i] = 2.0;
            }
            if (b[i] == MAX && !std::isnan(a[i])) {
                b[i] = 2.0;
            }
            equal_infinities = equal_infinities || same_infinity(a[i], b[i]);
            shared = shared || (!std::isnan(a[i]) && !std::isnan(b[i]));
            any_missing = any_missing || std::isnan(a[i]) || std::isnan(b[i]);
        }
        SCOPED_TRACE("trial " + std::to_string(trial));
        const double e_ab = euclid(a, b);
        const double e_ba = euclid(b, a);
        const double x_ab = expected(a, b);
        const double x_ba = expected(b, a);
        EXPECT_EQ(bits(e_ab), bits(e_ba));
        EXPECT_EQ(bits(x_ab), bits(x_ba));
        // A NaN distance arises only where both rows hold the same infinity in one coordinate.
        EXPECT_EQ(std::isnan(e_ab), equal_infinities);
        EXPECT_EQ(std::isnan(x_ab), equal_infinities);
        if (!equal_infinities) {
            // Never negative, never -0.0.
            EXPECT_FALSE(std::signbit(e_ab));
            EXPECT_FALSE(std::signbit(x_ab));
            if (!shared) {
                EXPECT_EQ(e_ab, INF);
            }
            if (any_missing) {
                // Every missing coordinate adds at least 0.333 to expected_distance.
                EXPECT_GE(x_ab, 0.333);
            }
        }
        // Extra cells on the second row change nothing.
        std::vector<double> longer = b;
        longer.push_back(random_cell(rng));
        longer.push_back(INF);
        EXPECT_EQ(bits(euclid(a, longer)), bits(e_ab));
        EXPECT_EQ(bits(expected(a, longer)), bits(x_ab));
    }
}

TEST(MetricProperties, NaNPayloadAndSignDoNotMatter) {
    // A missing cell is any NaN: every pattern gives the same distances.
    const double nans[] = {NAN_Q, NAN_NEG, NAN_PAYLOAD, NAN_NEG_PAYLOAD, NAN_SIGNALLING};
    for (const double m : nans) {
        EXPECT_EQ(bits(euclid({1.0, m, 3.0}, {2.0, 5.0, m})), bits(3.0));
        EXPECT_EQ(bits(expected({1.0, m, 3.0}, {2.0, 5.0, m})), bits(9.0));
        EXPECT_EQ(bits(expected({m}, {m})), bits(0.333));
    }
}

}  // namespace
}  // namespace mirel::knn::testing
