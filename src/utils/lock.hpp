// Releasing the interpreter lock around engine work, for every extension module of the package.
#pragma once

#include "utils/py_ref.hpp"

namespace mirel::py {

// The interpreter lock, released for the life of the object; `held` runs code with it taken
// back (Python calls from the waiting thread). Unwinding restores it, so an exception thrown
// while the lock is released is carried out of the scope and the call guard translates it with
// the lock held.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

    template <class F>
    auto held(F&& body) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return body();
    }

private:
    PyThreadState* state_;
};

}  // namespace mirel::py
