// The fitted side of the query passes (QueryDonors), built once per fitted table.
#pragma once

#include <cstddef>
#include <memory>
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

// Whether `query` (query_rows rows) holds exactly the fitted cells, bit for bit (fit_transform):
// then a pass over all the rows may compute each distance between two imputed rows once.
bool query_is_fitted(const QueryDonors& donors, const double* query, std::size_t query_rows) noexcept;

}  // namespace mirel::knn
