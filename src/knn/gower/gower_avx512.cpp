// The Gower loops for AVX-512 (F), compiled for it only inside the target region and chosen at run
// time. _CMP_ORD_Q and _CMP_NEQ_OQ are false for a NaN cell, so its lanes add +0.0.
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <cmath>

MIREL_TARGET_BEGIN("avx512f")

namespace mirel::knn::gower_detail {

namespace {

inline void scalar_distances(const Term* terms, std::size_t term_count, std::size_t from, std::size_t count,
                             double* dist) noexcept {
    for (std::size_t i = from; i < count; ++i) {
        double num = 0.0;
        double den = 0.0;
        for (std::size_t t = 0; t < term_count; ++t) {
            const Term& term = terms[t];
            const double f = term.column[i];
            if (std::isnan(f)) {
                continue;
            }
            if (term.kind == TermKind::scaled) {
                num = num + term.weight * (std::fabs(term.q - f) / term.scale);
            } else if (term.kind == TermKind::mismatch) {
                num = num + (term.q != f ? term.weight : 0.0);
            }
            den = den + term.weight;
        }
        dist[i] = num / den;
    }
}

void accumulate(const double* column, std::size_t count, double q, double weight, double scale, TermKind kind,
                double* num, double* den) noexcept {
    const __m512d qv = _mm512_set1_pd(q);
    const __m512d wv = _mm512_set1_pd(weight);
    const __m512d sv = _mm512_set1_pd(scale);
    const __m512d zero = _mm512_setzero_pd();
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m512d f = _mm512_loadu_pd(column + i);
        const __mmask8 held = _mm512_cmp_pd_mask(f, f, _CMP_ORD_Q);
        if (kind == TermKind::scaled) {
            const __m512d t = _mm512_mul_pd(wv, _mm512_div_pd(_mm512_abs_pd(_mm512_sub_pd(qv, f)), sv));
            _mm512_storeu_pd(num + i, _mm512_add_pd(_mm512_loadu_pd(num + i), _mm512_mask_blend_pd(held, zero, t)));
        } else if (kind == TermKind::mismatch) {
            const __mmask8 differ = _mm512_cmp_pd_mask(qv, f, _CMP_NEQ_OQ);
            _mm512_storeu_pd(num + i, _mm512_add_pd(_mm512_loadu_pd(num + i), _mm512_mask_blend_pd(differ, zero, wv)));
        }
        _mm512_storeu_pd(den + i, _mm512_add_pd(_mm512_loadu_pd(den + i), _mm512_mask_blend_pd(held, zero, wv)));
    }
    for (; i < count; ++i) {
        const double f = column[i];
        if (std::isnan(f)) {
            continue;
        }
        if (kind == TermKind::scaled) {
            num[i] = num[i] + weight * (std::fabs(q - f) / scale);
        } else if (kind == TermKind::mismatch) {
            num[i] = num[i] + (q != f ? weight : 0.0);
        }
        den[i] = den[i] + weight;
    }
}

void finish(const double* num, const double* den, std::size_t count, double* dist) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm512_storeu_pd(dist + i, _mm512_div_pd(_mm512_loadu_pd(num + i), _mm512_loadu_pd(den + i)));
    }
    for (; i < count; ++i) {
        dist[i] = num[i] / den[i];
    }
}

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
GowerLoops avx512_loops() noexcept { return {"avx512", &distances, &accumulate, &finish}; }
}  // namespace mirel::knn::gower_detail

#endif
