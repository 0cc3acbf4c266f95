// The fast query pass on one thread: run_query_rows over the pass of knn/query/query_pass.hpp (or, for a few fitted
// rows held as they are, the straightforward pass).
#include "knn/query/query_workers.hpp"

#include <algorithm>
#include <cstdint>

#include "knn/query/query_pass.hpp"

namespace mirel::knn {

bool detail::run_query_rows(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                            std::size_t last, std::size_t k, Weights weights, KernelKind kernel, bool share_pairs,
                            const PassTuning& tuning, const PassControl& control) {
    detail::check_pass_arguments({nullptr, donors.rows(), donors.cols()}, donors.columns(), query_rows, first, last, k);
    const detail::Kernel fn = detail::kernel_for(kernel, Metric::nan_euclid, donors.cols());
    if (donors.empty() || first == last) {
        if (control.done != nullptr) {
            control.done->fetch_add(last - first);
        }
        return true;  // no column has a donor, or no row to impute
    }
    if (donors.is_row_major()) {
        // A few fitted rows, held as they are: the straightforward pass measures them in place,
        // a step of about 2^16 cell distances at a time, the control asked between steps.
        const std::size_t per_row = std::max<std::size_t>(1, try_mul(donors.rows(), donors.cols()).value_or(SIZE_MAX));
        const std::size_t step = std::max<std::size_t>(1, (std::size_t{1} << 16) / per_row);
        for (std::size_t a = first; a < last;) {
            if (control.keep_going != nullptr && !control.keep_going(control.context)) {
                return false;
            }
            const std::size_t b = a + std::min(step, last - a);
            query_reference(donors.row_major(), donors.columns(), query, query_rows, a, b, k, weights);
            if (control.done != nullptr) {
                control.done->fetch_add(b - a);
            }
            a = b;
        }
        return true;
    }
    QueryPass pass(donors, query, k, weights, fn, tuning);
    const bool completed = pass.run(first, last, share_pairs, &control);
    pass.report();
    return completed;
}

}  // namespace mirel::knn
