// Element and its fourteen variant classes Element_R ... Element_T.
#include <array>
#include <string>

#include "circuit/text.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/guard.hpp"
#include "python/types.hpp"

namespace zetrion::py {

PyTypeObject* element_type = nullptr;

namespace {

std::array<PyTypeObject*, kKindCount> variant_types{};

// Per-kind storage that the type objects point into for the process's life.
struct VariantSpec {
    std::string name;  // "zetrion.Element_Cpe"
    std::string doc;   // "Element_Cpe(q, alpha)\n--\n\n"
    std::array<std::string, kMaxParams> param_names;
    std::array<PyGetSetDef, kMaxParams + 1> getset{};
    std::array<PyType_Slot, 4> slots{};
    PyType_Spec spec{};
};
std::array<VariantSpec, kKindCount> variant_specs;

Kind kind_of_type(PyTypeObject* t) {
    for (std::size_t k = 0; k < kKindCount; ++k)
        if (variant_types[k] == t) return kind_at(k);
    return Kind::R;
}

PyObject* element_repr(PyObject* self) {
    const Element& e = reinterpret_cast<ElementObject*>(self)->element;
    const KindInfo& info = kind_info(e.kind);
    std::string s = "Element.";
    s += info.class_name;
    s += '(';
    for (std::size_t i = 0; i < info.param_count; ++i) {
        if (i) s += ", ";
        s += info.param_names[i];
        s += '=';
        s += render_debug_float(e.v[i]);
    }
    s += ')';
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

void element_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* get_field(PyObject* self, void* closure) {
    const auto i = reinterpret_cast<std::size_t>(closure);
    return PyFloat_FromDouble(reinterpret_cast<ElementObject*>(self)->element.v[i]);
}

PyObject* variant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const Kind kind = kind_of_type(type);
    const KindInfo& info = kind_info(kind);
    const VariantSpec& vs = variant_specs[static_cast<std::size_t>(kind)];
    std::array<const char*, kMaxParams> names{};
    for (std::size_t i = 0; i < info.param_count; ++i) names[i] = vs.param_names[i].c_str();
    std::array<PyObject*, kMaxParams> raw{};
    const std::string fname = "Element_" + std::string(info.class_name);
    if (!bind_args_tuple(fname.c_str(), args, kwargs, names.data(), info.param_count, info.param_count, raw.data()))
        return nullptr;
    Element e;
    e.kind = kind;
    for (std::size_t i = 0; i < info.param_count; ++i) {
        e.v[i] = PyFloat_AsDouble(raw[i]);
        if (e.v[i] == -1.0 && PyErr_Occurred()) return arg_error(names[i]), nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<ElementObject*>(self.get())->element = e;
    return self.release();
}

PyType_Slot base_slots[] = {
    {Py_tp_doc, const_cast<char*>("A single circuit element.\n\nThese are Python subclasses taking its fields as "
                                  "arguments.\nThey are combined with `Series()` and `Parallel()`.")},
    {Py_tp_repr, reinterpret_cast<void*>(ZETRION_GUARDED(element_repr))},
    {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
    {0, nullptr},
};

PyType_Spec base_spec = {
    "zetrion.Element",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    base_slots,
};

}  // namespace

bool is_element(PyObject* o) { return PyObject_TypeCheck(o, element_type); }

PyTypeObject* make_element_types(PyObject* module) {
    Ref base(PyType_FromModuleAndSpec(module, &base_spec, nullptr));
    if (!base) return nullptr;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const KindInfo& info = kind_info(kind_at(k));
        VariantSpec& vs = variant_specs[k];
        const std::string cls = "Element_" + std::string(info.class_name);
        vs.name = "zetrion." + cls;
        vs.doc = cls + "(";
        for (std::size_t i = 0; i < info.param_count; ++i) {
            vs.param_names[i] = std::string(info.param_names[i]);
            if (i) vs.doc += ", ";
            vs.doc += vs.param_names[i];
            vs.getset[i] = {vs.param_names[i].c_str(), ZETRION_GUARDED(get_field), nullptr, nullptr,
                            reinterpret_cast<void*>(static_cast<std::size_t>(i))};
        }
        vs.doc += ")\n--\n\n";
        vs.getset[info.param_count] = {nullptr, nullptr, nullptr, nullptr, nullptr};
        vs.slots = {{{Py_tp_doc, const_cast<char*>(vs.doc.c_str())},
                     {Py_tp_new, reinterpret_cast<void*>(ZETRION_GUARDED(variant_new))},
                     {Py_tp_getset, vs.getset.data()},
                     {0, nullptr}}};
        vs.spec = {vs.name.c_str(), sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT, vs.slots.data()};
        Ref type(PyType_FromModuleAndSpec(module, &vs.spec, base.get()));
        if (!type) return nullptr;
        Ref match(PyTuple_New(static_cast<Py_ssize_t>(info.param_count)));
        if (!match) return nullptr;
        for (std::size_t i = 0; i < info.param_count; ++i) {
            PyObject* s = PyUnicode_FromString(vs.param_names[i].c_str());
            if (!s) return nullptr;
            PyTuple_SET_ITEM(match.get(), static_cast<Py_ssize_t>(i), s);
        }
        if (PyObject_SetAttrString(type.get(), "__match_args__", match.get()) < 0) return nullptr;
        if (PyObject_SetAttrString(base.get(), std::string(info.class_name).c_str(), type.get()) < 0) return nullptr;
        variant_types[k] = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    }
    element_type = reinterpret_cast<PyTypeObject*>(base.release());
    return element_type;
}

}  // namespace zetrion::py
