// The companion package's private engine module (zetrion_tools._engine): the
// same core as the zetrion module, exposed as plain data and typed calls.
#pragma once

#include "python/types.hpp"

#include <string>
#include <vector>

#include "fit/outcome.hpp"

namespace zetrion::py {

// The model of a zetrion.Circuit; null with TypeError for anything else.
const CircuitModel* circuit_model(PyObject* o);

// Raises EngineError(message) with its `kind` set; always returns null.
PyObject* raise_engine_error(const char* kind, const std::string& message);
// The same for a fit's own failure, with the kind named after FitError's.
PyObject* raise_fit_error(const FitError& e);

// Plain values for the companion: a list of floats, a list of such lists, a
// list of complex numbers, and a dict entry that takes over `value` (false on
// any failure, with the error set).
PyObject* float_list(const std::vector<double>& v);
PyObject* float_lists(const std::vector<std::vector<double>>& vs);
PyObject* complex_list(const std::vector<Cx>& v);
// Native-order doubles (complex: real, imaginary pairs), for numpy.frombuffer.
PyObject* raw_bytes(const void* data, std::size_t size);
bool put_item(PyObject* dict, const char* key, PyObject* value);

PyObject* engine_fit(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_fit_shared(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_drt(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_drt_gamma(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zetrion::py
