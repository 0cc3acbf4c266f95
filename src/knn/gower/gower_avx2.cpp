// The Gower loops for AVX2, compiled for it only inside the target region and chosen at run
// time. Each lane does the scalar rule's rounded operations in its order; _CMP_ORD_Q and
// _CMP_NEQ_OQ are false for a NaN cell, whose lanes add +0.0 (a sum that is never -0.0 keeps
// its bits).
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

MIREL_TARGET_BEGIN("avx2")

namespace mirel::knn::gower_detail {

namespace {

void distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist) noexcept {
    const __m256d sign = _mm256_set1_pd(-0.0);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m256d num = _mm256_setzero_pd();
        __m256d den = _mm256_setzero_pd();
        for (std::size_t t = 0; t < term_count; ++t) {
            const Term& term = terms[t];
            const __m256d f = _mm256_loadu_pd(term.column + i);
            const __m256d wv = _mm256_set1_pd(term.weight);
            const __m256d held = _mm256_cmp_pd(f, f, _CMP_ORD_Q);
            if (term.kind == TermKind::scaled) {
                const __m256d diff = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_set1_pd(term.q), f));
                num = _mm256_add_pd(num, _mm256_and_pd(held, _mm256_mul_pd(diff, _mm256_set1_pd(term.factor))));
            } else if (term.kind == TermKind::divided) {
                const __m256d diff = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_set1_pd(term.q), f));
                const __m256d v = _mm256_mul_pd(wv, _mm256_div_pd(diff, _mm256_set1_pd(term.scale)));
                num = _mm256_add_pd(num, _mm256_and_pd(held, v));
            } else if (term.kind == TermKind::mismatch) {
                const __m256d differ = _mm256_cmp_pd(_mm256_set1_pd(term.q), f, _CMP_NEQ_OQ);
                num = _mm256_add_pd(num, _mm256_and_pd(differ, wv));
            }
            den = _mm256_add_pd(den, _mm256_and_pd(held, wv));
        }
        _mm256_storeu_pd(dist + i, _mm256_div_pd(num, den));
    }
    scalar_distances(terms, term_count, i, count, dist);
}

}  // namespace

}  // namespace mirel::knn::gower_detail

MIREL_TARGET_END

namespace mirel::knn::gower_detail {
GowerLoops avx2_loops() noexcept { return {"avx2", &distances}; }
}  // namespace mirel::knn::gower_detail

#endif
