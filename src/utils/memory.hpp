// The interpreter's memory accounting, for every extension module of the package.
//
// Buffers that a Python object keeps alive (a result array's data, an imputer's fitted matrix,
// the fitted side of mirel.sklearn) are allocated outside the interpreter's heap; they are
// reported to its memory accounting under this domain of the package's own. On CPython that is
// tracemalloc (the buffer is attributed to the Python line that made it); on PyPy it is the
// collector's memory pressure, which makes it collect the dead objects that hold such buffers.
#pragma once

#include <cstddef>

namespace mirel::py {

inline constexpr unsigned int MEMORY_DOMAIN = 0x6D69726C;  // "mirl"

// Reports `bytes` at `ptr` (nothing for an empty buffer). The accounting answers 0 (recorded),
// -2 (not tracing: nothing to record) or -1 (its table could not grow): then this raises
// MemoryError (ErrorAlreadySet), as tracemalloc fails an allocation it cannot record, and the
// caller still owns `ptr`.
void track_buffer(const void* ptr, std::size_t bytes);
// Withdraws what track_buffer reported at `ptr`, before the buffer is freed or handed on.
void untrack_buffer(const void* ptr) noexcept;

}  // namespace mirel::py
