// No C++ exception may unwind into the interpreter. Every function the
// interpreter calls (methods, slots, getters, module functions) is wrapped in
// Guarded, which turns std::bad_alloc (and a request too large to allocate)
// into MemoryError and anything else into a RuntimeError carrying its text.
#pragma once

#include "python/pyref.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace zetrion::py {

// Raises the Python counterpart of the exception being handled; call only
// inside a catch block.
inline void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error: unknown C++ exception");
    }
}

template <auto F>
struct Guarded;

template <class R, class... A, R (*F)(A...)>
struct Guarded<F> {
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (...) {
            raise_current_exception();
        }
        if constexpr (std::is_pointer_v<R>) return nullptr;
        else return R(-1);
    }
};

}  // namespace zetrion::py

#define ZETRION_GUARDED(f) (&::zetrion::py::Guarded<&(f)>::call)
