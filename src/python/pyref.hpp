// An owning reference to a Python object: every path that leaves a scope
// releases what it owns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zetrion::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null: a failed call).
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the object. Nothing in
// its scope may touch a Python object.
//
// Work of a few microseconds keeps the lock (release = false): when other
// threads wait for it, every release and retake is a hand-over through the
// kernel that costs more than the work, and tiny calls from two threads
// then run slower than from one.
class ReleaseGil {
public:
    explicit ReleaseGil(bool release = true) : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~ReleaseGil() {
        if (state_) PyEval_RestoreThread(state_);
    }
    // The saved thread state, for code inside the scope that must take the
    // lock back briefly (and hands the state it saved again back here).
    PyThreadState* saved() const { return state_; }
    void set_saved(PyThreadState* s) { state_ = s; }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace zetrion::py
