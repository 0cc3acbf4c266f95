// The Gower loops for any processor: the scalar rule.
#include "knn/gower/gower_kernel.hpp"

namespace mirel::knn::gower_detail {

namespace {

void distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist) noexcept {
    scalar_distances(terms, term_count, 0, count, dist);
}

}  // namespace

GowerLoops portable_loops() noexcept { return {"portable", &distances}; }

}  // namespace mirel::knn::gower_detail
