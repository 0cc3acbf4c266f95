#include "knn/core/imputer.hpp"

#include "knn/core/panic.hpp"

namespace mirel::knn {

void panic_index_out_of_bounds(std::size_t len, std::size_t index) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

namespace {

// The enumerator at the position of `name` among `names` (listed in enumerator order), else
// `unknown`.
template <class E>
E parse_name(std::string_view name, const std::array<std::string_view, 2>& names, E unknown) noexcept {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (name == names[i]) {
            return static_cast<E>(i);
        }
    }
    return unknown;
}

}  // namespace

Metric parse_metric(std::string_view name) noexcept { return parse_name(name, METRIC_NAMES, Metric::unknown); }

Weights parse_weights(std::string_view name) noexcept { return parse_name(name, ALLOWED_WEIGHTS, Weights::unknown); }

bool is_allowed_weights(std::string_view weights) noexcept { return parse_weights(weights) != Weights::unknown; }

KnnImputer KnnImputer::create(std::uint32_t k, std::string metric, std::string weights) {
    if (!is_allowed_weights(weights)) {
        throw Panic("assertion failed: ALLOWED_WEIGHTS.contains(&weights)");
    }
    return KnnImputer(k, std::move(metric), std::move(weights));
}

void KnnImputer::store_fitted(std::vector<double> values, std::size_t rows, std::size_t cols) noexcept {
    fitted_values_.reset();
    fitted_values_.emplace(std::move(values));
    rows_ = rows;
    cols_ = cols;
}

std::span<const double> KnnImputer::row(std::size_t i) const {
    if (!fitted_values_) {
        throw Panic("row access on an imputer that holds no fitted matrix");
    }
    const std::size_t len = fitted_values_->size();
    const std::size_t start = i * cols_;  // unsigned: wraps at the width of size_t
    std::size_t end = 0;
    const bool overflow = __builtin_add_overflow(start, cols_, &end);
    if (!overflow && end <= len) {
        return std::span<const double>(fitted_values_->data() + start, cols_);
    }
    if (start > len) {
        throw Panic("range start index " + std::to_string(start) + " out of range for slice of length " +
                    std::to_string(len));
    }
    if (!overflow) {
        throw Panic("range end index " + std::to_string(end) + " out of range for slice of length " +
                    std::to_string(len));
    }
    throw Panic("slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end));
}

}  // namespace mirel::knn
