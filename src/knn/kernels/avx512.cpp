// AVX-512 (F + DQ) kernels, compiled for those instruction sets only inside this file's target
// region (GCC's target pragma, Clang's attribute pragma) and chosen at run time
// (kernels/dispatch.cpp asks the processor), so the library still runs on any x86-64.
//
// Exactness: one lane per candidate row; each lane does the scalar metric's subtraction,
// rounded product and rounded addition in column order (the build forbids contraction into
// fused multiply-adds). A coordinate that does not count is skipped through a lane mask.
// NaN semantics relied on: _CMP_UNORD_Q is true for any NaN.
#include "knn/kernels/kernel.hpp"

#if MIREL_X86_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

MIREL_TARGET_BEGIN("avx512f,avx512dq")

#include "knn/kernels/block_driver.hpp"

namespace mirel::knn::detail {

namespace {

// A lane mask loaded straight from memory into a mask register. Left to itself, GCC loads the
// byte into a general register and moves it over, an extra instruction on a port the vector
// arithmetic needs.
inline __mmask8 load_mask(const std::uint8_t* p) {
    __mmask8 k;
    __asm__("kmovb %1, %0" : "=k"(k) : "m"(*p));
    return k;
}

constexpr int VECTORS = static_cast<int>(BLOCK_ROWS / 8);
static_assert(VECTORS == 4, "the loops are written out for four vectors per block");

// Ranking keys of eight measured distances (see measured_rank_key).
inline __m512i rank_keys(__m512d d) {
    return _mm512_or_si512(_mm512_castpd_si512(d), _mm512_set1_epi64(static_cast<long long>(RANK_KEY_SIGN)));
}

struct Avx512Keys {
    __m512i k0, k1, k2, k3;

    explicit Avx512Keys(const double* out)
        : k0(rank_keys(_mm512_load_pd(out))),
          k1(rank_keys(_mm512_load_pd(out + 8))),
          k2(rank_keys(_mm512_load_pd(out + 16))),
          k3(rank_keys(_mm512_load_pd(out + 24))) {}
    std::uint32_t at_most(std::uint64_t threshold) const {
        const __m512i t = _mm512_set1_epi64(static_cast<long long>(threshold));
        return static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k0, t)) |
               (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k1, t)) << 8) |
               (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k2, t)) << 16) |
               (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k3, t)) << 24);
    }
    std::uint32_t at_most_each(const std::uint64_t* limits) const {
        return static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k0, _mm512_loadu_si512(limits))) |
               (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k1, _mm512_loadu_si512(limits + 8))) << 8) |
               (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k2, _mm512_loadu_si512(limits + 16))) << 16) |
               (static_cast<std::uint32_t>(_mm512_cmple_epu64_mask(k3, _mm512_loadu_si512(limits + 24))) << 24);
    }
};

// Whether a block's sums may stop: no needed lane's bound (bound[u] for the lanes of vector u)
// is at most its limit any more (a NaN keeps a lane: see prune_limits). Then every lane is
// dropped and the `left` columns not summed are counted as skipped.
inline bool all_out(const __m512d (&bound)[VECTORS], const double* limit, std::uint32_t needed, std::size_t left,
                    std::uint32_t& dropped, std::uint64_t& skipped) {
    std::uint32_t keep = 0;
    for (int u = 0; u < VECTORS; ++u) {
        const __mmask8 out_lanes = _mm512_cmp_pd_mask(bound[u], _mm512_load_pd(limit + 8 * u), _CMP_GT_OQ);
        keep |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(~out_lanes)) << (8 * u);
    }
    if ((keep & needed) != 0) {
        return false;
    }
    dropped = ~std::uint32_t{0};
    skipped += BLOCK_ROWS * left;
    return true;
}

// How nan_euclid's scale cols / shared is looked up for eight lanes: from one register
// (cols < 8), from two (cols < 16), or, for wider rows, from one register holding the eight
// values just below the most a candidate can share with the query (cols less the query's
// missing cells), where nearly every candidate lies, with a gather for the other lanes.
enum class ScaleLookup { one_register, two_registers, window };

template <ScaleLookup Lookup>
struct ScaleTable {
    const double* scale;
    __m512d lo;
    __m512d hi;
    __m512i top;  // window: lane value `top - shared` indexes lo while it is below 8

    ScaleTable(const PanelView& panel, const QueryView& query) : scale(panel.scale) {
        const std::size_t cols = panel.cols;
        const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
        lo = inf;
        hi = inf;
        const std::int64_t most = static_cast<std::int64_t>(cols - query.n_ref_missing);
        top = _mm512_set1_epi64(most);
        if constexpr (Lookup == ScaleLookup::window) {
            if (most >= 8) {
                // One load and a reversal: eight scalar stores read back as one vector would
                // stall the store forwarding on every call.
                lo = _mm512_mask_permutexvar_pd(inf, 0xFF, _mm512_setr_epi64(7, 6, 5, 4, 3, 2, 1, 0),
                                                _mm512_loadu_pd(scale + most - 7));
                return;
            }
            double window[8];
            for (std::int64_t i = 0; i < 8; ++i) {
                window[i] = most - i >= 1 ? scale[most - i] : 0.0;
            }
            lo = _mm512_loadu_pd(window);
        } else {
            double low[8];
            double high[8];
            for (std::size_t i = 0; i < 8; ++i) {
                low[i] = i <= cols ? scale[i] : 0.0;
                high[i] = i + 8 <= cols ? scale[i + 8] : 0.0;
            }
            lo = _mm512_loadu_pd(low);
            hi = _mm512_loadu_pd(high);
        }
    }

    // Masked forms with an explicit source where one exists: the unmasked ones start from an
    // undefined register, which GCC 12 reports as possibly uninitialised.
    __m512d operator()(__m512i count) const {
        const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
        if constexpr (Lookup == ScaleLookup::one_register) {
            return _mm512_mask_permutexvar_pd(inf, 0xFF, count, lo);
        } else if constexpr (Lookup == ScaleLookup::two_registers) {
            return _mm512_permutex2var_pd(lo, count, hi);
        } else {
            const __m512i below = _mm512_sub_epi64(top, count);
            __m512d s = _mm512_mask_permutexvar_pd(inf, 0xFF, below, lo);
            const __mmask8 outside = _mm512_cmpgt_epu64_mask(below, _mm512_set1_epi64(7));
            if (outside != 0) {
                s = _mm512_mask_i64gather_pd(s, outside, count, scale, 8);
            }
            return s;
        }
    }
};

// Pruning works per block: the sums go on while any needed lane of the block is live.
template <ScaleLookup Lookup>
struct NanEuclid : BlockDistances {
    const ScaleTable<Lookup> table;

    NanEuclid(const PanelView& p, const QueryView& q) : BlockDistances(p, q), table(p, q) {}

    static constexpr bool PER_LANE = false;
    std::size_t steps() const { return query.n_ref_present; }

    template <bool Prune>
    std::uint32_t block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                        std::uint64_t& skipped) const {
        const std::size_t cols = panel.cols;
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        const std::uint8_t* present = panel.present + b * cols * BLOCK_BYTES;
        // Shared coordinates first (the bound needs their scale): the candidate's present cells
        // less those in the query's missing columns.
        const __m512i one = _mm512_set1_epi64(1);
        const std::int64_t* counts = panel.count + b * BLOCK_ROWS;
        __m512i c0 = _mm512_load_si512(counts);
        __m512i c1 = _mm512_load_si512(counts + 8);
        __m512i c2 = _mm512_load_si512(counts + 16);
        __m512i c3 = _mm512_load_si512(counts + 24);
        for (std::size_t m = 0; m < query.n_ref_missing; ++m) {
            const std::uint8_t* held = present + query.ref_missing[m] * BLOCK_BYTES;
            c0 = _mm512_mask_sub_epi64(c0, load_mask(held), c0, one);
            c1 = _mm512_mask_sub_epi64(c1, load_mask(held + 1), c1, one);
            c2 = _mm512_mask_sub_epi64(c2, load_mask(held + 2), c2, one);
            c3 = _mm512_mask_sub_epi64(c3, load_mask(held + 3), c3, one);
        }
        const __m512i count[VECTORS] = {c0, c1, c2, c3};
        const __m512d scale[VECTORS] = {table(c0), table(c1), table(c2), table(c3)};
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
        const std::size_t n = query.n_ref_present;
        std::size_t i = 0;
        std::uint32_t dropped = 0;
        while (i < n) {
            const std::size_t stop = Prune ? std::min(n, i + prune_step(n)) : n;
            for (; i + 2 <= stop; i += 2) {
                column(columns[i]);
                column(columns[i + 1]);
            }
            if (i < stop) {
                column(columns[i]);
                ++i;
            }
            if constexpr (Prune) {
                if (i < n) {
                    const __m512d sum[VECTORS] = {s0, s1, s2, s3};
                    __m512d bound[VECTORS];
                    for (int u = 0; u < VECTORS; ++u) {
                        // fl(partial * scale) <= fl(sum * scale): see prune_limits.
                        bound[u] = _mm512_mul_pd(sum[u], scale[u]);
                    }
                    if (all_out(bound, limit, needed, n - i, dropped, skipped)) {
                        break;
                    }
                }
            }
        }
        const __m512d sum[VECTORS] = {s0, s1, s2, s3};
        const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
        for (int u = 0; u < VECTORS; ++u) {
            const __mmask8 none = _mm512_cmpeq_epi64_mask(count[u], _mm512_setzero_si512());
            _mm512_store_pd(out + 8 * u, _mm512_mask_blend_pd(none, _mm512_mul_pd(sum[u], scale[u]), inf));
        }
        return dropped;
    }
};

// Pruning works per block, as in NanEuclid.
struct ExpectedDistance : BlockDistances {
    using BlockDistances::BlockDistances;

    template <bool Prune>
    std::uint32_t block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                        std::uint64_t& skipped) const {
        const std::size_t cols = panel.cols;
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        const double* terms = panel.missing_term + b * cols * BLOCK_ROWS;
        const std::uint8_t* present = panel.present + b * cols * BLOCK_BYTES;
        // Named accumulators, as in NanEuclid.
        __m512d m0 = _mm512_setzero_pd();
        __m512d m1 = m0;
        __m512d m2 = m0;
        __m512d m3 = m0;
        __m512d q0 = m0;
        __m512d q1 = m0;
        __m512d q2 = m0;
        __m512d q3 = m0;
        std::size_t c = 0;
        std::uint32_t dropped = 0;
        while (c < cols) {
            const std::size_t stop = Prune ? std::min(cols, c + prune_step(cols)) : cols;
            for (; c < stop; ++c) {
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
            if constexpr (Prune) {
                if (c < cols) {
                    const __m512d missing_sum[VECTORS] = {m0, m1, m2, m3};
                    const __m512d square_sum[VECTORS] = {q0, q1, q2, q3};
                    __m512d bound[VECTORS];
                    for (int u = 0; u < VECTORS; ++u) {
                        // fl(m + fl(sqrt(q))) grows with both partial sums: see prune_limits.
                        const __m512d root = _mm512_mask_sqrt_pd(square_sum[u], 0xFF, square_sum[u]);
                        bound[u] = _mm512_add_pd(missing_sum[u], root);
                    }
                    if (all_out(bound, limit, needed, cols - c, dropped, skipped)) {
                        break;
                    }
                }
            }
        }
        const __m512d missing_sum[VECTORS] = {m0, m1, m2, m3};
        const __m512d square_sum[VECTORS] = {q0, q1, q2, q3};
        for (int u = 0; u < VECTORS; ++u) {
            // Masked form with an explicit source, as in ScaleTable.
            const __m512d root = _mm512_mask_sqrt_pd(square_sum[u], 0xFF, square_sum[u]);
            _mm512_store_pd(out + 8 * u, _mm512_add_pd(missing_sum[u], root));
        }
        return dropped;
    }

    // What drive_blocks asks of the loop above.
    static constexpr bool PER_LANE = false;
    std::size_t steps() const { return panel.cols; }
};

void expected_distance(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                       std::uint8_t* forward, std::uint8_t* reverse) {
    drive_blocks<ExpectedDistance, Avx512Keys>(panel, query, b0, b1, dist, forward, reverse);
}

template <ScaleLookup Lookup>
void nan_euclid(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1, double* dist,
                std::uint8_t* forward, std::uint8_t* reverse) {
    drive_blocks<NanEuclid<Lookup>, Avx512Keys>(panel, query, b0, b1, dist, forward, reverse);
}

}  // namespace

}  // namespace mirel::knn::detail

MIREL_TARGET_END

namespace mirel::knn::detail {

// Outside the target region: plain code that only takes the kernels' addresses.
KernelSet avx512_kernels(std::size_t cols) noexcept {
    KernelFn euclid = &nan_euclid<ScaleLookup::window>;
    if (cols < 8) {
        euclid = &nan_euclid<ScaleLookup::one_register>;
    } else if (cols < 16) {
        euclid = &nan_euclid<ScaleLookup::two_registers>;
    }
    return KernelSet{euclid, &expected_distance};
}

}  // namespace mirel::knn::detail

#endif  // MIREL_X86_KERNELS
