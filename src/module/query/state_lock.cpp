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
// with that exception and leaves nothing behind (a waiting writer withdraws). PyPy may also
// run a due handler when the waiting thread takes the interpreter lock back, after the hold was
// taken: __enter__ then fails with the handler's exception and gives the hold back first
// (Hold_enter), since a failed __enter__ gets no __exit__.
//
// Every lock's bookkeeping is guarded by one process-wide mutex, never held while the
// interpreter lock is awaited; a fork resets it in the child (state_lock_book.cpp). The holds
// are state_hold.cpp; what the files share, state_lock_parts.hpp.
#include "module/query/state_lock.hpp"

#include <new>

#include "module/query/state_lock_parts.hpp"

namespace mirel::py::query {
namespace {

using namespace lock_parts;

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
    lock_parts::prepare_book();  // once per process, under the interpreter lock
    Ref hold = Ref::steal(reinterpret_cast<PyObject*>(create_type(&lock_parts::hold_spec)));
    Ref lock = Ref::steal(reinterpret_cast<PyObject*>(create_type(&lock_spec)));
    check_status(PyObject_SetAttrString(lock.get(), "_hold_type", hold.get()));
    check_status(PyObject_SetAttrString(module, "StateHold", hold.get()));
    check_status(PyObject_SetAttrString(module, "StateLock", lock.get()));
}

}  // namespace mirel::py::query
