// QueryDonors: the fitted side of the query passes, built once per fitted table.
#include <bit>
#include <numeric>

#include "knn/core/checked.hpp"
#include "knn/panel/panel.hpp"
#include "knn/query/query_fast.hpp"

namespace mirel::knn {

QueryDonors::QueryDonors(const TableView& fitted, bool masked_cells, DonorLayout layout)
    : rows_(fitted.rows),
      cols_(fitted.cols),
      row_major_(layout == DonorLayout::rows ||
                 (layout == DonorLayout::automatic && fitted.rows <= SMALL_TABLE_MAX_ROWS)),
      columns_(donor_columns(fitted)),
      panel_(std::make_unique<detail::Panel>()) {
    const std::size_t cells = checked_count<double>(checked_mul(rows_, cols_));
    if (row_major_) {
        rows_table_.assign(fitted.values, fitted.values + cells);
        return;
    }
    std::vector<std::size_t> row_of(checked_count<std::size_t>(rows_));
    std::iota(row_of.begin(), row_of.end(), std::size_t{0});
    panel_->build({fitted.values, cells}, cols_, row_of, Metric::nan_euclid, masked_cells);
}

QueryDonors::QueryDonors(QueryDonors&&) noexcept = default;
QueryDonors& QueryDonors::operator=(QueryDonors&&) noexcept = default;
QueryDonors::~QueryDonors() = default;

double QueryDonors::value(std::size_t r, std::size_t c) const noexcept {
    return row_major_ ? rows_table_[r * cols_ + c] : panel_->value(r, c);
}

std::vector<double> QueryDonors::table() const {
    if (row_major_) {
        return rows_table_;
    }
    std::vector<double> out(checked_count<double>(checked_mul(rows_, cols_)));
    for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < cols_; ++c) {
            out[r * cols_ + c] = value(r, c);
        }
    }
    return out;
}

std::size_t QueryDonors::bytes() const noexcept {
    // Each part exists in memory, so the sum fits.
    return panel_->bytes() + sizeof(detail::Panel) + rows_table_.size() * sizeof(double) +
           columns_.mean.size() * sizeof(double) + columns_.count.size() * sizeof(std::size_t) + sizeof(*this);
}

bool query_is_fitted(const QueryDonors& donors, const double* query, std::size_t query_rows) noexcept {
    if (query_rows != donors.rows()) {
        return false;
    }
    // The query table holds exactly the fitted cells, bit for bit (fit_transform).
    for (std::size_t r = 0; r < donors.rows(); ++r) {
        for (std::size_t c = 0; c < donors.cols(); ++c) {
            if (std::bit_cast<std::uint64_t>(query[r * donors.cols() + c]) !=
                std::bit_cast<std::uint64_t>(donors.value(r, c))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace mirel::knn
