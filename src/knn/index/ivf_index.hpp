// A candidate index for the query pass: a coarse quantiser (k-means over the fitted rows with
// nan_euclidean-style distances) and inverted lists over a panel of the fitted rows in list
// order, each list a run of whole blocks. It is a candidate source of the group scheduler
// (knn/index/ivf_source.hpp): it only names which blocks a query row measures, its probed
// lists'; every candidate is ranked by the query pass's own rule (the key of sqrt(d2), ties by
// fitted row index), and a cell whose candidates hold fewer than min(k, donors of its column)
// donors is served by a scan of every fitted row instead. With every list probed the result is
// the exact pass's, bit for bit.
//
// Files: ivf_build.cpp (k-means, the layout), ivf_search.cpp (the search on the pass driver),
// ivf_recall.cpp (the recall curve).
//
// Memory: one panel of the fitted rows (at most 31 empty positions per list: lists are capped at
// one per BLOCK_ROWS rows when trained), the centroids (lists x cols) and three arrays of one
// entry per fitted row; nothing rows x rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "knn/pass/pass_driver.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_fast.hpp"

namespace mirel::knn {

class IvfPanel;  // knn/index/ivf_source.hpp

class IvfIndex {
public:
    // Trains the quantiser on a seeded sample of the fitted rows (`lists` centroids, at most
    // one per BLOCK_ROWS rows, at least one when there are rows), assigns every row to its nearest centroid
    // and lays the lists out. `kernel` is the fast pass's kernel (not `reference`): every kernel
    // gives the same distances, so the index is the same whichever runs. The rows' assignments
    // run on up to `threads` workers of the pass driver; the index is the same for any count.
    static IvfIndex train(const TableView& fitted, std::size_t lists, std::uint64_t seed, KernelKind kernel,
                          std::size_t threads = 1, std::size_t iterations = 8);
    // An index trained before: `centroids` (lists x cols, no NaN) and the list of every fitted
    // row (each below lists). Throws Panic when they do not fit the table.
    static IvfIndex from_parts(const TableView& fitted, std::span<const double> centroids,
                               std::span<const std::uint32_t> list_of_row, KernelKind kernel);

    IvfIndex(IvfIndex&&) noexcept;
    IvfIndex& operator=(IvfIndex&&) noexcept;
    ~IvfIndex();

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t lists() const noexcept { return lists_; }
    const DonorColumns& columns() const noexcept { return columns_; }
    const std::vector<double>& centroids() const noexcept { return centroids_; }
    const std::vector<std::uint32_t>& list_of_row() const noexcept { return list_of_row_; }
    // List l is blocks [list_blocks()[l], list_blocks()[l + 1]) of the panel, its rows (in row
    // order) the first list_size(l) positions of them; the rest of its last block is empty.
    const std::vector<std::size_t>& list_blocks() const noexcept { return list_blocks_; }
    std::size_t list_size(std::size_t l) const noexcept { return list_size_[l]; }
    KernelKind kernel() const noexcept { return kernel_; }
    // Rows of list l holding a value in column c: holders()[l * cols + c].
    const std::vector<std::size_t>& holders() const noexcept { return holders_; }
    std::size_t bytes() const noexcept;

    const IvfPanel& panel() const noexcept { return *panel_; }
    const IvfPanel& centroid_panel() const noexcept { return *centroid_panel_; }
    // The fitted row at each panel position (NO_POSITION: empty), and the position of a row.
    std::span<const std::size_t> rows_by_position() const noexcept { return row_of_; }
    std::size_t position_of(std::size_t r) const noexcept { return pos_of_[r]; }

private:
    IvfIndex(const TableView& fitted, KernelKind kernel);
    // The centroid panel, each row's list (`assign`: its nearest centroid; else as given), the
    // lists in order and the panel of the rows in list order.
    void lay_out(const TableView& fitted, bool assign, std::size_t threads);

    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t lists_ = 0;
    KernelKind kernel_ = KernelKind::portable;
    DonorColumns columns_;
    std::vector<double> centroids_;
    std::vector<std::uint32_t> list_of_row_;
    std::vector<std::size_t> list_blocks_;
    std::vector<std::size_t> list_size_;
    std::vector<std::size_t> row_of_;  // position -> fitted row (NO_POSITION: empty)
    std::vector<std::size_t> pos_of_;  // fitted row -> position
    std::vector<std::size_t> holders_;
    std::unique_ptr<IvfPanel> panel_;
    std::unique_ptr<IvfPanel> centroid_panel_;
};

struct IvfStats {
    std::uint64_t cells = 0;           // cells imputed
    std::uint64_t fallback_cells = 0;  // of those, served by a scan of every fitted row
    std::uint64_t measured = 0;        // candidate rows measured (fallback scans included)
};

// One search of the index: rows [first, last) of `query` (query_rows rows of the fitted width),
// each measuring the rows of its `probe` nearest lists (nearest centroid first, ties by list
// number; probe >= lists: every row).
struct IvfJob {
    const IvfIndex& index;
    double* query;
    std::size_t query_rows;
    std::size_t first;
    std::size_t last;
    std::size_t k;
    Weights weights;
    std::size_t probe;
};

// Imputes the missing cells of the job's rows in place, on the threads, chunks and poll of
// `options` (strategy "split the rows" of the pass driver; the poll sees (rows done, last -
// first), rows without a cell to impute counting as done from the start). The rows run through
// the group scheduler grouped by their nearest list, so that a group reads the lists it shares
// from the cache; each row measures exactly its own probed lists whatever group it is in, so the
// bits are the same for every thread count, chunk size and split of the rows. Arguments are
// checked (Panic, std::invalid_argument) and every worker allocated before any thread starts.
// Returns false when the poll stopped the search (rows then partly written); `stats` (when
// given) gets the counts added.
bool ivf_pass(const IvfJob& job, const PassOptions& options, IvfStats* stats = nullptr);

// ivf_pass on the calling thread.
IvfStats ivf_impute(const IvfIndex& index, double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                    std::size_t k, Weights weights, std::size_t probe);

// The nearest list of each of rows [0, query_rows) of `query` (the first a query probes).
std::vector<std::uint32_t> ivf_nearest_lists(const IvfIndex& index, const double* query, std::size_t query_rows);

// The donors of every imputed cell of rows [first, last) as ivf_impute selects them (cells in
// row-major order, `slots` >= min(k, rows) entries each: fitted row indices in rank order, then
// -1), on `threads` threads. Does not write the query.
void ivf_select(const IvfIndex& index, const double* query, std::size_t query_rows, std::size_t first, std::size_t last,
                std::size_t k, std::size_t probe, std::int64_t* out, std::size_t slots, std::size_t threads = 1);

// How many of the exact donors the index finds, for every probe count at once, measured on the
// rows of `sample` (rows of the fitted width, typically fitted rows with missing cells): entry P
// (1 <= P <= lists) of each vector is for P lists probed. The exact donors come from the search
// with every list probed (the exact pass), on `threads` threads. A cell served by the
// full scan finds all of its donors; whether a cell is served so is judged by the rows of the
// probed lists that hold its column, which counts as donors rows without a distance to the
// query (sharing no coordinate with it), so the curve never counts more than the index finds.
struct RecallCurve {
    std::uint64_t donors = 0;  // exact donors (with a distance) of the sampled cells
    std::uint64_t cells = 0;
    std::uint64_t rows = 0;               // sampled rows that impute a cell
    std::vector<std::uint64_t> found;     // exact donors the index selects
    std::vector<std::uint64_t> fallback;  // cells served by the full scan
    std::vector<std::uint64_t> measured;  // candidate rows measured, fallback scans included
};
RecallCurve ivf_recall(const IvfIndex& index, const TableView& sample, std::size_t k, std::size_t threads = 1);

}  // namespace mirel::knn
