#include "knn/query_fast.hpp"

#include <stdexcept>
#include <string>

namespace mirel::knn {

std::vector<QueryKernel> available_query_kernels() { return {QueryKernel::reference}; }

QueryKernel best_query_kernel() noexcept { return QueryKernel::reference; }

std::string_view query_kernel_name(QueryKernel kernel) noexcept {
    switch (kernel) {
        case QueryKernel::reference:
            return "reference";
        case QueryKernel::portable:
            return "portable";
        case QueryKernel::avx2:
            return "avx2";
        case QueryKernel::avx512:
            return "avx512";
    }
    return "unknown";
}

void query_fast(const TableView&, const DonorColumns&, double*, std::size_t, std::size_t, std::size_t, std::size_t,
                QueryWeights, QueryKernel kernel) {
    throw std::invalid_argument(std::string("query kernel ") + std::string(query_kernel_name(kernel)) +
                                " is not available");
}

}  // namespace mirel::knn
