// The dispatch table: every instruction set this build has kernels for, and the one place that
// asks the processor what it runs.
#include "knn/kernels/dispatch.hpp"

#include <array>
#include <stdexcept>

namespace mirel::knn {
namespace detail {

namespace {

bool always() noexcept { return true; }

#if MIREL_X86_KERNELS
bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2"); }
bool cpu_has_avx512() noexcept { return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"); }
#endif

constexpr std::array TARGETS {
    KernelTarget{KernelKind::portable, kernel_kind_name(KernelKind::portable), &always, &portable_kernels},
#if MIREL_X86_KERNELS
        KernelTarget{KernelKind::avx2, kernel_kind_name(KernelKind::avx2), &cpu_has_avx2, &avx2_kernels},
        KernelTarget{KernelKind::avx512, kernel_kind_name(KernelKind::avx512), &cpu_has_avx512, &avx512_kernels},
#endif
};

}  // namespace

std::span<const KernelTarget> kernel_targets() noexcept { return TARGETS; }

namespace {

const KernelTarget* find_target(KernelKind kind) noexcept {
    for (const KernelTarget& target : TARGETS) {
        if (target.kind == kind) {
            return &target;
        }
    }
    return nullptr;
}

}  // namespace

Kernel kernel_for(KernelKind kind, Metric metric, std::size_t cols) {
    const KernelTarget* target = find_target(kind);
    if (target == nullptr || !target->supported()) {
        throw std::invalid_argument("distance kernel not available on this machine");
    }
    const KernelSet set = target->kernels(cols);
    return Kernel{metric == Metric::expected_distance ? set.expected_distance : set.nan_euclid, set.masked_cells};
}

}  // namespace detail

std::vector<KernelKind> available_kernels() {
    std::vector<KernelKind> kinds;
    for (const detail::KernelTarget& target : detail::TARGETS) {
        if (target.supported()) {
            kinds.push_back(target.kind);
        }
    }
    return kinds;
}

KernelKind best_kernel() noexcept {
    KernelKind best = KernelKind::portable;
    for (const detail::KernelTarget& target : detail::TARGETS) {
        if (target.supported()) {
            best = target.kind;  // the table lists the targets slowest first
        }
    }
    return best;
}

std::string_view kernel_name(KernelKind kind) noexcept {
    return detail::find_target(kind) != nullptr ? kernel_kind_name(kind) : "unavailable";
}

}  // namespace mirel::knn
