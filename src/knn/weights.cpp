#include "knn/weights.hpp"

#include <cmath>

#include "knn/panic.hpp"

namespace mirel::knn {

std::vector<double> get_weights(const KnnImputer& imputer, std::span<const double> distances) {
    const std::string& name = imputer.weights();
    if (name == "uniform") {
        if (distances.empty()) {
            return {};
        }
        const double w = 1.0 / static_cast<double>(imputer.k());
        return std::vector<double>(distances.size(), w);
    }
    if (name == "distance") {
        std::vector<double> out;
        out.reserve(distances.size());
        for (const double d : distances) {
            out.push_back(1.0 / d);
        }
        return out;
    }
    throw Panic("Unknown weight " + name);
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
    const std::uint32_t limit = imputer.k() == 0 ? 1 : imputer.k();
    const std::size_t cols = imputer.cols();
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const std::size_t col = columns[j];
        std::uint32_t used = 0;
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
