// The imputer record: construction, fitted state, k, and row access into the fitted matrix.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "knn/core/imputer.hpp"
#include "test_helpers.hpp"

namespace mirel::knn::testing {
namespace {

// ---------------------------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------------------------

TEST(ImputerCreate, NewImputerIsUnfittedWithGivenConfiguration) {
    const KnnImputer imp = KnnImputer::create(5, "nan_euclid", "uniform");
    EXPECT_EQ(imp.k(), 5u);
    EXPECT_EQ(imp.metric(), "nan_euclid");
    EXPECT_EQ(imp.weights(), "uniform");
    EXPECT_FALSE(imp.fitted());
    EXPECT_EQ(imp.rows(), 0u);
    EXPECT_EQ(imp.cols(), 0u);
    EXPECT_TRUE(imp.fitted_values().empty());
}

TEST(ImputerCreate, KIsStoredUncheckedOverTheWholeU32Range) {
    for (const std::uint32_t k : {0u, 1u, 7u, 4294967295u}) {
        EXPECT_EQ(KnnImputer::create(k, "nan_euclid", "distance").k(), k);
    }
}

class AllowedWeights : public ::testing::TestWithParam<const char*> {};

TEST_P(AllowedWeights, AreAccepted) {
    const KnnImputer imp = KnnImputer::create(3, "expected_distance", GetParam());
    EXPECT_EQ(imp.weights(), GetParam());
    EXPECT_TRUE(is_allowed_weights(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Names, AllowedWeights, ::testing::Values("uniform", "distance"),
                         [](const auto& info) { return readable_name(info.index, info.param); });

// Membership is an exact byte comparison: no case folding, no trimming, no prefixes.
class RefusedWeights : public ::testing::TestWithParam<std::string> {};

TEST_P(RefusedWeights, FailWithTheAssertionMessage) {
    EXPECT_FALSE(is_allowed_weights(GetParam()));
    EXPECT_TRUE(panics_with([&] { (void)KnnImputer::create(5, "nan_euclid", GetParam()); },
                            "assertion failed: ALLOWED_WEIGHTS.contains(&weights)"));
}

INSTANTIATE_TEST_SUITE_P(Names, RefusedWeights,
                         ::testing::Values("Uniform", "UNIFORM", " uniform", "uniform ", "uniform\n", "", "Distance",
                                           "distance\t", "dist", "uniformdistance", std::string("uniform\0", 8),
                                           "nan_euclid", "unifórm"),
                         [](const auto& info) { return readable_name(info.index, info.param); });

// Any metric string is stored as given; only the pass decides whether it names a metric.
class AnyMetricName : public ::testing::TestWithParam<std::string> {};

TEST_P(AnyMetricName, IsStoredUnchangedAndCanBeFitted) {
    KnnImputer imp = KnnImputer::create(2, GetParam(), "uniform");
    EXPECT_EQ(imp.metric(), GetParam());
    imp.store_fitted({1.0, 2.0}, 1, 2);
    EXPECT_TRUE(imp.fitted());
    EXPECT_EQ(imp.metric(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Names, AnyMetricName,
                         ::testing::Values("nan_euclid", "expected_distance", "", "manhattan", "NAN_EUCLID",
                                           " nan_euclid", std::string("nan\0euclid", 10), "métrique",
                                           std::string(1000, 'x')),
                         [](const auto& info) { return readable_name(info.index, info.param); });

// ---------------------------------------------------------------------------------------------
// Fitted state
// ---------------------------------------------------------------------------------------------

TEST(ImputerFit, StoreFittedSetsValuesShapeAndFlagAndKeepsConfiguration) {
    KnnImputer imp = KnnImputer::create(4, "expected_distance", "distance");
    const std::vector<double> x = {1.0, -0.0, NAN_PAYLOAD, INF, -INF, 6.0};
    imp.store_fitted(x, 3, 2);
    EXPECT_TRUE(imp.fitted());
    EXPECT_EQ(imp.rows(), 3u);
    EXPECT_EQ(imp.cols(), 2u);
    EXPECT_EQ(bits(std::vector<double>(imp.fitted_values().begin(), imp.fitted_values().end())), bits(x));
    EXPECT_EQ(imp.k(), 4u);
    EXPECT_EQ(imp.metric(), "expected_distance");
    EXPECT_EQ(imp.weights(), "distance");
}

TEST(ImputerFit, SecondFitReplacesTheFirstEntirely) {
    KnnImputer imp = KnnImputer::create(1, "nan_euclid", "uniform");
    imp.store_fitted({1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, 3, 2);
    imp.store_fitted({7.0, 8.0, 9.0}, 1, 3);
    EXPECT_TRUE(imp.fitted());
    EXPECT_EQ(imp.rows(), 1u);
    EXPECT_EQ(imp.cols(), 3u);
    ASSERT_EQ(imp.fitted_values().size(), 3u);
    EXPECT_EQ(imp.fitted_values()[0], 7.0);
    EXPECT_EQ(imp.fitted_values()[2], 9.0);
    EXPECT_EQ(imp.row(0)[1], 8.0);
    EXPECT_TRUE(panics_with([&] { (void)imp.row(1); }, "range end index 6 out of range for slice of length 3"));
}

TEST(ImputerFit, StoredValuesArePrivateToTheImputer) {
    KnnImputer imp = KnnImputer::create(1, "nan_euclid", "uniform");
    std::vector<double> x = {1.0, 2.0};
    imp.store_fitted(x, 1, 2);
    x[0] = 99.0;
    EXPECT_EQ(imp.row(0)[0], 1.0);
}

struct EmptyShape {
    std::size_t rows;
    std::size_t cols;
};

class EmptyFit : public ::testing::TestWithParam<EmptyShape> {};

TEST_P(EmptyFit, LeavesTheImputerFittedWithTheGivenShape) {
    KnnImputer imp = KnnImputer::create(5, "nan_euclid", "uniform");
    imp.store_fitted({}, GetParam().rows, GetParam().cols);
    EXPECT_TRUE(imp.fitted());
    EXPECT_EQ(imp.rows(), GetParam().rows);
    EXPECT_EQ(imp.cols(), GetParam().cols);
    EXPECT_TRUE(imp.fitted_values().empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, EmptyFit, ::testing::Values(EmptyShape{0, 0}, EmptyShape{0, 3}, EmptyShape{4, 0}),
                         [](const auto& info) {
                             return "rows" + std::to_string(info.param.rows) + "_cols" +
                                    std::to_string(info.param.cols);
                         });

TEST(ImputerFit, FittedImputerStaysFittedAfterAnEmptyRefit) {
    KnnImputer imp = KnnImputer::create(5, "nan_euclid", "uniform");
    imp.store_fitted({1.0}, 1, 1);
    imp.store_fitted({}, 0, 1);
    EXPECT_TRUE(imp.fitted());
    EXPECT_EQ(imp.rows(), 0u);
    EXPECT_EQ(imp.cols(), 1u);
}

TEST(ImputerK, SetKChangesOnlyK) {
    KnnImputer imp = KnnImputer::create(5, "nan_euclid", "distance");
    imp.store_fitted({1.0, 2.0}, 2, 1);
    for (const std::uint32_t k : {0u, 3u, 4294967295u, 1u}) {
        imp.set_k(k);
        EXPECT_EQ(imp.k(), k);
    }
    EXPECT_TRUE(imp.fitted());
    EXPECT_EQ(imp.rows(), 2u);
    EXPECT_EQ(imp.cols(), 1u);
    EXPECT_EQ(imp.metric(), "nan_euclid");
    EXPECT_EQ(imp.weights(), "distance");
}

// ---------------------------------------------------------------------------------------------
// Row access
// ---------------------------------------------------------------------------------------------

class RowAccess3x2 : public ::testing::Test {
protected:
    // Cell (i, j) holds 10 i + j, so a view tells which positions it covers.
    KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", {0.0, 1.0, 10.0, 11.0, 20.0, 21.0}, 3, 2);
    const double* base() const { return imp.fitted_values().data(); }
};

TEST_F(RowAccess3x2, ValidRowsViewTheirPositions) {
    const auto r0 = imp.row(0);
    ASSERT_EQ(r0.size(), 2u);
    EXPECT_EQ(r0.data(), base() + 0);
    EXPECT_EQ(r0[0], 0.0);
    EXPECT_EQ(r0[1], 1.0);

    const auto r1 = imp.row(1);
    ASSERT_EQ(r1.size(), 2u);
    EXPECT_EQ(r1.data(), base() + 2);

    const auto r2 = imp.row(2);
    ASSERT_EQ(r2.size(), 2u);
    EXPECT_EQ(r2.data(), base() + 4);
    EXPECT_EQ(r2[0], 20.0);
    EXPECT_EQ(r2[1], 21.0);
}

TEST_F(RowAccess3x2, RowJustPastTheEndFailsOnTheEnd) {
    EXPECT_TRUE(panics_with([&] { (void)imp.row(3); }, "range end index 8 out of range for slice of length 6"));
}

TEST_F(RowAccess3x2, RowsFurtherOutFailOnTheStart) {
    EXPECT_TRUE(panics_with([&] { (void)imp.row(4); }, "range start index 8 out of range for slice of length 6"));
    EXPECT_TRUE(panics_with([&] { (void)imp.row(1000); }, "range start index 2000 out of range for slice of length 6"));
}

// The start i * cols wraps at the width of size_t (64 bits here, 32 bits on armhf); the numbers
// below are built from SIZE_MAX so that they are right at either width.
class RowAccessWrapping : public ::testing::Test {
protected:
    static constexpr std::size_t SMAX = std::numeric_limits<std::size_t>::max();
    // 2 rows of 4 columns, length 8. SMAX / 4 = 2^(N-2) - 1, so (SMAX / 4 + j) * 4 wraps to 4 (j - 1).
    KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", {0, 1, 2, 3, 10, 11, 12, 13}, 2, 4);
};

TEST_F(RowAccessWrapping, StartThatWrapsPastTheLengthFailsOnTheStart) {
    EXPECT_TRUE(
        panics_with([&] { (void)imp.row(SMAX / 4 + 4); }, "range start index 12 out of range for slice of length 8"));
}

TEST_F(RowAccessWrapping, StartThatWrapsToTheLengthFailsOnTheEnd) {
    EXPECT_TRUE(
        panics_with([&] { (void)imp.row(SMAX / 4 + 3); }, "range end index 12 out of range for slice of length 8"));
}

TEST_F(RowAccessWrapping, StartThatWrapsIntoTheMatrixViewsThatRow) {
    // (SMAX / 4 + 2) * 4 wraps to 4: the view is fitted row 1, as slicing at the wrapped start gives.
    const auto v = imp.row(SMAX / 4 + 2);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v.data(), imp.fitted_values().data() + 4);
    EXPECT_EQ(v[0], 10.0);
}

TEST_F(RowAccessWrapping, LargeWrappedStartIsReportedAtTheWordWidth) {
    // 3 columns: (SMAX / 2) * 3 = 3 * 2^(N-1) - 3 wraps to 2^(N-1) - 3 = SMAX / 2 - 2.
    const KnnImputer three = fitted_imputer(1, "nan_euclid", "uniform", {1, 2, 3, 4, 5, 6}, 2, 3);
    const std::size_t wrapped = SMAX / 2 - 2;
    EXPECT_TRUE(panics_with([&] { (void)three.row(SMAX / 2); },
                            "range start index " + std::to_string(wrapped) + " out of range for slice of length 6"));
    // The largest index: SMAX * 3 wraps to SMAX - 2.
    EXPECT_TRUE(panics_with([&] { (void)three.row(SMAX); },
                            "range start index " + std::to_string(SMAX - 2) + " out of range for slice of length 6"));
}

TEST_F(RowAccessWrapping, OverflowingEndIsReportedWithBothEnds) {
    // The end can only overflow when the width exceeds the data, which a fit never stores; this
    // record is made so on purpose. SMAX * SMAX wraps to 1, and 1 + SMAX wraps to 0.
    KnnImputer wide = KnnImputer::create(1, "nan_euclid", "uniform");
    wide.store_fitted({1, 2, 3, 4, 5, 6}, 0, SMAX);
    EXPECT_TRUE(panics_with([&] { (void)wide.row(SMAX); }, "slice index starts at 1 but ends at 0"));
}

TEST(RowAccessZeroColumns, EveryRowIndexGivesAnEmptyView) {
    const KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", {}, 4, 0);
    for (const std::size_t i :
         {std::size_t{0}, std::size_t{3}, std::size_t{4}, std::size_t{1000}, std::numeric_limits<std::size_t>::max()}) {
        EXPECT_TRUE(imp.row(i).empty()) << "row " << i;
    }
}

TEST(RowAccessZeroRows, AnyRowFailsOnTheEnd) {
    const KnnImputer imp = fitted_imputer(1, "nan_euclid", "uniform", {}, 0, 3);
    EXPECT_TRUE(panics_with([&] { (void)imp.row(0); }, "range end index 3 out of range for slice of length 0"));
    EXPECT_TRUE(panics_with([&] { (void)imp.row(1); }, "range start index 3 out of range for slice of length 0"));
}

TEST(RowAccessUnfitted, FailsWithAnInternalFailure) {
    const KnnImputer imp = KnnImputer::create(1, "nan_euclid", "uniform");
    const std::string message = panic_message([&] { (void)imp.row(0); });
    EXPECT_FALSE(message.empty()) << "row access on an unfitted imputer must fail";
}

}  // namespace
}  // namespace mirel::knn::testing
