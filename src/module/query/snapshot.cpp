#include "module/query/snapshot.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "knn/core/checked.hpp"
#include "utils/errors.hpp"

namespace mirel::py::query {

bool overlap(const MatrixArg& a, const MatrixArg& b) noexcept {
    if (a.bytes == 0 || b.bytes == 0) {
        return false;
    }
    const auto a0 = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b0 = reinterpret_cast<std::uintptr_t>(b.data);
    return a0 < b0 + b.bytes && b0 < a0 + a.bytes;
}

void check_apart(const MatrixArg& query, const MatrixArg& other, const char* other_name) {
    if (overlap(query, other)) {
        raise(PyExc_ValueError, std::string("query must not share memory with ") + other_name);
    }
}

std::vector<double> copy_of(const MatrixArg& m) {
    const std::size_t cells = knn::checked_count<double>(knn::checked_mul(m.rows, m.cols));
    if (cells * sizeof(double) != m.bytes) {
        raise(PyExc_ValueError, "the array's size does not match its shape");
    }
    std::vector<double> values(cells);
    if (cells != 0) {
        std::memcpy(values.data(), m.data, cells * sizeof(double));
    }
    return values;
}

QuerySnapshot snapshot_query(const MatrixArg& query, const knn::DonorColumns& columns) {
    QuerySnapshot snap;
    snap.values = copy_of(query);
    snap.rows = query.rows;
    snap.cols = query.cols;
    snap.imputed.assign(snap.values.size() / 64 + 1, 0);
    for (std::size_t r = 0, i = 0; r < snap.rows; ++r) {
        for (std::size_t c = 0; c < snap.cols; ++c, ++i) {
            if (knn::imputes_cell(columns, snap.values[i], c)) {
                snap.imputed[i / 64] |= std::uint64_t{1} << (i % 64);
                ++snap.cells;
            }
        }
    }
    return snap;
}

void write_back(const QuerySnapshot& snap, const MatrixArg& query) noexcept {
    auto* out = reinterpret_cast<double*>(query.data);
    const std::size_t n = snap.values.size();
    for (std::size_t w = 0; w < snap.imputed.size(); ++w) {
        for (std::uint64_t bits = snap.imputed[w]; bits != 0; bits &= bits - 1) {
            const std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
            if (i < n) {
                out[i] = snap.values[i];
            }
        }
    }
}

}  // namespace mirel::py::query
