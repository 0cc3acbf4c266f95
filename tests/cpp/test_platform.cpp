// Behaviour that depends on the machine the engine runs on: the width of size_t (row access
// wraps its multiplication at that width, and the failure texts print the wrapped values),
// the sign of the NaN the hardware makes, and the 32-bit ARM hard-float ABI.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "knn/core/imputer.hpp"
#include "knn/core/panic.hpp"
#include "knn/row/impute.hpp"

using mirel::knn::KnnImputer;
using mirel::knn::Panic;

namespace {

constexpr std::size_t SIZE_MAX_V = std::numeric_limits<std::size_t>::max();
// 2^(w-1) for a w-bit size_t: times 2 it wraps to exactly 0.
constexpr std::size_t HALF_WORD = SIZE_MAX_V / 2 + 1;

#if defined(__arm__)
// The armhf build really is 32-bit and passes doubles in VFP registers.
static_assert(sizeof(std::size_t) == 4, "armhf has a 32-bit size_t");
static_assert(sizeof(void*) == 4, "armhf has 32-bit pointers");
#if !defined(__ARM_PCS_VFP)
#error "the armhf build must use the hard-float calling convention"
#endif
#endif

// 3 rows, 2 columns: values 1..6 so that every position is recognisable.
KnnImputer three_by_two() {
    auto imp = KnnImputer::create(5, "nan_euclid", "uniform");
    imp.store_fitted({1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, 3, 2);
    return imp;
}

std::string row_failure(const KnnImputer& imp, std::size_t i) {
    try {
        (void)imp.row(i);
    } catch (const Panic& p) {
        return p.what();
    }
    return "<no failure>";
}

// 2^w - 2 for this platform's width w, written out rather than computed, so the test also pins
// what a 32-bit and a 64-bit build print.
const std::string TOP_EVEN = sizeof(std::size_t) == 4 ? "4294967294" : "18446744073709551614";

}  // namespace

TEST(PlatformWidth, SizeTMatchesPointerWidth) {
    EXPECT_EQ(sizeof(std::size_t), sizeof(void*));
    EXPECT_TRUE(sizeof(std::size_t) == 4 || sizeof(std::size_t) == 8);
    EXPECT_EQ(std::to_string(SIZE_MAX_V - 1), TOP_EVEN);
}

// The multiplication i * cols wraps modulo 2^w: indices that differ by 2^(w-1) reach the same
// row of a two-column matrix, and the view is the real storage, not a copy.
TEST(PlatformWidth, RowIndexWrapsOntoTheSameStorage) {
    const auto imp = three_by_two();
    const struct {
        std::size_t wrapped_index;
        std::size_t same_as;
    } cases[] = {
        {HALF_WORD, 0},
        {HALF_WORD + 1, 1},
        {HALF_WORD + 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wrapped_index);
        const auto wrapped = imp.row(c.wrapped_index);
        const auto direct = imp.row(c.same_as);
        ASSERT_EQ(wrapped.size(), 2u);
        EXPECT_EQ(wrapped.data(), direct.data());
        EXPECT_EQ(wrapped[0], 2.0 * static_cast<double>(c.same_as) + 1.0);
        EXPECT_EQ(wrapped[1], 2.0 * static_cast<double>(c.same_as) + 2.0);
    }
}

// Failures after wrapping print the wrapped start and end, at the platform's width.
TEST(PlatformWidth, WrappedRowFailuresPrintWrappedValues) {
    const auto imp = three_by_two();
    // (2^(w-1) + 3) * 2 wraps to 6: the same failure as row 3.
    EXPECT_EQ(row_failure(imp, HALF_WORD + 3), "range end index 8 out of range for slice of length 6");
    EXPECT_EQ(row_failure(imp, 3), "range end index 8 out of range for slice of length 6");
    // (2^(w-1) + 4) * 2 wraps to 8: the same failure as row 4.
    EXPECT_EQ(row_failure(imp, HALF_WORD + 4), "range start index 8 out of range for slice of length 6");
    // (2^w - 1) * 2 wraps to 2^w - 2: the largest even value of the width.
    EXPECT_EQ(row_failure(imp, SIZE_MAX_V), "range start index " + TOP_EVEN + " out of range for slice of length 6");
    EXPECT_EQ(row_failure(imp, SIZE_MAX_V),
              "range start index " + std::to_string(SIZE_MAX_V - 1) + " out of range for slice of length 6");
}

// The checked addition: a record whose column count is the largest size_t and whose row count
// is 2^w - 6, so that rows * cols wraps to the 6 stored values. Row 2^w - 1 starts at the
// wrapped position 1 (inside the storage) and its end overflows to 0.
TEST(PlatformWidth, OverflowingEndIsReportedWithTheWrappedEnd) {
    auto imp = KnnImputer::create(5, "nan_euclid", "uniform");
    const std::size_t rows = SIZE_MAX_V - 5;
    const std::size_t cols = SIZE_MAX_V;
    ASSERT_EQ(rows * cols, 6u);
    imp.store_fitted({1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, rows, cols);
    EXPECT_EQ(row_failure(imp, SIZE_MAX_V), "slice index starts at 1 but ends at 0");
    // Row 1 starts at 2^w - 1: past the storage, reported before the end is looked at.
    EXPECT_EQ(row_failure(imp, 1),
              "range start index " + std::to_string(SIZE_MAX_V) + " out of range for slice of length 6");
    // Row 0 starts at 0 and ends, unwrapped, at 2^w - 1.
    EXPECT_EQ(row_failure(imp, 0),
              "range end index " + std::to_string(SIZE_MAX_V) + " out of range for slice of length 6");
}

// inf - inf gives a NaN whose sign depends on the hardware (set on x86-64, clear on ARM).
// Whichever it is, a NaN distance ranks after +inf.
TEST(PlatformFloat, HardwareNanRanksAfterInfinity) {
    volatile double inf = std::numeric_limits<double>::infinity();
    const double made = inf - inf;
    ASSERT_TRUE(std::isnan(made));
    const double neg = -std::numeric_limits<double>::quiet_NaN();
    const double pos = std::numeric_limits<double>::quiet_NaN();
    for (double nan : {made, neg, pos}) {
        SCOPED_TRACE(std::signbit(nan) ? "negative NaN" : "positive NaN");
        EXPECT_GT(mirel::knn::distance_rank_key(nan), mirel::knn::distance_rank_key(inf));
        EXPECT_GT(mirel::knn::distance_rank_key(nan), mirel::knn::distance_rank_key(mirel::knn::SELF_DISTANCE));
    }
    EXPECT_EQ(mirel::knn::distance_rank_key(neg), mirel::knn::distance_rank_key(pos));
}

// The kernels key their distances by setting the sign bit. That is the full key for every value
// a distance can take: +0.0, subnormals, normals, SELF_DISTANCE, +inf and NaNs of either sign
// and any payload. Negative numbers, which no distance is, would need the full rule.
TEST(PlatformFloat, MeasuredKeysAreTheRankingKeys) {
    volatile double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {0.0,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::min(),
                                  1.0 / 3.0,
                                  1.0,
                                  mirel::knn::SELF_DISTANCE,
                                  inf,
                                  inf - inf,
                                  std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN(),
                                  std::bit_cast<double>(std::uint64_t{0x7FF0000000000001u}),
                                  std::bit_cast<double>(std::uint64_t{0xFFF4000000000123u})};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 1000; ++i) {
        // Random non-negative bit patterns: every exponent, NaN payloads included.
        values.push_back(std::bit_cast<double>(rng() >> 1));
    }
    for (const double d : values) {
        SCOPED_TRACE(std::bit_cast<std::uint64_t>(d));
        EXPECT_EQ(mirel::knn::measured_rank_key(d), mirel::knn::distance_rank_key(d));
    }
    EXPECT_NE(mirel::knn::measured_rank_key(-1.0), mirel::knn::distance_rank_key(-1.0));
}
