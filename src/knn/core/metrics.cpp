#include "knn/core/metrics.hpp"

#include <cmath>
#include <limits>

#include "knn/core/panic.hpp"

namespace mirel::knn {

double nan_euclid(const KnnImputer&, std::span<const double> first, std::span<const double> second) {
    const std::size_t n = first.size();
    if (n == 0) {
        return std::numeric_limits<double>::infinity();
    }
    if (second.size() < n) {
        panic_index_out_of_bounds(second.size(), second.size());
    }
    double sum = 0.0;
    std::size_t present = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = first[i];
        const double b = second[i];
        if (!std::isnan(a) && !std::isnan(b)) {
            ++present;
            const double d = a - b;
            sum = sum + d * d;  // product rounded, then added: built without FMA contraction
        }
    }
    if (present == 0) {
        return std::numeric_limits<double>::infinity();
    }
    const double scale = static_cast<double>(n) / static_cast<double>(present);
    return sum * scale;
}

double expected_distance(const KnnImputer&, std::span<const double> first, std::span<const double> second) {
    const std::size_t n = first.size();
    double missing_sum = 0.0;
    double square_sum = 0.0;
    if (n != 0) {
        if (second.size() < n) {
            panic_index_out_of_bounds(second.size(), second.size());
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double a = first[i];
            const double b = second[i];
            if (std::isnan(a)) {
                missing_sum = missing_sum + (std::isnan(b) ? BOTH_MISSING_PENALTY : std::fmax(b, 1.0 - b));
            } else if (std::isnan(b)) {
                missing_sum = missing_sum + std::fmax(a, 1.0 - a);
            } else {
                const double d = a - b;
                square_sum = square_sum + d * d;
            }
        }
    }
    return missing_sum + std::sqrt(square_sum);
}

MetricFn metric_function(Metric metric) noexcept {
    switch (metric) {
        case Metric::nan_euclid:
            return &nan_euclid;
        case Metric::expected_distance:
            return &expected_distance;
        case Metric::unknown:
            break;
    }
    return nullptr;
}

}  // namespace mirel::knn
