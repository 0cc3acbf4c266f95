// The straightforward pass: the definition of what imputation computes and how it fails.
#include <algorithm>

#include "knn/core/checked.hpp"
#include "knn/core/metrics.hpp"
#include "knn/core/panic.hpp"
#include "knn/core/weights.hpp"
#include "knn/pass/pass_plan.hpp"
#include "knn/row/impute.hpp"

namespace mirel::knn {

ImputeResult impute_reference(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows) {
    // 1. Metric check, the input's bits, the missing cells.
    std::vector<double> result;
    detail::MissingCells work;
    if (auto done = detail::open_pass(imputer, input, result, work)) {
        return std::move(*done);
    }
    const MetricFn metric = metric_function(imputer.metric_kind());
    const std::size_t cols = imputer.cols();
    const std::size_t rows = imputer.rows();
    for (std::size_t i = 0; i < work.rows.size(); ++i) {
        const std::size_t r = work.rows[i];
        const std::span<const std::size_t> missing = work.columns_of(i);
        // 2. Distances from fitted row r to every fitted row; r itself is not measured.
        const std::span<const double> reference = imputer.row(r);
        std::vector<double> distances;
        distances.reserve(checked_count<double>(rows));
        for (std::size_t t = 0; t < rows; ++t) {
            distances.push_back(t == r ? SELF_DISTANCE : metric(imputer, reference, imputer.row(t)));
        }
        // 3. Candidates 0..input_rows-1, nearest first, ties by ascending index.
        if (input_rows > rows && input_rows >= 2) {
            panic_index_out_of_bounds(rows, rows);
        }
        std::vector<std::size_t> order(checked_count<std::size_t>(input_rows));
        for (std::size_t t = 0; t < input_rows; ++t) {
            order[t] = t;
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return distance_rank_key(distances[a]) < distance_rank_key(distances[b]);
        });
        // 4. Weights over all fitted rows, donors per column, then the writes.
        const std::vector<double> weights = get_weights(imputer, distances);
        const std::vector<double> fill = average(imputer, order, missing, weights);
        for (std::size_t j = 0; j < missing.size() && j < fill.size(); ++j) {
            result[r * cols + missing[j]] = fill[j];
        }
    }
    return result;
}

}  // namespace mirel::knn
