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

class LockHeld {
public:
    explicit LockHeld(ReleasedLock* released) : released_(released) {
        if (released_) released_->take();
    }
    ~LockHeld() {
        if (released_) released_->give();
    }
    LockHeld(const LockHeld&) = delete;
    LockHeld& operator=(const LockHeld&) = delete;

private:
    ReleasedLock* released_;
};

class LockFree {
public:
    explicit LockFree(ReleasedLock* released) : released_(released) {
        if (released_) released_->give();
    }
    ~LockFree() {
        if (released_) released_->take();
    }
    LockFree(const LockFree&) = delete;
    LockFree& operator=(const LockFree&) = delete;

private:
    ReleasedLock* released_;
};

}  // namespace quarvel::py
