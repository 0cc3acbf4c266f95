#include "knn/pass/pass_plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "knn/core/checked.hpp"
#include "knn/core/panic.hpp"

namespace mirel::knn::detail {

namespace {

// The first missing cell of the input (input.size() when there is none); with no fitted column a
// missing cell cannot be placed in a row: the division by zero of the pass.
std::size_t first_missing_cell(const KnnImputer& imputer, std::span<const double> input) {
    std::size_t p = 0;
    while (p < input.size() && !std::isnan(input[p])) {
        ++p;
    }
    if (p < input.size() && imputer.cols() == 0) {
        throw Panic("attempt to divide by zero");
    }
    return p;
}

}  // namespace

void collect_missing_cells(std::span<const double> input, std::size_t cols, std::size_t from, std::size_t first_row,
                           MissingCells& work) {
    const std::size_t n = input.size();
    work = MissingCells{};
    std::size_t p = from;
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
        work.rows.push_back(first_row + r);
        work.offsets.push_back(work.cols.size());
        p = r * cols + cols;
    }
}

namespace {

// Collects the missing cells into `work`; false when there is none.
bool find_missing_cells(const KnnImputer& imputer, std::span<const double> input, MissingCells& work) {
    const std::size_t p = first_missing_cell(imputer, input);
    if (p == input.size()) {
        return false;
    }
    collect_missing_cells(input, imputer.cols(), p, 0, work);
    return true;
}

}  // namespace

std::optional<ImputeResult> open_pass(const KnnImputer& imputer, std::span<const double> input,
                                      std::vector<double>& result, MissingCells& work) {
    if (imputer.metric_kind() == Metric::unknown) {
        return unknown_metric(imputer.metric());
    }
    result.assign(input.begin(), input.end());
    if (!find_missing_cells(imputer, input, work)) {
        return ImputeResult(std::move(result));
    }
    return std::nullopt;
}

std::variant<UnknownMetric, bool> open_pass_into(const KnnImputer& imputer, std::span<const double> input,
                                                 std::span<double> result, MissingCells& work) {
    if (imputer.metric_kind() == Metric::unknown) {
        return unknown_metric(imputer.metric());
    }
    if (result.size() != input.size()) {
        throw Panic("result buffer of another size than the input");
    }
    std::copy(input.begin(), input.end(), result.begin());
    return find_missing_cells(imputer, input, work);
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

std::optional<UnknownMetric> check_pass(const KnnImputer& imputer, std::span<const double> input,
                                        std::size_t input_rows) {
    // The same steps as open_pass and check_row_failures, without the copies.
    if (imputer.metric_kind() == Metric::unknown) {
        return unknown_metric(imputer.metric());
    }
    const std::size_t n = input.size();
    const std::size_t cols = imputer.cols();
    const std::size_t rows = imputer.rows();
    std::size_t p = first_missing_cell(imputer, input);
    if (p == n) {
        return std::nullopt;
    }
    bool first = true;
    while (p < n) {
        if (!std::isnan(input[p])) {
            ++p;
            continue;
        }
        const std::size_t r = p / cols;
        (void)imputer.row(r);
        if (first && input_rows > rows && input_rows >= 2) {
            panic_index_out_of_bounds(rows, rows);
        }
        first = false;
        p = r * cols + cols;
    }
    return std::nullopt;
}

void fill_donorless(const KnnImputer& imputer, std::size_t m, MissingCells& work, std::span<double> result) {
    const std::size_t cols = imputer.cols();
    const std::span<const double> fitted = imputer.fitted_values();
    // 1. The columns that have a donor: stop as soon as every column has one.
    std::vector<std::uint8_t> has_donor(checked_count<std::uint8_t>(cols), 0);
    std::size_t found = 0;
    for (std::size_t t = 0; t < m && found < cols; ++t) {
        const double* row = fitted.data() + t * cols;
        for (std::size_t c = 0; c < cols; ++c) {
            if (has_donor[c] == 0 && !std::isnan(row[c])) {
                has_donor[c] = 1;
                ++found;
            }
        }
    }
    if (found == cols) {
        return;
    }
    // 2. The cells without a donor get +0.0; the rest stay, in order.
    MissingCells kept;
    kept.rows.reserve(work.rows.size());
    kept.offsets.reserve(work.offsets.size());
    kept.cols.reserve(work.cols.size());
    for (std::size_t i = 0; i < work.rows.size(); ++i) {
        const std::size_t r = work.rows[i];
        const std::size_t before = kept.cols.size();
        for (const std::size_t c : work.columns_of(i)) {
            if (has_donor[c] != 0) {
                kept.cols.push_back(c);
            } else {
                result[r * cols + c] = 0.0;
            }
        }
        if (kept.cols.size() != before) {
            kept.rows.push_back(r);
            kept.offsets.push_back(kept.cols.size());
        }
    }
    work = std::move(kept);
}

bool well_formed(const KnnImputer& imputer) noexcept {
    const std::optional<std::size_t> cells = try_mul(imputer.rows(), imputer.cols());
    return imputer.fitted() && cells && *cells == imputer.fitted_values().size() &&
           imputer.weights_kind() != Weights::unknown;
}

}  // namespace mirel::knn::detail
