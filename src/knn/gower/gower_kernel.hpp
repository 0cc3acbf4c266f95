// The Gower pass's per-target loops: one variable's terms for a block of fitted rows, and the
// block's distances. Each lane does the scalar rule's rounded operations in the same order
// (gower_distance): |q - f| / scale, times the weight, added to the running sums; a cell that
// does not count adds +0.0, which leaves a sum that is never -0.0 unchanged.
#pragma once

#include "knn/kernels/kernel.hpp"

#include <cstddef>

namespace mirel::knn::gower_detail {

// How a variable's term is formed: w * (|q - f| / scale), w when q != f, or no term (only the
// weight counts: a numeric variable of zero range, an ordinal one of a single level).
enum class TermKind { scaled, mismatch, weight_only };

// One variable's part of a query row's distances: the fitted column (from the block's first
// row), the query's value, the weight and the divisor.
struct Term {
    const double* column;
    double q;
    double weight;
    double scale;
    TermKind kind;
};

struct GowerLoops {
    const char* name;
    // dist[i] for rows i in [0, count) of a block: the terms in their order added to sums that
    // start at +0.0, then numerator / denominator (NaN where it is 0: no distance). The sums stay
    // in registers; bit for bit what accumulate and finish give.
    void (*distances)(const Term* terms, std::size_t term_count, std::size_t count, double* dist) noexcept;
    // num[i] += term, den[i] += weight, for rows i in [0, count) where column[i] holds a value.
    void (*accumulate)(const double* column, std::size_t count, double q, double weight, double scale, TermKind kind,
                       double* num, double* den) noexcept;
    // dist[i] = num[i] / den[i] (NaN where den is 0: the pair has no distance).
    void (*finish)(const double* num, const double* den, std::size_t count, double* dist) noexcept;
};

GowerLoops portable_loops() noexcept;
#if MIREL_X86_KERNELS
GowerLoops avx2_loops() noexcept;
GowerLoops avx512_loops() noexcept;
#endif

}  // namespace mirel::knn::gower_detail
