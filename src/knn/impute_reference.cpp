#include <algorithm>
#include <cmath>

#include "knn/impute.hpp"
#include "knn/metrics.hpp"
#include "knn/panic.hpp"
#include "knn/weights.hpp"

namespace mirel::knn {

ImputeResult impute_reference(const KnnImputer& imputer, std::span<const double> input,
                              std::size_t input_rows) {
    // 0. The metric is chosen once, before anything is copied or examined.
    const MetricFn metric = select_metric(imputer.metric());
    if (metric == nullptr) {
        return unknown_metric(imputer.metric());
    }
    // 1. Every cell starts as the input's own bits.
    std::vector<double> result(input.begin(), input.end());
    const std::size_t n = input.size();
    if (n == 0) {
        return result;
    }
    const std::size_t cols = imputer.cols();
    const std::size_t rows = imputer.rows();
    if (cols == 0) {
        if (std::any_of(input.begin(), input.end(), [](double v) { return std::isnan(v); })) {
            throw Panic("attempt to divide by zero");
        }
        return result;
    }
    std::size_t p = 0;
    while (p < n) {
        if (!std::isnan(input[p])) {
            ++p;
            continue;
        }
        // 2. p is the first missing cell of row r; collect the row's missing columns.
        const std::size_t r = p / cols;
        const std::size_t c0 = p - r * cols;
        std::vector<std::size_t> missing;
        missing.reserve(20);
        for (std::size_t c = c0, q = p; q < n && c < cols; ++c, ++q) {
            if (std::isnan(input[q])) {
                missing.push_back(c);
            }
        }
        // 3. Distances from fitted row r to every fitted row; r itself is not measured.
        const std::span<const double> reference = imputer.row(r);
        std::vector<double> distances;
        distances.reserve(rows);
        for (std::size_t t = 0; t < rows; ++t) {
            distances.push_back(t == r ? SELF_DISTANCE : metric(imputer, reference, imputer.row(t)));
        }
        // 4. Candidates 0..input_rows-1, nearest first, ties by ascending index.
        if (input_rows > rows && input_rows >= 2) {
            panic_index_out_of_bounds(rows, rows);
        }
        std::vector<std::size_t> order(input_rows);
        for (std::size_t i = 0; i < input_rows; ++i) {
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return distance_rank_key(distances[a]) < distance_rank_key(distances[b]);
        });
        // 5. Weights over all fitted rows, donors per column, then the writes.
        const std::vector<double> weights = get_weights(imputer, distances);
        const std::vector<double> fill = average(imputer, order, missing, weights);
        for (std::size_t j = 0; j < missing.size() && j < fill.size(); ++j) {
            result[r * cols + missing[j]] = fill[j];
        }
        p = r * cols + cols;
    }
    return result;
}

}  // namespace mirel::knn
