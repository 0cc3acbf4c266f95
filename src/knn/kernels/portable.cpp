// Portable kernels: plain C++ over the column-blocked panel. Each row of a block repeats the
// scalar metric's operations in column order, so any vectorisation the compiler applies keeps
// the results exact.
#include <algorithm>
#include <bit>
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

// expected_distance with pruning: four lanes at a time, each with its sum in a register, through
// all columns: four chains of additions keep a scalar unit busy, and a group of four is
// abandoned once its needed lanes are out.
constexpr std::size_t GROUP = 4;

// nan_euclid with pruning goes on with all lanes of a block while more than this many are live,
// then with the live ones only.
constexpr int COMPACT_BELOW = static_cast<int>(BLOCK_ROWS / 2);

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
        // Pruning, one lane at a time. While most needed lanes are live, all lanes go on column
        // by column (the vectorised form); once few are, only the live ones, through a list of
        // their indices. Either way each lane's sum gets the same terms in the same order.
        const std::size_t step = prune_step(n);
        double sum[BLOCK_ROWS] = {};
        std::uint32_t live = needed;
        std::size_t i = 0;
        while (live != 0 && i < n && std::popcount(live) > COMPACT_BELOW) {
            const std::size_t stop = std::min(n, i + step);
            for (; i < stop; ++i) {
                const std::size_t c = query.ref_present[i];
                const double a = query.ref[c];
                const double* v = base + c * BLOCK_ROWS;
                for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                    sum[l] = sum[l] + square_term(a, v[l]);
                }
            }
            if (i < n) {
                live &= kept(sum, limit);
            }
        }
        std::uint64_t measured = static_cast<std::uint64_t>(i) * BLOCK_ROWS;
        if (live != 0 && i < n) {
            std::uint8_t lane[BLOCK_ROWS];
            while (live != 0 && i < n) {
                std::size_t m = 0;
                for (std::uint32_t bits = live; bits != 0; bits &= bits - 1) {
                    lane[m++] = static_cast<std::uint8_t>(std::countr_zero(bits));
                }
                const std::size_t stop = std::min(n, i + step);
                measured += static_cast<std::uint64_t>(stop - i) * m;
                for (; i < stop; ++i) {
                    const std::size_t c = query.ref_present[i];
                    const double a = query.ref[c];
                    const double* v = base + c * BLOCK_ROWS;
                    for (std::size_t j = 0; j < m; ++j) {
                        sum[lane[j]] = sum[lane[j]] + square_term(a, v[lane[j]]);
                    }
                }
                if (i < n) {
                    live &= kept(sum, limit);
                }
            }
        }
        skipped += static_cast<std::uint64_t>(n) * BLOCK_ROWS - measured;
        // Lanes still live measured every column; the others get values no filter reads.
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            const std::int64_t p = present[l];
            out[l] = p == 0 ? inf : sum[l] * panel.scale[p];
        }
        return ~live;
    }

private:
    // Lanes whose partial sum does not exceed their limit. The partial sum itself bounds the
    // distance: the scale is at least 1 (see prune_limits). A NaN sum or limit keeps the lane.
    static std::uint32_t kept(const double* sum, const double* limit) noexcept {
        std::uint32_t keep = 0;
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            keep |= static_cast<std::uint32_t>(!(sum[l] > limit[l])) << l;
        }
        return keep;
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
