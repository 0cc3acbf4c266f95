#include "utils/memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

#include "knn/core/checked.hpp"

#include "utils/errors.hpp"

namespace mirel::py {
namespace c_api {
// CPython's tracemalloc.h declares these two without extern "C" (3.9 to 3.13 at least), so a
// C++ call would ask for mangled names that the interpreter does not export. Declared here
// with C linkage they name the interpreter's own functions. PyPy's pymem.h gives them C linkage
// already (and its macros rename them to PyPy's symbols): the same functions either way.
extern "C" int PyTraceMalloc_Track(unsigned int domain, std::uintptr_t ptr, std::size_t size);
extern "C" int PyTraceMalloc_Untrack(unsigned int domain, std::uintptr_t ptr);
}  // namespace c_api

void track_buffer(const void* ptr, std::size_t bytes) {
    if (ptr == nullptr || bytes == 0) {
        return;
    }
    if (c_api::PyTraceMalloc_Track(MEMORY_DOMAIN, reinterpret_cast<std::uintptr_t>(ptr), bytes) == -1) {
        PyErr_NoMemory();
        throw ErrorAlreadySet{};
    }
}

void untrack_buffer(const void* ptr) noexcept {
    if (ptr != nullptr) {
        // 0 or -2 (not tracing): either way nothing of this buffer is left in the accounting.
        (void)c_api::PyTraceMalloc_Untrack(MEMORY_DOMAIN, reinterpret_cast<std::uintptr_t>(ptr));
    }
}

void report_array_data([[maybe_unused]] std::size_t bytes) noexcept {
#ifdef PYPY_VERSION
    if (bytes > 0) {
        _PyPyGC_AddMemoryPressure(static_cast<Py_ssize_t>(bytes));
    }
#endif
}

namespace {
// glibc's own initial mmap threshold (and the size from which NumPy asks for huge pages is
// larger still): below it a buffer is a small allocation and malloc serves it well.
constexpr std::size_t MAP_FROM_BYTES = std::size_t{128} * 1024;
}  // namespace

CellBuffer::CellBuffer(std::size_t n) {
    const std::size_t bytes = knn::checked_bytes<double>(n);
    if (bytes == 0) {
        return;
    }
    if (bytes >= MAP_FROM_BYTES) {
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            throw std::bad_alloc();
        }
        ptr_ = static_cast<double*>(p);
        mapped_ = true;
    } else {
        ptr_ = static_cast<double*>(std::malloc(bytes));  // aligned for any double
        if (ptr_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    size_ = n;
}

CellBuffer::CellBuffer(CellBuffer&& other) noexcept
    : ptr_(std::exchange(other.ptr_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

CellBuffer& CellBuffer::operator=(CellBuffer&& other) noexcept {
    if (this != &other) {
        reset();
        ptr_ = std::exchange(other.ptr_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

void CellBuffer::reset() noexcept {
    if (ptr_ == nullptr) {
        return;
    }
    if (mapped_) {
        (void)::munmap(ptr_, size_ * sizeof(double));
    } else {
        std::free(ptr_);
    }
    ptr_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

}  // namespace mirel::py
