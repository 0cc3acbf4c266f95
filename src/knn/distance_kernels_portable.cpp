// Portable kernels: plain C++ over the column-blocked panel. Each lane repeats the scalar
// metric's operations in column order, so any vectorisation the compiler applies keeps the
// results exact.
#include <cmath>
#include <limits>

#include "knn/distance_kernels_common.hpp"

namespace mirel::knn::detail {

namespace {

std::uint8_t filter_block(const PanelView& panel, const QueryView& query, std::size_t b, const double* out) {
    unsigned lanes = open_lanes(panel, query, b);
    for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
        if (distance_rank_key(out[lane]) < query.threshold) {
            lanes |= 1u << lane;
        }
    }
    return static_cast<std::uint8_t>(lanes & valid_lanes(panel, b));
}

void nan_euclid_portable(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                         double* dist, std::uint8_t* pass) {
    const std::size_t cols = panel.cols;
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t b = b0; b < b1; ++b) {
        const double* base = panel.values + b * cols * BLOCK_LANES;
        double sum[BLOCK_LANES] = {};
        for (std::size_t i = 0; i < query.n_ref_present; ++i) {
            const std::size_t c = query.ref_present[i];
            const double a = query.ref[c];
            const double* v = base + c * BLOCK_LANES;
            for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
                const double d = a - v[lane];
                // A missing candidate cell adds +0.0, which leaves a sum of squares (never -0.0)
                // unchanged.
                sum[lane] = sum[lane] + (std::isnan(v[lane]) ? 0.0 : d * d);
            }
        }
        std::int64_t present[BLOCK_LANES];
        for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
            present[lane] = panel.count[b * BLOCK_LANES + lane];
        }
        for (std::size_t i = 0; i < query.n_ref_missing; ++i) {
            const unsigned bits = panel.present[b * cols + query.ref_missing[i]];
            for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
                present[lane] -= (bits >> lane) & 1u;
            }
        }
        double* out = dist + (b - b0) * BLOCK_LANES;
        for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
            out[lane] = present[lane] == 0 ? inf : sum[lane] * panel.scale[present[lane]];
        }
        set_self(query, b, out);
        pass[b - b0] = filter_block(panel, query, b, out);
    }
}

void expected_distance_portable(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                                double* dist, std::uint8_t* pass) {
    const std::size_t cols = panel.cols;
    for (std::size_t b = b0; b < b1; ++b) {
        const double* base = panel.values + b * cols * BLOCK_LANES;
        const double* terms = panel.missing_term + b * cols * BLOCK_LANES;
        double missing_sum[BLOCK_LANES] = {};
        double square_sum[BLOCK_LANES] = {};
        for (std::size_t c = 0; c < cols; ++c) {
            const double* v = base + c * BLOCK_LANES;
            if (query.ref_is_missing[c]) {
                const double* t = terms + c * BLOCK_LANES;
                for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
                    missing_sum[lane] = missing_sum[lane] + t[lane];
                }
                continue;
            }
            const double a = query.ref[c];
            const double term = query.ref_term[c];
            for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
                const bool missing = std::isnan(v[lane]);
                const double d = a - v[lane];
                // Both sums only ever hold +0.0, positive numbers, +inf or NaN: adding +0.0 for
                // the coordinate that does not belong to a sum leaves it unchanged.
                square_sum[lane] = square_sum[lane] + (missing ? 0.0 : d * d);
                missing_sum[lane] = missing_sum[lane] + (missing ? term : 0.0);
            }
        }
        double* out = dist + (b - b0) * BLOCK_LANES;
        for (std::size_t lane = 0; lane < BLOCK_LANES; ++lane) {
            out[lane] = missing_sum[lane] + std::sqrt(square_sum[lane]);
        }
        set_self(query, b, out);
        pass[b - b0] = filter_block(panel, query, b, out);
    }
}

}  // namespace

KernelSet portable_kernels() noexcept {
    return KernelSet{&nan_euclid_portable, &expected_distance_portable};
}

}  // namespace mirel::knn::detail
