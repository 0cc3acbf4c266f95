// The Gower loops for any processor: plain scalar code.
#include "knn/gower/gower_kernel.hpp"

#include <cmath>

namespace mirel::knn::gower_detail {

namespace {

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
                num = num + term.weight * (std::fabs(term.q - f) / term.scale);
            } else if (term.kind == TermKind::mismatch) {
                num = num + (term.q != f ? term.weight : 0.0);
            }
            den = den + term.weight;
        }
        dist[i] = num / den;
    }
}

void accumulate(const double* column, std::size_t count, double q, double weight, double scale, TermKind kind,
                double* num, double* den) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const double f = column[i];
        if (std::isnan(f)) {
            continue;
        }
        if (kind == TermKind::scaled) {
            num[i] = num[i] + weight * (std::fabs(q - f) / scale);
        } else if (kind == TermKind::mismatch) {
            num[i] = num[i] + (q != f ? weight : 0.0);
        }
        den[i] = den[i] + weight;
    }
}

void finish(const double* num, const double* den, std::size_t count, double* dist) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        dist[i] = num[i] / den[i];
    }
}

void distances(const Term* terms, std::size_t term_count, std::size_t count, double* dist) noexcept {
    scalar_distances(terms, term_count, 0, count, dist);
}

}  // namespace

GowerLoops portable_loops() noexcept { return {"portable", &distances, &accumulate, &finish}; }

}  // namespace mirel::knn::gower_detail
