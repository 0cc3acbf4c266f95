// The fitted side of the query passes (QueryDonors), built once per fitted table.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "knn/kernels/dispatch.hpp"
#include "knn/pass/pass_driver.hpp"
#include "knn/pass/pass_tuning.hpp"
#include "knn/query/query.hpp"

namespace mirel::knn {

// How QueryDonors holds the fitted rows: the column-blocked panel that the kernels read, or the
// rows as they are (row-major) for the straightforward pass; `automatic` takes the rows as they
// are when the panel would be mostly padding (at most SMALL_TABLE_MAX_ROWS rows,
// knn/pass/pass_tuning.hpp), so that memory stays proportional to the table.
enum class DonorLayout { panel, rows, automatic };

namespace detail {
class Panel;  // knn/panel/panel.hpp: here the fitted rows, position p = row p
}  // namespace detail

// The fitted side of the query passes, built once per fitted table: the column-blocked panel of
// the fitted rows (position p = row p) or, for a few rows, a row-major copy, which is the only
// copy of their values, and the column facts. Immutable after construction, so any number of
// passes may read it at once.
class QueryDonors {
public:
    // masked_cells: the panel also carries masked cells (PanelView::zeroed, weight), which the
    // portable kernels read faster; by default when they are the fastest kernels here.
    explicit QueryDonors(const TableView& fitted, bool masked_cells = best_kernel() == KernelKind::portable,
                         DonorLayout layout = DonorLayout::panel);
    QueryDonors(QueryDonors&&) noexcept;
    QueryDonors& operator=(QueryDonors&&) noexcept;
    ~QueryDonors();

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    const DonorColumns& columns() const noexcept { return columns_; }
    // No fitted row or no column: no cell has a donor, every pass leaves the query as it is.
    bool empty() const noexcept { return rows_ == 0 || cols_ == 0; }
    // Whether the rows are held row-major (then the panel is empty and the fast pass runs the
    // straightforward one over row_major()).
    bool is_row_major() const noexcept { return row_major_; }
    TableView row_major() const noexcept { return TableView{rows_table_.data(), rows_, cols_}; }
    const detail::Panel& panel() const noexcept { return *panel_; }
    // Cell c of fitted row r, bit for bit as fitted.
    double value(std::size_t r, std::size_t c) const noexcept;
    // The fitted table again, row-major (rows * cols values).
    std::vector<double> table() const;
    // Bytes held (what the binding reports to the interpreter's memory accounting).
    std::size_t bytes() const noexcept;

private:
    std::size_t rows_;
    std::size_t cols_;
    bool row_major_ = false;
    DonorColumns columns_;
    std::vector<double> rows_table_;
    std::unique_ptr<detail::Panel> panel_;  // empty when row-major
};

// Deprecated, kept until knn/index says what the query pass says: which pass runs (query_reference
// or query_pass) apart from which instruction set measures (KernelKind). Here `reference` is the
// straightforward pass and the others the fast pass over that instruction set.
enum class QueryKernel { reference, portable, avx2, avx512 };

// Passes this build and this processor can run; `reference` is always among them.
std::vector<QueryKernel> available_query_kernels();
// The default: the fastest available.
QueryKernel best_query_kernel() noexcept;
std::string_view query_kernel_name(QueryKernel kernel) noexcept;

// The distance kernel of a fast pass; nullopt for the reference. (The one mapping between the
// two enumerations.)
constexpr std::optional<KernelKind> query_kernel_kind(QueryKernel kernel) noexcept {
    switch (kernel) {
        case QueryKernel::portable:
            return KernelKind::portable;
        case QueryKernel::avx2:
            return KernelKind::avx2;
        case QueryKernel::avx512:
            return KernelKind::avx512;
        case QueryKernel::reference:
            break;
    }
    return std::nullopt;
}

// The fast pass over a distance kernel.
constexpr QueryKernel query_kernel_of(KernelKind kind) noexcept {
    for (const QueryKernel k : {QueryKernel::portable, QueryKernel::avx2, QueryKernel::avx512}) {
        if (query_kernel_kind(k) == kind) {
            return k;
        }
    }
    return QueryKernel::portable;
}

// Whether `query` (query_rows rows) holds exactly the fitted cells, bit for bit (fit_transform):
// then a pass over all the rows may compute each distance between two imputed rows once.
bool query_is_fitted(const QueryDonors& donors, const double* query, std::size_t query_rows) noexcept;

}  // namespace mirel::knn
