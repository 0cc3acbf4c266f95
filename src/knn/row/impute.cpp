#include "knn/row/impute.hpp"

#include "knn/pass/pass_plan.hpp"
#include "knn/row/impute_fast.hpp"

namespace mirel::knn {

ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows) {
    return impute_with(imputer, input, input_rows, best_kernel());
}

std::optional<UnknownMetric> check_impute(const KnnImputer& imputer, std::span<const double> input,
                                          std::size_t input_rows) {
    return detail::check_pass(imputer, input, input_rows);
}

}  // namespace mirel::knn
