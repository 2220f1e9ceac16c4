// The companion's fit: the same driver as Circuit.fit, with held parameters,
// narrower ranges, per-point weights and further starting points, returning
// plain data (a dict) for the companion to wrap.
#include <algorithm>
#include <array>
#include <cmath>
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
#include "python/engine.hpp"
#include "python/fit_options.hpp"
#include "python/signals.hpp"
#include "python/spectrum.hpp"

namespace zetrion::py {
namespace {

// Positions of the arguments: Circuit.fit's own (the same names, read the
// same way), then the engine's.
enum Arg : std::size_t {
    kCircuit,
    kFrequencies,
    kImpedances,
    kGuessInit,
    kWeights,
    kWeight,
    kMethod,
    kFirstNumeric,
    kSeed = kFirstNumeric + kNumericCount,
    kStart,
    kFixed,
    kLower,
    kUpper,
    kPointWeights,
    kExtraStarts,
    kScreen,
    kPolish,
    kArgCount
};

const char* const* arg_names() {
    static const auto names = [] {
        std::array<const char*, kArgCount> n{"circuit", "frequencies", "impedances", "guess_init",
                                             "weights", "weight",      "method"};
        for (std::size_t i = 0; i < kNumericCount; ++i) n[kFirstNumeric + i] = kNumericOptions[i].name;
        n[kSeed] = "seed";
        n[kStart] = "start";
        n[kFixed] = "fixed";
        n[kLower] = "lower";
        n[kUpper] = "upper";
        n[kPointWeights] = "point_weights";
        n[kExtraStarts] = "extra_starts";
        n[kScreen] = "screen";
        n[kPolish] = "polish";
        return n;
    }();
    return names.data();
}

// A per-parameter vector, or nothing for None/absent; `n` values required.
bool optional_vector(PyObject* o, const char* name, std::size_t n, std::optional<std::vector<double>>& out) {
    if (!o || o == Py_None) return true;
    std::vector<double> v;
    if (!extract_f64_seq(o, v)) return arg_error(name);
    if (v.size() != n) {
        raise_engine_error("arguments", std::string(name) + " must have one value per parameter (" +
                                            std::to_string(n) + ")");
        return false;
    }
    out = std::move(v);
    return true;
}

struct Options {
    std::optional<std::vector<double>> start, fixed, lower, upper;
    std::optional<bool> guess_init;
    std::optional<std::string> weights_path;
    std::string weight = "modulus";
    std::string method = "levenberg_marquardt";
    std::vector<double> point_weights;
    std::vector<std::vector<double>> extra_starts;
    std::uint32_t screen = 0;  // > 0: screen the starts with runs of this patience
    std::size_t polish = 3;    // screened ends polished by the whole fit
};

bool read_extra_starts(PyObject* o, std::size_t n, std::vector<std::vector<double>>& out) {
    if (!o || o == Py_None) return true;
    Ref seq(PySequence_Fast(o, "extra_starts must be a sequence of starting vectors"));
    if (!seq) return false;
    const Py_ssize_t k = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < k; ++i) {
        std::optional<std::vector<double>> v;
        if (!optional_vector(PySequence_Fast_GET_ITEM(seq.get(), i), "extra_starts", n, v)) return false;
        if (v) out.push_back(std::move(*v));
    }
    return true;
}

bool read_options(PyObject* const* a, std::size_t n, Options& opt, FitRequest& req) {
    if (!optional_vector(a[kStart], "start", n, opt.start) || !optional_vector(a[kFixed], "fixed", n, opt.fixed) ||
        !optional_vector(a[kLower], "lower", n, opt.lower) || !optional_vector(a[kUpper], "upper", n, opt.upper))
        return false;
    if (a[kGuessInit] && a[kGuessInit] != Py_None) {
        const int t = PyObject_IsTrue(a[kGuessInit]);
        if (t < 0) return false;
        opt.guess_init = t == 1;
    }
    if (a[kWeights] && a[kWeights] != Py_None) {
        std::string p;
        if (!extract_str(a[kWeights], p)) return arg_error("weights");
        opt.weights_path = std::move(p);
    }
    if (a[kWeight] && !extract_str(a[kWeight], opt.weight)) return arg_error("weight");
    if (a[kMethod] && !extract_str(a[kMethod], opt.method)) return arg_error("method");
    for (std::size_t i = 0; i < kNumericCount; ++i)
        if (PyObject* o = a[kFirstNumeric + i]; o && !read_numeric(o, kNumericOptions[i], req)) return false;
    if (a[kSeed] && a[kSeed] != Py_None) {
        std::uint64_t seed = 0;
        if (!to_u64(a[kSeed], "seed", ~0ull, seed)) return false;
        req.seed = seed;
    }
    if (a[kPointWeights] && a[kPointWeights] != Py_None && !extract_f64_seq(a[kPointWeights], opt.point_weights))
        return arg_error("point_weights");
    if (a[kScreen] && a[kScreen] != Py_None) {
        std::uint64_t p = 0;
        if (!to_u64(a[kScreen], "screen", 0xFFFFFFFFull, p)) return false;
        opt.screen = static_cast<std::uint32_t>(p);
    }
    if (a[kPolish] && a[kPolish] != Py_None) {
        std::uint64_t p = 0;
        if (!to_u64(a[kPolish], "polish", 1000, p)) return false;
        if (p == 0) {
            raise_engine_error("arguments", "polish must be at least 1");
            return false;
        }
        opt.polish = static_cast<std::size_t>(p);
    }
    return read_extra_starts(a[kExtraStarts], n, opt.extra_starts);
}

// Where the fit starts: the rule of Circuit.fit (a learned guess for a
// circuit never given values, when a model exists), then the caller's values
// over it and the held values over those.
enum class Source { Guess, Circuit, Given };

const char* source_name(Source s) {
    switch (s) {
        case Source::Guess: return "learned guess";
        case Source::Circuit: return "circuit values";
        case Source::Given: return "given values";
    }
    return "";
}

struct Plan {
    bool learn = false;
    bool no_model = false;  // a guess was wanted but no model exists
};

Plan plan_start(const CircuitModel& m, const Options& opt) {
    Plan p;
    if (opt.start && std::none_of(opt.start->begin(), opt.start->end(), [](double v) { return std::isnan(v); }))
        return p;  // every value given
    const bool guess = opt.guess_init.value_or(false) || (!opt.guess_init && (opt.weights_path || !m.explicit_values));
    if (!guess) return p;
    if (opt.weights_path || opt.guess_init.value_or(false) || find_for_topology(m.tree)) p.learn = true;
    else p.no_model = true;
    return p;
}

PyObject* optional_list(const std::optional<std::vector<double>>& v) {
    if (!v) Py_RETURN_NONE;
    return float_list(*v);
}

struct Report {
    FitOutcome outcome;
    std::vector<double> start;
    Source source;
    bool no_model;
    std::size_t winner, tried;
    std::vector<double> residuals;
    std::vector<Cx> z_fit;
    double streak = 0.0;
};

PyObject* report_dict(const Report& r) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const FitOutcome& o = r.outcome;
    const bool ok = put_item(d.get(), "params", float_list(o.params)) && put_item(d.get(), "stderr", optional_list(o.stderr_)) &&
                    put_item(d.get(), "covariance", optional_list(o.covariance)) &&
                    put_item(d.get(), "cost", PyFloat_FromDouble(o.cost)) &&
                    put_item(d.get(), "chi_square", PyFloat_FromDouble(o.chi_square)) &&
                    put_item(d.get(), "success", PyBool_FromLong(o.success)) &&
                    put_item(d.get(), "iterations", PyLong_FromUnsignedLongLong(o.iterations)) &&
                    put_item(d.get(), "impedance_evals", PyLong_FromUnsignedLongLong(o.impedance_evals)) &&
                    put_item(d.get(), "start", float_list(r.start)) &&
                    put_item(d.get(), "start_source", PyUnicode_FromString(source_name(r.source))) &&
                    put_item(d.get(), "no_model", PyBool_FromLong(r.no_model)) &&
                    put_item(d.get(), "winner", PyLong_FromSize_t(r.winner)) &&
                    put_item(d.get(), "tried", PyLong_FromSize_t(r.tried)) &&
                    put_item(d.get(), "residuals", raw_bytes(r.residuals.data(), r.residuals.size() * sizeof(double))) &&
                    put_item(d.get(), "undetermined", float_lists(o.undetermined)) &&
                    put_item(d.get(), "z_fit", raw_bytes(r.z_fit.data(), r.z_fit.size() * sizeof(Cx))) &&
                    put_item(d.get(), "streak", PyFloat_FromDouble(r.streak));
    return ok ? d.release() : nullptr;
}

// How the residuals run: the lag-one autocorrelation of the real parts and
// of the imaginary parts in order of frequency, averaged (0 when they are all
// zero). Noise gives about 0; a fit that misses whole stretches of the
// spectrum, streaks of one sign and a value near 1.
double streak(const std::vector<double>& r, std::span<const double> f) {
    const std::size_t n = f.size();
    if (r.size() != 2 * n || n < 3) return 0.0;
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return f[a] < f[b]; });
    double total = 0.0;
    for (std::size_t part = 0; part < 2; ++part) {
        double energy = 0.0, lag = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            const double v = r[2 * order[k] + part];
            energy += v * v;
            if (k > 0) lag += v * r[2 * order[k - 1] + part];
        }
        total += energy > 0.0 ? lag / energy : 0.0;
    }
    return 0.5 * total;
}

// The weighted residuals at the outcome, [re0, im0, re1, ...], evaluated as
// Circuit.residuals evaluates them (each power computed afresh).
std::vector<double> residuals_at(const FitOutcome& o, const FitRequest& req) {
    FitData d(o.circuit, req.frequencies, req.impedances, req.weighting);
    if (!req.point_weights.empty() && req.point_weights.size() == d.weights.size()) d.weights = req.point_weights;
    if (req.point_weights_im.size() == d.weights.size()) d.weights_im = req.point_weights_im;
    std::vector<double> r(d.residual_count());
    EvalCounter counter{0};
    residuals(d.tree, o.params, Spectrum{d.omega, d.z, d.weights, {}, d.weights_im}, counter, r.data());
    return r;
}

}  // namespace

PyObject* engine_fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[kArgCount];
    if (!bind_args("fit", args, nargs, kwnames, arg_names(), kArgCount, 3, a)) return nullptr;
    const CircuitModel* m = circuit_model(a[kCircuit]);
    if (!m) return nullptr;
    const std::size_t n = m->count;
    Options opt;
    FitRequest req;
    if (!read_options(a, n, opt, req)) return nullptr;
    SpectrumData data;
    if (!spectrum(a[kFrequencies], a[kImpedances], data)) return nullptr;
    auto weighting = parse_weighting(opt.weight);
    if (auto own = weighting ? std::nullopt : engine_weights(data.z, opt.weight)) {
        weighting = Weighting::Unit;  // the weights below replace it
        if (opt.point_weights.empty()) {
            opt.point_weights = std::move(own->first);
            req.point_weights_im = std::move(own->second);
        }
    }
    if (!weighting) {
        // every name the engine takes, listed as weighting_error lists Circuit.fit's
        std::string message = "unknown weight scheme " + quoted(opt.weight) + ", expected ";
        for (const auto& entry : kWeightings) message += quoted(entry.second) + ", ";
        message += quoted(kEngineWeightings[0]) + " or " + quoted(kEngineWeightings[1]);
        return raise_engine_error("weight", message);
    }
    const auto method = parse_fit_method(opt.method);
    if (!method) return raise_engine_error("method", FitError{FitError::Kind::UnknownMethod, opt.method}.message());
    req.method = *method;
    req.weighting = *weighting;
    req.frequencies = data.f;
    req.impedances = data.z;
    req.point_weights = std::move(opt.point_weights);
    req.diagnose = true;
    if (opt.lower || opt.upper) {
        const std::vector<Bounds> own = param_bounds(m->tree);
        req.limits = own;
        for (std::size_t i = 0; i < n; ++i) {
            if (opt.lower) req.limits[i].lo = (*opt.lower)[i];
            if (opt.upper) req.limits[i].hi = (*opt.upper)[i];
        }
    }
    if (opt.fixed) {
        req.held.assign(n, false);
        for (std::size_t i = 0; i < n; ++i) req.held[i] = !std::isnan((*opt.fixed)[i]);
    }
    const Plan plan = plan_start(*m, opt);

    std::variant<std::vector<double>, GuessError> learned;
    BestOfStarts best;
    Report report;
    report.no_model = plan.no_model;
    run_without_lock([&](const Cancellation& cancel) {
        req.cancel = &cancel;
        std::vector<double> start = param_values(m->tree);
        report.source = Source::Circuit;
        if (plan.learn) learned = guess_params(m->tree, data.f, data.z, opt.weights_path);
        if (const auto* g = plan.learn ? std::get_if<std::vector<double>>(&learned) : nullptr) {
            start = *g;
            report.source = Source::Guess;
        }
        if (!plan.learn || std::holds_alternative<std::vector<double>>(learned)) {
            if (opt.start) {
                bool all = true;
                for (std::size_t i = 0; i < n; ++i) {
                    if (!std::isnan((*opt.start)[i])) start[i] = (*opt.start)[i];
                    else all = false;
                }
                if (all) report.source = Source::Given;
            }
            if (opt.fixed)
                for (std::size_t i = 0; i < n; ++i)
                    if (req.held[i]) start[i] = (*opt.fixed)[i];
            std::vector<std::vector<double>> starts{start};
            for (auto& s : opt.extra_starts) starts.push_back(std::move(s));
            req.circuit = &m->tree;
            best = opt.screen > 0 ? run_fit_screened(req, starts, opt.screen, opt.polish) : run_fit_from_starts(req, starts);
            report.start = std::move(starts[std::min(best.winner, starts.size() - 1)]);
            // The held values apply to every start.
            for (std::size_t i = 0; i < n && i < req.held.size(); ++i)
                if (req.held[i]) report.start[i] = (*opt.fixed)[i];
            if (auto* o = std::get_if<FitOutcome>(&best.result)) {
                report.residuals = residuals_at(*o, req);
                report.streak = streak(report.residuals, data.f);
                report.z_fit.resize(data.f.size());
                sweep_serial(o->circuit, data.f, report.z_fit.data());
            }
        }
    });
    if (const auto* e = plan.learn ? std::get_if<GuessError>(&learned) : nullptr)
        return raise_engine_error("guess", e->message());
    if (PyErr_Occurred()) return nullptr;  // Ctrl-C stopped the fit
    if (auto* e = std::get_if<FitError>(&best.result)) return raise_fit_error(*e);
    report.outcome = std::get<FitOutcome>(std::move(best.result));
    report.winner = best.winner;
    report.tried = best.tried;
    return report_dict(report);
}

}  // namespace zetrion::py
