#include "python/args.hpp"

#include <cstring>
#include <vector>

namespace zetrion::py {

bool bind_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* names, std::size_t n, std::size_t required, PyObject** out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (nargs > static_cast<Py_ssize_t>(n)) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", fname, n, n == 1 ? "" : "s",
                     nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* kname = PyUnicode_AsUTF8(key);
        if (!kname) return false;
        std::size_t slot = n;
        for (std::size_t i = 0; i < n; ++i)
            if (std::strcmp(kname, names[i]) == 0) slot = i;
        if (slot == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fname, kname);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, kname);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, names[i], i + 1);
            return false;
        }
    }
    return true;
}

bool bind_args_tuple(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names, std::size_t n,
                     std::size_t required, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat;
    flat.reserve(static_cast<std::size_t>(nargs) + (kwargs ? PyDict_GET_SIZE(kwargs) : 0));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k++, key);
            flat.push_back(value);
        }
    }
    // Values stay alive: they are owned by args and kwargs for the whole call.
    return bind_args(fname, flat.data(), nargs, kwnames.get(), names, n, required, out);
}

}  // namespace zetrion::py
