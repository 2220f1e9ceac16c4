// The numeric options of a fit, shared by Circuit.fit and the companion's
// engine so that both accept the same names with the same conversions.
#pragma once

#include "python/pyref.hpp"

#include <cstdint>
#include <iterator>
#include <variant>

#include "fit/driver.hpp"
#include "python/convert.hpp"

namespace zetrion::py {

inline bool to_u64(PyObject* o, const char* name, std::uint64_t max, std::uint64_t& out) {
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

inline bool to_f64(PyObject* o, const char* name, double& out) {
    out = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) return arg_error(name);
    return true;
}

// The numeric options of Circuit.fit, each bound by name to its field of the
// request, in the order of the signature.
struct NumericOption {
    const char* name;
    std::variant<std::uint32_t FitRequest::*, std::uint64_t FitRequest::*, double FitRequest::*> field;
};

inline constexpr NumericOption kNumericOptions[] = {
    {"max_iterations", &FitRequest::max_iterations},
    {"ftol", &FitRequest::ftol},
    {"xtol", &FitRequest::xtol},
    {"num_particles", &FitRequest::num_particles},
    {"generations", &FitRequest::generations},
    {"nelder_mead_iterations", &FitRequest::nelder_mead_iterations},
    {"de_evaluations", &FitRequest::de_evaluations},
    {"sa_iterations", &FitRequest::sa_iterations},
    {"sa_initial_temperature", &FitRequest::sa_initial_temperature},
    {"basin_hopping_hops", &FitRequest::basin_hopping_hops},
    {"basin_hopping_step_size", &FitRequest::basin_hopping_step_size},
    {"basin_hopping_temperature", &FitRequest::basin_hopping_temperature},
};
inline constexpr std::size_t kNumericCount = std::size(kNumericOptions);

inline bool read_numeric(PyObject* o, const NumericOption& opt, FitRequest& req) {
    constexpr std::uint64_t kU32 = 0xFFFFFFFFull, kU64 = ~0ull;
    std::uint64_t u = 0;
    if (auto* f = std::get_if<double FitRequest::*>(&opt.field)) return to_f64(o, opt.name, req.*(*f));
    if (auto* f = std::get_if<std::uint32_t FitRequest::*>(&opt.field)) {
        if (!to_u64(o, opt.name, kU32, u)) return false;
        req.*(*f) = static_cast<std::uint32_t>(u);
        return true;
    }
    return to_u64(o, opt.name, kU64, req.*std::get<std::uint64_t FitRequest::*>(opt.field));
}

}  // namespace zetrion::py
