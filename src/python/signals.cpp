#include "python/signals.hpp"

namespace zetrion::py {
namespace {

unsigned long g_main_thread = 0;

}  // namespace

void remember_main_thread() {
    g_main_thread = PyThread_get_thread_ident();
    if (Ref threading{PyImport_ImportModule("threading")}) {
        Ref main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
        if (ident && PyLong_Check(ident.get())) g_main_thread = PyLong_AsUnsignedLong(ident.get());
    }
    PyErr_Clear();  // without threading, the importing thread counts as main
}

SignalWatch::SignalWatch() : main_(PyThread_get_thread_ident() == g_main_thread) {}

bool SignalWatch::poll(void* self) {
    auto* w = static_cast<SignalWatch*>(self);
    if (!w->main_ || !w->state_) return false;
    PyEval_RestoreThread(w->state_);
    const bool stop = PyErr_CheckSignals() < 0;
    w->state_ = PyEval_SaveThread();
    return stop;
}

}  // namespace zetrion::py
