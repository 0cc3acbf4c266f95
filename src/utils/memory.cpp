#include "utils/memory.hpp"

#include <cstdint>

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

}  // namespace mirel::py
