// Portable kernels: plain C++ over the column-blocked panel. Each row of a block repeats the
// scalar metric's operations in column order, so any vectorisation the compiler applies keeps
// the results exact.
#include <cmath>
#include <limits>

#include "knn/distance_kernels_common.hpp"

namespace mirel::knn::detail {

namespace {

void filter_block(const PanelView& panel, const QueryView& query, std::size_t b, const double* out,
                  std::uint8_t* pass, std::uint8_t* reverse) {
    for (std::size_t j = 0; j < BLOCK_BYTES; ++j) {
        unsigned forward = open_rows(panel, query, b, j);
        unsigned backward = 0;
        const unsigned back_range = reverse_range(query, b, j);
        for (std::size_t l = 0; l < 8; ++l) {
            const std::uint64_t key = distance_rank_key(out[8 * j + l]);
            if (key <= query.threshold) {
                forward |= 1u << l;
            }
            if (((back_range >> l) & 1u) && key <= query.reverse_threshold[b * BLOCK_ROWS + 8 * j + l]) {
                backward |= 1u << l;
            }
        }
        pass[j] = static_cast<std::uint8_t>(forward & forward_range(panel, query, b, j));
        reverse[j] = static_cast<std::uint8_t>(backward);
    }
}

void nan_euclid_portable(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                         double* dist, std::uint8_t* pass, std::uint8_t* reverse) {
    const std::size_t cols = panel.cols;
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t b = b0; b < b1; ++b) {
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
        double* out = dist + (b - b0) * BLOCK_ROWS;
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            out[l] = present[l] == 0 ? inf : sum[l] * panel.scale[present[l]];
        }
        set_self(query, b, out);
        filter_block(panel, query, b, out, pass + (b - b0) * BLOCK_BYTES, reverse + (b - b0) * BLOCK_BYTES);
    }
}

void expected_distance_portable(const PanelView& panel, const QueryView& query, std::size_t b0, std::size_t b1,
                                double* dist, std::uint8_t* pass, std::uint8_t* reverse) {
    const std::size_t cols = panel.cols;
    for (std::size_t b = b0; b < b1; ++b) {
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
        double* out = dist + (b - b0) * BLOCK_ROWS;
        for (std::size_t l = 0; l < BLOCK_ROWS; ++l) {
            out[l] = missing_sum[l] + std::sqrt(square_sum[l]);
        }
        set_self(query, b, out);
        filter_block(panel, query, b, out, pass + (b - b0) * BLOCK_BYTES, reverse + (b - b0) * BLOCK_BYTES);
    }
}

}  // namespace

KernelSet portable_kernels() noexcept {
    return KernelSet{&nan_euclid_portable, &expected_distance_portable};
}

}  // namespace mirel::knn::detail
