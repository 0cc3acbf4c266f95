#include "knn/pass_plan.hpp"

#include <cmath>

#include "knn/panic.hpp"

namespace mirel::knn::detail {

std::optional<ImputeResult> open_pass(const KnnImputer& imputer, std::span<const double> input,
                                      std::vector<double>& result, MissingCells& work) {
    if (imputer.metric_kind() == Metric::unknown) {
        return unknown_metric(imputer.metric());
    }
    result.assign(input.begin(), input.end());
    const std::size_t n = input.size();
    const std::size_t cols = imputer.cols();
    std::size_t p = 0;
    while (p < n && !std::isnan(input[p])) {
        ++p;
    }
    if (p == n) {
        return ImputeResult(std::move(result));
    }
    if (cols == 0) {
        throw Panic("attempt to divide by zero");
    }
    work = MissingCells{};
    while (p < n) {
        if (!std::isnan(input[p])) {
            ++p;
            continue;
        }
        // p is the first missing cell of row r; collect the row's missing columns.
        const std::size_t r = p / cols;
        const std::size_t c0 = p - r * cols;
        for (std::size_t c = c0, q = p; q < n && c < cols; ++c, ++q) {
            if (std::isnan(input[q])) {
                work.cols.push_back(c);
            }
        }
        work.rows.push_back(r);
        work.offsets.push_back(work.cols.size());
        p = r * cols + cols;
    }
    return std::nullopt;
}

void check_row_failures(const KnnImputer& imputer, const MissingCells& work, std::size_t input_rows) {
    const std::size_t rows = imputer.rows();
    for (std::size_t i = 0; i < work.rows.size(); ++i) {
        (void)imputer.row(work.rows[i]);
        if (i == 0 && input_rows > rows && input_rows >= 2) {
            panic_index_out_of_bounds(rows, rows);
        }
    }
}

bool well_formed(const KnnImputer& imputer) noexcept {
    std::size_t cells = 0;
    return imputer.fitted() && !__builtin_mul_overflow(imputer.rows(), imputer.cols(), &cells) &&
           cells == imputer.fitted_values().size() && imputer.weights_kind() != Weights::unknown;
}

}  // namespace mirel::knn::detail
