// The Gower loops for AVX2, compiled for it only inside the target region and chosen at run
// time. Each lane does the scalar rule's rounded operations in its order; _CMP_ORD_Q and
// _CMP_NEQ_OQ are false for a NaN cell, whose lanes add +0.0 (a sum that is never -0.0 keeps
// its bits).
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <cmath>

MIREL_TARGET_BEGIN("avx2")

namespace mirel::knn::gower_detail {

namespace {

// One step: U vectors of 4 rows each, every term's broadcasts shared by the U vectors.
template <int U>
inline std::size_t distances_step(const Term* terms, std::size_t term_count, std::size_t i, double* dist, double limit,
                                  double weight_total, std::uint32_t* candidates, std::size_t n) noexcept {
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
        // Halfway, a bound: the numerator only grows and the denominator is at most the total
        // weight (sums of nonnegative terms in one order, rounded monotonically), so a row with
        // numerator / total above the limit ends above it. When every row of the step does,
        // none is a candidate: their distances are left +inf.
        if (t + 1 == term_count / 2) {
            const __m256d lv = _mm256_set1_pd(limit);
            const __m256d wt = _mm256_set1_pd(weight_total);
            bool all_out = true;
            for (int u = 0; u < U; ++u) {
                all_out =
                    all_out && _mm256_movemask_pd(_mm256_cmp_pd(_mm256_div_pd(num[u], wt), lv, _CMP_GT_OQ)) == 0xF;
            }
            if (all_out) {
                for (int u = 0; u < U; ++u) {
                    _mm256_storeu_pd(dist + i + 4 * u, _mm256_set1_pd(INFINITY));
                }
                return n;
            }
        }
    }
    const __m256d lv = _mm256_set1_pd(limit);
    for (int u = 0; u < U; ++u) {
        const __m256d d = _mm256_div_pd(num[u], den[u]);
        _mm256_storeu_pd(dist + i + 4 * u, d);
        // Once the selections are full most rows fail: the bits are usually none.
        for (unsigned bits = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(d, lv, _CMP_LE_OQ))); bits != 0;
             bits &= bits - 1) {
            candidates[n++] = static_cast<std::uint32_t>(i + 4 * u + static_cast<unsigned>(__builtin_ctz(bits)));
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
    for (; i + 16 <= count; i += 16) {
        n = distances_step<4>(terms, term_count, i, dist, limit, weight_total, candidates, n);
    }
    for (; i + 4 <= count; i += 4) {
        n = distances_step<1>(terms, term_count, i, dist, limit, weight_total, candidates, n);
    }
    scalar_distances(terms, term_count, i, count, dist);
    return gather_candidates(dist, i, count, limit, candidates, n);
}

}  // namespace

}  // namespace mirel::knn::gower_detail

MIREL_TARGET_END

namespace mirel::knn::gower_detail {
GowerLoops avx2_loops() noexcept { return {"avx2", &distances}; }
}  // namespace mirel::knn::gower_detail

#endif
