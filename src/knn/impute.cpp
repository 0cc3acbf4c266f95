#include "knn/impute.hpp"

#include "knn/impute_fast.hpp"
#include "knn/pass_plan.hpp"

namespace mirel::knn {

ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows) {
    return impute_with(imputer, input, input_rows, best_kernel());
}

std::optional<UnknownMetric> check_impute(const KnnImputer& imputer, std::span<const double> input,
                                          std::size_t input_rows) {
    return detail::check_pass(imputer, input, input_rows);
}

}  // namespace mirel::knn
