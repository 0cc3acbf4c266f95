// mirel._query.StateLock: the readers-writer lock of a mirel.sklearn estimator's fitted state.
//
// Readers (transform) share the state; a writer (fit) waits for them to end and they wait for
// it. A waiting writer holds back new readers, so fit is not starved. A thread that already
// reads may read again (a callable metric calling transform); it may not write, nor may a
// writer re-enter or read: those raise RuntimeError instead of waiting for themselves. A
// writer may turn into a reader in one step (`downgrade`), so fit_transform keeps the state
// it fitted until its transform ends. `building` is a plain mutex beside it, for what readers
// build once from the state.
//
// Why it is native: every hold is taken and recorded in one C call (a hold object's
// __enter__) and given back in one (__exit__), so no Python bytecode runs between taking a
// hold and recording it, and an asynchronous exception (Ctrl-C, an alarm handler that
// raises) can never strand one. The `with` statement calls __enter__ and arms the call of
// __exit__ in one instruction on every interpreter we support; an exception raised at any
// later instruction, inside the block or after __exit__ returns, finds the hold either
// recorded and __exit__ armed, or already given back. A wait releases the interpreter lock
// and wakes every few milliseconds to run the signal handlers; if one raises, the wait ends
// with that exception and leaves nothing behind (a waiting writer withdraws).
//
// Every lock's bookkeeping is guarded by one process-wide mutex, never held while the
// interpreter lock is awaited. A fork takes it first (so no thread is inside the bookkeeping),
// and the child drops the holds and waits of every thread but the forking one: those threads
// do not exist there. The reset is applied lazily, by generation, the first time a lock is
// touched in the child.
#include "module/query/state_lock.hpp"

#include "utils/errors.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <utility>
#include <vector>

namespace mirel::py::query {
namespace {

// How often a waiting thread runs the signal handlers (Ctrl-C ends a wait within this).
constexpr long wait_slice_ns = 20L * 1000L * 1000L;

using Ident = unsigned long;

Ident current_thread() noexcept { return static_cast<Ident>(pthread_self()); }

pthread_mutex_t book_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t book_changed;
bool book_ready = false;
std::uint64_t fork_generation = 0;  // counts the forks this process descends from
Ident forking_thread = 0;           // the thread that survived the last fork

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

LockState& state_of(PyObject* lock) noexcept { return *reinterpret_cast<StateLockObject*>(lock)->state; }

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

PyObject* new_ref(PyObject* obj) noexcept {
    Py_INCREF(obj);
    return obj;
}

PyObject* raise_runtime(PyObject* message) noexcept {
    if (message != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

PyObject* enter_read(HoldObject* hold) noexcept {
    const Ident me = current_thread();
    LockState& state = state_of(hold->lock);
    Book book(state);
    if (book->has_writer && book->writer == me) {
        book.unlock();
        return raise_runtime(
            PyUnicode_FromFormat("KNNImputer.%U was called from inside fit of the same estimator", hold->what));
    }
    if (auto* r = book->reader(me)) {
        ++r->second;  // a reader reads again, even past a waiting writer
        return new_ref(reinterpret_cast<PyObject*>(hold));
    }
    try {
        book->readers.reserve(book->readers.size() + 1);  // so that take() cannot fail
    } catch (...) {
        book.unlock();
        return PyErr_NoMemory();
    }
    auto ready = [](LockState& s) { return !s.has_writer && s.writers_waiting.empty(); };
    auto take = [me](LockState& s) noexcept {
        try {
            s.readers.emplace_back(me, 1);
            return true;
        } catch (...) {
            return false;
        }
    };
    if (ready(state)) {
        take(state);  // cannot fail: reserved above
        return new_ref(reinterpret_cast<PyObject*>(hold));
    }
    book.unlock();
    if (!wait_for(state, ready, take, [](LockState&) {})) {
        return nullptr;
    }
    return new_ref(reinterpret_cast<PyObject*>(hold));
}

PyObject* enter_write(HoldObject* hold) noexcept {
    const Ident me = current_thread();
    LockState& state = state_of(hold->lock);
    Book book(state);
    if ((book->has_writer && book->writer == me) || book->reader(me) != nullptr) {
        book.unlock();
        PyErr_SetString(PyExc_RuntimeError,
                        "KNNImputer.fit was called from inside fit or transform of the same estimator");
        return nullptr;
    }
    auto ready = [](LockState& s) { return !s.has_writer && s.readers.empty(); };
    if (ready(state) && state.writers_waiting.empty()) {
        state.has_writer = true;
        state.writer = me;
        return new_ref(reinterpret_cast<PyObject*>(hold));
    }
    try {
        state.writers_waiting.push_back(me);  // holds back new readers while it waits
    } catch (...) {
        book.unlock();
        return PyErr_NoMemory();
    }
    auto take = [me](LockState& s) noexcept {
        s.drop_waiting(me);
        s.has_writer = true;
        s.writer = me;
        return true;
    };
    auto withdraw = [me](LockState& s) { s.drop_waiting(me); };
    book.unlock();
    if (!wait_for(state, ready, take, withdraw)) {
        return nullptr;
    }
    return new_ref(reinterpret_cast<PyObject*>(hold));
}

PyObject* enter_build(HoldObject* hold) noexcept {
    const Ident me = current_thread();
    LockState& state = state_of(hold->lock);
    Book book(state);
    if (book->has_builder && book->builder == me) {
        book.unlock();
        PyErr_SetString(PyExc_RuntimeError, "the state lock's building section was entered twice by one thread");
        return nullptr;
    }
    auto ready = [](LockState& s) { return !s.has_builder; };
    auto take = [me](LockState& s) noexcept {
        s.has_builder = true;
        s.builder = me;
        return true;
    };
    if (ready(state)) {
        take(state);
        return new_ref(reinterpret_cast<PyObject*>(hold));
    }
    book.unlock();
    if (!wait_for(state, ready, take, [](LockState&) {})) {
        return nullptr;
    }
    return new_ref(reinterpret_cast<PyObject*>(hold));
}

PyObject* Hold_enter(PyObject* self, PyObject*) noexcept {
    auto* hold = reinterpret_cast<HoldObject*>(self);
    if (hold->lock == nullptr) {
        PyErr_SetString(PyExc_TypeError, "this hold was not made by a StateLock");
        return nullptr;
    }
    switch (hold->kind) {
        case HoldKind::read:
            return enter_read(hold);
        case HoldKind::write:
            return enter_write(hold);
        case HoldKind::build:
            return enter_build(hold);
    }
    return nullptr;
}

PyObject* Hold_exit(PyObject* self, PyObject*) noexcept {
    auto* hold = reinterpret_cast<HoldObject*>(self);
    if (hold->lock == nullptr) {
        PyErr_SetString(PyExc_TypeError, "this hold was not made by a StateLock");
        return nullptr;
    }
    const Ident me = current_thread();
    bool held = false;
    {
        Book book(state_of(hold->lock));
        switch (hold->kind) {
            case HoldKind::read:
                held = book->release_read(me);
                break;
            case HoldKind::write:
                if (book->has_writer && book->writer == me) {
                    book->has_writer = false;
                    held = true;
                } else {
                    held = book->release_read(me);  // downgraded to a read
                }
                break;
            case HoldKind::build:
                if (book->has_builder && book->builder == me) {
                    book->has_builder = false;
                    held = true;
                }
                break;
        }
        if (held) {
            pthread_cond_broadcast(&book_changed);
        }
    }
    if (!held) {
        PyErr_SetString(PyExc_RuntimeError, "this thread holds no such hold on the state lock");
        return nullptr;
    }
    Py_RETURN_FALSE;
}

// hold.downgrade(): the writer becomes a reader in one step; no writer gets in between.
PyObject* Hold_downgrade(PyObject* self, PyObject*) noexcept {
    auto* hold = reinterpret_cast<HoldObject*>(self);
    if (hold->lock == nullptr || hold->kind != HoldKind::write) {
        PyErr_SetString(PyExc_TypeError, "only a writing hold can be downgraded");
        return nullptr;
    }
    const Ident me = current_thread();
    Book book(state_of(hold->lock));
    if (!(book->has_writer && book->writer == me)) {
        book.unlock();
        PyErr_SetString(PyExc_RuntimeError, "this thread does not write the state");
        return nullptr;
    }
    try {
        book->readers.emplace_back(me, 1);
    } catch (...) {
        book.unlock();
        return PyErr_NoMemory();  // still the writer: __exit__ gives that back
    }
    book->has_writer = false;
    pthread_cond_broadcast(&book_changed);
    Py_RETURN_NONE;
}

void Hold_dealloc(PyObject* self) noexcept {
    auto* hold = reinterpret_cast<HoldObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(hold->lock);
    Py_CLEAR(hold->what);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyMethodDef hold_methods[] = {
    {"__enter__", &Hold_enter, METH_NOARGS, "Takes the hold (waits for it); returns the hold."},
    {"__exit__", &Hold_exit, METH_VARARGS, "Gives the hold back."},
    {"downgrade", &Hold_downgrade, METH_NOARGS,
     "downgrade($self, /)\n--\n\nTurns this thread's write into a read, with no writer in between."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hold_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&Hold_dealloc)},
    {Py_tp_methods, hold_methods},
    {Py_tp_doc, const_cast<char*>("A hold on a StateLock, for a with statement.")},
    {0, nullptr},
};

PyType_Spec hold_spec = {
    "mirel._query.StateHold", sizeof(HoldObject), 0, Py_TPFLAGS_DEFAULT, hold_slots,
};

PyObject* make_hold(PyObject* lock, HoldKind kind, PyObject* what) noexcept {
    auto* hold_type = reinterpret_cast<PyTypeObject*>(reinterpret_cast<StateLockObject*>(lock)->hold_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(hold_type, Py_tp_alloc));
    PyObject* obj = alloc(hold_type, 0);
    if (obj == nullptr) {
        return nullptr;
    }
    auto* hold = reinterpret_cast<HoldObject*>(obj);
    hold->lock = new_ref(lock);
    hold->what = what == nullptr ? nullptr : new_ref(what);
    hold->kind = kind;
    return obj;
}

PyObject* StateLock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (!PyArg_ParseTuple(args, ":StateLock") || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "StateLock() takes no arguments");
        }
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    auto* obj = reinterpret_cast<StateLockObject*>(self);
    obj->state = nullptr;
    obj->hold_type = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "_hold_type");
    if (obj->hold_type == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    obj->state = new (std::nothrow) LockState();
    if (obj->state == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    pthread_mutex_lock(&book_mutex);
    obj->state->generation = fork_generation;
    pthread_mutex_unlock(&book_mutex);
    return self;
}

void StateLock_dealloc(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<StateLockObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    delete obj->state;
    obj->state = nullptr;
    Py_CLEAR(obj->hold_type);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* StateLock_reading(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"what", nullptr};
    PyObject* what = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|U:reading", const_cast<char**>(keywords), &what)) {
        return nullptr;
    }
    if (what != nullptr) {
        return make_hold(self, HoldKind::read, what);
    }
    PyObject* name = PyUnicode_FromString("transform");
    if (name == nullptr) {
        return nullptr;
    }
    PyObject* hold = make_hold(self, HoldKind::read, name);
    Py_DECREF(name);
    return hold;
}

PyObject* StateLock_writing(PyObject* self, PyObject*) noexcept { return make_hold(self, HoldKind::write, nullptr); }

PyObject* StateLock_get_building(PyObject* self, void*) noexcept { return make_hold(self, HoldKind::build, nullptr); }

PyObject* StateLock_get_writers_waiting(PyObject* self, void*) noexcept {
    Book book(state_of(self));
    const auto waiting = static_cast<Py_ssize_t>(book->writers_waiting.size());
    book.unlock();
    return PyLong_FromSsize_t(waiting);
}

PyObject* StateLock_reduce(PyObject* self, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object: each copy of an estimator makes its own",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef lock_methods[] = {
    {"reading", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&StateLock_reading)),
     METH_VARARGS | METH_KEYWORDS,
     "reading($self, /, what='transform')\n--\n\n"
     "A hold for reading the state (`what` names the method in the re-entrance message)."},
    {"writing", &StateLock_writing, METH_NOARGS, "writing($self, /)\n--\n\nA hold for replacing the state."},
    {"__reduce__", &StateLock_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef lock_getset[] = {
    {"building", &StateLock_get_building, nullptr, "A hold of the mutex for what readers build once.", nullptr},
    {"_writers_waiting", &StateLock_get_writers_waiting, nullptr, "The number of writers waiting.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lock_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&StateLock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&StateLock_dealloc)},
    {Py_tp_methods, lock_methods},
    {Py_tp_getset, lock_getset},
    {Py_tp_doc, const_cast<char*>("StateLock()\n--\n\n"
                                  "Readers-writer lock of an estimator's fitted state (see state_lock.cpp).")},
    {0, nullptr},
};

PyType_Spec lock_spec = {
    "mirel._query.StateLock", sizeof(StateLockObject), 0, Py_TPFLAGS_DEFAULT, lock_slots,
};

}  // namespace

void add_state_lock_types(PyObject* module) {
    if (!book_ready) {  // once per process, under the interpreter lock
        init_condition();
        if (pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) != 0) {
            raise(PyExc_RuntimeError, "cannot register the state lock's fork handlers");
        }
        book_ready = true;
    }
    Ref hold = Ref::steal(reinterpret_cast<PyObject*>(create_type(&hold_spec)));
    Ref lock = Ref::steal(reinterpret_cast<PyObject*>(create_type(&lock_spec)));
    check_status(PyObject_SetAttrString(lock.get(), "_hold_type", hold.get()));
    check_status(PyObject_SetAttrString(module, "StateHold", hold.get()));
    check_status(PyObject_SetAttrString(module, "StateLock", lock.get()));
}

}  // namespace mirel::py::query
