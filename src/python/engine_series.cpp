// The companion's global fit of a series: one circuit, many spectra, some
// parameters shared across them, solved as one least-squares problem.
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "circuit/params.hpp"
#include "fit/shared_fit.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/engine.hpp"
#include "python/fit_options.hpp"
#include "python/signals.hpp"
#include "python/spectrum.hpp"

namespace zetrion::py {
namespace {

enum Arg : std::size_t {
    kCircuit,
    kSpectra,
    kStarts,
    kShared,
    kHeld,
    kLower,
    kUpper,
    kWeight,
    kPointWeights,
    kMaxIterations,
    kFtol,
    kXtol,
    kGtol,
    kArgCount
};

constexpr std::array<const char*, kArgCount> kNames{"circuit", "spectra",   "starts", "shared",
                                                     "held",    "lower",     "upper",  "weight",
                                                     "point_weights", "max_iterations", "ftol", "xtol",
                                                     "gtol"};

bool fail(const std::string& message) {
    raise_engine_error("arguments", message);
    return false;
}

// A sequence of Python objects, held as a fast sequence.
bool items(PyObject* o, const char* name, Ref& out) {
    if (!o || o == Py_None) return fail(std::string(name) + " is required");
    out = Ref(PySequence_Fast(o, (std::string(name) + " must be a sequence").c_str()));
    return static_cast<bool>(out);
}

// One flag per parameter from a sequence of numbers (nonzero: set).
bool flags(PyObject* o, const char* name, std::size_t n, std::vector<bool>& out) {
    if (!o || o == Py_None) return true;
    std::vector<double> v;
    if (!extract_f64_seq(o, v)) return arg_error(name);
    if (v.size() != n) return fail(std::string(name) + " must have one entry per parameter (" + std::to_string(n) + ")");
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = v[i] != 0.0;
    return true;
}

bool vectors(PyObject* o, const char* name, std::vector<std::vector<double>>& out) {
    Ref seq;
    if (!items(o, name, seq)) return false;
    const Py_ssize_t k = PySequence_Fast_GET_SIZE(seq.get());
    out.resize(static_cast<std::size_t>(k));
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (item == Py_None) continue;  // an empty vector
        if (!extract_f64_seq(item, out[static_cast<std::size_t>(i)])) return arg_error(name);
    }
    return true;
}

bool read_spectra(PyObject* o, std::vector<SpectrumData>& out) {
    Ref seq;
    if (!items(o, "spectra", seq)) return false;
    const Py_ssize_t k = PySequence_Fast_GET_SIZE(seq.get());
    out.resize(static_cast<std::size_t>(k));
    for (Py_ssize_t i = 0; i < k; ++i) {
        Ref pair(PySequence_Fast(PySequence_Fast_GET_ITEM(seq.get(), i), "each spectrum must be a pair (f, z)"));
        if (!pair) return false;
        if (PySequence_Fast_GET_SIZE(pair.get()) != 2) return fail("each spectrum must be a pair (f, z)");
        if (!spectrum(PySequence_Fast_GET_ITEM(pair.get(), 0), PySequence_Fast_GET_ITEM(pair.get(), 1),
                      out[static_cast<std::size_t>(i)]))
            return false;
    }
    return true;
}

bool read_limits(PyObject* const* a, const SeriesList& tree, std::size_t n, std::vector<Bounds>& out) {
    if ((!a[kLower] || a[kLower] == Py_None) && (!a[kUpper] || a[kUpper] == Py_None)) return true;
    std::vector<double> lo, hi;
    out = param_bounds(tree);
    if (a[kLower] && a[kLower] != Py_None && !extract_f64_seq(a[kLower], lo)) return arg_error("lower");
    if (a[kUpper] && a[kUpper] != Py_None && !extract_f64_seq(a[kUpper], hi)) return arg_error("upper");
    if ((!lo.empty() && lo.size() != n) || (!hi.empty() && hi.size() != n))
        return fail("lower and upper must have one value per parameter (" + std::to_string(n) + ")");
    for (std::size_t i = 0; i < n; ++i) {
        if (!lo.empty()) out[i].lo = lo[i];
        if (!hi.empty()) out[i].hi = hi[i];
    }
    return true;
}

bool read_numbers(PyObject* const* a, SharedFitRequest& req) {
    if (a[kMaxIterations] && a[kMaxIterations] != Py_None) {
        std::uint64_t v = 0;
        if (!to_u64(a[kMaxIterations], "max_iterations", 0xFFFFFFFFull, v)) return false;
        req.max_iterations = static_cast<std::uint32_t>(v);
    }
    const std::array<std::pair<std::size_t, double*>, 3> tols{
        {{kFtol, &req.ftol}, {kXtol, &req.xtol}, {kGtol, &req.gtol}}};
    for (const auto& [k, field] : tols)
        if (a[k] && a[k] != Py_None && !to_f64(a[k], kNames[k], *field)) return false;
    return true;
}

PyObject* outcome_dict(const SharedFitOutcome& o) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const bool ok = put_item(d.get(), "params", float_lists(o.params)) &&
                    put_item(d.get(), "stderr", float_lists(o.stderr_)) &&
                    put_item(d.get(), "chi_square", float_list(o.chi_square)) &&
                    put_item(d.get(), "total_chi_square", PyFloat_FromDouble(o.total_chi_square)) &&
                    put_item(d.get(), "residuals", PyLong_FromSize_t(o.residuals)) &&
                    put_item(d.get(), "unknowns", PyLong_FromSize_t(o.unknowns)) &&
                    put_item(d.get(), "iterations", PyLong_FromUnsignedLongLong(o.iterations)) &&
                    put_item(d.get(), "impedance_evals", PyLong_FromUnsignedLongLong(o.evaluations)) &&
                    put_item(d.get(), "success", PyBool_FromLong(o.success)) &&
                    put_item(d.get(), "message", PyUnicode_FromString(o.stop.c_str()));
    return ok ? d.release() : nullptr;
}

}  // namespace

PyObject* engine_fit_shared(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[kArgCount];
    if (!bind_args("fit_shared", args, nargs, kwnames, kNames.data(), kArgCount, 3, a)) return nullptr;
    const CircuitModel* m = circuit_model(a[kCircuit]);
    if (!m) return nullptr;
    const std::size_t n = m->count;
    SharedFitRequest req;
    req.circuit = &m->tree;
    std::vector<SpectrumData> data;
    std::vector<std::vector<double>> point_weights;
    if (!read_spectra(a[kSpectra], data) || !vectors(a[kStarts], "starts", req.starts) ||
        !flags(a[kShared], "shared", n, req.shared) || !flags(a[kHeld], "held", n, req.held) ||
        !read_limits(a, m->tree, n, req.limits) || !read_numbers(a, req))
        return nullptr;
    if (a[kPointWeights] && a[kPointWeights] != Py_None) {
        if (!vectors(a[kPointWeights], "point_weights", point_weights)) return nullptr;
        if (point_weights.size() != data.size()) return raise_engine_error("arguments", "point_weights must have one entry per spectrum");
    }
    std::string weight = "modulus";
    if (a[kWeight] && a[kWeight] != Py_None && !extract_str(a[kWeight], weight)) {
        arg_error("weight");
        return nullptr;
    }
    const auto weighting = parse_weighting(weight);
    if (!weighting) return raise_engine_error("weight", weighting_error(weight));
    req.weighting = *weighting;
    for (std::size_t i = 0; i < data.size(); ++i)
        req.spectra.push_back({data[i].f, data[i].z, point_weights.empty() ? std::vector<double>{} : point_weights[i]});

    SharedFitResult result;
    run_without_lock([&](const Cancellation& cancel) {
        req.cancel = &cancel;
        result = run_shared_fit(req);
    });
    if (PyErr_Occurred()) return nullptr;  // Ctrl-C stopped the fit
    if (const auto* e = std::get_if<FitError>(&result)) {
        if (e->kind == FitError::Kind::InvalidLimits) return raise_engine_error("limits", e->message());
        return raise_fit_error(*e);
    }
    return outcome_dict(std::get<SharedFitOutcome>(result));
}

}  // namespace zetrion::py
