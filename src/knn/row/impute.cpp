#include "knn/row/impute.hpp"

#include <utility>
#include <variant>

#include "knn/pass/pass_plan.hpp"
#include "knn/row/impute_fast.hpp"

namespace mirel::knn {

ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows) {
    return impute(imputer, input, input_rows, RowPassOptions{});
}

std::optional<UnknownMetric> check_impute(const KnnImputer& imputer, std::span<const double> input,
                                          std::size_t input_rows) {
    if (!detail::well_formed(imputer)) {
        // Whatever the straightforward pass does with such a record is what happens.
        ImputeResult outcome = impute_reference(imputer, input, input_rows);
        if (auto* unknown = std::get_if<UnknownMetric>(&outcome)) {
            return std::move(*unknown);
        }
        return std::nullopt;
    }
    return detail::check_pass(imputer, input, input_rows);
}

}  // namespace mirel::knn
