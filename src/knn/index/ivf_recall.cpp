// The recall curve of the index: how many of the exact donors its search selects, for every probe
// count at once, from one exact search of the sample (every list probed) and each sampled row's
// order of the lists.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"
#include "knn/index/ivf_index.hpp"
#include "knn/index/ivf_source.hpp"
#include "knn/query/query_detail.hpp"

namespace mirel::knn {

RecallCurve ivf_recall(const IvfIndex& index, const TableView& sample, std::size_t k, std::size_t threads) {
    if (sample.cols != index.cols()) {
        throw Panic("the sample does not have the fitted width");
    }
    if (k == 0) {
        throw Panic("k must be at least 1");
    }
    const std::size_t L = index.lists();
    const std::size_t cols = index.cols();
    RecallCurve curve;
    // Difference arrays over P = 1..L (entry L + 1 absorbs the ends).
    std::vector<std::int64_t> found(checked_count<std::int64_t>(checked_add(L, std::size_t{2})), 0);
    std::vector<std::int64_t> fallback(L + 2, 0);
    std::vector<std::uint64_t> measured(L + 1, 0);
    if (index.rows() != 0 && cols != 0) {
        // 1. The exact donors of every sampled cell: the search with every list probed.
        const std::size_t slots = std::min(k, index.rows());
        const std::size_t cells = count_imputed_cells(index.columns(), sample, 0, sample.rows);
        std::vector<std::int64_t> exact(checked_count<std::int64_t>(checked_mul(cells, slots)));
        ivf_select(index, sample.values, sample.rows, 0, sample.rows, k, L, exact.data(), slots, threads);
        detail::ProbeOrder order;
        order.bind(index.centroid_panel(), L, index.kernel(), cols);
        std::vector<std::size_t> rank_of_list(L);
        std::vector<std::size_t> missing;
        std::size_t cell = 0;
        for (std::size_t r = 0; r < sample.rows; ++r) {
            detail::missing_columns(index.columns(), sample.row(r), cols, missing);
            if (missing.empty()) {
                continue;
            }
            const std::span<const detail::Entry> lists = order.order(sample.row(r), L);
            for (std::size_t j = 0; j < L; ++j) {
                rank_of_list[lists[j].idx] = j;
            }
            ++curve.rows;
            std::size_t row_short = 0;  // P <= row_short: the row runs a full scan
            for (const std::size_t c : missing) {
                // 2. The fewest lists whose rows hold enough of the column (fewer: the full scan
                //    serves the cell, finding every donor), and the rank of each exact donor's list.
                const std::size_t need = std::min(k, index.columns().count[c]);
                std::size_t enough = L;  // the cell is served from P = enough + 1 lists on
                std::uint64_t cum = 0;
                for (std::size_t j = 0; j < L; ++j) {
                    cum += index.holders()[lists[j].idx * cols + c];
                    if (cum >= need) {
                        enough = j;
                        break;
                    }
                }
                const std::int64_t* donors = exact.data() + cell * slots;
                const std::size_t n =
                    static_cast<std::size_t>(std::find(donors, donors + slots, std::int64_t{-1}) - donors);
                ++cell;
                curve.donors += n;
                ++curve.cells;
                row_short = std::max(row_short, enough);
                const std::size_t short_end = std::min(enough, L);  // P in [1, short_end]: full scan
                if (short_end >= 1) {
                    found[1] += static_cast<std::int64_t>(n);
                    found[short_end + 1] -= static_cast<std::int64_t>(n);
                    fallback[1] += 1;
                    fallback[short_end + 1] -= 1;
                }
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t list = index.list_of_row()[static_cast<std::size_t>(donors[i])];
                    const std::size_t from = std::max(rank_of_list[list] + 1, short_end + 1);
                    if (from <= L) {
                        found[from] += 1;
                        found[L + 1] -= 1;
                    }
                }
            }
            // 3. Rows measured: the probed lists' rows, and every row when a cell is short.
            std::uint64_t prefix = 0;
            for (std::size_t P = 1; P <= L; ++P) {
                prefix += index.list_size(lists[P - 1].idx);
                measured[P] += P == L ? index.rows() : prefix + (P <= row_short ? index.rows() : 0);
            }
        }
    }
    curve.found.assign(L + 1, 0);
    curve.fallback.assign(L + 1, 0);
    std::int64_t f = 0;
    std::int64_t b = 0;
    for (std::size_t P = 1; P <= L; ++P) {
        f += found[P];
        b += fallback[P];
        curve.found[P] = static_cast<std::uint64_t>(f);
        curve.fallback[P] = static_cast<std::uint64_t>(b);
    }
    if (L != 0) {
        // With every list probed there is no short cell (it is the full scan).
        curve.found[L] = curve.donors;
        curve.fallback[L] = 0;
    }
    curve.measured = std::move(measured);
    return curve;
}

}  // namespace mirel::knn
