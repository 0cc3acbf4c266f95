// x86-64 kernels for AVX2 and AVX-512F, compiled for those instruction sets only inside this
// file's target regions and chosen at run time (impute_fast.cpp asks the processor), so the
// library still runs on any x86-64.
//
// Exactness: one lane per candidate row; each lane does the scalar metric's subtraction,
// rounded product and rounded addition in column order (the build forbids contraction into
// fused multiply-adds). A coordinate that does not count is either skipped through a lane mask
// (AVX-512) or contributes +0.0 (AVX2), which leaves a sum that is never -0.0 unchanged.
// NaN semantics used: _CMP_ORD_Q / _CMP_UNORD_Q test for missing cells; no max/min instruction
// is used on values that could be NaN.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>
#include <limits>

#include "knn/distance_kernels_common.hpp"

namespace mirel::knn::detail {

namespace {

constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;

// ------------------------------------------------------------------------------- AVX-512F ---
#pragma GCC push_options
#pragma GCC target("avx512f")

// Ranking keys of eight distances compared with the query's threshold (distance_rank_key).
inline __mmask8 below_threshold_512(__m512d d, std::uint64_t threshold) {
    __m512i bits = _mm512_castpd_si512(d);
    const __mmask8 nan = _mm512_cmp_pd_mask(d, d, _CMP_UNORD_Q);
    bits = _mm512_mask_and_epi64(bits, nan, bits, _mm512_set1_epi64(static_cast<long long>(~SIGN)));
    const __mmask8 negative = _mm512_cmplt_epi64_mask(bits, _mm512_setzero_si512());
    const __m512i key = _mm512_mask_xor_epi64(_mm512_or_si512(bits, _mm512_set1_epi64(static_cast<long long>(SIGN))),
                                              negative, bits, _mm512_set1_epi64(-1));
    return _mm512_cmplt_epu64_mask(key, _mm512_set1_epi64(static_cast<long long>(threshold)));
}

inline std::uint8_t filter_block_512(const PanelView& panel, const QueryView& query, std::size_t b, double* out) {
    set_self(query, b, out);
    unsigned lanes = below_threshold_512(_mm512_load_pd(out), query.threshold);
    lanes |= open_lanes(panel, query, b);
    return static_cast<std::uint8_t>(lanes & valid_lanes(panel, b));
}

template <int U>
inline void nan_euclid_blocks_512(const PanelView& panel, const QueryView& query, std::size_t b, double* out) {
    const std::size_t cols = panel.cols;
    const double* base = panel.values + b * cols * BLOCK_LANES;
    const std::uint8_t* present = panel.present + b * cols;
    __m512d sum[U];
    for (int u = 0; u < U; ++u) {
        sum[u] = _mm512_setzero_pd();
    }
    for (std::size_t i = 0; i < query.n_ref_present; ++i) {
        const std::size_t c = query.ref_present[i];
        const __m512d a = _mm512_set1_pd(query.ref[c]);
        for (int u = 0; u < U; ++u) {
            const __m512d v = _mm512_load_pd(base + (u * cols + c) * BLOCK_LANES);
            const __m512d d = _mm512_sub_pd(a, v);
            sum[u] = _mm512_mask_add_pd(sum[u], present[u * cols + c], sum[u], _mm512_mul_pd(d, d));
        }
    }
    const __m512i one = _mm512_set1_epi64(1);
    const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    for (int u = 0; u < U; ++u) {
        // Shared coordinates: the candidate's present cells less those in the query's missing columns.
        __m512i count = _mm512_load_si512(panel.count + (b + u) * BLOCK_LANES);
        for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
            count = _mm512_mask_sub_epi64(count, present[u * cols + query.ref_missing[i]], count, one);
        }
        // Masked forms with an explicit source: the unmasked ones start from an undefined register,
        // which GCC 12 reports as possibly uninitialised.
        const __m512d scale = _mm512_mask_i64gather_pd(inf, 0xFF, count, panel.scale, 8);
        const __mmask8 none = _mm512_cmpeq_epi64_mask(count, _mm512_setzero_si512());
        _mm512_store_pd(out + u * BLOCK_LANES, _mm512_mask_blend_pd(none, _mm512_mul_pd(sum[u], scale), inf));
    }
}

template <int U>
inline void expected_distance_blocks_512(const PanelView& panel, const QueryView& query, std::size_t b,
                                         double* out) {
    const std::size_t cols = panel.cols;
    const double* base = panel.values + b * cols * BLOCK_LANES;
    const double* terms = panel.missing_term + b * cols * BLOCK_LANES;
    const std::uint8_t* present = panel.present + b * cols;
    __m512d missing_sum[U];
    __m512d square_sum[U];
    for (int u = 0; u < U; ++u) {
        missing_sum[u] = _mm512_setzero_pd();
        square_sum[u] = _mm512_setzero_pd();
    }
    for (std::size_t c = 0; c < cols; ++c) {
        if (query.ref_is_missing[c]) {
            for (int u = 0; u < U; ++u) {
                missing_sum[u] = _mm512_add_pd(missing_sum[u], _mm512_load_pd(terms + (u * cols + c) * BLOCK_LANES));
            }
            continue;
        }
        const __m512d a = _mm512_set1_pd(query.ref[c]);
        const __m512d term = _mm512_set1_pd(query.ref_term[c]);
        for (int u = 0; u < U; ++u) {
            const __m512d v = _mm512_load_pd(base + (u * cols + c) * BLOCK_LANES);
            const __mmask8 k = present[u * cols + c];
            const __m512d d = _mm512_sub_pd(a, v);
            square_sum[u] = _mm512_mask_add_pd(square_sum[u], k, square_sum[u], _mm512_mul_pd(d, d));
            missing_sum[u] = _mm512_mask_add_pd(missing_sum[u], static_cast<__mmask8>(~k), missing_sum[u], term);
        }
    }
    for (int u = 0; u < U; ++u) {
        _mm512_store_pd(out + u * BLOCK_LANES, _mm512_add_pd(missing_sum[u], _mm512_mask_sqrt_pd(square_sum[u], 0xFF, square_sum[u])));
    }
}

void nan_euclid_avx512(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                       double* dist, std::uint8_t* pass) {
    std::size_t b = b0;
    for (; b + 4 <= b1; b += 4) {
        nan_euclid_blocks_512<4>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (; b < b1; ++b) {
        nan_euclid_blocks_512<1>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (b = b0; b < b1; ++b) {
        pass[b - b0] = filter_block_512(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
}

void expected_distance_avx512(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                              double* dist, std::uint8_t* pass) {
    std::size_t b = b0;
    for (; b + 4 <= b1; b += 4) {
        expected_distance_blocks_512<4>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (; b < b1; ++b) {
        expected_distance_blocks_512<1>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (b = b0; b < b1; ++b) {
        pass[b - b0] = filter_block_512(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
}

#pragma GCC pop_options

// ----------------------------------------------------------------------------------- AVX2 ---
#pragma GCC push_options
#pragma GCC target("avx2")

// Four ranking keys below the threshold, as a 4-bit lane mask. Unsigned order is compared as
// signed order with the sign bit flipped on both sides.
inline unsigned below_threshold_256(__m256d d, std::uint64_t threshold) {
    __m256i bits = _mm256_castpd_si256(d);
    const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(SIGN));
    const __m256i nan = _mm256_castpd_si256(_mm256_cmp_pd(d, d, _CMP_UNORD_Q));
    bits = _mm256_andnot_si256(_mm256_and_si256(nan, sign), bits);
    const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), bits);
    // key ^ SIGN is ~bits ^ SIGN for a negative pattern and bits otherwise.
    const __m256i flipped = _mm256_xor_si256(bits, _mm256_andnot_si256(sign, negative));
    const __m256i limit = _mm256_set1_epi64x(static_cast<long long>(threshold ^ SIGN));
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(limit, flipped))));
}

inline std::uint8_t filter_block_256(const PanelView& panel, const QueryView& query, std::size_t b, double* out) {
    set_self(query, b, out);
    unsigned lanes = below_threshold_256(_mm256_load_pd(out), query.threshold) |
                     (below_threshold_256(_mm256_load_pd(out + 4), query.threshold) << 4);
    lanes |= open_lanes(panel, query, b);
    return static_cast<std::uint8_t>(lanes & valid_lanes(panel, b));
}

// U blocks = 2U vectors of four lanes.
template <int U>
inline void nan_euclid_blocks_256(const PanelView& panel, const QueryView& query, std::size_t b, double* out) {
    constexpr int H = 2 * U;
    const std::size_t cols = panel.cols;
    const double* base = panel.values + b * cols * BLOCK_LANES;
    __m256d sum[H];
    for (int h = 0; h < H; ++h) {
        sum[h] = _mm256_setzero_pd();
    }
    for (std::size_t i = 0; i < query.n_ref_present; ++i) {
        const std::size_t c = query.ref_present[i];
        const __m256d a = _mm256_set1_pd(query.ref[c]);
        for (int h = 0; h < H; ++h) {
            const __m256d v = _mm256_load_pd(base + ((h / 2) * cols + c) * BLOCK_LANES + (h % 2) * 4);
            const __m256d d = _mm256_sub_pd(a, v);
            const __m256d held = _mm256_cmp_pd(v, v, _CMP_ORD_Q);
            sum[h] = _mm256_add_pd(sum[h], _mm256_and_pd(_mm256_mul_pd(d, d), held));
        }
    }
    const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    for (int h = 0; h < H; ++h) {
        const std::size_t block = b + static_cast<std::size_t>(h / 2);
        __m256i count = _mm256_load_si256(
            reinterpret_cast<const __m256i*>(panel.count + block * BLOCK_LANES + (h % 2) * 4));
        for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
            const __m256d v = _mm256_load_pd(panel.values + (block * cols + query.ref_missing[i]) * BLOCK_LANES +
                                             (h % 2) * 4);
            // All-ones (-1) where the candidate holds the value: that coordinate is not shared.
            count = _mm256_add_epi64(count, _mm256_castpd_si256(_mm256_cmp_pd(v, v, _CMP_ORD_Q)));
        }
        const __m256d scale = _mm256_i64gather_pd(panel.scale, count, 8);
        const __m256d none = _mm256_castsi256_pd(_mm256_cmpeq_epi64(count, _mm256_setzero_si256()));
        _mm256_store_pd(out + h * 4, _mm256_blendv_pd(_mm256_mul_pd(sum[h], scale), inf, none));
    }
}

template <int U>
inline void expected_distance_blocks_256(const PanelView& panel, const QueryView& query, std::size_t b,
                                         double* out) {
    constexpr int H = 2 * U;
    const std::size_t cols = panel.cols;
    const double* base = panel.values + b * cols * BLOCK_LANES;
    const double* terms = panel.missing_term + b * cols * BLOCK_LANES;
    __m256d missing_sum[H];
    __m256d square_sum[H];
    for (int h = 0; h < H; ++h) {
        missing_sum[h] = _mm256_setzero_pd();
        square_sum[h] = _mm256_setzero_pd();
    }
    for (std::size_t c = 0; c < cols; ++c) {
        if (query.ref_is_missing[c]) {
            for (int h = 0; h < H; ++h) {
                missing_sum[h] = _mm256_add_pd(
                    missing_sum[h], _mm256_load_pd(terms + ((h / 2) * cols + c) * BLOCK_LANES + (h % 2) * 4));
            }
            continue;
        }
        const __m256d a = _mm256_set1_pd(query.ref[c]);
        const __m256d term = _mm256_set1_pd(query.ref_term[c]);
        for (int h = 0; h < H; ++h) {
            const __m256d v = _mm256_load_pd(base + ((h / 2) * cols + c) * BLOCK_LANES + (h % 2) * 4);
            const __m256d d = _mm256_sub_pd(a, v);
            const __m256d held = _mm256_cmp_pd(v, v, _CMP_ORD_Q);
            square_sum[h] = _mm256_add_pd(square_sum[h], _mm256_and_pd(_mm256_mul_pd(d, d), held));
            missing_sum[h] = _mm256_add_pd(missing_sum[h], _mm256_andnot_pd(held, term));
        }
    }
    for (int h = 0; h < H; ++h) {
        _mm256_store_pd(out + h * 4, _mm256_add_pd(missing_sum[h], _mm256_sqrt_pd(square_sum[h])));
    }
}

void nan_euclid_avx2(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                     std::uint8_t* pass) {
    std::size_t b = b0;
    for (; b + 2 <= b1; b += 2) {
        nan_euclid_blocks_256<2>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (; b < b1; ++b) {
        nan_euclid_blocks_256<1>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (b = b0; b < b1; ++b) {
        pass[b - b0] = filter_block_256(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
}

void expected_distance_avx2(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                            double* dist, std::uint8_t* pass) {
    std::size_t b = b0;
    for (; b + 2 <= b1; b += 2) {
        expected_distance_blocks_256<2>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (; b < b1; ++b) {
        expected_distance_blocks_256<1>(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
    for (b = b0; b < b1; ++b) {
        pass[b - b0] = filter_block_256(panel, query, b, dist + (b - b0) * BLOCK_LANES);
    }
}

#pragma GCC pop_options

}  // namespace

KernelSet avx512_kernels() noexcept {
    return KernelSet{&nan_euclid_avx512, &expected_distance_avx512};
}

KernelSet avx2_kernels() noexcept {
    return KernelSet{&nan_euclid_avx2, &expected_distance_avx2};
}

}  // namespace mirel::knn::detail

#endif  // __x86_64__
