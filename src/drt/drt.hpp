// Distribution of relaxation times: Tikhonov-regularised deconvolution of an
// impedance spectrum on a radial-basis discretisation of gamma(ln tau).
//
//   Z(w) = R_inf + i w L + sum_n x_n integral phi_n(y) / (1 + i w e^y) dy
//   gamma(y) = sum_n x_n phi(eps (y - y_n)),   y = ln tau
//
// The coefficients minimise |W (A x - b)|^2 + lambda x^T M x, with M the
// integral of the squared first or second derivative of gamma, either
// unconstrained (a signed DRT) or with every coefficient non-negative.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "elements/complex.hpp"

namespace zetrion::drt {

enum class Basis {
    Gaussian,
    C0Matern,
    C2Matern,
    C4Matern,
    C6Matern,
    InverseQuadratic,
    InverseQuadric,
    Cauchy,
    PiecewiseLinear
};
enum class DataPart { Both, Real, Imaginary };
enum class LambdaRule { Given, Gcv, ModifiedGcv, RobustGcv, LCurve, ReImCv };
enum class Weighting { None, Modulus };

std::optional<Basis> parse_basis(std::string_view name);
std::optional<LambdaRule> parse_lambda_rule(std::string_view name);
std::optional<DataPart> parse_data_part(std::string_view name);
std::optional<Weighting> parse_weighting(std::string_view name);
std::string_view basis_name(Basis b);
std::string_view lambda_rule_name(LambdaRule r);

// phi(r) of each basis (1 at r = 0).
double basis_value(Basis b, double r);

struct Settings {
    Basis basis = Basis::Gaussian;
    // The basis width: the full width at half maximum is (mean spacing of
    // ln tau) / fwhm_coeff; or the shape factor eps itself when given.
    double fwhm_coeff = 0.5;
    std::optional<double> shape_factor;
    int derivative = 1;  // 1 or 2
    DataPart data = DataPart::Both;
    bool inductance = true;
    bool signed_drt = false;
    LambdaRule rule = LambdaRule::Gcv;
    double lambda = 1e-3;  // used when rule == Given
    double lambda_min = 1e-8, lambda_max = 10.0;
    Weighting weighting = Weighting::None;
    // The relative noise level below which the GCV rules do not chase the
    // misfit (0 turns it off).
    double noise_floor = 5e-5;
    // Locally adapted smoothing: after the first solution, this many
    // re-solves with the penalty on each stretch of ln tau weighted by
    // (1 + adapt_floor) / (|gamma| / max |gamma| + adapt_floor) from the
    // previous solution, so that the peaks are smoothed as the rule chose and
    // the flat background more (0: plain Tikhonov). With a rule, these
    // solves take adapt_scale times the lambda it chose.
    int adapt_iterations = 2;
    double adapt_floor = 0.005;
    double adapt_scale = 3.0;
    // Basis centres per point spacing: 1 puts one centre at 1 / (2 pi f) of
    // each point; more spreads (m - 1) * density + 1 centres evenly over
    // the same range.
    std::size_t density = 1;
    // Added to every centre's ln tau: 0 puts them at 1 / (2 pi f); ln(2 pi)
    // at 1 / f, where DRTtools and pyDRTtools put them.
    double centre_shift = 0.0;
    std::size_t fine_per_decade = 40;  // output grid density
    double fine_extension = 0.5;       // decades beyond the data's tau range
};

struct Result {
    std::vector<double> tau;    // basis centres, ascending (s)
    std::vector<double> coeffs; // x_n
    double epsilon = 0;
    double r_inf = 0, inductance = 0;
    std::vector<double> tau_fine, gamma_fine;  // gamma on a fine grid (ohm)
    std::vector<Cx> z_fit;                     // DRT impedance at the input frequencies
    double lambda = 0;       // the lambda of the final solve
    double rule_lambda = 0;  // the lambda the rule chose (or the one given)
    LambdaRule rule = LambdaRule::Given;
    double score = 0;  // the criterion at the chosen lambda (NaN when given)
    std::vector<double> lambda_grid, score_grid;  // the criterion scanned
    double polarisation = 0;  // integral of gamma over ln tau
    std::size_t nnls_iterations = 0;
};

struct Error {
    std::string message;
};

// Deconvolves one spectrum. Frequencies need not be sorted but must be
// finite and > 0; impedances finite; at least 4 points.
// Returns nullopt and fills `err` on invalid settings or input.
std::optional<Result> compute(const std::vector<double>& f, const std::vector<Cx>& z, const Settings& s, Error& err);

// gamma at ln tau values `y` for the coefficients of a result.
std::vector<double> gamma_at(Basis b, double epsilon, const std::vector<double>& tau, const std::vector<double>& coeffs,
                             const std::vector<double>& tau_out);

}  // namespace zetrion::drt
