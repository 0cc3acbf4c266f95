// 64-byte aligned arrays for the kernels' inputs and outputs (vector loads need the alignment).
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "knn/core/checked.hpp"

namespace mirel::knn::detail {

inline constexpr std::align_val_t ALIGNMENT{64};

template <class T>
struct AlignedDelete {
    void operator()(T* p) const noexcept { ::operator delete(p, ALIGNMENT); }
};

template <class T>
using AlignedArray = std::unique_ptr<T, AlignedDelete<T>>;

// Uninitialised, 64-byte aligned array of trivially copyable T (at least one element).
template <class T>
AlignedArray<T> aligned_array(std::size_t n) {
    if (n == 0) {
        n = 1;
    }
    return AlignedArray<T>(static_cast<T*>(::operator new(checked_bytes<T>(n), ALIGNMENT)));
}

}  // namespace mirel::knn::detail
