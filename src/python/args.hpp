// Argument binding for fast-call methods with keywords.
#pragma once

#include "python/pyref.hpp"

#include <cstddef>

namespace zetrion::py {

// Binds positional and keyword arguments to `names` (count n): out[i] is a
// borrowed reference or null when absent. The first `required` names must
// be present. Sets the standard TypeError texts and returns false on a
// mismatch.
bool bind_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* names, std::size_t n, std::size_t required, PyObject** out);

// The same for the tuple-and-dict calling convention (constructors).
bool bind_args_tuple(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names, std::size_t n,
                     std::size_t required, PyObject** out);

}  // namespace zetrion::py
