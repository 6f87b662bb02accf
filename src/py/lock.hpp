// Core work without the interpreter lock. A ReleasedLock lets the lock go for
// its lifetime, so that other Python threads run during the C++ phases;
// LockHeld takes it back for a scope that needs the interpreter (a field call,
// a progress call, a signal check), and LockFree lets it go again inside that
// for plain copying. Given no ReleasedLock (a call that keeps the lock, as
// _quarvel_rs does), both do nothing.
#pragma once

#include <Python.h>

#include <utility>

namespace quarvel::py {

class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() {
        if (state_) PyEval_RestoreThread(state_);
    }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    void take() { PyEval_RestoreThread(std::exchange(state_, nullptr)); }
    void give() { state_ = PyEval_SaveThread(); }

private:
    PyThreadState* state_;
};

// Takes the lock back for its scope (Held = true) or lets it go again (false).
template <bool Held>
class LockScope {
public:
    explicit LockScope(ReleasedLock* released) : released_(released) {
        if (released_) Held ? released_->take() : released_->give();
    }
    ~LockScope() {
        if (released_) Held ? released_->give() : released_->take();
    }
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;

private:
    ReleasedLock* released_;
};

using LockHeld = LockScope<true>;
using LockFree = LockScope<false>;

}  // namespace quarvel::py
