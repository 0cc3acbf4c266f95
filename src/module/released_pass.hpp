// An engine pass run with the interpreter lock released and watched from Python, for every
// private module whose pass runs on the pass driver (knn/pass/pass_driver.hpp): about every 0.1 s
// and at the end the calling thread takes the lock back, runs the signal handlers (Ctrl-C's
// KeyboardInterrupt) and calls progress(done_rows, total_rows) when given; an exception from
// either stops the pass within a few milliseconds and stays set.
#pragma once

#include "utils/errors.hpp"
#include "utils/lock.hpp"
#include "utils/py_ref.hpp"

#include <cstddef>
#include <string>
#include <system_error>

#include "knn/pass/pass_driver.hpp"

namespace mirel::py {

// The threads and chunking a face asks of a pass: `threads` (named `threads_name` in the message)
// at least 1, `chunk_rows` at least 0 (0: chosen by the driver); ValueError otherwise. Less work
// than about a millisecond of distances stays on the calling thread.
inline knn::PassOptions pass_options_arg(const char* threads_name, Py_ssize_t threads, Py_ssize_t chunk_rows) {
    if (threads < 1) {
        raise(PyExc_ValueError, std::string(threads_name) + " must be at least 1, not " + std::to_string(threads));
    }
    if (chunk_rows < 0) {
        raise(PyExc_ValueError, "chunk_rows must be at least 0, not " + std::to_string(chunk_rows));
    }
    knn::PassOptions options;
    options.threads = static_cast<std::size_t>(threads);
    options.chunk_rows = static_cast<std::size_t>(chunk_rows);
    options.min_thread_work = std::size_t{1} << 20;
    return options;
}

// The `progress` argument of a pass: a callable, or nullptr for None (or no argument); TypeError
// otherwise.
inline PyObject* progress_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) {
        return nullptr;
    }
    if (!PyCallable_Check(obj)) {
        raise(PyExc_TypeError, "progress must be callable or None, not '" + type_qualname(Py_TYPE(obj)) + "'");
    }
    return obj;
}

// One poll of the pass, with the interpreter lock held: signals, then progress (callable, or
// nullptr). Returns false (and keeps returning false) once either set a Python error.
inline bool poll_interpreter(PyObject* progress, std::size_t done, std::size_t total, bool& failed) noexcept {
    if (failed || check_signals() < 0) {
        failed = true;
        return false;
    }
    if (progress != nullptr) {
        PyObject* result =
            PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(total));
        if (result == nullptr) {
            failed = true;
            return false;
        }
        Py_DECREF(result);
    }
    return true;
}

// Runs pass(options) with the lock released, options.poll set to poll_interpreter(progress, ...)
// (the caller holds a reference to `progress` for the call). Returns false when a poll set a
// Python error: the pass stopped, and what it wrote is not to be used. A thread that cannot start
// raises MemoryError (no memory for its stack) or RuntimeError; the pass's own exceptions leave
// with the lock held again.
template <class Pass>
bool run_pass_released(PyObject* progress, knn::PassOptions options, Pass&& pass) {
    bool failed = false;
    try {
        LockReleased unlocked;
        options.poll = [&](std::size_t done, std::size_t total) {
            return unlocked.held([&]() -> bool { return poll_interpreter(progress, done, total, failed); });
        };
        pass(static_cast<const knn::PassOptions&>(options));
    } catch (const std::system_error& e) {
        // No memory for a thread's stack (or too many threads) is EAGAIN.
        const bool memory =
            e.code() == std::errc::resource_unavailable_try_again || e.code() == std::errc::not_enough_memory;
        raise(memory ? PyExc_MemoryError : PyExc_RuntimeError,
              std::string("cannot start the threads of the pass: ") + e.what());
    }
    return !failed;
}

}  // namespace mirel::py
