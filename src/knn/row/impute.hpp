// The imputation pass: every NaN cell of the input is replaced by a k-nearest-neighbour
// estimate computed from the fitted matrix; every other cell is copied bit for bit.
//
// The straightforward pass (impute_reference) defines the behaviour: results, failures and
// their order. Every faster path (impute, impute_with, any pass added later) must match it bit
// for bit, and is tested against it on random and adversarial tables, on every kernel.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "knn/core/imputer.hpp"

namespace mirel::knn {

// The one ordinary error of the pass: a metric name that names no metric.
struct UnknownMetric {
    std::string message;  // "NAME is a unknown metric"
};

using ImputeResult = std::variant<std::vector<double>, UnknownMetric>;

inline UnknownMetric unknown_metric(const std::string& name) { return UnknownMetric{name + " is a unknown metric"}; }

// Input row r (read as rows of the fitted width) is imputed from the fitted rows nearest to
// fitted row r. `input_rows` is the input's own row count: candidates are rows 0..input_rows-1.
// Internal failures throw Panic. Results are bit-identical to impute_reference.
ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows);

// What `impute` would fail with, found without imputing (O(input), no allocation): the
// unknown-metric error is returned, an internal failure thrown as impute throws it; nullopt
// when impute would succeed. For a caller that discards the result of a successful pass (the
// result does not fit the fitted shape) but must report the pass's own failures first.
std::optional<UnknownMetric> check_impute(const KnnImputer& imputer, std::span<const double> input,
                                          std::size_t input_rows);

// The straightforward pass, kept as the yardstick that faster code is checked against:
// one metric call per other fitted row, a full stable sort of the candidates, get_weights,
// average.
ImputeResult impute_reference(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows);

// Distance given to the reference row itself: the largest finite double, so that it ranks
// after every row at a finite distance and before rows at +inf or NaN.
inline constexpr double SELF_DISTANCE = 1.7976931348623157e308;

// Ranking key of a distance: the IEEE total order, with a NaN's sign dropped first so that
// every NaN ranks after +inf whatever sign the hardware gave it. Ties are broken by row index.
inline std::uint64_t distance_rank_key(double d) noexcept {
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    if (d != d) {
        bits &= ~sign;
    }
    return (bits & sign) ? ~bits : (bits | sign);
}

// The key of a distance the kernels measured. Those are never negative numbers: every sum
// starts at +0.0 and adds terms of +0.0 or more (or NaN), and the final steps keep the sign. For
// a double that is +0.0 or more, or a NaN of either sign, distance_rank_key is its bits with the
// sign bit set, and the vector kernels form their keys this way in one instruction.
inline std::uint64_t measured_rank_key(double d) noexcept {
    return std::bit_cast<std::uint64_t>(d) | (std::uint64_t{1} << 63);
}

}  // namespace mirel::knn
