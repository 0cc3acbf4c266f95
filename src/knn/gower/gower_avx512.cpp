// The Gower loops for AVX-512 (F), compiled for it only inside the target region and chosen at
// run time: the lanes of the shared vector body (knn/gower/gower_steps.hpp). A test's lanes are a
// mask register; a NaN cell's lanes are masked to +0.0.
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <cmath>

MIREL_TARGET_BEGIN("avx512f")

namespace mirel::knn::gower_detail {

namespace {

struct Avx512Lanes {
    using V = __m512d;
    using Held = __mmask8;
    static constexpr int WIDTH = 8;
    static constexpr unsigned ALL = 0xFF;

    static V zero() noexcept { return _mm512_setzero_pd(); }
    static V set1(double x) noexcept { return _mm512_set1_pd(x); }
    static V load(const double* p) noexcept { return _mm512_loadu_pd(p); }
    static void store(double* p, V v) noexcept { _mm512_storeu_pd(p, v); }
    static V add(V a, V b) noexcept { return _mm512_add_pd(a, b); }
    static V mul(V a, V b) noexcept { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) noexcept { return _mm512_div_pd(a, b); }
    static V abs_diff(V q, V f) noexcept { return _mm512_abs_pd(_mm512_sub_pd(q, f)); }
    static Held held(V f) noexcept { return _mm512_cmp_pd_mask(f, f, _CMP_ORD_Q); }
    static Held differ(V q, V f) noexcept { return _mm512_cmp_pd_mask(q, f, _CMP_NEQ_OQ); }
    static V keep(Held m, V v) noexcept { return _mm512_maskz_mov_pd(m, v); }
    static V keep_mul(Held m, V a, V b) noexcept { return _mm512_maskz_mul_pd(m, a, b); }
    static unsigned above(V a, V b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static unsigned at_most(V a, V b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
};

}  // namespace

}  // namespace mirel::knn::gower_detail

#include "knn/gower/gower_steps.hpp"

MIREL_TARGET_END

namespace mirel::knn::gower_detail {
GowerLoops avx512_loops() noexcept { return {"avx512", &vector_distances<Avx512Lanes>}; }
}  // namespace mirel::knn::gower_detail

#endif
