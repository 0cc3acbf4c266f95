// The Gower loops for any processor: plain scalar code.
#include "knn/gower/gower_kernel.hpp"

#include <cmath>

namespace mirel::knn::gower_detail {

namespace {

void accumulate(const double* column, std::size_t count, double q, double weight, double scale, TermKind kind,
                double* num, double* den) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const double f = column[i];
        if (std::isnan(f)) {
            continue;
        }
        if (kind == TermKind::scaled) {
            num[i] = num[i] + weight * (std::fabs(q - f) / scale);
        } else if (kind == TermKind::mismatch) {
            num[i] = num[i] + (q != f ? weight : 0.0);
        }
        den[i] = den[i] + weight;
    }
}

void finish(const double* num, const double* den, std::size_t count, double* dist) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        dist[i] = num[i] / den[i];
    }
}

}  // namespace

GowerLoops portable_loops() noexcept { return {"portable", &accumulate, &finish}; }

}  // namespace mirel::knn::gower_detail
