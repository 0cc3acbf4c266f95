#include "knn/impute.hpp"

namespace mirel::knn {

ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows) {
    return impute_reference(imputer, input, input_rows);
}

}  // namespace mirel::knn
