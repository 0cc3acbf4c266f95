// Which kernels this build and this processor can run, and the one choice of a kernel for a pass:
// every pass asks here, by instruction set (KernelKind), metric and row width.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "knn/core/imputer.hpp"
#include "knn/kernels/kernel.hpp"

namespace mirel::knn {

// Kernels this build and this processor can run; `portable` is always among them.
std::vector<KernelKind> available_kernels();
// The fastest available kernel: what the passes use by default.
KernelKind best_kernel() noexcept;
std::string_view kernel_name(KernelKind kind) noexcept;

namespace detail {
// The kernel of `kind` for `metric` and `cols` columns; std::invalid_argument when this build or
// this processor cannot run it.
Kernel kernel_for(KernelKind kind, Metric metric, std::size_t cols);
}  // namespace detail

}  // namespace mirel::knn
