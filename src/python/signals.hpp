// Ctrl-C during numeric work done without the interpreter lock.
#pragma once

#include "fit/cancel.hpp"
#include "python/pyref.hpp"

namespace zetrion::py {

// Records which thread is the interpreter's main thread (where signal
// handlers run); called once when a module is initialised.
void remember_main_thread();

// Lets work running without the interpreter lock notice Ctrl-C. Signal
// handlers run only in the main thread, so only work there polls: it takes
// the lock back briefly, runs the pending handlers, and releases it again. A
// handler that raised (KeyboardInterrupt by default) leaves its exception
// pending and stops the work.
class SignalWatch {
public:
    SignalWatch();

    static bool poll(void* self);
    void set_saved(PyThreadState* s) { state_ = s; }
    PyThreadState* saved() const { return state_; }

private:
    bool main_;
    PyThreadState* state_ = nullptr;
};

// Runs work(cancel) without the interpreter lock, `cancel` answering true
// once Ctrl-C (or any signal handler that raised) asks the work to stop; the
// handler's exception is then pending when this returns.
template <class Work>
void run_without_lock(Work&& work) {
    SignalWatch watch;
    const Cancellation cancel(&SignalWatch::poll, &watch);
    ReleaseGil nogil;
    watch.set_saved(nogil.saved());
    work(cancel);
    nogil.set_saved(watch.saved());
}

}  // namespace zetrion::py
