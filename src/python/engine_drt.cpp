// The distribution of relaxation times through the companion's engine:
// one spectrum in, plain data (a dict of lists) out; the work runs without
// the interpreter lock so that threads can run spectra side by side.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "drt/drt.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/engine.hpp"
#include "python/spectrum.hpp"

namespace zetrion::py {
namespace {

enum DrtArg : std::size_t {
    kF, kZ, kBasis, kFwhm, kShape, kDerivative, kData, kInductance, kSigned, kRule, kLambda,
    kLambdaMin, kLambdaMax, kWeighting, kPerDecade, kExtension, kNoiseFloor, kDensity, kCentreShift, kAdaptIterations, kAdaptFloor, kAdaptScale, kDrtArgCount
};

const char* const kDrtNames[kDrtArgCount] = {
    "frequencies", "impedances", "basis", "fwhm_coeff", "shape_factor", "derivative", "data", "inductance",
    "signed", "rule", "lam", "lambda_min", "lambda_max", "weighting", "fine_per_decade", "fine_extension",
    "noise_floor", "density", "centre_shift", "adapt_iterations", "adapt_floor", "adapt_scale"};

bool read_double(PyObject* o, const char* name, double& out) {
    if (!o) return true;
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return arg_error(name);
    out = v;
    return true;
}

bool read_bool(PyObject* o, bool& out) {
    if (!o) return true;
    const int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    out = t == 1;
    return true;
}

template <class T>
bool read_name(PyObject* o, const char* name, std::optional<T> (*parse)(std::string_view), T& out) {
    if (!o) return true;
    std::string s;
    if (!extract_str(o, s)) return arg_error(name);
    const auto v = parse(s);
    if (!v) {
        raise_engine_error("arguments", std::string("unknown ") + name + " \"" + s + "\"");
        return false;
    }
    out = *v;
    return true;
}

bool read_settings(PyObject* const* a, drt::Settings& s) {
    double derivative = s.derivative, per_decade = static_cast<double>(s.fine_per_decade), density = 1;
    double adapt = s.adapt_iterations;
    if (!read_name(a[kBasis], "basis", drt::parse_basis, s.basis) || !read_double(a[kFwhm], "fwhm_coeff", s.fwhm_coeff) ||
        !read_double(a[kDerivative], "derivative", derivative) ||
        !read_name(a[kData], "data", drt::parse_data_part, s.data) || !read_bool(a[kInductance], s.inductance) ||
        !read_bool(a[kSigned], s.signed_drt) || !read_name(a[kRule], "rule", drt::parse_lambda_rule, s.rule) ||
        !read_double(a[kLambda], "lam", s.lambda) || !read_double(a[kLambdaMin], "lambda_min", s.lambda_min) ||
        !read_double(a[kLambdaMax], "lambda_max", s.lambda_max) ||
        !read_name(a[kWeighting], "weighting", drt::parse_weighting, s.weighting) ||
        !read_double(a[kPerDecade], "fine_per_decade", per_decade) ||
        !read_double(a[kExtension], "fine_extension", s.fine_extension) ||
        !read_double(a[kNoiseFloor], "noise_floor", s.noise_floor) || !read_double(a[kDensity], "density", density) ||
        !read_double(a[kCentreShift], "centre_shift", s.centre_shift) ||
        !read_double(a[kAdaptIterations], "adapt_iterations", adapt) ||
        !read_double(a[kAdaptFloor], "adapt_floor", s.adapt_floor) ||
        !read_double(a[kAdaptScale], "adapt_scale", s.adapt_scale))
        return false;
    if (a[kShape] && a[kShape] != Py_None) {
        double v = 0;
        if (!read_double(a[kShape], "shape_factor", v)) return false;
        s.shape_factor = v;
    }
    s.derivative = derivative == 1.0 ? 1 : derivative == 2.0 ? 2 : 0;
    s.density = density >= 1 && density <= 8 && density == std::floor(density) ? static_cast<std::size_t>(density) : 0;
    s.adapt_iterations = adapt >= 0 && adapt <= 20 && adapt == std::floor(adapt) ? static_cast<int>(adapt) : -1;
    s.fine_per_decade = per_decade >= 1 && per_decade <= 10000 ? static_cast<std::size_t>(per_decade) : 0;
    return true;
}

PyObject* doubles(const std::vector<double>& v) { return raw_bytes(v.data(), v.size() * sizeof(double)); }

// The arrays as native-order bytes (numpy.frombuffer), the rest as values.
PyObject* result_dict(const drt::Result& r) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const std::string_view rule = drt::lambda_rule_name(r.rule);
    const bool ok = put_item(d.get(), "tau", doubles(r.tau)) && put_item(d.get(), "coeffs", doubles(r.coeffs)) &&
                    put_item(d.get(), "epsilon", PyFloat_FromDouble(r.epsilon)) &&
                    put_item(d.get(), "r_inf", PyFloat_FromDouble(r.r_inf)) &&
                    put_item(d.get(), "inductance", PyFloat_FromDouble(r.inductance)) &&
                    put_item(d.get(), "tau_fine", doubles(r.tau_fine)) && put_item(d.get(), "gamma_fine", doubles(r.gamma_fine)) &&
                    put_item(d.get(), "z_fit", raw_bytes(r.z_fit.data(), r.z_fit.size() * sizeof(Cx))) && put_item(d.get(), "lambda", PyFloat_FromDouble(r.lambda)) &&
                    put_item(d.get(), "rule_lambda", PyFloat_FromDouble(r.rule_lambda)) &&
                    put_item(d.get(), "rule", PyUnicode_FromStringAndSize(rule.data(), static_cast<Py_ssize_t>(rule.size()))) &&
                    put_item(d.get(), "score", PyFloat_FromDouble(r.score)) &&
                    put_item(d.get(), "lambda_grid", doubles(r.lambda_grid)) &&
                    put_item(d.get(), "score_grid", doubles(r.score_grid)) &&
                    put_item(d.get(), "polarisation", PyFloat_FromDouble(r.polarisation)) &&
                    put_item(d.get(), "iterations", PyLong_FromSize_t(r.nnls_iterations));
    return ok ? d.release() : nullptr;
}

}  // namespace

PyObject* engine_drt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[kDrtArgCount];
    if (!bind_args("drt", args, nargs, kwnames, kDrtNames, kDrtArgCount, 2, a)) return nullptr;
    drt::Settings s;
    if (!read_settings(a, s)) return nullptr;
    SpectrumData data;
    if (!spectrum(a[kF], a[kZ], data)) return nullptr;
    std::optional<drt::Result> r;
    drt::Error err;
    {
        ReleaseGil nogil;
        r = drt::compute(data.f, data.z, s, err);
    }
    if (!r) return raise_engine_error("drt", err.message);
    return result_dict(*r);
}

// gamma at given tau from a result's basis, shape factor, centres and coefficients.
PyObject* engine_drt_gamma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"basis", "epsilon", "tau", "coeffs", "tau_out"};
    PyObject* a[5];
    if (!bind_args("drt_gamma", args, nargs, kwnames, names, 5, 5, a)) return nullptr;
    drt::Basis b = drt::Basis::Gaussian;
    double eps = 0;
    std::vector<double> tau, coeffs, out;
    if (!read_name(a[0], "basis", drt::parse_basis, b) || !read_double(a[1], "epsilon", eps)) return nullptr;
    if (!extract_f64_seq(a[2], tau)) return arg_error("tau"), nullptr;
    if (!extract_f64_seq(a[3], coeffs)) return arg_error("coeffs"), nullptr;
    if (!extract_f64_seq(a[4], out)) return arg_error("tau_out"), nullptr;
    if (tau.size() != coeffs.size()) return raise_engine_error("arguments", "tau and coeffs differ in length");
    for (double t : tau)
        if (!(t > 0)) return raise_engine_error("arguments", "tau must be > 0");
    for (double t : out)
        if (!(t > 0)) return raise_engine_error("arguments", "tau_out must be > 0");
    return float_list(drt::gamma_at(b, eps, tau, coeffs, out));
}

}  // namespace zetrion::py
