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

// One step: U vectors of 4 rows each, every term's broadcasts shared by the U vectors.
template <int U>
inline void distances_step(const Term* terms, std::size_t term_count, std::size_t i, double* dist) noexcept {
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256d num[U];
    __m256d den[U];
    for (int u = 0; u < U; ++u) {
        num[u] = _mm256_setzero_pd();
        den[u] = _mm256_setzero_pd();
    }
    for (std::size_t t = 0; t < term_count; ++t) {
        const Term& term = terms[t];
        const __m256d qv = _mm256_set1_pd(term.q);
        const __m256d wv = _mm256_set1_pd(term.weight);
        const double* column = term.column + i;
        if (term.kind == TermKind::scaled) {
            const __m256d fv = _mm256_set1_pd(term.factor);
            for (int u = 0; u < U; ++u) {
                const __m256d f = _mm256_loadu_pd(column + 4 * u);
                const __m256d held = _mm256_cmp_pd(f, f, _CMP_ORD_Q);
                const __m256d v = _mm256_mul_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(qv, f)), fv);
                num[u] = _mm256_add_pd(num[u], _mm256_and_pd(held, v));
                den[u] = _mm256_add_pd(den[u], _mm256_and_pd(held, wv));
            }
        } else if (term.kind == TermKind::divided) {
            const __m256d sv = _mm256_set1_pd(term.scale);
            for (int u = 0; u < U; ++u) {
                const __m256d f = _mm256_loadu_pd(column + 4 * u);
                const __m256d held = _mm256_cmp_pd(f, f, _CMP_ORD_Q);
                const __m256d v = _mm256_mul_pd(wv, _mm256_div_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(qv, f)), sv));
                num[u] = _mm256_add_pd(num[u], _mm256_and_pd(held, v));
                den[u] = _mm256_add_pd(den[u], _mm256_and_pd(held, wv));
            }
        } else if (term.kind == TermKind::mismatch) {
            for (int u = 0; u < U; ++u) {
                const __m256d f = _mm256_loadu_pd(column + 4 * u);
                const __m256d held = _mm256_cmp_pd(f, f, _CMP_ORD_Q);
                const __m256d differ = _mm256_cmp_pd(qv, f, _CMP_NEQ_OQ);
                num[u] = _mm256_add_pd(num[u], _mm256_and_pd(differ, wv));
                den[u] = _mm256_add_pd(den[u], _mm256_and_pd(held, wv));
            }
        } else {
            for (int u = 0; u < U; ++u) {
                const __m256d f = _mm256_loadu_pd(column + 4 * u);
                const __m256d held = _mm256_cmp_pd(f, f, _CMP_ORD_Q);
                den[u] = _mm256_add_pd(den[u], _mm256_and_pd(held, wv));
            }
        }
    }
    for (int u = 0; u < U; ++u) {
        _mm256_storeu_pd(dist + i + 4 * u, _mm256_div_pd(num[u], den[u]));
    }
}

void distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        distances_step<4>(terms, term_count, i, dist);
    }
    for (; i + 4 <= count; i += 4) {
        distances_step<1>(terms, term_count, i, dist);
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
