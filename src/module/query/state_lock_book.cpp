// The bookkeeping every StateLock shares: one process-wide mutex and condition, and the fork
// handlers. A fork takes the mutex first (so no thread is inside the bookkeeping), and the child
// drops the holds and waits of every thread but the forking one: those threads do not exist
// there. The reset is applied lazily, by generation (LockState::refresh), the first time a lock
// is touched in the child.
#include "module/query/state_lock_parts.hpp"

namespace mirel::py::query::lock_parts {

pthread_mutex_t book_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t book_changed;
std::uint64_t fork_generation = 0;
Ident forking_thread = 0;

namespace {

bool book_ready = false;

void init_condition() noexcept {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&book_changed, &attr);
    pthread_condattr_destroy(&attr);
}

void before_fork() noexcept { pthread_mutex_lock(&book_mutex); }
void after_fork_in_parent() noexcept { pthread_mutex_unlock(&book_mutex); }
void after_fork_in_child() noexcept {
    // The only thread left is the one that forked; it holds the mutex (taken before the fork).
    // Waiters of the parent are gone, so both are made afresh.
    pthread_mutex_init(&book_mutex, nullptr);
    init_condition();
    ++fork_generation;
    forking_thread = current_thread();
}

}  // namespace

void prepare_book() {
    if (book_ready) {
        return;
    }
    init_condition();
    if (pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) != 0) {
        raise(PyExc_RuntimeError, "cannot register the state lock's fork handlers");
    }
    book_ready = true;
}

}  // namespace mirel::py::query::lock_parts
