// The regularised least-squares problem of a DRT: its solution for any
// lambda through one eigen-decomposition, the criteria that choose lambda,
// and the non-negative solution by an active-set method.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "drt/linalg.hpp"

namespace zetrion::drt {

// min |a x - b|^2 + lambda x[p:]^T penalty x[p:]; the first p columns of `a`
// (resistance, inductance) are not penalised.
struct Problem {
    Matrix a;
    std::vector<double> b;
    Matrix penalty;
    std::size_t p = 0;
};

// The problem in standard form: with penalty = L L^T and the unpenalised
// columns projected out, G = L^-1 a1^T P a1 L^-T = V S V^T, so that the
// residual, seminorm and influence trace at any lambda cost O(n). The
// solution at one lambda takes a Cholesky factorisation, or O(n^2) when the
// eigenvectors are kept (`vectors`, for criteria that solve at every lambda).
class Spectral {
public:
    explicit Spectral(const Problem& problem, bool vectors = false);
    std::vector<double> solve(double lambda) const;
    double residual2(double lambda) const;  // |a x - b|^2
    double seminorm2(double lambda) const;  // x^T penalty x
    double trace(double lambda) const;      // tr of the influence matrix
    double trace2(double lambda) const;     // tr of its square
    std::size_t rows() const { return rows_; }
    const Matrix& normal_matrix() const { return gram_; }  // a^T a

private:
    const Problem& pr_;
    std::size_t rows_, p_, n_;
    bool vectors_;
    Matrix gram_, g_;
    std::vector<double> c_;
    Matrix q0_, r0_;  // thin QR of the unpenalised columns
    Matrix lfac_;     // penalty = lfac lfac^T
    Matrix v_;
    std::vector<double> sigma_, d_;
    double perp2_ = 0;
};

// Minimises crit(log10 lambda) over [lo, hi] (log10): a scan at 0.1-decade
// steps, then a golden-section refinement around the best point. Fills the
// scanned values.
double minimise_log(const std::function<double(double)>& crit, double lo, double hi, std::vector<double>& grid,
                    std::vector<double>& scores);

// min 0.5 x^T h x - g^T x subject to x >= 0, from the positive entries of
// `hint` (Lawson-Hanson active set on the normal equations, Cholesky per
// step). Returns the iterations used.
std::size_t nonnegative_qp(const Matrix& h, const std::vector<double>& g, const std::vector<double>& hint,
                           std::vector<double>& x);

}  // namespace zetrion::drt
