// The fast query pass and the choice between the passes (the kernel knob that tests use to
// reach every path).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "knn/impute_fast.hpp"
#include "knn/query.hpp"

namespace mirel::knn {

// `reference` is the straightforward pass; the others are the fast driver over a distance
// kernel of that instruction set.
enum class QueryKernel { reference, portable, avx2, avx512 };

// Passes this build and this processor can run; `reference` is always among them.
std::vector<QueryKernel> available_query_kernels();
// The default: the fastest available.
QueryKernel best_query_kernel() noexcept;
std::string_view query_kernel_name(QueryKernel kernel) noexcept;

// query_reference's results, bit for bit, from the fast driver over `kernel` (not `reference`),
// with the block sizes of `tuning` (superblock_bytes, group_rows, group_selections,
// max_selected). Fails with std::invalid_argument when the kernel is not available here.
void query_fast(const TableView& fitted, const DonorColumns& columns, double* query, std::size_t query_rows,
                std::size_t first, std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel,
                const PassTuning& tuning = PassTuning{});

}  // namespace mirel::knn
