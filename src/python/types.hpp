// The Python classes of the module and the helpers they share.
#pragma once

#include "python/pyref.hpp"

#include <cstddef>

#include "circuit/tree.hpp"

namespace zetrion::py {

struct ElementObject {
    PyObject_HEAD
    Element element;
};

struct CircuitModel {
    SeriesList tree;
    bool explicit_values = false;
    std::size_t count = 0;  // param_count(tree)
    std::size_t depth = 0;  // nesting_depth(tree)
};

struct CircuitObject {
    PyObject_HEAD
    CircuitModel* model;
};

extern PyTypeObject* element_type;
extern PyTypeObject* circuit_type;

// Creates the Element base class with its fourteen variants as attributes.
PyTypeObject* make_element_types(PyObject* module);
PyTypeObject* make_circuit_type(PyObject* module);
PyTypeObject* make_fit_result_type(PyObject* module);

// Circuit.fit
PyObject* circuit_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

bool is_element(PyObject* o);
bool is_circuit(PyObject* o);

// A new Circuit owning `tree`; null with ValueError when nested too deep.
PyObject* new_circuit(SeriesList tree, bool explicit_values);

PyObject* series_builder(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* parallel_builder(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A 1-D complex128 array that takes over `data` (allocated with new[]).
PyObject* complex_array_take(Cx* data, std::size_t n);

}  // namespace zetrion::py
