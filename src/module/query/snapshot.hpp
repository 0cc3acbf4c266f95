// The query matrix of a call, read once into memory the call owns, and the imputed cells
// written back at the end.
//
// Another thread may write a caller's array at any time, without the interpreter lock
// (np.copyto(..., where=...) does). So every array argument the pass reads is copied once, at
// the start, into memory the call owns, and everything is counted and computed from that copy;
// the results go back into the caller's query matrix at the end, only into the cells the copy
// said to impute, within the shape that was checked.
#pragma once

#include "module/arrays.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "knn/query/query.hpp"

namespace mirel::py::query {

// Whether the memory of two matrix arguments overlaps.
bool overlap(const MatrixArg& a, const MatrixArg& b) noexcept;

// The pass writes into `query` while it reads `other`: ValueError when they share memory.
void check_apart(const MatrixArg& query, const MatrixArg& other, const char* other_name);

// A float64 matrix argument read once, into memory of the call's own (MemoryError when its
// cell count cannot be expressed, ValueError when its size does not match its shape).
std::vector<double> copy_of(const MatrixArg& m);

// The query matrix as the call saw it: its cells, and which of them the pass imputes (missing
// cells of columns that hold a fitted value), one bit each.
struct QuerySnapshot {
    std::vector<double> values;
    std::vector<std::uint64_t> imputed;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t cells = 0;  // imputed cells

    double* data() noexcept { return values.data(); }
};

QuerySnapshot snapshot_query(const MatrixArg& query, const knn::DonorColumns& columns);

// The imputed cells back into the caller's query matrix (of the shape the snapshot was taken
// with: the array object cannot change shape while the call holds it).
void write_back(const QuerySnapshot& snap, const MatrixArg& query) noexcept;

}  // namespace mirel::py::query
