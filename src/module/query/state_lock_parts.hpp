// The pieces of mirel._query.StateLock that its files share (state_lock.cpp describes the lock):
// the process-wide bookkeeping and its fork handling (state_lock_book.cpp), one lock's record,
// the wait, and the object layouts of the lock and its holds (state_hold.cpp).
#pragma once

#include "utils/py_ref.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <utility>
#include <vector>

#include "utils/errors.hpp"

namespace mirel::py::query::lock_parts {

// How often a waiting thread runs the signal handlers (Ctrl-C ends a wait within this).
inline constexpr long wait_slice_ns = 20L * 1000L * 1000L;

using Ident = unsigned long;

inline Ident current_thread() noexcept { return static_cast<Ident>(pthread_self()); }

// Every lock's bookkeeping is guarded by book_mutex; book_changed wakes the waiters. Both are
// made afresh in a forked child (state_lock_book.cpp).
extern pthread_mutex_t book_mutex;
extern pthread_cond_t book_changed;
extern std::uint64_t fork_generation;  // counts the forks this process descends from
extern Ident forking_thread;           // the thread that survived the last fork

// Once per process, under the interpreter lock: the condition and the fork handlers.
// Throws ErrorAlreadySet.
void prepare_book();

struct LockState {
    std::vector<std::pair<Ident, Py_ssize_t>> readers;  // thread -> read depth
    std::vector<Ident> writers_waiting;
    Ident writer = 0;
    bool has_writer = false;
    Ident builder = 0;
    bool has_builder = false;
    std::uint64_t generation = 0;

    // In a forked child: keep only the forking thread's holds and waits.
    void refresh() noexcept {
        if (generation == fork_generation) {
            return;
        }
        generation = fork_generation;
        const Ident me = forking_thread;
        readers.erase(std::remove_if(readers.begin(), readers.end(), [me](const auto& r) { return r.first != me; }),
                      readers.end());
        writers_waiting.erase(
            std::remove_if(writers_waiting.begin(), writers_waiting.end(), [me](Ident w) { return w != me; }),
            writers_waiting.end());
        if (has_writer && writer != me) {
            has_writer = false;
        }
        if (has_builder && builder != me) {
            has_builder = false;
        }
    }

    std::pair<Ident, Py_ssize_t>* reader(Ident me) noexcept {
        for (auto& r : readers) {
            if (r.first == me) {
                return &r;
            }
        }
        return nullptr;
    }

    void drop_waiting(Ident me) noexcept {
        auto it = std::find(writers_waiting.begin(), writers_waiting.end(), me);
        if (it != writers_waiting.end()) {
            writers_waiting.erase(it);
        }
    }

    // Gives back one read of `me`; false if it holds none.
    bool release_read(Ident me) noexcept {
        for (auto it = readers.begin(); it != readers.end(); ++it) {
            if (it->first == me) {
                if (--it->second == 0) {
                    readers.erase(it);
                }
                return true;
            }
        }
        return false;
    }
};

// The bookkeeping mutex for the life of the object (taken with the interpreter lock held:
// holders never wait for the interpreter lock, so this never waits long).
class Book {
public:
    explicit Book(LockState& state) noexcept : state_(state) {
        pthread_mutex_lock(&book_mutex);
        state_.refresh();
    }
    Book(const Book&) = delete;
    Book& operator=(const Book&) = delete;
    ~Book() {
        if (locked_) {
            pthread_mutex_unlock(&book_mutex);
        }
    }
    void unlock() noexcept {
        pthread_mutex_unlock(&book_mutex);
        locked_ = false;
    }
    LockState* operator->() noexcept { return &state_; }

private:
    LockState& state_;
    bool locked_ = true;
};

struct StateLockObject {
    PyObject_HEAD
    LockState* state;
    PyObject* hold_type;  // StateHold of the same module (strong)
};

enum class HoldKind { read, write, build };

struct HoldObject {
    PyObject_HEAD
    PyObject* lock;  // the StateLock (strong), null if the hold was not made by one
    PyObject* what;  // name of the reading method, for the message (strong; reads only)
    HoldKind kind;
};

inline LockState& state_of(PyObject* lock) noexcept { return *reinterpret_cast<StateLockObject*>(lock)->state; }

// Waits, the interpreter lock released, until `ready()` holds and `take()` has recorded the
// hold (both run with the bookkeeping mutex held; `take` returns false when memory for the
// record cannot be had). Returns false with the signal handler's exception (or MemoryError) set
// if one raised; `withdraw()` has then undone what the caller recorded for the
// wait. Called with `book` unlocked.
template <class Ready, class Take, class Withdraw>
bool wait_for(LockState& state, Ready ready, Take take, Withdraw withdraw) noexcept {
    for (;;) {
        bool taken = false;
        bool no_memory = false;
        Py_BEGIN_ALLOW_THREADS
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += wait_slice_ns;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_nsec -= 1000000000L;
            ++until.tv_sec;
        }
        pthread_mutex_lock(&book_mutex);
        state.refresh();
        int rc = 0;
        while (!ready(state) && rc != ETIMEDOUT) {
            rc = pthread_cond_timedwait(&book_changed, &book_mutex, &until);
            state.refresh();
        }
        if (ready(state)) {
            taken = take(state);
            no_memory = !taken;
        }
        pthread_mutex_unlock(&book_mutex);
        Py_END_ALLOW_THREADS
        if (taken) {
            return true;
        }
        if (no_memory) {
            PyErr_NoMemory();
        }
        if (no_memory || check_signals() < 0) {
            Book book(state);
            withdraw(state);
            pthread_cond_broadcast(&book_changed);
            return false;
        }
    }
}

// The hold type's spec, and a new hold of `kind` on `lock` (`what`: the reading method's name).
extern PyType_Spec hold_spec;
PyObject* make_hold(PyObject* lock, HoldKind kind, PyObject* what) noexcept;

}  // namespace mirel::py::query::lock_parts
