// Portable kernels: plain C++ over the column-blocked panel. Each row of a block repeats the
// scalar metric's operations in column order, so any vectorisation the compiler applies keeps
// the results exact.
#include <cmath>
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

struct NanEuclid {
    const PanelView& panel;
    const QueryView& query;

    NanEuclid(const PanelView& p, const QueryView& q) noexcept : panel(p), query(q) {}

    void block(std::size_t b, double* out) const noexcept {
        const std::size_t cols = panel.cols;
        const double* base = panel.values + b * cols * BLOCK_ROWS;
        double sum[BLOCK_ROWS] = {};
        for (std::size_t i = 0; i < query.n_ref_present; ++i) {
            const std::size_t c = query.ref_present[i];
            const double a = query.ref[c];
            const double* v = base + c * BLOCK_ROWS;
            for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
                const double d = a - v[l];
                // A missing candidate cell adds +0.0, which leaves a sum of squares (never -0.0)
                // unchanged.
                sum[l] = sum[l] + (std::isnan(v[l]) ? 0.0 : d * d);
            }
        }
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
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            out[l] = present[l] == 0 ? inf : sum[l] * panel.scale[present[l]];
        }
    }
};

struct ExpectedDistance {
    const PanelView& panel;
    const QueryView& query;

    ExpectedDistance(const PanelView& p, const QueryView& q) noexcept : panel(p), query(q) {}

    void block(std::size_t b, double* out) const noexcept {
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
                // Both sums only ever hold +0.0, positive numbers, +inf or NaN: adding +0.0 for
                // the coordinate that does not belong to a sum leaves it unchanged.
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
