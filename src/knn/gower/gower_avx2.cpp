// The Gower loops for AVX2, compiled for it only inside the target region and chosen at run
// time. _CMP_ORD_Q and _CMP_NEQ_OQ are false for a NaN cell, so its lanes add +0.0.
#include "knn/gower/gower_kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <cmath>

MIREL_TARGET_BEGIN("avx2")

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
    const __m256d qv = _mm256_set1_pd(q);
    const __m256d wv = _mm256_set1_pd(weight);
    const __m256d sv = _mm256_set1_pd(scale);
    const __m256d sign = _mm256_set1_pd(-0.0);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d f = _mm256_loadu_pd(column + i);
        const __m256d held = _mm256_cmp_pd(f, f, _CMP_ORD_Q);
        if (kind == TermKind::scaled) {
            const __m256d t = _mm256_mul_pd(wv, _mm256_div_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(qv, f)), sv));
            _mm256_storeu_pd(num + i, _mm256_add_pd(_mm256_loadu_pd(num + i), _mm256_and_pd(held, t)));
        } else if (kind == TermKind::mismatch) {
            const __m256d differ = _mm256_cmp_pd(qv, f, _CMP_NEQ_OQ);
            _mm256_storeu_pd(num + i, _mm256_add_pd(_mm256_loadu_pd(num + i), _mm256_and_pd(differ, wv)));
        }
        _mm256_storeu_pd(den + i, _mm256_add_pd(_mm256_loadu_pd(den + i), _mm256_and_pd(held, wv)));
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
    for (; i + 4 <= count; i += 4) {
        _mm256_storeu_pd(dist + i, _mm256_div_pd(_mm256_loadu_pd(num + i), _mm256_loadu_pd(den + i)));
    }
    for (; i < count; ++i) {
        dist[i] = num[i] / den[i];
    }
}

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
GowerLoops avx2_loops() noexcept { return {"avx2", &distances, &accumulate, &finish}; }
}  // namespace mirel::knn::gower_detail

#endif
