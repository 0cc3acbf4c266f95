// The Gower pass's per-target loops: one variable's terms for a block of fitted rows, and the
// block's distances. Each lane does the scalar rule's rounded operations in the same order
// (gower_distance): |q - f| / scale, times the weight, added to the running sums; a cell that
// does not count adds +0.0, which leaves a sum that is never -0.0 unchanged.
#pragma once

#include "knn/kernels/kernel.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace mirel::knn::gower_detail {

// How a variable's term is formed: |q - f| * factor (factor = w / scale), w * (|q - f| / scale)
// where that factor overflows, w when q != f, or no term (only the weight counts: a numeric
// variable of zero range, an ordinal one of a single level).
enum class TermKind { scaled, divided, mismatch, weight_only };

// One variable's part of a query row's distances: the fitted column (from the block's first
// row), the query's value, the weight and the divisor.
struct Term {
    const double* column;
    double q;
    double weight;
    double scale;
    double factor;
    TermKind kind;
};

struct GowerLoops {
    const char* name;
    // dist[i] for rows i in [0, count) of a block: the terms in their order added to sums that
    // start at +0.0 and stay in registers, then numerator / denominator (NaN where it is 0: no
    // distance). The rows whose distance is at most `limit` (never a NaN) are written to
    // `candidates` in ascending order; returns how many.
    std::size_t (*distances)(const Term* terms, std::size_t term_count, std::size_t count, double* dist, double limit,
                             std::uint32_t* candidates) noexcept;
};

// The scalar rule for rows [from, count): the portable loop, and the vector loops' tail.
inline void scalar_distances(const Term* terms, std::size_t term_count, std::size_t from, std::size_t count,
                             double* dist) noexcept {
    for (std::size_t i = from; i < count; ++i) {
        double num = 0.0;
        double den = 0.0;
        for (std::size_t t = 0; t < term_count; ++t) {
            const Term& term = terms[t];
            const double f = term.column[i];
            if (std::isnan(f)) {
                continue;
            }
            if (term.kind == TermKind::scaled) {
                num = num + std::fabs(term.q - f) * term.factor;
            } else if (term.kind == TermKind::divided) {
                num = num + term.weight * (std::fabs(term.q - f) / term.scale);
            } else if (term.kind == TermKind::mismatch) {
                num = num + (term.q != f ? term.weight : 0.0);
            }
            den = den + term.weight;
        }
        dist[i] = num / den;
    }
}

// The rows of [from, count) with dist at most limit, appended at candidates + n; the new count.
inline std::size_t gather_candidates(const double* dist, std::size_t from, std::size_t count, double limit,
                                     std::uint32_t* candidates, std::size_t n) noexcept {
    for (std::size_t i = from; i < count; ++i) {
        candidates[n] = static_cast<std::uint32_t>(i);
        n += dist[i] <= limit ? 1 : 0;
    }
    return n;
}

GowerLoops portable_loops() noexcept;
#if MIREL_X86_KERNELS
GowerLoops avx2_loops() noexcept;
GowerLoops avx512_loops() noexcept;
#endif

}  // namespace mirel::knn::gower_detail
