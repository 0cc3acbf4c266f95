// Blocks of rows of an input of the fitted shape, imputed alone, against the whole input through
// the straightforward pass: bit for bit, on every kernel, both metrics and weights, k from 0 to
// beyond the bounded selections, and blocks of every size.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "knn/core/panic.hpp"
#include "knn/row/impute.hpp"
#include "knn/row/row_range.hpp"
#include "test_helpers.hpp"

namespace mirel::knn {
namespace {

using testing::bits;
using testing::NAN_;

std::vector<double> random_values(std::mt19937_64& rng, std::size_t n, double rate, bool ties) {
    static constexpr double odd[] = {0.0, -0.0, 1.0, 2.0, 1e200, -1e200, 3.0, 0.5};
    return testing::random_cells(rng, n, rate, ties, odd);
}

TEST(RowRange, BlocksMatchTheWholeInputBitForBit) {
    std::mt19937_64 rng(20261214);
    PassTuning small;
    small.superblock_bytes = 1;
    small.group_rows = 2;
    small.group_selections = 3;
    small.max_bounded_k = 3;
    small.selection_budget_bytes = 0;  // rows without shared pairs as well
    small.selection_budget_per_fitted_byte = 0;
    std::size_t blocks = 0;
    for (int round = 0; round < 60; ++round) {
        const std::size_t rows = 1 + rng() % 70;
        const std::size_t cols = 1 + rng() % 6;
        const auto k = static_cast<std::uint32_t>(rng() % 7);
        const std::string metric = round % 2 == 0 ? "nan_euclid" : "expected_distance";
        const std::string weights = round % 3 == 0 ? "distance" : "uniform";
        KnnImputer imputer = KnnImputer::create(k, metric, weights);
        imputer.store_fitted(random_values(rng, rows * cols, 0.2, round % 4 < 2), rows, cols);
        // The input: the fitted values or others, with NaN where the mask says.
        std::vector<double> input =
            round % 5 == 0 ? random_values(rng, rows * cols, 0.0, false)
                           : std::vector<double>(imputer.fitted_values().begin(), imputer.fitted_values().end());
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (double& x : input) {
            if (unit(rng) < 0.3) {
                x = NAN_;
            }
        }
        const ImputeResult whole = impute_reference(imputer, input, rows);
        const std::vector<double>& want = std::get<std::vector<double>>(whole);
        for (const KernelKind kernel : available_kernels()) {
            for (const PassTuning& tuning : {PassTuning{}, small}) {
                // Uneven blocks covering the rows.
                std::size_t a = 0;
                while (a < rows) {
                    const std::size_t b = std::min<std::size_t>(rows, a + 1 + static_cast<std::size_t>(rng() % 9));
                    std::vector<double> block(input.begin() + a * cols, input.begin() + b * cols);
                    ASSERT_FALSE(impute_row_range(imputer, block, a, kernel, tuning).has_value());
                    const std::vector<double> expected(want.begin() + a * cols, want.begin() + b * cols);
                    ASSERT_EQ(bits(block), bits(expected)) << "round " << round << " rows [" << a << ", " << b
                                                           << ") kernel " << kernel_name(kernel) << " k " << k;
                    a = b;
                    ++blocks;
                }
            }
        }
    }
    EXPECT_GE(blocks, 240u);
}

TEST(RowRange, UnknownMetricAndBadBlocks) {
    KnnImputer unknown = KnnImputer::create(2, "cosine", "uniform");
    unknown.store_fitted({1.0, 2.0, 3.0, 4.0}, 2, 2);
    std::vector<double> block{NAN_, 1.0};
    const auto error = impute_row_range(unknown, block, 0);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message, "cosine is a unknown metric");
    EXPECT_TRUE(std::isnan(block[0]));

    KnnImputer imputer = KnnImputer::create(2, "nan_euclid", "uniform");
    EXPECT_THROW(impute_row_range(imputer, block, 0), Panic);  // not fitted
    imputer.store_fitted({1.0, 2.0, 3.0, 4.0}, 2, 2);
    EXPECT_THROW(impute_row_range(imputer, block, 2), Panic);  // beyond the fitted rows
    std::vector<double> ragged{NAN_, 1.0, 2.0};
    EXPECT_THROW(impute_row_range(imputer, ragged, 0), Panic);  // not whole rows
    std::vector<double> empty;
    EXPECT_FALSE(impute_row_range(imputer, empty, 2).has_value());  // an empty block at the end
    EXPECT_FALSE(impute_row_range(imputer, block, 1).has_value());
    // Row 1 of the input, k = 2: fitted row 0 (1.0), then fitted row 1 itself (3.0), each / 2.
    EXPECT_EQ(bits(block), bits(std::vector<double>{2.0, 1.0}));
}

}  // namespace
}  // namespace mirel::knn
