// Levenberg-Marquardt least squares, after MINPACK's lmder (More, Garbow and
// Hillstrom, Argonne National Laboratory, 1980; J. J. More, "The
// Levenberg-Marquardt algorithm: implementation and theory", 1978): a scaled
// trust region, QR factorisation with column pivoting (qrfac), the
// Levenberg-Marquardt parameter by the lmpar iteration with qrsolv, and the
// overflow-safe Euclidean norm (enorm). Column scaling is MINPACK's mode 1
// (diag = running maximum of the Jacobian column norms).
//
// Beyond MINPACK, a run stops unsuccessfully when the starting residuals, a
// Jacobian, the step norm or the predicted reduction is not finite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fit/cancel.hpp"

namespace zetrion {

struct LmSettings {
    double ftol = 1e-8;
    double xtol = 1e-8;
    double gtol = 1e-8;
    std::uint32_t patience = 200;  // budget: max(patience, 1) * (n + 1) residual evaluations
    double factor = 100.0;         // initial step bound factor
    const Cancellation* cancel = nullptr;  // asked once per iteration; a stop ends the run
    // The cheaper Jacobian of SplitJacobian: for short screening runs, never
    // for a whole fit, whose result stays the same on every path.
    bool split_jacobian = false;
};

enum class LmStop {
    ResidualsZero,
    Orthogonal,       // gtol: residuals orthogonal to the Jacobian columns
    Ftol,             // relative reduction of the sum of squares at most ftol
    Xtol,             // relative change of x at most xtol
    FtolAndXtol,
    LostPatience,     // evaluation budget spent
    NoImprovementFtol,  // ftol below machine precision
    NoImprovementXtol,
    NoImprovementGtol,
    NonFinite,
};

inline bool lm_success(LmStop s) {
    return s == LmStop::ResidualsZero || s == LmStop::Orthogonal || s == LmStop::Ftol || s == LmStop::Xtol ||
           s == LmStop::FtolAndXtol;
}

// The problem as the solver sees it: m residuals of n unknowns.
class LmFunction {
public:
    virtual ~LmFunction() = default;
    virtual std::size_t residual_count() const = 0;
    virtual void residuals(std::span<const double> x, double* r) = 0;
    // Column-major m x n: jac[i + j * m] = d r_i / d x_j.
    virtual void jacobian(std::span<const double> x, double* jac) = 0;
};

struct LmReport {
    LmStop stop;
    std::size_t evaluations;  // residual evaluations, Jacobians not included
    std::size_t jacobians;
    bool success() const { return lm_success(stop); }
};

// Minimises 0.5 * |r(x)|^2 from x (updated in place to the final point).
// Tolerances must be >= 0 (checked by the caller). n = x.size() >= 1 and
// m >= 1 are required; m < n is allowed.
LmReport lm_minimize(LmFunction& f, std::vector<double>& x, const LmSettings& s);

}  // namespace zetrion
