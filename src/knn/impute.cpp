#include "knn/impute.hpp"

#include "knn/impute_fast.hpp"

namespace mirel::knn {

ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows) {
    return impute_with(imputer, input, input_rows, best_kernel());
}

}  // namespace mirel::knn
