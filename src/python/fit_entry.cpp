// Circuit.fit and FitResult: argument conversion, the choice of starting
// values (learned guess, the circuit's own values, or defaults with a
// warning), the driver run without the interpreter lock, and the result.
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/text.hpp"
#include "fit/driver.hpp"
#include "models/registry.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
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

bool to_u64(PyObject* o, const char* name, std::uint64_t max, std::uint64_t& out) {
    Ref index(PyNumber_Index(o));
    if (!index) return arg_error(name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return arg_error(name);
    if (v > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = v;
    return true;
}

bool to_f64(PyObject* o, const char* name, double& out) {
    out = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) return arg_error(name);
    return true;
}

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

std::string six_digit_scientific(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6e", x);
    std::string s(buf);
    const std::size_t e = s.find('e');
    std::string mant = s.substr(0, e), exp = s.substr(e + 1);
    bool neg = exp[0] == '-';
    std::size_t i = (exp[0] == '-' || exp[0] == '+') ? 1 : 0;
    while (i + 1 < exp.size() && exp[i] == '0') ++i;
    return mant + "e" + (neg ? "-" : "") + exp.substr(i);
}

PyObject* fit_result_repr(PyObject* self) {
    const FitResultData& d = data_of(self);
    std::string s = "FitResult(success=";
    s += d.success ? "true" : "false";
    s += ", iterations=" + std::to_string(d.iterations);
    s += ", impedance_evals=" + std::to_string(d.impedance_evals);
    s += ", chi_square=" + six_digit_scientific(d.chi_square);
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
    {"circuit", get_circuit, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {"stderr", get_stderr, nullptr, nullptr, nullptr},
    {"success", get_success, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"impedance_evals", get_evals, nullptr, nullptr, nullptr},
    {"cost", get_cost, nullptr, nullptr, nullptr},
    {"chi_square", get_chi_square, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fit_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fit_result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(fit_result_repr)},
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
    fit_result_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &fit_result_spec, nullptr));
    return fit_result_type;
}

PyObject* circuit_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"frequencies",
                                        "impedances",
                                        "guess_init",
                                        "weights",
                                        "weight",
                                        "method",
                                        "max_iterations",
                                        "ftol",
                                        "xtol",
                                        "num_particles",
                                        "generations",
                                        "nelder_mead_iterations",
                                        "de_evaluations",
                                        "sa_iterations",
                                        "sa_initial_temperature",
                                        "basin_hopping_hops",
                                        "basin_hopping_step_size",
                                        "basin_hopping_temperature",
                                        "seed"};
    PyObject* a[19];
    if (!bind_args("fit", args, nargs, kwnames, names, 19, 1, a)) return nullptr;
    constexpr std::uint64_t kU32 = 0xFFFFFFFFull, kU64 = ~0ull;

    std::optional<bool> guess_init;
    if (a[2] && a[2] != Py_None) {
        bool b;
        if (!to_bool(a[2], b)) return nullptr;
        guess_init = b;
    }
    std::optional<std::string> path;
    if (a[3] && a[3] != Py_None) {
        std::string p;
        if (!to_str_arg(a[3], "weights", p)) return nullptr;
        path = std::move(p);
    }
    std::string weight = "modulus";
    if (a[4] && !to_str_arg(a[4], "weight", weight)) return nullptr;
    FitRequest req;
    if (a[5] && !to_str_arg(a[5], "method", req.method)) return nullptr;
    std::uint64_t u = 0;
    if (a[6]) {
        if (!to_u64(a[6], "max_iterations", kU32, u)) return nullptr;
        req.max_iterations = static_cast<std::uint32_t>(u);
    }
    if (a[7] && !to_f64(a[7], "ftol", req.ftol)) return nullptr;
    if (a[8] && !to_f64(a[8], "xtol", req.xtol)) return nullptr;
    if (a[9] && !to_u64(a[9], "num_particles", kU64, req.num_particles)) return nullptr;
    if (a[10] && !to_u64(a[10], "generations", kU64, req.generations)) return nullptr;
    if (a[11] && !to_u64(a[11], "nelder_mead_iterations", kU64, req.nelder_mead_iterations)) return nullptr;
    if (a[12] && !to_u64(a[12], "de_evaluations", kU64, req.de_evaluations)) return nullptr;
    if (a[13] && !to_u64(a[13], "sa_iterations", kU64, req.sa_iterations)) return nullptr;
    if (a[14] && !to_f64(a[14], "sa_initial_temperature", req.sa_initial_temperature)) return nullptr;
    if (a[15]) {
        if (!to_u64(a[15], "basin_hopping_hops", kU32, u)) return nullptr;
        req.basin_hopping_hops = static_cast<std::uint32_t>(u);
    }
    if (a[16] && !to_f64(a[16], "basin_hopping_step_size", req.basin_hopping_step_size)) return nullptr;
    if (a[17] && !to_f64(a[17], "basin_hopping_temperature", req.basin_hopping_temperature)) return nullptr;
    if (a[18] && a[18] != Py_None) {
        std::uint64_t s;
        if (!to_u64(a[18], "seed", kU64, s)) return nullptr;
        req.seed = s;
    }

    SpectrumData data;
    if (!spectrum(a[0], a[1] == Py_None ? nullptr : a[1], data)) return nullptr;
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

    // The guess and the fit are pure numeric work on immutable data, done in
    // one stretch without the interpreter lock so that fits from several
    // threads overlap.
    std::variant<std::vector<double>, std::string> learned;
    FitResult result;
    {
        ReleaseGil nogil;
        if (learn) learned = guess_params(m.tree, data.f, data.z, path);
        if (const auto* start = learn ? std::get_if<std::vector<double>>(&learned) : nullptr) {
            const SeriesList start_tree = rebuild(m.tree, *start);
            req.circuit = &start_tree;
            result = run_fit(req);
        } else if (!learn) {
            req.circuit = &m.tree;
            result = run_fit(req);
        }
    }
    if (const auto* msg = learn ? std::get_if<std::string>(&learned) : nullptr) {
        set_error(PyExc_ValueError, *msg);
        return nullptr;
    }
    if (auto* e = std::get_if<FitError>(&result)) {
        set_error(PyExc_ValueError, e->message());
        return nullptr;
    }
    return make_result(std::get<FitOutcome>(std::move(result)));
}

}  // namespace zetrion::py
