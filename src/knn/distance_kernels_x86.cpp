// x86-64 kernels for AVX2 and AVX-512 (F + DQ), compiled for those instruction sets only inside
// this file's target regions (GCC's target pragma, Clang's attribute pragma) and chosen at run
// time (impute_fast.cpp asks the processor), so the library still runs on any x86-64.
//
// Exactness: one lane per candidate row; each lane does the scalar metric's subtraction,
// rounded product and rounded addition in column order (the build forbids contraction into
// fused multiply-adds). A coordinate that does not count is either skipped through a lane mask
// (AVX-512) or contributes +0.0 (AVX2), which leaves a sum that is never -0.0 unchanged.
// NaN semantics relied on: _CMP_ORD_Q / _CMP_UNORD_Q are false / true for any NaN; the one
// max instruction (AVX2 nan_euclid, see there) returns its second operand when either is NaN.
#include "knn/distance_kernels.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <cmath>
#include <limits>

#include "knn/distance_kernels_common.hpp"

namespace mirel::knn::detail {

namespace {

constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
constexpr int VECTORS_512 = static_cast<int>(BLOCK_ROWS / 8);
static_assert(VECTORS_512 == 4, "the AVX-512 loops are written out for four vectors per block");
constexpr int VECTORS_256 = static_cast<int>(BLOCK_ROWS / 4);
static_assert(VECTORS_256 == 8, "the AVX2 loops are written out for eight vectors per block");

// ---------------------------------------------------------------------------- AVX-512 F+DQ ---
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
#endif

// A lane mask loaded straight from memory into a mask register. Left to itself, GCC loads the
// byte into a general register and moves it over, an extra instruction on a port the vector
// arithmetic needs.
inline __mmask8 load_mask(const std::uint8_t* p) {
    __mmask8 k;
    __asm__("kmovb %1, %0" : "=k"(k) : "m"(*p));
    return k;
}

// Ranking keys of eight distances (see distance_rank_key).
inline __m512i rank_keys_512(__m512d d) {
    __m512i bits = _mm512_castpd_si512(d);
    const __mmask8 nan = _mm512_cmp_pd_mask(d, d, _CMP_UNORD_Q);
    bits = _mm512_mask_and_epi64(bits, nan, bits, _mm512_set1_epi64(static_cast<long long>(~SIGN)));
    const __mmask8 negative = _mm512_cmplt_epi64_mask(bits, _mm512_setzero_si512());
    return _mm512_mask_xor_epi64(_mm512_or_si512(bits, _mm512_set1_epi64(static_cast<long long>(SIGN))), negative,
                                 bits, _mm512_set1_epi64(-1));
}

inline void filter_block_512(const PanelView& panel, const QueryView& query, std::size_t b, double* out,
                             std::uint8_t* pass, std::uint8_t* reverse) {
    static_assert(BLOCK_BYTES == 4, "a block's filter result is one 32-bit word");
    set_self(query, b, out);
    const __m512i threshold = _mm512_set1_epi64(static_cast<long long>(query.threshold));
    const __m512i k0 = rank_keys_512(_mm512_load_pd(out));
    const __m512i k1 = rank_keys_512(_mm512_load_pd(out + 8));
    const __m512i k2 = rank_keys_512(_mm512_load_pd(out + 16));
    const __m512i k3 = rank_keys_512(_mm512_load_pd(out + 24));
    std::uint32_t forward = static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k0, threshold)) |
                            (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k1, threshold)) << 8) |
                            (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k2, threshold)) << 16) |
                            (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k3, threshold)) << 24);
    if (query.n_open != 0) {
        forward |= open_rows_32(panel, query, b);
    }
    store_rows_32(pass, forward & forward_range_32(panel, query, b));
    const std::uint32_t back_range = reverse_range_32(query, b);
    std::uint32_t backward = 0;
    if (back_range != 0) {
        const std::uint64_t* limits = query.reverse_threshold + b * BLOCK_ROWS;
        backward = static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k0, _mm512_loadu_si512(limits))) |
                   (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k1, _mm512_loadu_si512(limits + 8))) << 8) |
                   (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k2, _mm512_loadu_si512(limits + 16))) << 16) |
                   (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k3, _mm512_loadu_si512(limits + 24))) << 24);
        backward &= back_range;
    }
    store_rows_32(reverse, backward);
}

// How nan_euclid's scale cols / shared is looked up for eight lanes: from one register
// (cols < 8), from two (cols < 16), or, for wider rows, from one register holding the eight
// values just below the most a candidate can share with the query (cols less the query's
// missing cells), where nearly every candidate lies, with a gather for the other lanes.
enum class ScaleLookup { one_register, two_registers, window };

template <ScaleLookup Lookup>
void nan_euclid_avx512(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                       double* dist, std::uint8_t* pass, std::uint8_t* reverse) {
    const std::size_t cols = panel.cols;
    const __m512i one = _mm512_set1_epi64(1);
    const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    __m512d table_lo = inf;
    __m512d table_hi = inf;
    // window: lane value `most - shared` indexes table_lo while it is below 8.
    const std::int64_t most = static_cast<std::int64_t>(cols - query.n_ref_missing);
    const __m512i top = _mm512_set1_epi64(most);
    if constexpr (Lookup == ScaleLookup::window) {
        double window[8];
        for (std::int64_t i = 0; i < 8; ++i) {
            window[i] = most - i >= 1 ? panel.scale[most - i] : 0.0;
        }
        table_lo = _mm512_loadu_pd(window);
    } else {
        double lo[8];
        double hi[8];
        for (std::size_t i = 0; i < 8; ++i) {
            lo[i] = i <= cols ? panel.scale[i] : 0.0;
            hi[i] = i + 8 <= cols ? panel.scale[i + 8] : 0.0;
        }
        table_lo = _mm512_loadu_pd(lo);
        table_hi = _mm512_loadu_pd(hi);
    }
    for (std::size_t b = b0; b < b1; ++b) {
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        const std::uint8_t* present = panel.present + b * cols * BLOCK_BYTES;
        // Four named accumulators: GCC keeps an array of them in memory across the loop.
        __m512d s0 = _mm512_setzero_pd();
        __m512d s1 = s0;
        __m512d s2 = s0;
        __m512d s3 = s0;
        auto column = [&](std::size_t c) {
            const __m512d a = _mm512_set1_pd(query.ref[c]);
            const double* v = base + c * BLOCK_ROWS;
            const std::uint8_t* held = present + c * BLOCK_BYTES;
            const __m512d d0 = _mm512_sub_pd(a, _mm512_load_pd(v));
            const __m512d d1 = _mm512_sub_pd(a, _mm512_load_pd(v + 8));
            const __m512d d2 = _mm512_sub_pd(a, _mm512_load_pd(v + 16));
            const __m512d d3 = _mm512_sub_pd(a, _mm512_load_pd(v + 24));
            s0 = _mm512_mask_add_pd(s0, load_mask(held), s0, _mm512_mul_pd(d0, d0));
            s1 = _mm512_mask_add_pd(s1, load_mask(held + 1), s1, _mm512_mul_pd(d1, d1));
            s2 = _mm512_mask_add_pd(s2, load_mask(held + 2), s2, _mm512_mul_pd(d2, d2));
            s3 = _mm512_mask_add_pd(s3, load_mask(held + 3), s3, _mm512_mul_pd(d3, d3));
        };
        // Two columns per iteration (in column order): less loop overhead on the ports the
        // vector arithmetic needs.
        const std::uint32_t* columns = query.ref_present;
        std::size_t i = 0;
        for (; i + 2 <= query.n_ref_present; i += 2) {
            column(columns[i]);
            column(columns[i + 1]);
        }
        if (i < query.n_ref_present) {
            column(columns[i]);
        }
        const __m512d sum[VECTORS_512] = {s0, s1, s2, s3};
        // Shared coordinates: the candidate's present cells less those in the query's missing
        // columns.
        const std::int64_t* counts = panel.count + b * BLOCK_ROWS;
        __m512i c0 = _mm512_load_si512(counts);
        __m512i c1 = _mm512_load_si512(counts + 8);
        __m512i c2 = _mm512_load_si512(counts + 16);
        __m512i c3 = _mm512_load_si512(counts + 24);
        for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
            const std::uint8_t* held = present + query.ref_missing[i] * BLOCK_BYTES;
            c0 = _mm512_mask_sub_epi64(c0, load_mask(held), c0, one);
            c1 = _mm512_mask_sub_epi64(c1, load_mask(held + 1), c1, one);
            c2 = _mm512_mask_sub_epi64(c2, load_mask(held + 2), c2, one);
            c3 = _mm512_mask_sub_epi64(c3, load_mask(held + 3), c3, one);
        }
        const __m512i count[VECTORS_512] = {c0, c1, c2, c3};
        double* out = dist + (b - b0) * BLOCK_ROWS;
        for (int u = 0; u < VECTORS_512; ++u) {
            // Masked forms with an explicit source where one exists: the unmasked ones start
            // from an undefined register, which GCC 12 reports as possibly uninitialised.
            __m512d scale;
            if constexpr (Lookup == ScaleLookup::one_register) {
                scale = _mm512_mask_permutexvar_pd(inf, 0xFF, count[u], table_lo);
            } else if constexpr (Lookup == ScaleLookup::two_registers) {
                scale = _mm512_permutex2var_pd(table_lo, count[u], table_hi);
            } else {
                const __m512i below = _mm512_sub_epi64(top, count[u]);
                scale = _mm512_mask_permutexvar_pd(inf, 0xFF, below, table_lo);
                const __mmask8 outside = _mm512_cmpgt_epu64_mask(below, _mm512_set1_epi64(7));
                if (outside != 0) {
                    scale = _mm512_mask_i64gather_pd(scale, outside, count[u], panel.scale, 8);
                }
            }
            const __mmask8 none = _mm512_cmpeq_epi64_mask(count[u], _mm512_setzero_si512());
            _mm512_store_pd(out + 8 * u, _mm512_mask_blend_pd(none, _mm512_mul_pd(sum[u], scale), inf));
        }
        filter_block_512(panel, query, b, out, pass + (b - b0) * BLOCK_BYTES, reverse + (b - b0) * BLOCK_BYTES);
    }
}

void expected_distance_avx512(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                              double* dist, std::uint8_t* pass, std::uint8_t* reverse) {
    const std::size_t cols = panel.cols;
    for (std::size_t b = b0; b < b1; ++b) {
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        const double* terms = panel.missing_term + b * cols * BLOCK_ROWS;
        const std::uint8_t* present = panel.present + b * cols * BLOCK_BYTES;
        // Named accumulators, as in nan_euclid_avx512.
        __m512d m0 = _mm512_setzero_pd();
        __m512d m1 = m0;
        __m512d m2 = m0;
        __m512d m3 = m0;
        __m512d q0 = m0;
        __m512d q1 = m0;
        __m512d q2 = m0;
        __m512d q3 = m0;
        for (std::size_t c = 0; c < cols; ++c) {
            if (query.ref_is_missing[c]) {
                const double* t = terms + c * BLOCK_ROWS;
                m0 = _mm512_add_pd(m0, _mm512_load_pd(t));
                m1 = _mm512_add_pd(m1, _mm512_load_pd(t + 8));
                m2 = _mm512_add_pd(m2, _mm512_load_pd(t + 16));
                m3 = _mm512_add_pd(m3, _mm512_load_pd(t + 24));
                continue;
            }
            const __m512d a = _mm512_set1_pd(query.ref[c]);
            const __m512d term = _mm512_set1_pd(query.ref_term[c]);
            const double* v = base + c * BLOCK_ROWS;
            const std::uint8_t* held = present + c * BLOCK_BYTES;
            const __mmask8 k0 = load_mask(held);
            const __mmask8 k1 = load_mask(held + 1);
            const __mmask8 k2 = load_mask(held + 2);
            const __mmask8 k3 = load_mask(held + 3);
            const __m512d d0 = _mm512_sub_pd(a, _mm512_load_pd(v));
            const __m512d d1 = _mm512_sub_pd(a, _mm512_load_pd(v + 8));
            const __m512d d2 = _mm512_sub_pd(a, _mm512_load_pd(v + 16));
            const __m512d d3 = _mm512_sub_pd(a, _mm512_load_pd(v + 24));
            q0 = _mm512_mask_add_pd(q0, k0, q0, _mm512_mul_pd(d0, d0));
            q1 = _mm512_mask_add_pd(q1, k1, q1, _mm512_mul_pd(d1, d1));
            q2 = _mm512_mask_add_pd(q2, k2, q2, _mm512_mul_pd(d2, d2));
            q3 = _mm512_mask_add_pd(q3, k3, q3, _mm512_mul_pd(d3, d3));
            m0 = _mm512_mask_add_pd(m0, static_cast<__mmask8>(~k0), m0, term);
            m1 = _mm512_mask_add_pd(m1, static_cast<__mmask8>(~k1), m1, term);
            m2 = _mm512_mask_add_pd(m2, static_cast<__mmask8>(~k2), m2, term);
            m3 = _mm512_mask_add_pd(m3, static_cast<__mmask8>(~k3), m3, term);
        }
        const __m512d missing_sum[VECTORS_512] = {m0, m1, m2, m3};
        const __m512d square_sum[VECTORS_512] = {q0, q1, q2, q3};
        double* out = dist + (b - b0) * BLOCK_ROWS;
        for (int u = 0; u < VECTORS_512; ++u) {
            // Masked form with an explicit source, as in nan_euclid_avx512.
            const __m512d root = _mm512_mask_sqrt_pd(square_sum[u], 0xFF, square_sum[u]);
            _mm512_store_pd(out + 8 * u, _mm512_add_pd(missing_sum[u], root));
        }
        filter_block_512(panel, query, b, out, pass + (b - b0) * BLOCK_BYTES, reverse + (b - b0) * BLOCK_BYTES);
    }
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// Outside the target region: plain code that only takes the kernels' addresses.
KernelFn nan_euclid_avx512_for(std::size_t cols) {
    if (cols < 8) {
        return &nan_euclid_avx512<ScaleLookup::one_register>;
    }
    if (cols < 16) {
        return &nan_euclid_avx512<ScaleLookup::two_registers>;
    }
    return &nan_euclid_avx512<ScaleLookup::window>;
}

// ----------------------------------------------------------------------------------- AVX2 ---
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

// Ranking keys of four distances with the sign bit flipped (see distance_rank_key): unsigned
// order of keys is signed order of these, which AVX2 can compare.
inline __m256i flipped_keys_256(__m256d d) {
    __m256i bits = _mm256_castpd_si256(d);
    const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(SIGN));
    const __m256i nan = _mm256_castpd_si256(_mm256_cmp_pd(d, d, _CMP_UNORD_Q));
    bits = _mm256_andnot_si256(_mm256_and_si256(nan, sign), bits);
    const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), bits);
    // key ^ SIGN is ~bits ^ SIGN for a negative pattern and bits otherwise.
    return _mm256_xor_si256(bits, _mm256_andnot_si256(sign, negative));
}

// Lanes whose flipped key is at most the flipped limit, as a 4-bit mask.
inline unsigned at_most_256(__m256i flipped_key, __m256i flipped_limit) {
    const __m256i above = _mm256_cmpgt_epi64(flipped_key, flipped_limit);
    return ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(above))) & 0xFu;
}

inline void filter_block_256(const PanelView& panel, const QueryView& query, std::size_t b, double* out,
                             std::uint8_t* pass, std::uint8_t* reverse) {
    set_self(query, b, out);
    const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(SIGN));
    const __m256i threshold = _mm256_set1_epi64x(static_cast<long long>(query.threshold ^ SIGN));
    __m256i keys[VECTORS_256];
    std::uint32_t forward = 0;
    for (int h = 0; h < VECTORS_256; ++h) {
        keys[h] = flipped_keys_256(_mm256_load_pd(out + 4 * h));
        forward |= static_cast<std::uint32_t>(at_most_256(keys[h], threshold)) << (4 * h);
    }
    if (query.n_open != 0) {
        forward |= open_rows_32(panel, query, b);
    }
    store_rows_32(pass, forward & forward_range_32(panel, query, b));
    const std::uint32_t back_range = reverse_range_32(query, b);
    std::uint32_t backward = 0;
    if (back_range != 0) {
        const std::uint64_t* limits = query.reverse_threshold + b * BLOCK_ROWS;
        for (int h = 0; h < VECTORS_256; ++h) {
            const __m256i limit =
                _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(limits + 4 * h)), sign);
            backward |= static_cast<std::uint32_t>(at_most_256(keys[h], limit)) << (4 * h);
        }
        backward &= back_range;
    }
    store_rows_32(reverse, backward);
}

// Squares of the differences with missing candidate cells counted as +0.0. In general a
// missing cell is found by comparing the cell with itself. When the query's infinities meet
// no infinity in the candidates' columns (finite_pairs), a NaN square can only come from a
// missing cell, and max(square, 0) gives +0.0 for it (the instruction returns its second
// operand when either is NaN) and the square otherwise.
template <bool FinitePairs>
void nan_euclid_avx2_with(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                          double* dist, std::uint8_t* pass, std::uint8_t* reverse) {
    const std::size_t cols = panel.cols;
    const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    const __m256d zero = _mm256_setzero_pd();
    for (std::size_t b = b0; b < b1; ++b) {
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        // Eight named accumulators: GCC keeps an array of them in memory across the loop.
        __m256d s0 = zero, s1 = zero, s2 = zero, s3 = zero, s4 = zero, s5 = zero, s6 = zero, s7 = zero;
        for (std::size_t i = 0; i < query.n_ref_present; ++i) {
            const std::size_t c = query.ref_present[i];
            const __m256d a = _mm256_set1_pd(query.ref[c]);
            const double* v = base + c * BLOCK_ROWS;
            auto term = [&](int h) {
                const __m256d x = _mm256_load_pd(v + 4 * h);
                const __m256d d = _mm256_sub_pd(a, x);
                const __m256d square = _mm256_mul_pd(d, d);
                if constexpr (FinitePairs) {
                    return _mm256_max_pd(square, zero);
                } else {
                    return _mm256_and_pd(square, _mm256_cmp_pd(x, x, _CMP_ORD_Q));
                }
            };
            s0 = _mm256_add_pd(s0, term(0));
            s1 = _mm256_add_pd(s1, term(1));
            s2 = _mm256_add_pd(s2, term(2));
            s3 = _mm256_add_pd(s3, term(3));
            s4 = _mm256_add_pd(s4, term(4));
            s5 = _mm256_add_pd(s5, term(5));
            s6 = _mm256_add_pd(s6, term(6));
            s7 = _mm256_add_pd(s7, term(7));
        }
        const __m256d sum[VECTORS_256] = {s0, s1, s2, s3, s4, s5, s6, s7};
        double* out = dist + (b - b0) * BLOCK_ROWS;
        for (int h = 0; h < VECTORS_256; ++h) {
            __m256i count =
                _mm256_load_si256(reinterpret_cast<const __m256i*>(panel.count + b * BLOCK_ROWS + 4 * h));
            for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
                const __m256d x = _mm256_load_pd(base + query.ref_missing[i] * BLOCK_ROWS + 4 * h);
                // All-ones (-1) where the candidate holds the value: that coordinate is not shared.
                count = _mm256_add_epi64(count, _mm256_castpd_si256(_mm256_cmp_pd(x, x, _CMP_ORD_Q)));
            }
            const __m256d scale = _mm256_i64gather_pd(panel.scale, count, 8);
            const __m256d none = _mm256_castsi256_pd(_mm256_cmpeq_epi64(count, _mm256_setzero_si256()));
            _mm256_store_pd(out + 4 * h, _mm256_blendv_pd(_mm256_mul_pd(sum[h], scale), inf, none));
        }
        filter_block_256(panel, query, b, out, pass + (b - b0) * BLOCK_BYTES, reverse + (b - b0) * BLOCK_BYTES);
    }
}

void nan_euclid_avx2(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                     std::uint8_t* pass, std::uint8_t* reverse) {
    if (query.finite_pairs) {
        nan_euclid_avx2_with<true>(panel, query, b0, b1, dist, pass, reverse);
    } else {
        nan_euclid_avx2_with<false>(panel, query, b0, b1, dist, pass, reverse);
    }
}

// Half a block (16 rows) at a time: two sums of four vectors stay in registers.
void expected_distance_avx2(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                            double* dist, std::uint8_t* pass, std::uint8_t* reverse) {
    constexpr int H = VECTORS_256 / 2;
    const std::size_t cols = panel.cols;
    for (std::size_t b = b0; b < b1; ++b) {
        double* out = dist + (b - b0) * BLOCK_ROWS;
        for (int half = 0; half < 2; ++half) {
            const double* base = panel.values + b * cols * BLOCK_ROWS + half * H * 4;
            const double* terms = panel.missing_term + b * cols * BLOCK_ROWS + half * H * 4;
            __m256d missing_sum[H];
            __m256d square_sum[H];
            for (int h = 0; h < H; ++h) {
                missing_sum[h] = _mm256_setzero_pd();
                square_sum[h] = _mm256_setzero_pd();
            }
            for (std::size_t c = 0; c < cols; ++c) {
                if (query.ref_is_missing[c]) {
                    for (int h = 0; h < H; ++h) {
                        missing_sum[h] = _mm256_add_pd(missing_sum[h], _mm256_load_pd(terms + c * BLOCK_ROWS + 4 * h));
                    }
                    continue;
                }
                const __m256d a = _mm256_set1_pd(query.ref[c]);
                const __m256d term = _mm256_set1_pd(query.ref_term[c]);
                for (int h = 0; h < H; ++h) {
                    const __m256d x = _mm256_load_pd(base + c * BLOCK_ROWS + 4 * h);
                    const __m256d d = _mm256_sub_pd(a, x);
                    const __m256d held = _mm256_cmp_pd(x, x, _CMP_ORD_Q);
                    square_sum[h] = _mm256_add_pd(square_sum[h], _mm256_and_pd(_mm256_mul_pd(d, d), held));
                    missing_sum[h] = _mm256_add_pd(missing_sum[h], _mm256_andnot_pd(held, term));
                }
            }
            for (int h = 0; h < H; ++h) {
                _mm256_store_pd(out + half * H * 4 + 4 * h,
                                _mm256_add_pd(missing_sum[h], _mm256_sqrt_pd(square_sum[h])));
            }
        }
        filter_block_256(panel, query, b, out, pass + (b - b0) * BLOCK_BYTES, reverse + (b - b0) * BLOCK_BYTES);
    }
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

}  // namespace

KernelSet avx512_kernels(std::size_t cols) noexcept {
    return KernelSet{nan_euclid_avx512_for(cols), &expected_distance_avx512};
}

KernelSet avx2_kernels() noexcept {
    return KernelSet{&nan_euclid_avx2, &expected_distance_avx2};
}

}  // namespace mirel::knn::detail

#endif  // MIREL_X86_KERNELS
