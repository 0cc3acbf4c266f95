// AVX2 kernels, compiled for that instruction set only inside this file's target region (GCC's
// target pragma, Clang's attribute pragma) and chosen at run time (kernels/dispatch.cpp asks
// the processor), so the library still runs on any x86-64.
//
// Exactness: one lane per candidate row; each lane does the scalar metric's subtraction,
// rounded product and rounded addition in column order (the build forbids contraction into
// fused multiply-adds). A coordinate that does not count contributes +0.0, which leaves a sum
// that is never -0.0 unchanged. NaN semantics relied on: _CMP_ORD_Q is false for any NaN; the
// one max instruction (nan_euclid, see there) returns its second operand when either is NaN.
#include "knn/kernels/kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

MIREL_TARGET_BEGIN("avx2")

#include "knn/kernels/block_driver.hpp"

namespace mirel::knn::detail {

namespace {

constexpr int VECTORS = static_cast<int>(BLOCK_ROWS / 4);
static_assert(VECTORS == 8, "the loops are written out for eight vectors per block");

// Ranking keys of four measured distances (see measured_rank_key) with the sign bit flipped,
// that is their bits with the sign bit cleared: unsigned order of keys is signed order of
// these, which AVX2 can compare.
inline __m256i flipped_keys(__m256d d) {
    return _mm256_andnot_si256(_mm256_set1_epi64x(static_cast<long long>(RANK_KEY_SIGN)), _mm256_castpd_si256(d));
}

// Lanes whose flipped key is at most the flipped limit, as a 4-bit mask.
inline unsigned at_most_flipped(__m256i flipped_key, __m256i flipped_limit) {
    const __m256i above = _mm256_cmpgt_epi64(flipped_key, flipped_limit);
    return ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(above))) & 0xFu;
}

struct Avx2Keys {
    __m256i key[VECTORS];

    explicit Avx2Keys(const double* out) {
        for (int h = 0; h < VECTORS; ++h) {
            key[h] = flipped_keys(_mm256_load_pd(out + 4 * h));
        }
    }
    std::uint32_t at_most(std::uint64_t threshold) const {
        const __m256i limit = _mm256_set1_epi64x(static_cast<long long>(threshold ^ RANK_KEY_SIGN));
        std::uint32_t rows = 0;
        for (int h = 0; h < VECTORS; ++h) {
            rows |= static_cast<std::uint32_t>(at_most_flipped(key[h], limit)) << (4 * h);
        }
        return rows;
    }
    std::uint32_t at_most_each(const std::uint64_t* limits) const {
        const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(RANK_KEY_SIGN));
        std::uint32_t rows = 0;
        for (int h = 0; h < VECTORS; ++h) {
            const __m256i limit =
                _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(limits + 4 * h)), sign);
            rows |= static_cast<std::uint32_t>(at_most_flipped(key[h], limit)) << (4 * h);
        }
        return rows;
    }
};

// The lanes of half a block (bound[h] for the lanes of vector h) whose bound is at most their
// limit (a NaN keeps a lane: see prune_limits), as a 16-bit mask.
inline unsigned kept_lanes(const __m256d (&bound)[VECTORS / 2], const double* limit) {
    unsigned keep = 0;
    for (int h = 0; h < VECTORS / 2; ++h) {
        const __m256d lim = _mm256_load_pd(limit + 4 * h);
        const unsigned out_lanes = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(bound[h], lim, _CMP_GT_OQ)));
        keep |= (~out_lanes & 0xFu) << (4 * h);
    }
    return keep;
}

// Four presence bits as four 64-bit lanes of 0 or 1.
inline __m256i lane_bits(std::uint32_t nibble) {
    const __m256i bit = _mm256_setr_epi64x(1, 2, 4, 8);
    const __m256i set = _mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(nibble)), bit);
    return _mm256_srli_epi64(_mm256_cmpeq_epi64(set, bit), 63);
}

// Squares of the differences with missing candidate cells counted as +0.0. In general a
// missing cell is found by comparing the cell with itself. When the query's infinities meet
// no infinity in the candidates' columns (finite_pairs), a NaN square can only come from a
// missing cell, and max(square, 0) gives +0.0 for it (the instruction returns its second
// operand when either is NaN) and the square otherwise.
template <bool FinitePairs>
struct NanEuclid : BlockDistances {
    using BlockDistances::BlockDistances;

    static constexpr bool PER_LANE = true;
    std::size_t steps() const { return query.n_ref_present; }

    template <bool Prune>
    std::uint32_t block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                        std::uint64_t& skipped) const {
        if constexpr (Prune) {
            return pruned_block(b, out, limit, needed, skipped);
        } else {
            whole_block(b, out);
            return 0;
        }
    }

    __m256d term(const double* v, __m256d a, int h) const {
        const __m256d x = _mm256_load_pd(v + 4 * h);
        const __m256d d = _mm256_sub_pd(a, x);
        const __m256d square = _mm256_mul_pd(d, d);
        if constexpr (FinitePairs) {
            return _mm256_max_pd(square, _mm256_setzero_pd());
        } else {
            return _mm256_and_pd(square, _mm256_cmp_pd(x, x, _CMP_ORD_Q));
        }
    }

    // Adds the terms of column c to the accumulators of vectors h0..h0+3 from `base` (the
    // block's values, or a half block's), in column order.
    void add_column(const double* base, std::size_t c, int h0, __m256d& s0, __m256d& s1, __m256d& s2,
                    __m256d& s3) const {
        const __m256d a = _mm256_set1_pd(query.ref[c]);
        const double* v = base + c * BLOCK_ROWS;
        s0 = _mm256_add_pd(s0, term(v, a, h0));
        s1 = _mm256_add_pd(s1, term(v, a, h0 + 1));
        s2 = _mm256_add_pd(s2, term(v, a, h0 + 2));
        s3 = _mm256_add_pd(s3, term(v, a, h0 + 3));
    }

    // The shared coordinates of the four lanes of vector h: the candidate's present cells less
    // those in the query's missing columns. The presence bits are read rather than the values:
    // they are few and stay cached.
    __m256i shared(std::size_t b, int h) const {
        const std::uint8_t* present = panel.present + b * panel.cols * BLOCK_BYTES;
        __m256i count = _mm256_load_si256(reinterpret_cast<const __m256i*>(panel.count + b * BLOCK_ROWS + 4 * h));
        for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
            const std::uint8_t byte = present[query.ref_missing[i] * BLOCK_BYTES + static_cast<std::size_t>(h / 2)];
            count = _mm256_sub_epi64(count, lane_bits((byte >> (4 * (h % 2))) & 0xFu));
        }
        return count;
    }

    void whole_block(std::size_t b, double* out) const {
        const std::size_t cols = panel.cols;
        const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
        const __m256d zero = _mm256_setzero_pd();
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        // Eight named accumulators: GCC keeps an array of them in memory across the loop.
        __m256d s0 = zero, s1 = zero, s2 = zero, s3 = zero, s4 = zero, s5 = zero, s6 = zero, s7 = zero;
        for (std::size_t i = 0; i < query.n_ref_present; ++i) {
            add_column(base, query.ref_present[i], 0, s0, s1, s2, s3);
            add_column(base, query.ref_present[i], 4, s4, s5, s6, s7);
        }
        const __m256d sum[VECTORS] = {s0, s1, s2, s3, s4, s5, s6, s7};
        for (int h = 0; h < VECTORS; ++h) {
            const __m256i count = shared(b, h);
            const __m256d scale = _mm256_i64gather_pd(panel.scale, count, 8);
            const __m256d none = _mm256_castsi256_pd(_mm256_cmpeq_epi64(count, _mm256_setzero_si256()));
            _mm256_store_pd(out + 4 * h, _mm256_blendv_pd(_mm256_mul_pd(sum[h], scale), inf, none));
        }
    }

    // Half a block (16 lanes, four accumulators: enough to keep the adders busy) at a time; a
    // half is abandoned once its needed lanes are all out.
    std::uint32_t pruned_block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                               std::uint64_t& skipped) const {
        constexpr int H = VECTORS / 2;
        const std::size_t cols = panel.cols;
        const std::size_t n = query.n_ref_present;
        const std::size_t step = prune_step(n);
        const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
        const __m256d zero = _mm256_setzero_pd();
        std::uint32_t dropped = 0;
        for (int half = 0; half < 2; ++half) {
            const double* base = panel.values + b * cols * BLOCK_ROWS + half * H * 4;
            const std::uint32_t half_needed = (needed >> (16 * half)) & 0xFFFFu;
            __m256d s0 = zero, s1 = zero, s2 = zero, s3 = zero;
            bool live = half_needed != 0;
            std::size_t i = 0;
            while (live && i < n) {
                const std::size_t stop = std::min(n, i + step);
                for (; i < stop; ++i) {
                    add_column(base, query.ref_present[i], 0, s0, s1, s2, s3);
                }
                if (i < n) {
                    // The partial sum itself bounds the distance: the scale is at least 1 (see
                    // prune_limits), and its lookup is left for the lanes that finish.
                    const __m256d bound[H] = {s0, s1, s2, s3};
                    live = (kept_lanes(bound, limit + half * H * 4) & half_needed) != 0;
                }
            }
            if (!live) {
                dropped |= 0xFFFFu << (16 * half);
                skipped += 16u * (n - i);
            }
            const __m256d sum[H] = {s0, s1, s2, s3};
            if (!live) {
                // An abandoned half gets its partial sums, which no filter reads.
                for (int h = 0; h < H; ++h) {
                    _mm256_store_pd(out + half * H * 4 + 4 * h, sum[h]);
                }
                continue;
            }
            for (int h = 0; h < H; ++h) {
                const __m256i count = shared(b, half * H + h);
                const __m256d scale = _mm256_i64gather_pd(panel.scale, count, 8);
                const __m256d none = _mm256_castsi256_pd(_mm256_cmpeq_epi64(count, _mm256_setzero_si256()));
                _mm256_store_pd(out + half * H * 4 + 4 * h, _mm256_blendv_pd(_mm256_mul_pd(sum[h], scale), inf, none));
            }
        }
        return dropped;
    }
};

void nan_euclid(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                std::uint8_t* forward, std::uint8_t* reverse) {
    if (query.finite_pairs) {
        drive_blocks<NanEuclid<true>, Avx2Keys>(panel, query, b0, b1, dist, forward, reverse);
    } else {
        drive_blocks<NanEuclid<false>, Avx2Keys>(panel, query, b0, b1, dist, forward, reverse);
    }
}

// Half a block (16 rows) at a time: two sums of four vectors stay in registers. Pruning
// works per half.
struct ExpectedDistance : BlockDistances {
    using BlockDistances::BlockDistances;

    template <bool Prune>
    std::uint32_t block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                        std::uint64_t& skipped) const {
        constexpr int H = VECTORS / 2;
        const std::size_t cols = panel.cols;
        std::uint32_t dropped = 0;
        for (int half = 0; half < 2; ++half) {
            const double* base = panel.values + b * cols * BLOCK_ROWS + half * H * 4;
            const double* terms = panel.missing_term + b * cols * BLOCK_ROWS + half * H * 4;
            __m256d missing_sum[H];
            __m256d square_sum[H];
            for (int h = 0; h < H; ++h) {
                missing_sum[h] = _mm256_setzero_pd();
                square_sum[h] = _mm256_setzero_pd();
            }
            const std::uint32_t half_needed = (needed >> (16 * half)) & 0xFFFFu;
            bool live = !Prune || half_needed != 0;
            std::size_t c = 0;
            while (live && c < cols) {
                const std::size_t stop = Prune ? std::min(cols, c + prune_step(cols)) : cols;
                for (; c < stop; ++c) {
                    if (query.ref_is_missing[c]) {
                        for (int h = 0; h < H; ++h) {
                            missing_sum[h] =
                                _mm256_add_pd(missing_sum[h], _mm256_load_pd(terms + c * BLOCK_ROWS + 4 * h));
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
                if constexpr (Prune) {
                    if (c < cols) {
                        __m256d bound[H];
                        for (int h = 0; h < H; ++h) {
                            // fl(m + fl(sqrt(q))) grows with both partial sums: see prune_limits.
                            bound[h] = _mm256_add_pd(missing_sum[h], _mm256_sqrt_pd(square_sum[h]));
                        }
                        live = (kept_lanes(bound, limit + half * H * 4) & half_needed) != 0;
                    }
                }
            }
            if (!live) {
                dropped |= 0xFFFFu << (16 * half);
                skipped += 16u * (cols - c);
            }
            for (int h = 0; h < H; ++h) {
                _mm256_store_pd(out + half * H * 4 + 4 * h,
                                _mm256_add_pd(missing_sum[h], _mm256_sqrt_pd(square_sum[h])));
            }
        }
        return dropped;
    }

    // What drive_blocks asks of the loop above.
    std::size_t steps() const { return panel.cols; }
    static constexpr bool PER_LANE = true;
};

void expected_distance(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                       std::uint8_t* forward, std::uint8_t* reverse) {
    drive_blocks<ExpectedDistance, Avx2Keys>(panel, query, b0, b1, dist, forward, reverse);
}

}  // namespace

}  // namespace mirel::knn::detail

MIREL_TARGET_END

namespace mirel::knn::detail {

// Outside the target region: plain code that only takes the kernels' addresses.
KernelSet avx2_kernels(std::size_t) noexcept { return KernelSet{&nan_euclid, &expected_distance}; }

}  // namespace mirel::knn::detail

#endif  // MIREL_X86_KERNELS
