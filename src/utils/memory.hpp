// The interpreter's memory accounting, for every extension module of the package.
//
// Buffers that a Python object keeps alive (a result array's data, an imputer's fitted matrix,
// the fitted side of mirel.sklearn) are allocated outside the interpreter's heap; they are
// reported to its memory accounting under this domain of the package's own. On CPython that is
// tracemalloc (the buffer is attributed to the Python line that made it); on PyPy it is the
// collector's memory pressure, which makes it collect the dead objects that hold such buffers.
#pragma once

#include <cstddef>
#include <span>

namespace mirel::py {

inline constexpr unsigned int MEMORY_DOMAIN = 0x6D69726C;  // "mirl"

// Reports `bytes` at `ptr` (nothing for an empty buffer). The accounting answers 0 (recorded),
// -2 (not tracing: nothing to record) or -1 (its table could not grow): then this raises
// MemoryError (ErrorAlreadySet), as tracemalloc fails an allocation it cannot record, and the
// caller still owns `ptr`.
void track_buffer(const void* ptr, std::size_t bytes);
// Withdraws what track_buffer reported at `ptr`, before the buffer is freed or handed on.
void untrack_buffer(const void* ptr) noexcept;

// Tells the collector, as NumPy's own default allocator does for each array's data on PyPy,
// that `bytes` more are held outside its heap (a second report beside track_buffer's, as NumPy
// makes one beside its tracemalloc call). Nothing on CPython, where track_buffer says it all.
// Then a result array weighs on PyPy's collector exactly as an array NumPy allocated does.
void report_array_data(std::size_t bytes) noexcept;

// A buffer of doubles that a result array keeps alive, allocated and freed as NumPy's default
// data allocator does in effect: a large one straight from the kernel (mmap), so that freeing
// it returns the pages at once, whatever else the process's heap holds; a small one from
// malloc. From malloc alone a large buffer would be sticky: once glibc frees one mmapped
// chunk it raises its mmap threshold past that size, later buffers come from the heap, and a
// burst of them, freed behind longer-lived allocations, keeps the heap at its peak.
class CellBuffer {
public:
    CellBuffer() noexcept = default;
    // n uninitialised cells (none for n == 0); std::bad_alloc when memory is exhausted, the
    // size error of knn/core/checked.hpp when n * 8 bytes overflow.
    explicit CellBuffer(std::size_t n);
    CellBuffer(CellBuffer&& other) noexcept;
    CellBuffer& operator=(CellBuffer&& other) noexcept;
    CellBuffer(const CellBuffer&) = delete;
    CellBuffer& operator=(const CellBuffer&) = delete;
    ~CellBuffer() { reset(); }

    double* data() const noexcept { return ptr_; }
    std::size_t size() const noexcept { return size_; }
    std::span<double> cells() const noexcept { return {ptr_, size_}; }
    // Frees the cells (nothing for an empty buffer); the buffer is empty afterwards.
    void reset() noexcept;

private:
    double* ptr_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace mirel::py
