// The Gower pass: missing cells of mixed tables (numeric, nominal and ordinal variables) imputed
// from the k nearest fitted rows under Gower's distance.
//
// Cells are float64: a numeric variable holds its value, a nominal or ordinal one the code of
// its level (0 to levels - 1); NaN marks a missing cell. The face that encodes a table (pandas
// categories, booleans, strings) lives in Python; every numeric rule lives here.
//
// Distance between query row a and fitted row b, over the distance variables observed in both,
// in column order, numerator and denominator each summed from +0.0:
//     numeric  |a - b| * (w / range)    range = max - min of the fitted column; 0 when it is 0
//     nominal  w when a != b, else 0
//     ordinal  |a - b| * (w / (levels - 1))   0 for a single level
// w / range is formed once per variable (one multiply per pair instead of a division); where it
// overflows (a range below about w * 1e-308) the term is w * (|a - b| / range) instead.
//     d = numerator / (sum of the w); no distance when that sum is 0.
// Donors of a missing cell: the first k fitted rows by (d, row index) that hold a value in its
// column and have a distance. Values: see GowerNumeric and gower_cell_value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "knn/pass/pass_driver.hpp"

namespace mirel::knn {

enum class GowerKind : std::uint8_t { numeric, nominal, ordinal };

// How a numeric cell is formed from its donors' values (rank order): the median (an even count
// gives the mean of the two middle values, the lower middle value for an integral column), or
// the engine's weighted mean (`weighted_mean`) with weights 1 or 1/d, rounded to the nearest
// integer (ties to even) for an integral column.
enum class GowerNumeric : std::uint8_t { median, mean, distance };

struct GowerColumn {
    GowerKind kind = GowerKind::numeric;
    bool integral = false;     // numeric only: the column holds integers
    bool in_distance = true;   // the variable enters the distance
    double weight = 1.0;       // finite, >= 0
    std::uint32_t levels = 0;  // nominal and ordinal: the number of levels
};

struct GowerConfig {
    std::vector<GowerColumn> columns;
    std::size_t k = 5;
    GowerNumeric numeric = GowerNumeric::median;
    bool weighted_votes = false;  // nominal votes weighted by 1/d instead of counted
};

// Why a configuration or a table cannot be used; empty when it can.
std::string gower_config_error(const GowerConfig& config);

// The fitted side, built once per fit: the fitted cells column by column, each column's range
// (numeric) or scale (ordinal: levels - 1), its count of values and its summary.
class GowerDonors {
public:
    // From `rows` x config.columns.size() cells, row-major. Throws Panic on a bad configuration
    // or a code outside its levels, SizeOverflow on sizes that do not fit.
    static GowerDonors build(GowerConfig config, std::span<const double> cells, std::size_t rows);

    const GowerConfig& config() const noexcept { return config_; }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return config_.columns.size(); }
    // Column c, rows 0 to rows() - 1.
    const double* column(std::size_t c) const noexcept { return cells_.data() + c * rows_; }
    // The divisor of column c's term: the range (numeric) or levels - 1 (ordinal); 0 when the
    // variable contributes nothing, 1 for nominal.
    double scale(std::size_t c) const noexcept { return scale_[c]; }
    // weight / scale (+inf where that overflows: the term then divides by the scale).
    double factor(std::size_t c) const noexcept { return factor_[c]; }
    std::size_t count(std::size_t c) const noexcept { return count_[c]; }
    // What a cell of column c gets without donors: the numeric median of the fitted values (as
    // GowerNumeric::median), the lower median level (ordinal), the most frequent level with ties
    // to the lowest code (nominal); NaN for a column with no value.
    double summary(std::size_t c) const noexcept { return summary_[c]; }
    std::span<const double> summaries() const noexcept { return summary_; }
    std::size_t bytes() const noexcept;

private:
    GowerConfig config_;
    std::size_t rows_ = 0;
    std::vector<double> cells_;  // column-major
    std::vector<double> scale_;
    std::vector<double> factor_;
    std::vector<std::size_t> count_;
    std::vector<double> summary_;
};

// Gower's distance between query row a and fitted row i; NaN when the pair has none.
double gower_distance(const GowerDonors& donors, const double* a, std::size_t i) noexcept;

// The value of a missing cell of column c from its donors: their values and distances in rank
// order (at least one). Nominal: the most frequent level (counts, or sums of 1/d in rank order
// from +0.0, only the donors at distance 0 counting once one is), ties to the level of the
// nearest tied donor. Ordinal: the lower median level. Numeric: see GowerNumeric.
// `scratch` holds the working copies; reserved for k entries it makes the call allocate nothing.
struct GowerScratch {
    std::vector<double> sorted;
    std::vector<double> weights;
    std::vector<std::size_t> order;
    void reserve(std::size_t k) {
        sorted.reserve(k);
        weights.reserve(k);
        order.reserve(k);
    }
};
double gower_cell_value(const GowerDonors& donors, std::size_t c, std::span<const double> values,
                        std::span<const double> distances, GowerScratch& scratch);

// The straightforward pass, the yardstick: rows [first, last) of `query` (query_rows x cols,
// row-major) imputed in place, each from every distance and one stable ordering. A column with
// no fitted value is left missing; a cell with no donor gets its column's summary.
void gower_reference(const GowerDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                     std::size_t last);

// The instruction sets the fast pass can use here, by name ("portable", "avx2", "avx512").
std::vector<std::string> gower_kernels();

// The fast pass: the same cells, bit for bit, for any kernel, thread count, chunking and group
// size. Groups of query rows walk blocks of fitted rows with one selection per missing cell, on
// the threads, chunks and poll of `options` (knn/pass/pass_driver.hpp: the driver splits the
// rows over its workers, each built with its buffers before any thread starts). `kernel` empty
// picks the widest this processor runs; `group_rows` 0 picks the group size (up to 128 rows,
// their selections within a budget). Throws Panic for an unknown kernel or rows outside the
// query. Returns false when the poll stopped the pass: rows of the groups finished are imputed,
// the others left as they were.
bool gower_fast(const GowerDonors& donors, double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                const PassOptions& options, const std::string& kernel = {}, std::size_t group_rows = 0);

}  // namespace mirel::knn
