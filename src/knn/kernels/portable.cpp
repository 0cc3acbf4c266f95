// Portable kernels: plain C++ over the column-blocked panel. Each row of a block repeats the
// scalar metric's operations in column order, so any vectorisation the compiler applies keeps
// the results exact.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "knn/kernels/block_driver.hpp"
#include "knn/kernels/kernel.hpp"

namespace mirel::knn::detail {

namespace {

struct PortableKeys {
    std::uint64_t key[BLOCK_ROWS];

    explicit PortableKeys(const double* out) noexcept {
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            key[l] = distance_rank_key(out[l]);
        }
    }
    std::uint32_t at_most(std::uint64_t threshold) const noexcept {
        std::uint32_t rows = 0;
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            rows |= static_cast<std::uint32_t>(key[l] <= threshold) << l;
        }
        return rows;
    }
    std::uint32_t at_most_each(const std::uint64_t* limits) const noexcept {
        std::uint32_t rows = 0;
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            rows |= static_cast<std::uint32_t>(key[l] <= limits[l]) << l;
        }
        return rows;
    }
};

// With pruning, four lanes at a time, each with its sum in a register, through all columns:
// four chains of additions keep a scalar unit busy, and a group of four is abandoned once its
// needed lanes are out.
constexpr std::size_t GROUP = 4;

inline double square_term(double a, double x) noexcept {
    const double d = a - x;
    // A missing candidate cell adds +0.0, which leaves a sum of squares (never -0.0) unchanged.
    return std::isnan(x) ? 0.0 : d * d;
}

struct NanEuclid {
    const PanelView& panel;
    const QueryView& query;

    NanEuclid(const PanelView& p, const QueryView& q) noexcept : panel(p), query(q) {}

    static constexpr bool PER_LANE = true;
    std::size_t steps() const noexcept { return query.n_ref_present; }

    template <bool Prune>
    std::uint32_t block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                        std::uint64_t& skipped) const noexcept {
        const std::size_t cols = panel.cols;
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        // Shared coordinates: the candidate's present cells less those in the query's missing
        // columns.
        std::int64_t present[BLOCK_ROWS];
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            present[l] = panel.count[b * BLOCK_ROWS + l];
        }
        for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
            const std::uint8_t* bits = panel.present + (b * cols + query.ref_missing[i]) * BLOCK_BYTES;
            for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                present[l] -= (bits[l / 8] >> (l % 8)) & 1u;
            }
        }
        const double inf = std::numeric_limits<double>::infinity();
        const std::size_t n = query.n_ref_present;
        if constexpr (!Prune) {
            // Without pruning, all lanes column by column: the compiler vectorises this.
            double sum[BLOCK_ROWS] = {};
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t c = query.ref_present[i];
                const double a = query.ref[c];
                const double* v = base + c * BLOCK_ROWS;
                for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                    sum[l] = sum[l] + square_term(a, v[l]);
                }
            }
            for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                out[l] = present[l] == 0 ? inf : sum[l] * panel.scale[present[l]];
            }
            return 0;
        }
        const std::size_t step = prune_step(n);
        std::uint32_t dropped = 0;
        for (std::size_t g = 0; g < BLOCK_ROWS; g += GROUP) {
            const std::uint32_t group_needed = (needed >> g) & 0xFu;
            double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
            bool live = group_needed != 0;
            std::size_t i = 0;
            while (live && i < n) {
                const std::size_t stop = std::min(n, i + step);
                for (; i < stop; ++i) {
                    const std::size_t c = query.ref_present[i];
                    const double a = query.ref[c];
                    const double* v = base + c * BLOCK_ROWS + g;
                    s0 = s0 + square_term(a, v[0]);
                    s1 = s1 + square_term(a, v[1]);
                    s2 = s2 + square_term(a, v[2]);
                    s3 = s3 + square_term(a, v[3]);
                }
                if (Prune && i < n) {
                    // The partial sum itself bounds the distance: the scale is at least 1 (see
                    // prune_limits).
                    const unsigned keep = static_cast<unsigned>(!(s0 > limit[g])) |
                                          (static_cast<unsigned>(!(s1 > limit[g + 1])) << 1) |
                                          (static_cast<unsigned>(!(s2 > limit[g + 2])) << 2) |
                                          (static_cast<unsigned>(!(s3 > limit[g + 3])) << 3);
                    live = (keep & group_needed) != 0;
                }
            }
            if (!live) {
                dropped |= 0xFu << g;
                skipped += GROUP * (n - i);
            }
            // An abandoned group gets values no filter reads.
            const double sum[GROUP] = {s0, s1, s2, s3};
            for (std::size_t j = 0; j < GROUP; ++j) {
                const std::int64_t p = present[g + j];
                out[g + j] = p == 0 ? inf : sum[j] * panel.scale[p];
            }
        }
        return dropped;
    }
};

struct ExpectedDistance {
    const PanelView& panel;
    const QueryView& query;

    ExpectedDistance(const PanelView& p, const QueryView& q) noexcept : panel(p), query(q) {}

    static constexpr bool PER_LANE = true;
    std::size_t steps() const noexcept { return panel.cols; }

    template <bool Prune>
    std::uint32_t block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                        std::uint64_t& skipped) const noexcept {
        const std::size_t cols = panel.cols;
        if constexpr (!Prune) {
            whole_block(b, out);
            return 0;
        }
        const std::size_t step = prune_step(cols);
        std::uint32_t dropped = 0;
        for (std::size_t g = 0; g < BLOCK_ROWS; g += GROUP) {
            const double* base = panel.values + b * cols * BLOCK_ROWS + g;
            const double* terms = panel.missing_term + b * cols * BLOCK_ROWS + g;
            const std::uint32_t group_needed = (needed >> g) & 0xFu;
            double missing_sum[GROUP] = {};
            double square_sum[GROUP] = {};
            bool live = group_needed != 0;
            std::size_t c = 0;
            while (live && c < cols) {
                const std::size_t stop = std::min(cols, c + step);
                for (; c < stop; ++c) {
                    const double* v = base + c * BLOCK_ROWS;
                    if (query.ref_is_missing[c]) {
                        const double* t = terms + c * BLOCK_ROWS;
                        for (std::size_t j = 0; j < GROUP; ++j) {
                            missing_sum[j] = missing_sum[j] + t[j];
                        }
                        continue;
                    }
                    const double a = query.ref[c];
                    const double term = query.ref_term[c];
                    // Both sums only ever hold +0.0, positive numbers, +inf or NaN: adding +0.0
                    // for the coordinate that does not belong to a sum leaves it unchanged.
                    for (std::size_t j = 0; j < GROUP; ++j) {
                        const bool missing = std::isnan(v[j]);
                        const double d = a - v[j];
                        square_sum[j] = square_sum[j] + (missing ? 0.0 : d * d);
                        missing_sum[j] = missing_sum[j] + (missing ? term : 0.0);
                    }
                }
                if (Prune && c < cols) {
                    unsigned keep = 0;
                    for (std::size_t j = 0; j < GROUP; ++j) {
                        // fl(m + fl(sqrt(q))) grows with both partial sums: see prune_limits.
                        const double bound = missing_sum[j] + std::sqrt(square_sum[j]);
                        keep |= static_cast<unsigned>(!(bound > limit[g + j])) << j;
                    }
                    live = (keep & group_needed) != 0;
                }
            }
            if (!live) {
                dropped |= 0xFu << g;
                skipped += GROUP * (cols - c);
            }
            for (std::size_t j = 0; j < GROUP; ++j) {
                out[g + j] = missing_sum[j] + std::sqrt(square_sum[j]);
            }
        }
        return dropped;
    }

    // Without pruning, all lanes column by column: the compiler vectorises this.
    void whole_block(std::size_t b, double* out) const noexcept {
        const std::size_t cols = panel.cols;
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        const double* terms = panel.missing_term + b * cols * BLOCK_ROWS;
        double missing_sum[BLOCK_ROWS] = {};
        double square_sum[BLOCK_ROWS] = {};
        for (std::size_t c = 0; c < cols; ++c) {
            const double* v = base + c * BLOCK_ROWS;
            if (query.ref_is_missing[c]) {
                const double* t = terms + c * BLOCK_ROWS;
                for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                    missing_sum[l] = missing_sum[l] + t[l];
                }
                continue;
            }
            const double a = query.ref[c];
            const double term = query.ref_term[c];
            for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                const bool missing = std::isnan(v[l]);
                const double d = a - v[l];
                square_sum[l] = square_sum[l] + (missing ? 0.0 : d * d);
                missing_sum[l] = missing_sum[l] + (missing ? term : 0.0);
            }
        }
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            out[l] = missing_sum[l] + std::sqrt(square_sum[l]);
        }
    }
};

}  // namespace

KernelSet portable_kernels(std::size_t) noexcept {
    return KernelSet{&drive_blocks<NanEuclid, PortableKeys>, &drive_blocks<ExpectedDistance, PortableKeys>};
}

}  // namespace mirel::knn::detail
