// Hands computed buffers to NumPy without copying.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include "python/types.hpp"

#include <numpy/arrayobject.h>

namespace zetrion::py {
namespace {

void free_buffer(PyObject* capsule) {
    delete[] static_cast<Cx*>(PyCapsule_GetPointer(capsule, "zetrion.buffer"));
}

// NumPy's array interface, loaded on first use (both the 1.x and 2.x module
// layouts are found by the loader).
bool numpy_ready() {
    if (PyArray_API) return true;
    if (_import_array() < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "numpy is required for impedance arrays");
        return false;
    }
    return true;
}

}  // namespace

PyObject* complex_array_take(Cx* data, std::size_t n) {
    static_assert(sizeof(Cx) == 2 * sizeof(double));
    if (!numpy_ready()) return nullptr;
    Ref owner(PyCapsule_New(data, "zetrion.buffer", free_buffer));
    if (!owner) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    Ref arr(PyArray_SimpleNewFromData(1, dims, NPY_COMPLEX128, data));
    if (!arr) {
        PyCapsule_SetDestructor(owner.get(), nullptr);  // the caller still owns data
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), owner.release()) < 0) return nullptr;
    return arr.release();
}

}  // namespace zetrion::py
