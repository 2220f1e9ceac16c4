// The non-negative solution of the regularised normal equations.
#include <algorithm>
#include <cmath>

#include "drt/solve.hpp"

namespace zetrion::drt {
namespace {

// Solves h[P,P] s = g[P] for the passive set P; s is zero elsewhere.
void passive_solve(const Matrix& h, const std::vector<double>& g, const std::vector<char>& passive,
                   std::vector<double>& s) {
    std::vector<std::size_t> idx;
    for (std::size_t i = 0; i < passive.size(); ++i)
        if (passive[i]) idx.push_back(i);
    std::fill(s.begin(), s.end(), 0.0);
    if (idx.empty()) return;
    Matrix sub(idx.size(), idx.size());
    std::vector<double> rhs(idx.size());
    for (std::size_t a = 0; a < idx.size(); ++a) {
        rhs[a] = g[idx[a]];
        for (std::size_t b = 0; b <= a; ++b) sub(a, b) = h(idx[a], idx[b]);
    }
    cholesky(sub);
    cholesky_solve(sub, rhs);
    for (std::size_t a = 0; a < idx.size(); ++a) s[idx[a]] = rhs[a];
}

}  // namespace

std::size_t nonnegative_qp(const Matrix& h0, const std::vector<double>& g0, const std::vector<double>& hint,
                           std::vector<double>& x) {
    const std::size_t n = g0.size();
    // Unit diagonal: the resistance, inductance and basis columns differ by
    // many orders of magnitude.
    std::vector<double> dsc(n, 1.0);
    for (std::size_t i = 0; i < n; ++i)
        if (h0(i, i) > 0) dsc[i] = 1 / std::sqrt(h0(i, i));
    Matrix h(n, n);
    std::vector<double> g(n);
    double gmax = 0;
    for (std::size_t i = 0; i < n; ++i) {
        g[i] = g0[i] * dsc[i];
        gmax = std::max(gmax, std::abs(g[i]));
        for (std::size_t j = 0; j < n; ++j) h(i, j) = h0(i, j) * dsc[i] * dsc[j];
    }
    const double tol = 1e-11 * std::max(gmax, 1e-300);
    std::vector<char> passive(n, 0);
    for (std::size_t i = 0; i < n; ++i) passive[i] = i < hint.size() && hint[i] > 0;
    std::vector<double> s(n, 0.0);
    x.assign(n, 0.0);
    std::size_t iterations = 0;
    // Warm start: shrink the hinted set until its solution is positive.
    for (;; ++iterations) {
        passive_solve(h, g, passive, s);
        bool all = true;
        for (std::size_t i = 0; i < n; ++i)
            if (passive[i] && s[i] <= 0) {
                passive[i] = 0;
                all = false;
            }
        if (all) break;
    }
    x = s;
    const std::size_t cap = 4 * n + 20;
    std::vector<char> barred(n, 0);  // entered and dropped straight back: skip until x moves
    while (iterations++ < cap) {
        std::size_t best = n;
        double wbest = tol;
        for (std::size_t i = 0; i < n; ++i) {
            if (passive[i] || barred[i]) continue;
            double w = g[i];
            for (std::size_t j = 0; j < n; ++j) w -= h(i, j) * x[j];
            if (w > wbest) {
                wbest = w;
                best = i;
            }
        }
        if (best == n) break;
        passive[best] = 1;
        for (std::size_t inner = 0; inner < n + 1; ++inner) {
            passive_solve(h, g, passive, s);
            double alpha = 1;
            bool feasible = true;
            for (std::size_t i = 0; i < n; ++i)
                if (passive[i] && s[i] <= 0) {
                    feasible = false;
                    const double step = x[i] / (x[i] - s[i]);
                    alpha = std::min(alpha, step);
                }
            if (feasible) {
                x = s;
                break;
            }
            for (std::size_t i = 0; i < n; ++i) {
                x[i] += alpha * (s[i] - x[i]);
                if (passive[i] && x[i] <= 1e-15 * std::abs(s[i]) + 1e-300) {
                    passive[i] = 0;
                    x[i] = 0;
                }
            }
        }
        if (!passive[best]) barred[best] = 1;
        else std::fill(barred.begin(), barred.end(), 0);
    }
    for (std::size_t i = 0; i < n; ++i) x[i] = std::max(0.0, x[i]) * dsc[i];
    return iterations;
}

}  // namespace zetrion::drt
