// Checked size arithmetic, and the sizes built on it: a count that does not fit in size_t
// (32 bits on the ARM boards) fails with SizeOverflow before anything is allocated.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/core/imputer.hpp"
#include "knn/panel/panel.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_fast.hpp"

namespace {

using mirel::knn::checked_add;
using mirel::knn::checked_bytes;
using mirel::knn::checked_count;
using mirel::knn::checked_mul;
using mirel::knn::checked_product;
using mirel::knn::Metric;
using mirel::knn::SizeOverflow;
using mirel::knn::detail::Panel;

constexpr std::size_t MAX = std::numeric_limits<std::size_t>::max();
constexpr std::size_t HALF_BITS = sizeof(std::size_t) * 4;  // 16 on 32-bit, 32 on 64-bit

TEST(Checked, ProductsAndSumsAtTheEdgeOfSizeT) {
    const std::size_t root = std::size_t{1} << HALF_BITS;  // root * root = 2^width wraps to 0
    EXPECT_EQ(checked_mul(root - 1, root + 1), MAX);       // 2^width - 1 fits exactly
    EXPECT_THROW(checked_mul(root, root), SizeOverflow);
    EXPECT_EQ(checked_mul(0, MAX), 0u);
    EXPECT_EQ(checked_add(MAX - 1, 1), MAX);
    EXPECT_THROW(checked_add(MAX, 1), SizeOverflow);
    EXPECT_EQ(checked_product({3, 5, 7}), 105u);
    EXPECT_THROW(checked_product({root, 2, root / 2}), SizeOverflow);
    // A zero factor makes the exact product 0, even after a prefix that would overflow.
    EXPECT_EQ(checked_product({root, root, 0}), 0u);
    EXPECT_FALSE(mirel::knn::try_mul(root, root).has_value());
    EXPECT_EQ(mirel::knn::try_add(1, 2).value(), 3u);
    // Byte counts of arrays stay below PTRDIFF_MAX (what std::vector and pointer differences need).
    const std::size_t most = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double);
    EXPECT_EQ(checked_count<double>(most), most);
    EXPECT_EQ(checked_bytes<double>(most), most * sizeof(double));
    EXPECT_THROW(checked_count<double>(most + 1), SizeOverflow);
    EXPECT_THROW(checked_bytes<std::uint64_t>(MAX / 4), SizeOverflow);
    // SizeOverflow is a bad_alloc (MemoryError in Python) and says what happened.
    try {
        checked_mul(root, root);
        FAIL() << "no overflow";
    } catch (const std::bad_alloc& e) {
        EXPECT_STREQ(e.what(), "cannot allocate: size arithmetic overflows size_t");
    }
}

// Counts chosen so that blocks x cols x 32 (or the byte count of that many doubles) wraps a
// 32-bit size_t: one row of 2^27 columns is 2^32 padded cells. On 64-bit they fit, and the
// sizes are checked without building anything.
TEST(Checked, PanelSizesThatWrapAt32Bits) {
    const std::size_t wide = std::size_t{1} << 27;
    const auto wraps_32 = Panel::bytes_for(1, wide, Metric::nan_euclid, false);
    const auto bytes_32 = Panel::bytes_for(1, (std::size_t{1} << 22) + 1, Metric::expected_distance, true);
    if (sizeof(std::size_t) == 4) {
        EXPECT_FALSE(wraps_32.has_value());
        EXPECT_FALSE(bytes_32.has_value());  // the cells fit, their bytes x 4 arrays do not
    } else {
        // 2^32 cells of 8 bytes, counts, presence bits, scale table, infinity flags.
        const std::uint64_t w = wide;
        EXPECT_EQ(wraps_32.value(), w * 32 * 8 + 32 * 8 + w * 4 + (w + 1) * 8 + w);
        EXPECT_TRUE(bytes_32.has_value());
    }
    // Sizes that wrap on any width.
    EXPECT_FALSE(Panel::bytes_for(MAX, 1, Metric::nan_euclid, false).has_value());
    EXPECT_FALSE(Panel::bytes_for(2, MAX / 16, Metric::nan_euclid, false).has_value());
    EXPECT_FALSE(Panel::bytes_for(1, MAX, Metric::expected_distance, false).has_value());
    // A small panel: the accounting matches the arrays.
    EXPECT_EQ(Panel::bytes_for(33, 3, Metric::nan_euclid, false).value(), 64 * 3 * 8 + 64 * 8 + 2 * 3 * 4 + 4 * 8 + 3);
}

TEST(Checked, PanelBuildFailsBeforeAllocatingWhenTheSizeWraps) {
    // build() checks every size before it touches the rows: a span of one value stands for a
    // table that cannot exist, and nothing is read from it.
    const std::vector<double> one{1.0};
    const std::vector<std::size_t> row_of{0};
    Panel panel;
    EXPECT_THROW(panel.build(one, MAX / 16, row_of, Metric::nan_euclid), SizeOverflow);
    EXPECT_THROW(panel.build(one, MAX / 64 + 1, row_of, Metric::expected_distance, true), SizeOverflow);
    if (sizeof(std::size_t) == 4) {
        // The wrapped product of one row of 2^27 columns would have been 0 cells.
        EXPECT_THROW(panel.build(one, std::size_t{1} << 27, row_of, Metric::nan_euclid), SizeOverflow);
    }
    // The panel is still usable after a failure.
    panel.build(one, 1, row_of, Metric::nan_euclid);
    EXPECT_EQ(panel.view().rows, 1u);
    EXPECT_EQ(panel.view().values[0], 1.0);
    EXPECT_EQ(panel.bytes(), Panel::bytes_for(1, 1, Metric::nan_euclid, false).value());
}

// A few fitted rows are held as they are (a panel would be mostly padding): memory in
// proportion to the table, the same cells, and the panel for more rows.
TEST(Checked, FewDonorRowsAreHeldRowMajor) {
    const std::size_t cols = 1000;
    for (const std::size_t rows : {1u, 2u, 10u, 11u, 12u, 13u, 40u}) {
        std::vector<double> cells(rows * cols);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            cells[i] = i % 7 == 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(i) * 0.5;
        }
        const mirel::knn::TableView view{cells.data(), rows, cols};
        const mirel::knn::QueryDonors donors(view, false, mirel::knn::DonorLayout::automatic);
        EXPECT_EQ(donors.is_row_major(), rows <= mirel::knn::SMALL_TABLE_MAX_ROWS) << rows;
        const std::vector<double> back = donors.table();
        ASSERT_EQ(back.size(), cells.size());
        EXPECT_EQ(std::memcmp(back.data(), cells.data(), cells.size() * sizeof(double)), 0) << rows;
        const std::size_t table_bytes = cells.size() * sizeof(double);
        // The table, the column means and counts, and the presence bits of a panel: never the
        // padded 32-row blocks of a panel for a short table.
        EXPECT_LE(donors.bytes(), table_bytes * 3 + cols * 64 + 4096) << rows;
    }
}

}  // namespace
