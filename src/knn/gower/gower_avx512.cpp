// The Gower loops for AVX-512 (F), compiled for it only inside the target region and chosen at
// run time. Each lane does the scalar rule's rounded operations in its order; a NaN cell's lanes
// are masked to +0.0 (a sum that is never -0.0 keeps its bits).
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

MIREL_TARGET_BEGIN("avx512f")

namespace mirel::knn::gower_detail {

namespace {

void distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist) noexcept {
    const __m512d zero = _mm512_setzero_pd();
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m512d num = zero;
        __m512d den = zero;
        for (std::size_t t = 0; t < term_count; ++t) {
            const Term& term = terms[t];
            const __m512d f = _mm512_loadu_pd(term.column + i);
            const __m512d wv = _mm512_set1_pd(term.weight);
            const __mmask8 held = _mm512_cmp_pd_mask(f, f, _CMP_ORD_Q);
            if (term.kind == TermKind::scaled) {
                const __m512d diff = _mm512_abs_pd(_mm512_sub_pd(_mm512_set1_pd(term.q), f));
                num = _mm512_add_pd(num, _mm512_maskz_mul_pd(held, diff, _mm512_set1_pd(term.factor)));
            } else if (term.kind == TermKind::divided) {
                const __m512d diff = _mm512_abs_pd(_mm512_sub_pd(_mm512_set1_pd(term.q), f));
                const __m512d v = _mm512_mul_pd(wv, _mm512_div_pd(diff, _mm512_set1_pd(term.scale)));
                num = _mm512_add_pd(num, _mm512_mask_blend_pd(held, zero, v));
            } else if (term.kind == TermKind::mismatch) {
                const __mmask8 differ = _mm512_cmp_pd_mask(_mm512_set1_pd(term.q), f, _CMP_NEQ_OQ);
                num = _mm512_add_pd(num, _mm512_mask_blend_pd(differ, zero, wv));
            }
            den = _mm512_add_pd(den, _mm512_mask_blend_pd(held, zero, wv));
        }
        _mm512_storeu_pd(dist + i, _mm512_div_pd(num, den));
    }
    scalar_distances(terms, term_count, i, count, dist);
}

}  // namespace

}  // namespace mirel::knn::gower_detail

MIREL_TARGET_END

namespace mirel::knn::gower_detail {
GowerLoops avx512_loops() noexcept { return {"avx512", &distances}; }
}  // namespace mirel::knn::gower_detail

#endif
