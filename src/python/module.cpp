// Module initialisation: Element, Circuit, FitResult, Series, Parallel and the fourteen
// element short names, in that order.
#include <string>

#include "elements/element.hpp"
#include "python/guard.hpp"
#include "python/types.hpp"

namespace zetrion::py {
namespace {

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef series_def = {"Series", FASTCALL(ZETRION_GUARDED(series_builder)), METH_FASTCALL | METH_KEYWORDS,
                          "Series(parts)\n--\n\nConnect elements and circuits end to end."};
PyMethodDef parallel_def = {"Parallel", FASTCALL(ZETRION_GUARDED(parallel_builder)), METH_FASTCALL | METH_KEYWORDS,
                            "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zetrion", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

bool add_function(PyObject* module, PyMethodDef* def) {
    Ref name(PyUnicode_FromString("zetrion"));
    if (!name) return false;
    Ref fn(PyCFunction_NewEx(def, nullptr, name.get()));
    return fn && PyModule_AddObjectRef(module, def->ml_name, fn.get()) == 0;
}

PyObject* init() {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyTypeObject* element = make_element_types(module.get());
    if (!element || PyModule_AddObjectRef(module.get(), "Element", reinterpret_cast<PyObject*>(element)) < 0)
        return nullptr;
    PyTypeObject* circuit = make_circuit_type(module.get());
    if (!circuit || PyModule_AddObjectRef(module.get(), "Circuit", reinterpret_cast<PyObject*>(circuit)) < 0)
        return nullptr;
    PyTypeObject* fit_result = make_fit_result_type(module.get());
    if (!fit_result || PyModule_AddObjectRef(module.get(), "FitResult", reinterpret_cast<PyObject*>(fit_result)) < 0)
        return nullptr;
    if (!add_function(module.get(), &series_def) || !add_function(module.get(), &parallel_def)) return nullptr;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const std::string name(kind_info(kind_at(k)).class_name);
        Ref cls(PyObject_GetAttrString(reinterpret_cast<PyObject*>(element), name.c_str()));
        if (!cls || PyModule_AddObjectRef(module.get(), name.c_str(), cls.get()) < 0) return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace zetrion::py

PyMODINIT_FUNC PyInit_zetrion() { return ZETRION_GUARDED(zetrion::py::init)(); }
