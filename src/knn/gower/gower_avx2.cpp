// The Gower loops for AVX2, compiled for it only inside the target region and chosen at run
// time: the lanes of the shared vector body (knn/gower/gower_steps.hpp). _CMP_ORD_Q and
// _CMP_NEQ_OQ are false for a NaN cell; a test's lanes are an all-ones or all-zeros mask, so
// `and` with it keeps a value or gives +0.0.
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <cmath>

MIREL_TARGET_BEGIN("avx2")

namespace mirel::knn::gower_detail {

namespace {

struct Avx2Lanes {
    using V = __m256d;
    using Held = __m256d;
    static constexpr int WIDTH = 4;
    static constexpr unsigned ALL = 0xF;

    static V zero() noexcept { return _mm256_setzero_pd(); }
    static V set1(double x) noexcept { return _mm256_set1_pd(x); }
    static V load(const double* p) noexcept { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) noexcept { _mm256_storeu_pd(p, v); }
    static V add(V a, V b) noexcept { return _mm256_add_pd(a, b); }
    static V mul(V a, V b) noexcept { return _mm256_mul_pd(a, b); }
    static V div(V a, V b) noexcept { return _mm256_div_pd(a, b); }
    static V abs_diff(V q, V f) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(q, f)); }
    static Held held(V f) noexcept { return _mm256_cmp_pd(f, f, _CMP_ORD_Q); }
    static Held differ(V q, V f) noexcept { return _mm256_cmp_pd(q, f, _CMP_NEQ_OQ); }
    static V keep(Held m, V v) noexcept { return _mm256_and_pd(m, v); }
    static V keep_mul(Held m, V a, V b) noexcept { return _mm256_and_pd(m, _mm256_mul_pd(a, b)); }
    static unsigned above(V a, V b) noexcept {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_GT_OQ)));
    }
    static unsigned at_most(V a, V b) noexcept {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_LE_OQ)));
    }
};

}  // namespace

}  // namespace mirel::knn::gower_detail

#include "knn/gower/gower_steps.hpp"

MIREL_TARGET_END

namespace mirel::knn::gower_detail {
GowerLoops avx2_loops() noexcept { return {"avx2", &vector_distances<Avx2Lanes>}; }
}  // namespace mirel::knn::gower_detail

#endif
