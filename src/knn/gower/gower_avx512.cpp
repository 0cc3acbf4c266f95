// The Gower loops for AVX-512 (F), compiled for it only inside the target region and chosen at
// run time. Each lane does the scalar rule's rounded operations in its order; a NaN cell's lanes
// are masked to +0.0 (a sum that is never -0.0 keeps its bits).
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <cmath>

MIREL_TARGET_BEGIN("avx512f")

namespace mirel::knn::gower_detail {

namespace {

// One step: U vectors of 8 rows each, every term's broadcasts shared by the U vectors.
template <int U>
inline std::size_t distances_step(const Term* terms, std::size_t term_count, std::size_t i, double* dist, double limit,
                                  double weight_total, std::uint32_t* candidates, std::size_t n) noexcept {
    const __m512d zero = _mm512_setzero_pd();
    __m512d num[U];
    __m512d den[U];
    for (int u = 0; u < U; ++u) {
        num[u] = zero;
        den[u] = zero;
    }
    for (std::size_t t = 0; t < term_count; ++t) {
        const Term& term = terms[t];
        const __m512d qv = _mm512_set1_pd(term.q);
        const __m512d wv = _mm512_set1_pd(term.weight);
        const double* column = term.column + i;
        if (term.kind == TermKind::scaled) {
            const __m512d fv = _mm512_set1_pd(term.factor);
            for (int u = 0; u < U; ++u) {
                const __m512d f = _mm512_loadu_pd(column + 8 * u);
                const __mmask8 held = _mm512_cmp_pd_mask(f, f, _CMP_ORD_Q);
                num[u] = _mm512_add_pd(num[u], _mm512_maskz_mul_pd(held, _mm512_abs_pd(_mm512_sub_pd(qv, f)), fv));
                den[u] = _mm512_add_pd(den[u], _mm512_maskz_mov_pd(held, wv));
            }
        } else if (term.kind == TermKind::divided) {
            const __m512d sv = _mm512_set1_pd(term.scale);
            for (int u = 0; u < U; ++u) {
                const __m512d f = _mm512_loadu_pd(column + 8 * u);
                const __mmask8 held = _mm512_cmp_pd_mask(f, f, _CMP_ORD_Q);
                const __m512d v = _mm512_mul_pd(wv, _mm512_div_pd(_mm512_abs_pd(_mm512_sub_pd(qv, f)), sv));
                num[u] = _mm512_add_pd(num[u], _mm512_maskz_mov_pd(held, v));
                den[u] = _mm512_add_pd(den[u], _mm512_maskz_mov_pd(held, wv));
            }
        } else if (term.kind == TermKind::mismatch) {
            for (int u = 0; u < U; ++u) {
                const __m512d f = _mm512_loadu_pd(column + 8 * u);
                const __mmask8 held = _mm512_cmp_pd_mask(f, f, _CMP_ORD_Q);
                const __mmask8 differ = _mm512_cmp_pd_mask(qv, f, _CMP_NEQ_OQ);
                num[u] = _mm512_add_pd(num[u], _mm512_maskz_mov_pd(differ, wv));
                den[u] = _mm512_add_pd(den[u], _mm512_maskz_mov_pd(held, wv));
            }
        } else {
            for (int u = 0; u < U; ++u) {
                const __m512d f = _mm512_loadu_pd(column + 8 * u);
                const __mmask8 held = _mm512_cmp_pd_mask(f, f, _CMP_ORD_Q);
                den[u] = _mm512_add_pd(den[u], _mm512_maskz_mov_pd(held, wv));
            }
        }
        // Halfway, a bound: the numerator only grows and the denominator is at most the total
        // weight (sums of nonnegative terms in one order, rounded monotonically), so a row with
        // numerator / total above the limit ends above it. When every row of the step does,
        // none is a candidate: their distances are left +inf.
        if (t + 1 == term_count / 2) {
            const __m512d lv = _mm512_set1_pd(limit);
            const __m512d wt = _mm512_set1_pd(weight_total);
            bool all_out = true;
            for (int u = 0; u < U; ++u) {
                all_out = all_out && _mm512_cmp_pd_mask(_mm512_div_pd(num[u], wt), lv, _CMP_GT_OQ) == 0xFF;
            }
            if (all_out) {
                for (int u = 0; u < U; ++u) {
                    _mm512_storeu_pd(dist + i + 8 * u, _mm512_set1_pd(INFINITY));
                }
                return n;
            }
        }
    }
    const __m512d lv = _mm512_set1_pd(limit);
    for (int u = 0; u < U; ++u) {
        const __m512d d = _mm512_div_pd(num[u], den[u]);
        _mm512_storeu_pd(dist + i + 8 * u, d);
        // Once the selections are full most rows fail: the bits are usually none.
        for (unsigned bits = _mm512_cmp_pd_mask(d, lv, _CMP_LE_OQ); bits != 0; bits &= bits - 1) {
            candidates[n++] = static_cast<std::uint32_t>(i + 8 * u + static_cast<unsigned>(__builtin_ctz(bits)));
        }
    }
    return n;
}

std::size_t distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist, double limit,
                      std::uint32_t* candidates) noexcept {
    double weight_total = 0.0;  // in the terms' order, as each row's denominator
    for (std::size_t t = 0; t < term_count; ++t) {
        weight_total = weight_total + terms[t].weight;
    }
    std::size_t i = 0;
    std::size_t n = 0;
    for (; i + 32 <= count; i += 32) {
        n = distances_step<4>(terms, term_count, i, dist, limit, weight_total, candidates, n);
    }
    for (; i + 8 <= count; i += 8) {
        n = distances_step<1>(terms, term_count, i, dist, limit, weight_total, candidates, n);
    }
    scalar_distances(terms, term_count, i, count, dist);
    return gather_candidates(dist, i, count, limit, candidates, n);
}

}  // namespace

}  // namespace mirel::knn::gower_detail

MIREL_TARGET_END

namespace mirel::knn::gower_detail {
GowerLoops avx512_loops() noexcept { return {"avx512", &distances}; }
}  // namespace mirel::knn::gower_detail

#endif
