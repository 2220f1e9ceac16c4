// The discretisation: basis functions, the impedance matrices A_re and A_im
// and the derivative penalty M, all built from one-dimensional tables.
#pragma once

#include <vector>

#include "drt/drt.hpp"
#include "drt/linalg.hpp"

namespace zetrion::drt {

// |r| beyond which phi(r) < 1e-16; 0 for the heavy-tailed bases.
double support(Basis b);

// r at which phi(r) = 1/2.
double half_width(Basis b);

// The shape factor eps for centres spaced `spacing` apart in ln tau.
double shape_factor(Basis b, double fwhm_coeff, double spacing);

struct Discretisation {
    Matrix re, im;  // rows: frequencies; columns: basis centres
    Matrix penalty; // integral of the squared derivative, centres x centres
};

// y: basis centres in ln tau (ascending); log_omega: ln(2 pi f) per row.
Discretisation discretise(Basis b, double eps, int derivative, const std::vector<double>& y,
                          const std::vector<double>& log_omega);

// The derivative penalty with the squared k-th derivative of gamma weighted
// pointwise by (1 + floor) / (|gamma| / max |gamma| + floor), gamma being the
// expansion with coefficients `coeffs`: 1 at the largest peak, up to
// 1 + 1 / floor where gamma vanishes. Integrated on a lattice of a quarter
// of the centre spacing, whose rows (the basis functions in reach and their
// derivatives) are built once per spectrum.
struct PenaltyLattice {
    Basis basis = Basis::Gaussian;
    int derivative = 1;
    std::vector<double> y;                     // the centres
    double h = 0;                              // lattice step (ln tau)
    std::vector<std::size_t> lo, hi, start;    // band of centres per row, offset in d / phi
    std::vector<double> d, phi;                // derivative and value of each basis in the band
};

PenaltyLattice penalty_lattice(Basis b, double eps, int derivative, const std::vector<double>& y);
Matrix weighted_penalty(const PenaltyLattice& lat, const std::vector<double>& coeffs, double floor);

// Integral of phi(eps s) over s (the resistance of a unit coefficient).
double basis_area(Basis b, double eps, double spacing);

}  // namespace zetrion::drt
