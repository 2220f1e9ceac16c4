// Circuit.fit and FitResult: argument conversion, the choice of starting
// values (learned guess, the circuit's own values, or defaults with a
// warning), the driver run without the interpreter lock, and the result.
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/text.hpp"
#include "fit/driver.hpp"
#include "models/registry.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/guard.hpp"
#include "python/fit_options.hpp"
#include "python/signals.hpp"
#include "python/spectrum.hpp"
#include "python/types.hpp"

namespace zetrion::py {

PyTypeObject* fit_result_type = nullptr;

namespace {

struct FitResultData {
    SeriesList circuit;
    std::vector<std::pair<std::string, double>> params;
    std::optional<std::vector<std::pair<std::string, double>>> stderr_;
    bool success;
    std::uint64_t iterations;
    std::uint64_t impedance_evals;
    double cost;
    double chi_square;
};

struct FitResultObject {
    PyObject_HEAD
    FitResultData* data;
};

const FitResultData& data_of(PyObject* self) { return *reinterpret_cast<FitResultObject*>(self)->data; }

// ---- argument conversion -------------------------------------------------

bool to_str_arg(PyObject* o, const char* name, std::string& out) {
    if (!extract_str(o, out)) return arg_error(name);
    return true;
}

// True/False, or a NumPy boolean scalar.
bool to_bool(PyObject* o, bool& out) {
    if (PyBool_Check(o)) {
        out = o == Py_True;
        return true;
    }
    const std::string tname = type_name(o);
    if (tname == "bool_" || tname == "bool") {
        Ref mod(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
        if (!mod) PyErr_Clear();
        if (mod && PyUnicode_Check(mod.get()) && PyUnicode_CompareWithASCIIString(mod.get(), "numpy") == 0) {
            const int t = PyObject_IsTrue(o);
            if (t < 0) return false;
            out = t == 1;
            return true;
        }
    }
    set_error(PyExc_TypeError, "'" + tname + "' object cannot be converted to 'PyBool'");
    return arg_error("guess_init");
}

// ---- FitResult -------------------------------------------------------------

PyObject* pairs_to_dict(const std::vector<std::pair<std::string, double>>& pairs) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [k, v] : pairs) {
        Ref key = to_str(k);
        Ref val(PyFloat_FromDouble(v));
        if (!key || !val || PyDict_SetItem(d.get(), key.get(), val.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* get_circuit(PyObject* self, void*) { return new_circuit(data_of(self).circuit, true); }
PyObject* get_params(PyObject* self, void*) { return pairs_to_dict(data_of(self).params); }
PyObject* get_stderr(PyObject* self, void*) {
    const auto& s = data_of(self).stderr_;
    if (!s) Py_RETURN_NONE;
    return pairs_to_dict(*s);
}
PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(data_of(self).success); }
PyObject* get_iterations(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).iterations); }
PyObject* get_evals(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).impedance_evals); }
PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).cost); }
PyObject* get_chi_square(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).chi_square); }

PyObject* fit_result_repr(PyObject* self) {
    const FitResultData& d = data_of(self);
    std::string s = "FitResult(success=";
    s += d.success ? "true" : "false";
    s += ", iterations=" + std::to_string(d.iterations);
    s += ", impedance_evals=" + std::to_string(d.impedance_evals);
    s += ", chi_square=" + render_scientific(d.chi_square, 6);
    s += ", params={";
    for (std::size_t i = 0; i < d.params.size(); ++i) {
        if (i) s += ", ";
        s += quoted(d.params[i].first) + ": " + render_debug_float(d.params[i].second);
    }
    s += "})";
    return to_str(s).release();
}

PyObject* fit_result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for FitResult");
    return nullptr;
}

void fit_result_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<FitResultObject*>(self)->data;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyGetSetDef fit_result_getset[] = {
    {"circuit", ZETRION_GUARDED(get_circuit), nullptr, nullptr, nullptr},
    {"params", ZETRION_GUARDED(get_params), nullptr, nullptr, nullptr},
    {"stderr", ZETRION_GUARDED(get_stderr), nullptr, nullptr, nullptr},
    {"success", ZETRION_GUARDED(get_success), nullptr, nullptr, nullptr},
    {"iterations", ZETRION_GUARDED(get_iterations), nullptr, nullptr, nullptr},
    {"impedance_evals", ZETRION_GUARDED(get_evals), nullptr, nullptr, nullptr},
    {"cost", ZETRION_GUARDED(get_cost), nullptr, nullptr, nullptr},
    {"chi_square", ZETRION_GUARDED(get_chi_square), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fit_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ZETRION_GUARDED(fit_result_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ZETRION_GUARDED(fit_result_repr))},
    {Py_tp_getset, fit_result_getset},
    {0, nullptr},
};

PyType_Spec fit_result_spec = {"zetrion.FitResult", sizeof(FitResultObject), 0, Py_TPFLAGS_DEFAULT, fit_result_slots};

PyObject* make_result(FitOutcome&& o) {
    auto d = std::make_unique<FitResultData>();
    d->circuit = std::move(o.circuit);
    const std::size_t n = std::min(o.param_names.size(), o.params.size());
    for (std::size_t i = 0; i < n; ++i) d->params.emplace_back(o.param_names[i], o.params[i]);
    if (o.stderr_) {
        d->stderr_.emplace();
        const std::size_t k = std::min(o.param_names.size(), o.stderr_->size());
        for (std::size_t i = 0; i < k; ++i) d->stderr_->emplace_back(o.param_names[i], (*o.stderr_)[i]);
    }
    d->success = o.success;
    d->iterations = o.iterations;
    d->impedance_evals = o.impedance_evals;
    d->cost = o.cost;
    d->chi_square = o.chi_square;
    PyObject* self = fit_result_type->tp_alloc(fit_result_type, 0);
    if (!self) return nullptr;
    reinterpret_cast<FitResultObject*>(self)->data = d.release();
    return self;
}

}  // namespace

PyTypeObject* make_fit_result_type(PyObject* module) {
    remember_main_thread();
    fit_result_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &fit_result_spec, nullptr));
    return fit_result_type;
}

namespace {

// Positions of the arguments of Circuit.fit.
enum FitArg : std::size_t {
    kFrequencies,
    kImpedances,
    kGuessInit,
    kWeights,
    kWeight,
    kMethod,
    kFirstNumeric,
    kSeed = kFirstNumeric + kNumericCount,
    kFitArgCount
};

const std::array<const char*, kFitArgCount>& fit_arg_names() {
    static const auto names = [] {
        std::array<const char*, kFitArgCount> n{"frequencies", "impedances", "guess_init", "weights", "weight",
                                                "method"};
        for (std::size_t i = 0; i < kNumericCount; ++i) n[kFirstNumeric + i] = kNumericOptions[i].name;
        n[kSeed] = "seed";
        return n;
    }();
    return names;
}

}  // namespace

PyObject* circuit_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[kFitArgCount];
    if (!bind_args("fit", args, nargs, kwnames, fit_arg_names().data(), kFitArgCount, 1, a)) return nullptr;

    std::optional<bool> guess_init;
    if (a[kGuessInit] && a[kGuessInit] != Py_None) {
        bool b;
        if (!to_bool(a[kGuessInit], b)) return nullptr;
        guess_init = b;
    }
    std::optional<std::string> path;
    if (a[kWeights] && a[kWeights] != Py_None) {
        std::string p;
        if (!to_str_arg(a[kWeights], "weights", p)) return nullptr;
        path = std::move(p);
    }
    std::string weight = "modulus";
    if (a[kWeight] && !to_str_arg(a[kWeight], "weight", weight)) return nullptr;
    FitRequest req;
    std::string method_name = "levenberg_marquardt";
    if (a[kMethod] && !to_str_arg(a[kMethod], "method", method_name)) return nullptr;
    const std::optional<FitMethod> method = parse_fit_method(method_name);
    for (std::size_t i = 0; i < kNumericCount; ++i)
        if (PyObject* o = a[kFirstNumeric + i]; o && !read_numeric(o, kNumericOptions[i], req)) return nullptr;
    if (a[kSeed] && a[kSeed] != Py_None) {
        std::uint64_t s;
        if (!to_u64(a[kSeed], "seed", ~0ull, s)) return nullptr;
        req.seed = s;
    }

    SpectrumData data;
    if (!spectrum(a[kFrequencies], a[kImpedances] == Py_None ? nullptr : a[kImpedances], data)) return nullptr;
    const auto weighting = parse_weighting(weight);
    if (!weighting) {
        set_error(PyExc_ValueError, weighting_error(weight));
        return nullptr;
    }

    const CircuitModel& m = *reinterpret_cast<CircuitObject*>(self)->model;
    const bool guess = guess_init.value_or(false) || (!guess_init && (path || !m.explicit_values));
    // Whether to start from a learned guess, and from which weights; decided
    // here, where a warning can be raised.
    bool learn = false;
    if (path) {
        learn = guess;
    } else if (guess) {
        const bool found = find_for_topology(m.tree).has_value();
        if (guess_init.value_or(false) || found) {
            learn = true;
        } else {
            const std::string msg =
                "There is no ML model to guess initial parameters for this circuit. Supply your own with "
                "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to "
                "silence this. Models available for " +
                quoted_model_names();
            if (PyErr_WarnEx(PyExc_UserWarning, msg.c_str(), 1) < 0) return nullptr;
        }
    }
    req.frequencies = data.f;
    req.impedances = data.z;
    req.weighting = *weighting;
    // Reported here, after the spectrum and the starting values, as always.
    if (!method) {
        set_error(PyExc_ValueError, FitError{FitError::Kind::UnknownMethod, method_name}.message());
        return nullptr;
    }
    req.method = *method;

    // The guess and the fit are pure numeric work on immutable data, done in
    // one stretch without the interpreter lock so that fits from several
    // threads overlap.
    std::variant<std::vector<double>, GuessError> learned;
    FitResult result;
    run_without_lock([&](const Cancellation& cancel) {
        req.cancel = &cancel;
        if (learn) learned = guess_params(m.tree, data.f, data.z, path);
        if (const auto* start = learn ? std::get_if<std::vector<double>>(&learned) : nullptr) {
            const SeriesList start_tree = rebuild(m.tree, *start);
            req.circuit = &start_tree;
            result = run_fit(req);
        } else if (!learn) {
            req.circuit = &m.tree;
            result = run_fit(req);
        }
    });
    if (const auto* e = learn ? std::get_if<GuessError>(&learned) : nullptr) {
        set_error(PyExc_ValueError, e->message());
        return nullptr;
    }
    // Ctrl-C (or a signal handler that raised) stopped the fit: its
    // exception is already pending.
    if (PyErr_Occurred()) return nullptr;
    if (auto* e = std::get_if<FitError>(&result)) {
        set_error(PyExc_ValueError, e->message());
        return nullptr;
    }
    return make_result(std::get<FitOutcome>(std::move(result)));
}

}  // namespace zetrion::py
