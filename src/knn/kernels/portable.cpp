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
            key[l] = measured_rank_key(out[l]);
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

// expected_distance: four lanes at a time, each with its two sums in registers, through all
// columns: eight chains of additions keep a scalar unit busy, and with pruning a group of four
// is abandoned once its needed lanes are out.
constexpr std::size_t GROUP = 4;

// nan_euclid with pruning goes on with all lanes of a block while more than this many are live,
// then with the live ones only.
constexpr int COMPACT_BELOW = static_cast<int>(BLOCK_ROWS / 2);

inline double square_term(double a, double x) noexcept {
    const double d = a - x;
    // A missing candidate cell adds +0.0, which leaves a sum of squares (never -0.0) unchanged.
    return std::isnan(x) ? 0.0 : d * d;
}

// How a kernel reads the candidate cells of one column of a block: column(at) for the column
// whose first lane is cell `at` of the panel's cell arrays, then square(a, l) for lane l. Both
// forms give the same term bit for bit; the masked one (PanelView::zeroed, weight) needs a finite
// query value and has no comparison, so it is straight arithmetic that the compiler vectorises
// where it can and a scalar unit runs without flag transfers or branches.
struct SelectedCells {
    const double* values;
    struct Column {
        const double* v;
        double square(double a, std::size_t l) const noexcept { return square_term(a, v[l]); }
        // expected_distance: the square to the square sum, or `term` to the missing-term sum.
        // Both sums only ever hold +0.0, positive numbers, +inf or NaN: adding +0.0 for the
        // coordinate that does not belong to a sum leaves it unchanged.
        void add(double a, double term, std::size_t l, double& square_sum, double& missing_sum) const noexcept {
            const bool missing = std::isnan(v[l]);
            const double d = a - v[l];
            square_sum = square_sum + (missing ? 0.0 : d * d);
            missing_sum = missing_sum + (missing ? term : 0.0);
        }
    };
    Column column(std::size_t at) const noexcept { return Column{values + at}; }
};

struct MaskedCells {
    const double* zeroed;
    const double* weight;
    struct Column {
        const double* z;
        const double* w;
        double square(double a, std::size_t l) const noexcept {
            const double d = a - z[l];
            return d * (d * w[l]);
        }
        // term * (1 - w) is term for a missing cell and +0.0 for a present one (term is finite:
        // it is fmax(a, 1 - a) of a finite a).
        void add(double a, double term, std::size_t l, double& square_sum, double& missing_sum) const noexcept {
            const double d = a - z[l];
            square_sum = square_sum + d * (d * w[l]);
            missing_sum = missing_sum + term * (1.0 - w[l]);
        }
    };
    Column column(std::size_t at) const noexcept { return Column{zeroed + at, weight + at}; }
};

// Lanes of a block that the unpruned loops carry through all columns at once: their sums stay in
// registers (16 doubles, the register file of a 32-bit ARM VFP unit, fits eight and the
// operands).
constexpr std::size_t LANE_GROUP = 8;

// What the block driver calls, for either metric: the block's distances through the masked cells
// when the panel has them and the query's values are all finite, through the values otherwise.
// Distances supplies block_of<Prune>(cells, ...) with the driver's block<Prune> arguments.
template <class Distances>
struct PortableDistances : BlockDistances {
    using BlockDistances::BlockDistances;

    static constexpr bool PER_LANE = true;

    template <bool Prune>
    std::uint32_t block(std::size_t b, double* out, const double* limit, std::uint32_t needed,
                        std::uint64_t& skipped) const noexcept {
        const Distances& distances = static_cast<const Distances&>(*this);
        if (panel.weight != nullptr && query.ref_finite) {
            return distances.template block_of<Prune>(MaskedCells{panel.zeroed, panel.weight}, b, out, limit, needed,
                                                      skipped);
        }
        return distances.template block_of<Prune>(SelectedCells{panel.values}, b, out, limit, needed, skipped);
    }
};

struct NanEuclid : PortableDistances<NanEuclid> {
    using PortableDistances::PortableDistances;

    std::size_t steps() const noexcept { return query.n_ref_present; }

    template <bool Prune, class Cells>
    std::uint32_t block_of(const Cells& cells, std::size_t b, double* out, const double* limit, std::uint32_t needed,
                           std::uint64_t& skipped) const noexcept {
        const std::size_t cols = panel.cols;
        const std::size_t base = b * cols * BLOCK_ROWS;
        // Shared coordinates: the candidate's present cells less those in the query's missing
        // columns.
        std::int64_t present[BLOCK_ROWS];
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            present[l] = panel.count[b * BLOCK_ROWS + l];
        }
        for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
            const std::uint8_t* bits = panel.present + (b * cols + query.ref_missing[i]) * BLOCK_BYTES;
            std::uint32_t word = 0;
            for (std::size_t j = 0; j < BLOCK_BYTES; ++j) {
                word |= static_cast<std::uint32_t>(bits[j]) << (8 * j);
            }
            for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                present[l] -= (word >> l) & 1u;
            }
        }
        const double inf = std::numeric_limits<double>::infinity();
        const std::size_t n = query.n_ref_present;
        if constexpr (!Prune) {
            // A group of lanes at a time through all columns, each lane's sum in a register.
            for (std::size_t g = 0; g < BLOCK_ROWS; g += LANE_GROUP) {
                double s[LANE_GROUP] = {};
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t c = query.ref_present[i];
                    const double a = query.ref[c];
                    const typename Cells::Column v = cells.column(base + c * BLOCK_ROWS + g);
                    for (std::size_t l = 0; l < LANE_GROUP; ++l) {
                        s[l] = s[l] + v.square(a, l);
                    }
                }
                for (std::size_t l = 0; l < LANE_GROUP; ++l) {
                    const std::int64_t p = present[g + l];
                    out[g + l] = p == 0 ? inf : s[l] * panel.scale[p];
                }
            }
            return 0;
        }
        double sum[BLOCK_ROWS] = {};
        std::uint32_t live = needed;
        // Pruning, one lane at a time. While most needed lanes are live, all lanes go on
        // column by column; once few are, only the live ones, through a list of their
        // indices. Either way each lane's sum gets the same terms in the same order.
        const std::size_t step = prune_step(n);
        std::size_t i = 0;
        while (live != 0 && i < n && std::popcount(live) > COMPACT_BELOW) {
            const std::size_t stop = std::min(n, i + step);
            for (; i < stop; ++i) {
                const std::size_t c = query.ref_present[i];
                const double a = query.ref[c];
                const typename Cells::Column v = cells.column(base + c * BLOCK_ROWS);
                for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                    sum[l] = sum[l] + v.square(a, l);
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
                    const typename Cells::Column v = cells.column(base + c * BLOCK_ROWS);
                    for (std::size_t j = 0; j < m; ++j) {
                        sum[lane[j]] = sum[lane[j]] + v.square(a, lane[j]);
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

struct ExpectedDistance : PortableDistances<ExpectedDistance> {
    using PortableDistances::PortableDistances;

    template <bool Prune, class Cells>
    std::uint32_t block_of(const Cells& cells, std::size_t b, double* out, const double* limit, std::uint32_t needed,
                           std::uint64_t& skipped) const noexcept {
        const std::size_t cols = panel.cols;
        const std::size_t step = Prune ? prune_step(cols) : cols;
        const std::size_t base = b * cols * BLOCK_ROWS;
        std::uint32_t dropped = 0;
        for (std::size_t g = 0; g < BLOCK_ROWS; g += GROUP) {
            const double* terms = panel.missing_term + base + g;
            const std::uint32_t group_needed = Prune ? (needed >> g) & ((1u << GROUP) - 1u) : 1u;
            double missing_sum[GROUP] = {};
            double square_sum[GROUP] = {};
            bool live = group_needed != 0;
            std::size_t c = 0;
            while (live && c < cols) {
                const std::size_t stop = std::min(cols, c + step);
                for (; c < stop; ++c) {
                    if (query.ref_is_missing[c]) {
                        const double* t = terms + c * BLOCK_ROWS;
                        for (std::size_t j = 0; j < GROUP; ++j) {
                            missing_sum[j] = missing_sum[j] + t[j];
                        }
                        continue;
                    }
                    const double a = query.ref[c];
                    const double term = query.ref_term[c];
                    const typename Cells::Column v = cells.column(base + c * BLOCK_ROWS + g);
                    for (std::size_t j = 0; j < GROUP; ++j) {
                        v.add(a, term, j, square_sum[j], missing_sum[j]);
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
                dropped |= ((1u << GROUP) - 1u) << g;
                skipped += GROUP * (cols - c);
            }
            for (std::size_t j = 0; j < GROUP; ++j) {
                out[g + j] = missing_sum[j] + std::sqrt(square_sum[j]);
            }
        }
        return dropped;
    }

    // The columns each sum visits (for PruneCounts).
    std::size_t steps() const noexcept { return panel.cols; }
};

}  // namespace

KernelSet portable_kernels(std::size_t) noexcept {
    return KernelSet{&drive_blocks<NanEuclid, PortableKeys>, &drive_blocks<ExpectedDistance, PortableKeys>, true};
}

}  // namespace mirel::knn::detail
