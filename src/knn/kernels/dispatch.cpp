// The dispatch table: every instruction set this build has kernels for, and the one place that
// asks the processor what it runs.
#include "knn/kernels/kernel.hpp"

#include <array>

namespace mirel::knn::detail {

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

}  // namespace mirel::knn::detail
