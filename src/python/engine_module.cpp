// zetrion_tools._engine: the tables the companion reads its names from
// (presets, methods, weightings, element kinds), whether a learned model
// exists for a circuit, and the fit with held parameters and ranges.
#include <cmath>
#include <string>
#include <string_view>

#include "circuit/params.hpp"
#include "elements/element.hpp"
#include "fit/method.hpp"
#include "fit/residuals.hpp"
#include "models/presets.hpp"
#include "models/registry.hpp"
#include "python/convert.hpp"
#include "python/engine.hpp"
#include "python/fit_options.hpp"
#include "python/guard.hpp"
#include "python/signals.hpp"

namespace zetrion::py {
namespace {

PyObject* g_engine_error = nullptr;
PyObject* g_circuit_type = nullptr;  // zetrion.Circuit

Ref str(std::string_view s) { return to_str(s); }

PyObject* names_list(std::size_t count, std::string_view (*at)(std::size_t)) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        Ref s = str(at(i));
        if (!s || PyList_Append(out.get(), s.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* methods(PyObject*, PyObject*) {
    return names_list(kFitMethods.size(), [](std::size_t i) { return kFitMethods[i].second; });
}

PyObject* weightings(PyObject*, PyObject*) {
    return names_list(kWeightings.size(), [](std::size_t i) { return kWeightings[i].second; });
}

PyObject* engine_weightings(PyObject*, PyObject*) {
    return names_list(kEngineWeightings.size(), [](std::size_t i) { return kEngineWeightings[i]; });
}

// The keyword options of Circuit.fit beyond the spectrum and the method.
PyObject* fit_keywords(PyObject*, PyObject*) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    const auto add = [&](std::string_view name) {
        Ref s = str(name);
        return s && PyList_Append(out.get(), s.get()) == 0;
    };
    if (!add("guess_init") || !add("weights") || !add("weight")) return nullptr;
    for (const NumericOption& o : kNumericOptions)
        if (!add(o.name)) return nullptr;
    if (!add("seed")) return nullptr;
    return out.release();
}

PyObject* model_names_list(PyObject*, PyObject*) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const std::string& name : model_names()) {
        Ref s = str(name);
        if (!s || PyList_Append(out.get(), s.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* presets(PyObject*, PyObject*) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const Preset& p : kPresets) {
        Ref pair(Py_BuildValue("(s#s#)", p.name.data(), static_cast<Py_ssize_t>(p.name.size()), p.notation.data(),
                               static_cast<Py_ssize_t>(p.notation.size())));
        if (!pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
    }
    return out.release();
}

// One dict per element kind: code, alt_code, class_name and its parameters
// as (name, unit, default, lower bound, upper bound).
PyObject* element_kinds(PyObject*, PyObject*) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const KindInfo& info = kind_info(kind_at(k));
        Ref params(PyList_New(0));
        if (!params) return nullptr;
        for (std::size_t p = 0; p < info.param_count; ++p) {
            const Bounds b = info.bounds[p];
            Ref row(Py_BuildValue("(s#s#ddd)", info.param_names[p].data(),
                                  static_cast<Py_ssize_t>(info.param_names[p].size()), info.units[p].data(),
                                  static_cast<Py_ssize_t>(info.units[p].size()), info.defaults[p], b.lo, b.hi));
            if (!row || PyList_Append(params.get(), row.get()) < 0) return nullptr;
        }
        Ref d(Py_BuildValue("{s:s#,s:s#,s:s#,s:O}", "code", info.code.data(), static_cast<Py_ssize_t>(info.code.size()),
                            "alt_code", info.alt_code.data(), static_cast<Py_ssize_t>(info.alt_code.size()),
                            "class_name", info.class_name.data(), static_cast<Py_ssize_t>(info.class_name.size()),
                            "params", params.get()));
        if (!d || PyList_Append(out.get(), d.get()) < 0) return nullptr;
    }
    return out.release();
}

// A series list as a Python list: a leaf is (kind code, index of its first
// parameter), a parallel group a list of branches (each a series list).
// Nesting is bounded by kMaxNesting, so the recursion is too.
PyObject* series_structure(const SeriesList& s, std::size_t& next) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const Node& node : s) {
        Ref item;
        if (node.is_leaf()) {
            const KindInfo& info = kind_info(node.element.kind);
            item = Ref(Py_BuildValue("(s#n)", info.code.data(), static_cast<Py_ssize_t>(info.code.size()),
                                     static_cast<Py_ssize_t>(next)));
            next += info.param_count;
        } else {
            item = Ref(PyList_New(0));
            for (const SeriesList& branch : node.branches) {
                Ref b(item ? series_structure(branch, next) : nullptr);
                if (!b || PyList_Append(item.get(), b.get()) < 0) return nullptr;
            }
        }
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* structure(PyObject*, PyObject* circuit) {
    const CircuitModel* m = circuit_model(circuit);
    if (!m) return nullptr;
    std::size_t next = 0;
    return series_structure(m->tree, next);
}

PyObject* has_model(PyObject*, PyObject* circuit) {
    const CircuitModel* m = circuit_model(circuit);
    if (!m) return nullptr;
    return PyBool_FromLong(find_for_topology(m->tree).has_value());
}

PyObject* explicit_values(PyObject*, PyObject* circuit) {
    const CircuitModel* m = circuit_model(circuit);
    if (!m) return nullptr;
    return PyBool_FromLong(m->explicit_values);
}

// The usual spectrum settled in one pass over the buffers, so that a quick
// fit is not held up by a dozen array reductions in Python: a float64 and a
// complex128 vector of one length, every frequency positive and every value
// finite and far from overflow, no impedance exactly zero, the frequencies
// strictly monotonic (so none repeats). Returns the number of points with a
// positive imaginary part (the flipped-sign test needs no more when it is
// small), or None when anything is unusual: the caller then runs the full
// checks, which say what is wrong.
class ReadOnlyBuffer {
public:
    explicit ReadOnlyBuffer(PyObject* o) { ok_ = PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0; }
    ~ReadOnlyBuffer() {
        if (ok_) PyBuffer_Release(&view_);
    }
    ReadOnlyBuffer(const ReadOnlyBuffer&) = delete;
    ReadOnlyBuffer& operator=(const ReadOnlyBuffer&) = delete;
    // The element count when the buffer is a 1-D vector of `format` items of `size` bytes, else -1.
    Py_ssize_t count(std::string_view format, Py_ssize_t size) const {
        if (!ok_ || view_.ndim != 1 || view_.itemsize != size || !view_.format || view_.format != format) return -1;
        return view_.shape[0];
    }
    const void* data() const { return view_.buf; }

private:
    Py_buffer view_{};
    bool ok_ = false;
};

PyObject* plain_spectrum(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "plain_spectrum(frequencies, impedances) takes two arguments");
        return nullptr;
    }
    const ReadOnlyBuffer fb(args[0]);
    PyErr_Clear();
    const ReadOnlyBuffer zb(args[1]);
    PyErr_Clear();
    const Py_ssize_t n = fb.count("d", 8);
    if (n < 2 || zb.count("Zd", 16) != n) Py_RETURN_NONE;
    const double* f = static_cast<const double*>(fb.data());
    const double* z = static_cast<const double*>(zb.data());  // re, im pairs
    constexpr double kHuge = 1e307;
    const bool rising = f[1] > f[0];
    Py_ssize_t inductive = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double re = z[2 * i], im = z[2 * i + 1];
        // written so that NaN fails every test
        const bool fine = f[i] > 0.0 && f[i] < kHuge && std::fabs(re) < kHuge && std::fabs(im) < kHuge &&
                          (re != 0.0 || im != 0.0) && (i == 0 || (rising ? f[i] > f[i - 1] : f[i] < f[i - 1]));
        if (!fine) Py_RETURN_NONE;
        inductive += im > 0.0;
    }
    return PyLong_FromSsize_t(inductive);
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef engine_methods[] = {
    {"methods", ZETRION_GUARDED(methods), METH_NOARGS, "The fit methods' names, in the order messages list them."},
    {"weightings", ZETRION_GUARDED(weightings), METH_NOARGS, "The weighting names Circuit.fit takes."},
    {"engine_weightings", ZETRION_GUARDED(engine_weightings), METH_NOARGS,
     "The further weighting names the engine's fit takes."},
    {"fit_keywords", ZETRION_GUARDED(fit_keywords), METH_NOARGS,
     "The keyword options of Circuit.fit beyond the spectrum and the method."},
    {"model_names", ZETRION_GUARDED(model_names_list), METH_NOARGS, "The built-in learned models' names."},
    {"presets", ZETRION_GUARDED(presets), METH_NOARGS, "The presets as (name, notation) pairs."},
    {"element_kinds", ZETRION_GUARDED(element_kinds), METH_NOARGS,
     "The element kinds: code, alt_code, class_name and params (name, unit, default, lo, hi)."},
    {"structure", ZETRION_GUARDED(structure), METH_O,
     "The circuit's tree: a series list of (code, first parameter index) leaves and parallel groups (lists of "
     "branches)."},
    {"has_model", ZETRION_GUARDED(has_model), METH_O, "Whether a built-in learned model matches the circuit."},
    {"explicit_values", ZETRION_GUARDED(explicit_values), METH_O,
     "Whether the circuit was given values (Circuit.fit then starts from them)."},
    {"plain_spectrum", FASTCALL(ZETRION_GUARDED(plain_spectrum)), METH_FASTCALL,
     "plain_spectrum(frequencies, impedances) -> int | None: the count of inductive points of a plainly sound "
     "float64/complex128 spectrum, None when the full checks are needed."},
    {"fit", FASTCALL(ZETRION_GUARDED(engine_fit)), METH_FASTCALL | METH_KEYWORDS,
     "fit(circuit, frequencies, impedances, *, start, fixed, lower, upper, guess_init, weights, weight, method, "
     "max_iterations, ftol, xtol, seed, point_weights, extra_starts) -> dict"},
    {"fit_shared", FASTCALL(ZETRION_GUARDED(engine_fit_shared)), METH_FASTCALL | METH_KEYWORDS,
     "fit_shared(circuit, spectra, starts, *, shared, held, lower, upper, weight, point_weights, max_iterations, "
     "ftol, xtol, gtol) -> dict"},
    {"drt", FASTCALL(ZETRION_GUARDED(engine_drt)), METH_FASTCALL | METH_KEYWORDS,
     "drt(frequencies, impedances, *, basis, fwhm_coeff, shape_factor, derivative, data, inductance, signed, rule, "
     "lam, lambda_min, lambda_max, weighting, fine_per_decade, fine_extension) -> dict"},
    {"drt_gamma", FASTCALL(ZETRION_GUARDED(engine_drt_gamma)), METH_FASTCALL | METH_KEYWORDS,
     "drt_gamma(basis, epsilon, tau, coeffs, tau_out) -> list"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_def = {PyModuleDef_HEAD_INIT, "zetrion_tools._engine",
                          "The compiled engine under zetrion_tools (private).", -1, engine_methods,
                          nullptr, nullptr, nullptr, nullptr};

const char* fit_error_kind(FitError::Kind k) {
    switch (k) {
        case FitError::Kind::LengthMismatch: return "length_mismatch";
        case FitError::Kind::EmptySpectrum: return "empty_spectrum";
        case FitError::Kind::NoParameters: return "no_parameters";
        case FitError::Kind::Solver: return "solver";
        case FitError::Kind::UnknownMethod: return "method";
        case FitError::Kind::Cancelled: return "cancelled";
        case FitError::Kind::InvalidLimits: return "limits";
    }
    return "solver";
}

PyObject* init() {
    remember_main_thread();
    Ref zetrion(PyImport_ImportModule("zetrion"));
    if (!zetrion) return nullptr;
    g_circuit_type = PyObject_GetAttrString(zetrion.get(), "Circuit");
    if (!g_circuit_type) return nullptr;
    Ref module(PyModule_Create(&engine_def));
    if (!module) return nullptr;
    g_engine_error = PyErr_NewExceptionWithDoc(
        "zetrion_tools._engine.EngineError",
        "A request the engine refuses; `kind` names the reason (weight, method, limits, guess, arguments, ...).",
        PyExc_ValueError, nullptr);
    if (!g_engine_error || PyModule_AddObjectRef(module.get(), "EngineError", g_engine_error) < 0) return nullptr;
    return module.release();
}

}  // namespace

const CircuitModel* circuit_model(PyObject* o) {
    // The engine is built from the same sources as zetrion, so a Circuit's
    // layout here is the layout zetrion gave it; the size check guards
    // against pairing the engine with another build of zetrion.
    const int is = PyObject_IsInstance(o, g_circuit_type);
    if (is < 0) return nullptr;
    if (!is || Py_TYPE(o)->tp_basicsize != static_cast<Py_ssize_t>(sizeof(CircuitObject))) {
        set_error(PyExc_TypeError, "expected a zetrion.Circuit, not " + type_name(o));
        return nullptr;
    }
    return reinterpret_cast<CircuitObject*>(o)->model;
}

PyObject* raw_bytes(const void* data, std::size_t size) {
    static_assert(sizeof(Cx) == 2 * sizeof(double));
    return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

PyObject* float_list(const std::vector<double>& v) {
    Ref out(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* x = PyFloat_FromDouble(v[i]);
        if (!x) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), x);
    }
    return out.release();
}

PyObject* float_lists(const std::vector<std::vector<double>>& vs) {
    Ref out(PyList_New(static_cast<Py_ssize_t>(vs.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < vs.size(); ++i) {
        PyObject* x = float_list(vs[i]);
        if (!x) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), x);
    }
    return out.release();
}

PyObject* complex_list(const std::vector<Cx>& v) {
    Ref out(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* x = PyComplex_FromDoubles(v[i].re, v[i].im);
        if (!x) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), x);
    }
    return out.release();
}

bool put_item(PyObject* dict, const char* key, PyObject* value) {
    Ref v(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* raise_engine_error(const char* kind, const std::string& message) {
    Ref text = to_str(message);
    if (!text) return nullptr;
    Ref exc(PyObject_CallOneArg(g_engine_error, text.get()));
    if (!exc) return nullptr;
    Ref k(PyUnicode_FromString(kind));
    if (!k || PyObject_SetAttrString(exc.get(), "kind", k.get()) < 0) return nullptr;
    PyErr_SetObject(g_engine_error, exc.get());
    return nullptr;
}

PyObject* raise_fit_error(const FitError& e) { return raise_engine_error(fit_error_kind(e.kind), e.message()); }

}  // namespace zetrion::py

PyMODINIT_FUNC PyInit__engine() { return ZETRION_GUARDED(zetrion::py::init)(); }
