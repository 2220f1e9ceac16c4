// The companion package's private engine module (zetrion_tools._engine): the
// same core as the zetrion module, exposed as plain data and typed calls.
#pragma once

#include "python/types.hpp"

#include <string>

#include "fit/outcome.hpp"

namespace zetrion::py {

// The model of a zetrion.Circuit; null with TypeError for anything else.
const CircuitModel* circuit_model(PyObject* o);

// Raises EngineError(message) with its `kind` set; always returns null.
PyObject* raise_engine_error(const char* kind, const std::string& message);
// The same for a fit's own failure, with the kind named after FitError's.
PyObject* raise_fit_error(const FitError& e);

PyObject* engine_fit(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zetrion::py
