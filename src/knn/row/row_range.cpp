// Rows [a, b) of the pass "row r against the fitted rows": the row pass's own driver, run for
// the block's rows only, with every fitted row as a candidate, writing into the block.
#include "knn/row/row_range.hpp"

#include <string>

#include "knn/core/panic.hpp"
#include "knn/pass/pass_plan.hpp"
#include "knn/row/row_pass.hpp"

namespace mirel::knn {

std::optional<UnknownMetric> impute_row_range(const KnnImputer& imputer, std::span<double> block, std::size_t first_row,
                                              KernelKind kernel, const PassTuning& tuning) {
    // 1. The checks: the metric name first, as in every pass; then the shape.
    if (imputer.metric_kind() == Metric::unknown) {
        return unknown_metric(imputer.metric());
    }
    if (!detail::well_formed(imputer)) {  // fitted, and the values fill the shape
        throw Panic("impute_row_range needs a fitted, well-formed imputer");
    }
    const std::size_t cols = imputer.cols();
    if (cols == 0) {
        if (!block.empty()) {
            throw Panic("impute_row_range: a block of a table without columns holds no cells");
        }
        return std::nullopt;
    }
    const std::size_t rows = block.size() / cols;
    if (block.size() % cols != 0 || first_row > imputer.rows() || rows > imputer.rows() - first_row) {
        throw Panic("impute_row_range: rows [" + std::to_string(first_row) + ", " + std::to_string(first_row) + " + " +
                    std::to_string(block.size()) + " / " + std::to_string(cols) +
                    ") are not whole rows of the fitted table (" + std::to_string(imputer.rows()) + " rows)");
    }
    const detail::Kernel fn = detail::kernel_for(kernel, imputer.metric_kind(), cols);
    // 2. The block's missing cells, rows numbered as in the whole input.
    detail::MissingCells work;
    detail::collect_missing_cells(block, cols, 0, first_row, work);
    if (work.rows.empty()) {
        return std::nullopt;
    }
    // 3. The row pass over them, every fitted row a candidate (the input has the fitted shape).
    detail::run_row_pass(imputer, imputer.rows(), fn, tuning, work, block, first_row);
    return std::nullopt;
}

}  // namespace mirel::knn
