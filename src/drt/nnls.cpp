// The non-negative solution of the regularised normal equations.
#include <algorithm>
#include <cmath>

#include "drt/solve.hpp"

namespace zetrion::drt {
namespace {

// The Cholesky factor of h[P,P] for the passive set P, kept in step with P
// as indices enter (a new last row, O(k^2)) and leave (the row deleted and
// the factor made triangular again by Givens rotations, O(k^2)): an active
// set step costs a solve, not a factorisation. The order of `ord` is the
// order of the factor's rows. A ridge, when the first factorisation needed
// one, stays on every diagonal entry added later.
class PassiveFactor {
public:
    PassiveFactor(const Matrix& h, const std::vector<double>& g) : h_(h), g_(g), l_(h.rows, h.rows) {}

    // Brings the factor to the passive set `passive` and solves; s is zero
    // off the set.
    void solve(const std::vector<char>& passive, std::vector<double>& s) {
        sync(passive);
        const std::size_t k = ord_.size();
        std::fill(s.begin(), s.end(), 0.0);
        if (k == 0) return;
        std::vector<double> y(k);
        for (std::size_t a = 0; a < k; ++a) y[a] = g_[ord_[a]];
        forward(y);
        backward(y);
        for (std::size_t a = 0; a < k; ++a) s[ord_[a]] = y[a];
    }

private:
    const Matrix& h_;
    const std::vector<double>& g_;
    Matrix l_;                      // rows and columns 0..k-1 in use
    std::vector<std::size_t> ord_;  // the passive indices, in factor order
    double ridge_ = 0;
    bool built_ = false;

    double& at(std::size_t i, std::size_t j) { return l_.a[i * l_.cols + j]; }

    void sync(const std::vector<char>& passive) {
        std::size_t leaving = 0, entering = 0;
        std::vector<char> held(passive.size(), 0);
        for (std::size_t i : ord_) {
            held[i] = 1;
            leaving += passive[i] ? 0 : 1;
        }
        for (std::size_t i = 0; i < passive.size(); ++i) entering += passive[i] && !held[i] ? 1 : 0;
        // Many changes at once: a fresh factorisation is cheaper.
        if (!built_ || 8 * (leaving + entering) > ord_.size()) return rebuild(passive);
        for (std::size_t a = ord_.size(); a-- > 0;)
            if (!passive[ord_[a]]) remove(a);
        for (std::size_t i = 0; i < passive.size(); ++i)
            if (passive[i] && !held[i] && !append(i)) return rebuild(passive);
    }

    void rebuild(const std::vector<char>& passive) {
        ord_.clear();
        for (std::size_t i = 0; i < passive.size(); ++i)
            if (passive[i]) ord_.push_back(i);
        const std::size_t k = ord_.size();
        Matrix sub(k, k);
        double top = 0;
        for (std::size_t a = 0; a < k; ++a) {
            top = std::max(top, std::abs(h_(ord_[a], ord_[a])));
            for (std::size_t b = 0; b <= a; ++b) sub(a, b) = h_(ord_[a], ord_[b]);
        }
        if (top == 0.0 || !std::isfinite(top)) top = 1.0;
        ridge_ = k > 0 ? cholesky(sub) * top : 0.0;
        for (std::size_t a = 0; a < k; ++a)
            for (std::size_t b = 0; b <= a; ++b) at(a, b) = sub(a, b);
        built_ = true;
    }

    // A new last row: L r = h[ord, j], pivot sqrt(h_jj + ridge - r.r).
    bool append(std::size_t j) {
        const std::size_t k = ord_.size();
        double* row = &l_.a[k * l_.cols];
        for (std::size_t a = 0; a < k; ++a) row[a] = h_(ord_[a], j);
        for (std::size_t a = 0; a < k; ++a) {
            const double* la = &l_.a[a * l_.cols];
            double v = row[a];
            for (std::size_t b = 0; b < a; ++b) v -= la[b] * row[b];
            row[a] = v / la[a];
        }
        double d = h_(j, j) + ridge_;
        for (std::size_t a = 0; a < k; ++a) d -= row[a] * row[a];
        // A pivot lost to cancellation: the set is (nearly) dependent.
        if (!(d > 1e-12 * (h_(j, j) + ridge_)) || !std::isfinite(d)) return false;
        row[k] = std::sqrt(d);
        ord_.push_back(j);
        return true;
    }

    // Deletes row p; rows below it then reach one column past the diagonal,
    // which rotations of column pairs (c, c + 1) fold back.
    void remove(std::size_t p) {
        const std::size_t k = ord_.size();
        for (std::size_t i = p; i + 1 < k; ++i)
            for (std::size_t c = 0; c <= i + 1; ++c) at(i, c) = at(i + 1, c);
        for (std::size_t c = p; c + 1 < k; ++c) {
            const double a = at(c, c), b = at(c, c + 1);
            const double r = std::hypot(a, b);
            const double cs = r > 0 ? a / r : 1.0, sn = r > 0 ? b / r : 0.0;
            for (std::size_t i = c; i + 1 < k; ++i) {
                const double u = at(i, c), v = at(i, c + 1);
                at(i, c) = cs * u + sn * v;
                at(i, c + 1) = cs * v - sn * u;
            }
            at(c, c + 1) = 0.0;
        }
        ord_.erase(ord_.begin() + static_cast<std::ptrdiff_t>(p));
    }

    void forward(std::vector<double>& y) const {
        for (std::size_t a = 0; a < y.size(); ++a) {
            const double* la = &l_.a[a * l_.cols];
            double v = y[a];
            for (std::size_t b = 0; b < a; ++b) v -= la[b] * y[b];
            y[a] = v / la[a];
        }
    }

    void backward(std::vector<double>& y) const {
        for (std::size_t a = y.size(); a-- > 0;) {
            const double v = y[a] / l_(a, a);
            y[a] = v;
            const double* la = &l_.a[a * l_.cols];
            for (std::size_t b = 0; b < a; ++b) y[b] -= la[b] * v;
        }
    }
};

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
    PassiveFactor factor(h, g);
    // Warm start: shrink the hinted set until its solution is positive.
    for (;; ++iterations) {
        factor.solve(passive, s);
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
            factor.solve(passive, s);
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
