// The imputation pass: every NaN cell of the input is replaced by a k-nearest-neighbour
// estimate computed from the fitted matrix; every other cell is copied bit for bit.
//
// The straightforward pass (impute_reference) defines the behaviour: results, failures and
// their order. Every faster path (impute, any pass added later) must match it bit
// for bit, and is tested against it on random and adversarial tables, on every kernel.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "knn/core/imputer.hpp"
#include "knn/core/rank_key.hpp"
#include "knn/kernels/dispatch.hpp"
#include "knn/pass/pass_tuning.hpp"

namespace mirel::knn {

// The knobs of the fast row pass that tests and benchmarks use to reach every path: the distance
// kernel (an instruction set) and the block sizes.
struct RowPassOptions {
    KernelKind kernel = best_kernel();
    PassTuning tuning;
};

// Input row r (read as rows of the fitted width) is imputed from the fitted rows nearest to
// fitted row r. `input_rows` is the input's own row count: candidates are rows 0..input_rows-1.
// Internal failures throw Panic; a kernel not available here, std::invalid_argument. Results are
// bit-identical to impute_reference on every kernel and tuning.
ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows,
                    const RowPassOptions& options);
ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows);

// `impute` into a buffer the caller owns, of input.size() cells: the same bits, failures and
// their order; nullopt on success. For a caller whose result lives in memory of its own kind.
std::optional<UnknownMetric> impute_into(const KnnImputer& imputer, std::span<const double> input,
                                         std::size_t input_rows, std::span<double> result);

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

}  // namespace mirel::knn
