#include "knn/core/weights.hpp"

#include <cmath>

#include "knn/core/panic.hpp"

namespace mirel::knn {

std::vector<double> get_weights(const KnnImputer& imputer, std::span<const double> distances) {
    switch (imputer.weights_kind()) {
        case Weights::uniform:
            if (distances.empty()) {
                return {};
            }
            return std::vector<double>(distances.size(), uniform_weight(imputer.k()));
        case Weights::distance: {
            std::vector<double> out;
            out.reserve(distances.size());
            for (const double d : distances) {
                out.push_back(1.0 / d);
            }
            return out;
        }
        case Weights::unknown:
            break;
    }
    throw Panic("Unknown weight " + imputer.weights());
}

std::vector<double> average(const KnnImputer& imputer, std::span<const std::size_t> order,
                            std::span<const std::size_t> columns, std::span<const double> weights) {
    if (columns.empty()) {
        return {};
    }
    std::vector<double> result(columns.size(), 0.0);
    if (!imputer.fitted()) {
        if (order.empty()) {
            return result;
        }
        throw Panic("average over an imputer that holds no fitted matrix");
    }
    const std::size_t limit = donor_limit(imputer.k());
    const std::size_t cols = imputer.cols();
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const std::size_t col = columns[j];
        std::size_t used = 0;
        for (const std::size_t r : order) {
            const std::span<const double> row = imputer.row(r);
            if (col >= cols) {
                panic_index_out_of_bounds(cols, col);
            }
            const double v = row[col];
            if (std::isnan(v)) {
                continue;
            }
            if (r >= weights.size()) {
                panic_index_out_of_bounds(weights.size(), r);
            }
            result[j] = result[j] + v * weights[r];
            if (++used == limit) {
                break;
            }
        }
    }
    return result;
}

}  // namespace mirel::knn
