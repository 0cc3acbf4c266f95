// The Gower loops for any processor: the scalar rule.
#include "knn/gower/gower_kernel.hpp"

namespace mirel::knn::gower_detail {

namespace {

std::size_t distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist, double limit,
                      std::uint32_t* candidates) noexcept {
    scalar_distances(terms, term_count, 0, count, dist);
    return gather_candidates(dist, 0, count, limit, candidates, 0);
}

}  // namespace

GowerLoops portable_loops() noexcept { return {"portable", &distances}; }

}  // namespace mirel::knn::gower_detail
