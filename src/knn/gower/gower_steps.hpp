// The one vector body of the Gower loops, instantiated by each vector target's file with its
// lanes. A target supplies a small type L:
//   L::V, L::Held                 a vector of doubles, and the lanes a test holds for;
//   L::WIDTH, L::ALL              rows per vector, and the bits of every lane;
//   zero, set1, load, store       (unaligned loads and stores);
//   add, mul, div                 the rounded operations, one instruction each;
//   abs_diff(q, f)                |q - f| (the difference with its sign bit cleared);
//   held(f)                       the lanes whose cell holds a value (f is not NaN);
//   differ(q, f)                  the lanes where q != f and neither is NaN;
//   keep(m, v)                    v in the lanes of m, +0.0 elsewhere;
//   keep_mul(m, a, b)             keep(m, mul(a, b)), bit for bit;
//   above(a, b), at_most(a, b)    the bits of the lanes where a > b, a <= b (false for NaN).
//
// Include this header inside the target file's instruction-set region, after the lanes it
// inlines, so that the body is compiled for that instruction set. Everything here has internal
// linkage: no copy compiled for one instruction set can stand in for another file's.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "knn/gower/gower_kernel.hpp"

namespace mirel::knn::gower_detail {
namespace {

// One step: U vectors of L::WIDTH rows each from row i, every term's broadcasts shared by the U
// vectors. Each lane does the scalar rule's rounded operations in its order; a cell that does
// not count adds +0.0, which leaves a sum that is never -0.0 unchanged.
template <class L, int U>
inline std::size_t distances_step(const Term* terms, std::size_t term_count, std::size_t i, double* dist, double limit,
                                  double weight_total, std::uint32_t* candidates, std::size_t n) noexcept {
    using V = typename L::V;
    using Held = typename L::Held;
    V num[U];
    V den[U];
    for (int u = 0; u < U; ++u) {
        num[u] = L::zero();
        den[u] = L::zero();
    }
    for (std::size_t t = 0; t < term_count; ++t) {
        const Term& term = terms[t];
        const V qv = L::set1(term.q);
        const V wv = L::set1(term.weight);
        const double* column = term.column + i;
        if (term.kind == TermKind::scaled) {
            const V fv = L::set1(term.factor);
            for (int u = 0; u < U; ++u) {
                const V f = L::load(column + L::WIDTH * u);
                const Held held = L::held(f);
                num[u] = L::add(num[u], L::keep_mul(held, L::abs_diff(qv, f), fv));
                den[u] = L::add(den[u], L::keep(held, wv));
            }
        } else if (term.kind == TermKind::divided) {
            const V sv = L::set1(term.scale);
            for (int u = 0; u < U; ++u) {
                const V f = L::load(column + L::WIDTH * u);
                const Held held = L::held(f);
                num[u] = L::add(num[u], L::keep(held, L::mul(wv, L::div(L::abs_diff(qv, f), sv))));
                den[u] = L::add(den[u], L::keep(held, wv));
            }
        } else if (term.kind == TermKind::mismatch) {
            for (int u = 0; u < U; ++u) {
                const V f = L::load(column + L::WIDTH * u);
                num[u] = L::add(num[u], L::keep(L::differ(qv, f), wv));
                den[u] = L::add(den[u], L::keep(L::held(f), wv));
            }
        } else {
            for (int u = 0; u < U; ++u) {
                const V f = L::load(column + L::WIDTH * u);
                den[u] = L::add(den[u], L::keep(L::held(f), wv));
            }
        }
        // Halfway, a bound: the numerator only grows and the denominator is at most the total
        // weight (sums of nonnegative terms in one order, rounded monotonically), so a row with
        // numerator / total above the limit ends above it. When every row of the step does,
        // none is a candidate: their distances are left +inf.
        if (t + 1 == term_count / 2) {
            const V lv = L::set1(limit);
            const V wt = L::set1(weight_total);
            bool all_out = true;
            for (int u = 0; u < U; ++u) {
                all_out = all_out && L::above(L::div(num[u], wt), lv) == L::ALL;
            }
            if (all_out) {
                for (int u = 0; u < U; ++u) {
                    L::store(dist + i + L::WIDTH * u, L::set1(INFINITY));
                }
                return n;
            }
        }
    }
    const V lv = L::set1(limit);
    for (int u = 0; u < U; ++u) {
        const V d = L::div(num[u], den[u]);
        L::store(dist + i + L::WIDTH * u, d);
        // Once the selections are full most rows fail: the bits are usually none.
        for (unsigned bits = L::at_most(d, lv); bits != 0; bits &= bits - 1) {
            candidates[n++] = static_cast<std::uint32_t>(i + L::WIDTH * u + static_cast<unsigned>(__builtin_ctz(bits)));
        }
    }
    return n;
}

// GowerLoops::distances over vectors of L: steps of four vectors, then of one, then the scalar
// rule for the rows left.
template <class L>
std::size_t vector_distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist, double limit,
                             std::uint32_t* candidates) noexcept {
    double weight_total = 0.0;  // in the terms' order, as each row's denominator
    for (std::size_t t = 0; t < term_count; ++t) {
        weight_total = weight_total + terms[t].weight;
    }
    std::size_t i = 0;
    std::size_t n = 0;
    for (; i + 4 * L::WIDTH <= count; i += 4 * L::WIDTH) {
        n = distances_step<L, 4>(terms, term_count, i, dist, limit, weight_total, candidates, n);
    }
    for (; i + L::WIDTH <= count; i += L::WIDTH) {
        n = distances_step<L, 1>(terms, term_count, i, dist, limit, weight_total, candidates, n);
    }
    scalar_distances(terms, term_count, i, count, dist);
    return gather_candidates(dist, i, count, limit, candidates, n);
}

}  // namespace
}  // namespace mirel::knn::gower_detail
