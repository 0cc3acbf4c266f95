// The fast pass behind `impute`: the opening and the failure order shared with the
// straightforward pass (pass_plan), a kernel from the dispatch table (knn/kernels/dispatch.hpp),
// and the row pass.
#include "knn/row/impute_fast.hpp"

#include <algorithm>
#include <stdexcept>
#include <variant>

#include "knn/panel/panel.hpp"
#include "knn/pass/pass_plan.hpp"
#include "knn/row/row_pass.hpp"

namespace mirel::knn {

std::vector<double> distances_with(const KnnImputer& imputer, std::size_t row, std::size_t candidates,
                                   KernelKind kernel) {
    const std::size_t cols = imputer.cols();
    const detail::Kernel fn = detail::kernel_for(kernel, imputer.metric_kind(), cols);
    if (imputer.metric_kind() == Metric::unknown || cols == 0 || row >= imputer.rows() || candidates > imputer.rows()) {
        throw std::invalid_argument("distances_with: no such metric, row or candidate count");
    }
    std::vector<std::size_t> row_of(candidates);
    for (std::size_t t = 0; t < candidates; ++t) {
        row_of[t] = t;
    }
    detail::Panel panel;
    panel.build(imputer.fitted_values(), cols, row_of, imputer.metric_kind(), fn.masked_cells);
    detail::QueryRow query;
    query.prepare(panel, imputer.fitted_values().data() + row * cols, row < candidates ? row : detail::NO_POSITION);
    detail::BlockScratch out(panel.view().blocks);
    fn(panel.view(), query.view, 0, panel.view().blocks, out.dist(), out.forward(), nullptr);
    return std::vector<double>(out.dist(), out.dist() + candidates);
}

namespace {

// The pass after its opening, into `result` (the input's bits, `work` its missing cells) of a
// well-formed record.
void finish_pass(const KnnImputer& imputer, std::size_t input_rows, const detail::Kernel& fn, const PassTuning& tuning,
                 detail::MissingCells& work, std::span<double> result) {
    detail::check_row_failures(imputer, work, input_rows);
    // Candidates 0..input_rows-1, all fitted rows now. Cells without a donor need no distance.
    detail::fill_donorless(imputer, input_rows, work, result);
    if (!work.rows.empty()) {
        detail::run_row_pass(imputer, input_rows, fn, tuning, work, result);
    }
}

}  // namespace

ImputeResult impute(const KnnImputer& imputer, std::span<const double> input, std::size_t input_rows,
                    const RowPassOptions& options) {
    const detail::Kernel fn = detail::kernel_for(options.kernel, imputer.metric_kind(), imputer.cols());
    std::vector<double> result;
    detail::MissingCells work;
    if (auto done = detail::open_pass(imputer, input, result, work)) {
        return std::move(*done);
    }
    if (!detail::well_formed(imputer)) {
        return impute_reference(imputer, input, input_rows);
    }
    finish_pass(imputer, input_rows, fn, options.tuning, work, result);
    return result;
}

std::optional<UnknownMetric> impute_into(const KnnImputer& imputer, std::span<const double> input,
                                         std::size_t input_rows, std::span<double> result) {
    const detail::Kernel fn = detail::kernel_for(best_kernel(), imputer.metric_kind(), imputer.cols());
    detail::MissingCells work;
    std::variant<UnknownMetric, bool> opened = detail::open_pass_into(imputer, input, result, work);
    if (auto* unknown = std::get_if<UnknownMetric>(&opened)) {
        return std::move(*unknown);
    }
    if (!std::get<bool>(opened)) {
        return std::nullopt;
    }
    if (!detail::well_formed(imputer)) {
        // A record the binding layer cannot build: the straightforward pass, as impute does.
        ImputeResult outcome = impute_reference(imputer, input, input_rows);
        if (auto* unknown = std::get_if<UnknownMetric>(&outcome)) {
            return std::move(*unknown);
        }
        const std::vector<double>& cells = std::get<std::vector<double>>(outcome);
        std::copy(cells.begin(), cells.end(), result.begin());
        return std::nullopt;
    }
    finish_pass(imputer, input_rows, fn, PassTuning{}, work, result);
    return std::nullopt;
}

}  // namespace mirel::knn
