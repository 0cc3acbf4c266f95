// The holds of a StateLock (mirel._query.StateHold): taking one in __enter__, giving it back in
// __exit__, a writer's downgrade to a reader. Each is one C call, so that no Python bytecode runs
// between taking a hold and recording it (state_lock.cpp says why).
#include "module/query/state_lock_parts.hpp"

namespace mirel::py::query::lock_parts {
namespace {

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

// Gives back this thread's hold of hold's kind; false when it has none.
bool give_back(HoldObject* hold) noexcept {
    const Ident me = current_thread();
    bool held = false;
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
    return held;
}

PyObject* Hold_enter(PyObject* self, PyObject*) noexcept {
    auto* hold = reinterpret_cast<HoldObject*>(self);
    if (hold->lock == nullptr) {
        PyErr_SetString(PyExc_TypeError, "this hold was not made by a StateLock");
        return nullptr;
    }
    PyObject* entered = nullptr;
    switch (hold->kind) {
        case HoldKind::read:
            entered = enter_read(hold);
            break;
        case HoldKind::write:
            entered = enter_write(hold);
            break;
        case HoldKind::build:
            entered = enter_build(hold);
            break;
    }
    if (entered != nullptr && PyErr_Occurred() != nullptr) {
        // A signal handler raised while the hold was being taken (state_lock.cpp: PyPy, after
        // a wait): the hold is given back, so that the failed __enter__ leaves none behind.
        Py_DECREF(entered);
        give_back(hold);
        return nullptr;
    }
    return entered;
}

PyObject* Hold_exit(PyObject* self, PyObject*) noexcept {
    auto* hold = reinterpret_cast<HoldObject*>(self);
    if (hold->lock == nullptr) {
        PyErr_SetString(PyExc_TypeError, "this hold was not made by a StateLock");
        return nullptr;
    }
    if (!give_back(hold)) {
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

}  // namespace

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

}  // namespace mirel::py::query::lock_parts
