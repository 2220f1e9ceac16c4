#include "drt/linalg.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "util/platform.hpp"

#if defined(__GNUC__) || defined(__clang__)
#define ZETRION_KERNEL [[gnu::always_inline]] inline
#else
#define ZETRION_KERNEL inline
#endif
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define ZETRION_DRT_AVX2 1
#else
#define ZETRION_DRT_AVX2 0
#endif

namespace zetrion::drt {
namespace {

// Right-looking, so that the inner loops run along contiguous rows (each
// column of L just found is gathered into a buffer first), two columns at a
// time: the trailing rows are read and written once per pair, each entry
// taking the first column's subtraction and then the second's. Every entry
// sees the same subtractions in the same order as in the dot-product form,
// so the factor is the same to the last bit, only found faster.
ZETRION_KERNEL bool try_cholesky_body(Matrix& m, const std::vector<double>& diag, double ridge) {
    const std::size_t n = m.rows;
    for (std::size_t j = 0; j < n; ++j) m(j, j) = diag[j] + ridge;
    std::vector<double> col0(n, 0.0), col1(n, 0.0);
    // Column j of L from its updated entries, into `col`.
    const auto take = [&](std::size_t j, std::vector<double>& col) {
        const double d = m(j, j);
        if (!(d > 0) || !std::isfinite(d)) return false;
        const double ljj = std::sqrt(d);
        m(j, j) = ljj;
        for (std::size_t i = j + 1; i < n; ++i) col[i] = m(i, j) = m(i, j) / ljj;
        return true;
    };
    std::size_t j = 0;
    for (; j + 1 < n; j += 2) {
        if (!take(j, col0)) return false;
        for (std::size_t i = j + 1; i < n; ++i) m(i, j + 1) -= col0[i] * col0[j + 1];
        if (!take(j + 1, col1)) return false;
        for (std::size_t i = j + 2; i < n; ++i) {
            const double a0 = col0[i], a1 = col1[i];
            if (a0 == 0.0 && a1 == 0.0) continue;  // outside a banded matrix's band
            double* row = &m.a[i * n];
            for (std::size_t k = j + 2; k <= i; ++k) row[k] = (row[k] - a0 * col0[k]) - a1 * col1[k];
        }
    }
    if (j < n && !take(j, col0)) return false;
    return true;
}

// Householder reduction of a symmetric matrix (both triangles stored) to
// tridiagonal form, in place: e gets the off-diagonal; row i keeps step i's
// reflection vector u (entries before i), column i above the diagonal u / h
// and d[i] its h, so that the step is I - u u^T / h (no step where h is 0).
// The diagonal is left on z's diagonal. The block still to reduce is kept
// whole, so that its product with u and its rank-two update both run along
// contiguous rows.
ZETRION_KERNEL void householder_reduce_body(Matrix& z, std::vector<double>& d, std::vector<double>& e) {
    const std::size_t n = z.rows;
    std::vector<double> p(n);
    for (std::size_t i = n - 1; i > 0; --i) {
        const std::size_t l = i - 1;
        double h = 0, scale = 0;
        double* u = &z.a[i * n];
        if (l > 0) {
            for (std::size_t k = 0; k <= l; ++k) scale += std::abs(u[k]);
            if (scale == 0.0) {
                e[i] = u[l];
            } else {
                for (std::size_t k = 0; k <= l; ++k) {
                    u[k] /= scale;
                    h += u[k] * u[k];
                }
                const double f0 = u[l];
                const double g = f0 >= 0 ? -std::sqrt(h) : std::sqrt(h);
                e[i] = scale * g;
                h -= f0 * g;
                u[l] = f0 - g;
                // p = A u / h, summed over the rows of A (A is symmetric).
                std::fill(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(l + 1), 0.0);
                for (std::size_t k = 0; k <= l; ++k) {
                    const double uk = u[k] / h;
                    if (uk == 0.0) continue;
                    const double* ak = &z.a[k * n];
                    for (std::size_t j = 0; j <= l; ++j) p[j] += uk * ak[j];
                }
                double f = 0;
                for (std::size_t j = 0; j <= l; ++j) f += p[j] * u[j];
                const double hh = f / (h + h);
                for (std::size_t j = 0; j <= l; ++j) p[j] -= hh * u[j];  // q
                for (std::size_t j = 0; j <= l; ++j) {
                    const double uj = u[j], qj = p[j];
                    double* aj = &z.a[j * n];
                    for (std::size_t k = 0; k <= l; ++k) aj[k] -= uj * p[k] + qj * u[k];
                }
                for (std::size_t j = 0; j <= l; ++j) z(j, i) = u[j] / h;
            }
        } else {
            e[i] = u[l];
        }
        d[i] = h;
    }
    d[0] = 0;
    e[0] = 0;
}

ZETRION_KERNEL void forward_solve_rows_body(const Matrix& l, Matrix& x) {
    const std::size_t n = l.rows, m = x.cols;
    for (std::size_t i = 0; i < n; ++i) {
        double* xi = &x.a[i * m];
        for (std::size_t k = 0; k < i; ++k) {
            const double f = l(i, k);
            if (f == 0.0) continue;
            const double* xk = &x.a[k * m];
            for (std::size_t j = 0; j < m; ++j) xi[j] -= f * xk[j];
        }
        const double inv = 1.0 / l(i, i);
        for (std::size_t j = 0; j < m; ++j) xi[j] *= inv;
    }
}

// Four rows of A at a time: each row of the result is loaded and stored
// once per four rows of A.
ZETRION_KERNEL void gram_body(const Matrix& a, Matrix& g) {
    const std::size_t n = a.cols;
    std::size_t r = 0;
    for (; r + 4 <= a.rows; r += 4) {
        const double* r0 = &a.a[r * n];
        const double *r1 = r0 + n, *r2 = r1 + n, *r3 = r2 + n;
        for (std::size_t i = 0; i < n; ++i) {
            const double c0 = r0[i], c1 = r1[i], c2 = r2[i], c3 = r3[i];
            double* gi = &g.a[i * n];
            for (std::size_t j = i; j < n; ++j) gi[j] += c0 * r0[j] + c1 * r1[j] + c2 * r2[j] + c3 * r3[j];
        }
    }
    for (; r < a.rows; ++r) {
        const double* row = &a.a[r * n];
        for (std::size_t i = 0; i < n; ++i) {
            const double ri = row[i];
            if (ri == 0.0) continue;
            double* gi = &g.a[i * n];
            for (std::size_t j = i; j < n; ++j) gi[j] += ri * row[j];
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) g(i, j) = g(j, i);
}

// The kernels above, compiled for the baseline instruction set and, where
// the compiler can target it, once more for AVX2; the processor decides at
// first use. The width changes how many entries one instruction updates,
// not the order of any sum (nothing is contracted), so both give the same
// result.
struct Kernels {
    bool (*cholesky)(Matrix&, const std::vector<double>&, double);
    void (*reduce)(Matrix&, std::vector<double>&, std::vector<double>&);
    void (*solve_rows)(const Matrix&, Matrix&);
    void (*gram)(const Matrix&, Matrix&);
};

#define ZETRION_DRT_KERNELS(suffix, attr)                                                                      \
    attr bool cholesky_##suffix(Matrix& m, const std::vector<double>& d, double r) {                          \
        return try_cholesky_body(m, d, r);                                                                    \
    }                                                                                                         \
    attr void reduce_##suffix(Matrix& z, std::vector<double>& d, std::vector<double>& e) {                    \
        householder_reduce_body(z, d, e);                                                                     \
    }                                                                                                         \
    attr void solve_rows_##suffix(const Matrix& l, Matrix& x) { forward_solve_rows_body(l, x); }              \
    attr void gram_##suffix(const Matrix& a, Matrix& g) { gram_body(a, g); }                                  \
    constexpr Kernels kKernels_##suffix{cholesky_##suffix, reduce_##suffix, solve_rows_##suffix, gram_##suffix};

#define ZETRION_DRT_PLAIN  // no attribute: the baseline build
ZETRION_DRT_KERNELS(base, ZETRION_DRT_PLAIN)
#if ZETRION_DRT_AVX2
ZETRION_DRT_KERNELS(avx2, [[gnu::target("avx2")]])
#endif

std::atomic<bool> g_baseline{false};

const Kernels& kernels() {
#if ZETRION_DRT_AVX2
    static const Kernels& k = platform::x86_features().avx2_fma ? kKernels_avx2 : kKernels_base;
    return g_baseline.load(std::memory_order_relaxed) ? kKernels_base : k;
#else
    return kKernels_base;
#endif
}

bool try_cholesky(Matrix& m, const std::vector<double>& diag, double ridge) { return kernels().cholesky(m, diag, ridge); }
void householder_reduce(Matrix& z, std::vector<double>& d, std::vector<double>& e) { kernels().reduce(z, d, e); }

// The reduction with its transform accumulated: `z` holds the matrix on entry
// and the transform on exit, d the diagonal.
void tridiagonalise(Matrix& z, std::vector<double>& d, std::vector<double>& e) {
    householder_reduce(z, d, e);
    const std::size_t n = z.rows;
    for (std::size_t i = 0; i < n; ++i) {
        if (d[i] != 0.0) {
            for (std::size_t j = 0; j < i; ++j) {
                double g = 0;
                for (std::size_t k = 0; k < i; ++k) g += z(i, k) * z(k, j);
                for (std::size_t k = 0; k < i; ++k) z(k, j) -= g * z(k, i);
            }
        }
        d[i] = z(i, i);
        z(i, i) = 1;
        for (std::size_t j = 0; j < i; ++j) z(j, i) = z(i, j) = 0;
    }
}

void transpose(Matrix& m) {
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = i + 1; j < m.cols; ++j) std::swap(m(i, j), m(j, i));
}

// Implicit QL iterations on the tridiagonal (d, e), rotating the rows of z.
void tridiagonal_ql(std::vector<double>& d, std::vector<double>& e, Matrix* z, double* w) {
    const std::size_t n = d.size();
    for (std::size_t i = 1; i < n; ++i) e[i - 1] = e[i];
    e[n - 1] = 0;
    for (std::size_t l = 0; l < n; ++l) {
        for (int iter = 0; iter < 60; ++iter) {
            std::size_t m = l;
            for (; m + 1 < n; ++m) {
                const double dd = std::abs(d[m]) + std::abs(d[m + 1]);
                if (std::abs(e[m]) <= std::numeric_limits<double>::epsilon() * dd) break;
            }
            if (m == l) break;
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = std::sqrt(g * g + 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0 ? std::abs(r) : -std::abs(r)));
            double s = 1, c = 1, p = 0;
            std::size_t i = m;
            bool underflow = false;
            while (i-- > l) {
                double f = s * e[i];
                const double b = c * e[i];
                r = std::sqrt(f * f + g * g);
                e[i + 1] = r;
                if (r == 0.0) {
                    d[i + 1] -= p;
                    e[m] = 0;
                    underflow = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2.0 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
                if (z) {
                    double* zi = &z->a[i * n];  // z holds the vectors as rows here
                    double* zj = zi + n;
                    for (std::size_t k = 0; k < n; ++k) {
                        f = zj[k];
                        zj[k] = s * zi[k] + c * f;
                        zi[k] = c * zi[k] - s * f;
                    }
                }
                if (w) {
                    f = w[i + 1];
                    w[i + 1] = s * w[i] + c * f;
                    w[i] = c * w[i] - s * f;
                }
            }
            if (underflow) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0;
        }
    }
}

constexpr std::size_t kSmallestKept = 16 << 10, kMostKept = 8 << 20, kMostBlocks = 64;

struct BlockCache {
    struct Entry {
        std::size_t bytes;
        void* p;
    };
    std::vector<Entry> free;
    std::size_t held = 0;
    BlockCache() { free.reserve(kMostBlocks); }
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;
    ~BlockCache() {
        for (const Entry& e : free) ::operator delete(e.p);
    }
};

BlockCache& block_cache() {
    thread_local BlockCache cache;
    return cache;
}

}  // namespace

void* take_block(std::size_t bytes) {
    if (bytes >= kSmallestKept) {
        BlockCache& c = block_cache();
        for (std::size_t i = c.free.size(); i-- > 0;)
            if (c.free[i].bytes == bytes) {
                void* p = c.free[i].p;
                c.held -= bytes;
                c.free[i] = c.free.back();
                c.free.pop_back();
                return p;
            }
    }
    return ::operator new(bytes);
}

void give_block(void* p, std::size_t bytes) noexcept {
    if (p && bytes >= kSmallestKept) {
        BlockCache& c = block_cache();
        if (c.held + bytes <= kMostKept && c.free.size() < kMostBlocks) {
            c.free.push_back({bytes, p});  // within the reserved capacity: no allocation
            c.held += bytes;
            return;
        }
    }
    ::operator delete(p);
}

void use_baseline_kernels(bool on) { g_baseline.store(on, std::memory_order_relaxed); }

double cholesky(Matrix& m) {
    const std::size_t n = m.rows;
    std::vector<double> diag(n);
    double top = 0;
    for (std::size_t i = 0; i < n; ++i) {
        diag[i] = m(i, i);
        top = std::max(top, std::abs(diag[i]));
    }
    if (top == 0.0 || !std::isfinite(top)) top = 1.0;
    const Matrix original = m;
    for (double rel = 0; rel < 1.0; rel = rel == 0 ? 1e-14 : rel * 100) {
        if (rel > 0) m = original;
        if (try_cholesky(m, diag, rel * top)) return rel;
    }
    m = original;
    try_cholesky(m, diag, top);
    return 1.0;
}

void forward_solve(const Matrix& l, double* b) {
    const std::size_t n = l.rows;
    for (std::size_t i = 0; i < n; ++i) {
        double s = b[i];
        for (std::size_t k = 0; k < i; ++k) s -= l(i, k) * b[k];
        b[i] = s / l(i, i);
    }
}

void backward_solve(const Matrix& l, double* b) {
    const std::size_t n = l.rows;
    for (std::size_t i = n; i-- > 0;) {
        double s = b[i];
        for (std::size_t k = i + 1; k < n; ++k) s -= l(k, i) * b[k];
        b[i] = s / l(i, i);
    }
}

void forward_solve_rows(const Matrix& l, Matrix& x) { kernels().solve_rows(l, x); }

void cholesky_solve(const Matrix& l, std::vector<double>& b) {
    forward_solve(l, b.data());
    backward_solve(l, b.data());
}

void symmetric_eigen(const Matrix& m, std::vector<double>& values, Matrix& vectors) {
    const std::size_t n = m.rows;
    vectors = m;
    values.assign(n, 0.0);
    if (n == 0) return;
    if (n == 1) {
        values[0] = m(0, 0);
        vectors(0, 0) = 1;
        return;
    }
    std::vector<double> e(n, 0.0);
    tridiagonalise(vectors, values, e);
    transpose(vectors);  // rotations then touch contiguous rows
    tridiagonal_ql(values, e, &vectors, nullptr);
    transpose(vectors);
    // Sort ascending, carrying the vectors.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    Matrix sorted(n, n);
    std::vector<double> vs(n);
    for (std::size_t j = 0; j < n; ++j) {
        vs[j] = values[order[j]];
        for (std::size_t i = 0; i < n; ++i) sorted(i, j) = vectors(i, order[j]);
    }
    values = std::move(vs);
    vectors = std::move(sorted);
}

void symmetric_eigen_projected(const Matrix& m, std::vector<double>& values, std::vector<double>& w) {
    const std::size_t n = m.rows;
    values.assign(n, 0.0);
    if (n == 0) return;
    if (n == 1) {
        values[0] = m(0, 0);
        return;
    }
    Matrix q = m;
    std::vector<double> e(n, 0.0);
    householder_reduce(q, values, e);
    // Q^T w by applying the reflections in turn, last step first: the
    // transform itself (the larger half of the work) is never formed.
    std::vector<double> t = w;
    for (std::size_t i = n; i-- > 1;) {
        const double h = values[i];
        if (h == 0.0) continue;
        const double* u = &q.a[i * n];
        double s = 0;
        for (std::size_t k = 0; k < i; ++k) s += u[k] * t[k];
        s /= h;
        for (std::size_t k = 0; k < i; ++k) t[k] -= s * u[k];
    }
    for (std::size_t i = 0; i < n; ++i) values[i] = q(i, i);
    tridiagonal_ql(values, e, nullptr, t.data());
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    std::vector<double> vs(n), ws(n);
    for (std::size_t j = 0; j < n; ++j) {
        vs[j] = values[order[j]];
        ws[j] = t[order[j]];
    }
    values = std::move(vs);
    w = std::move(ws);
}

Matrix gram(const Matrix& a) {
    Matrix g(a.cols, a.cols);
    kernels().gram(a, g);
    return g;
}

std::vector<double> at_times(const Matrix& a, const std::vector<double>& b) {
    std::vector<double> out(a.cols, 0.0);
    for (std::size_t r = 0; r < a.rows; ++r)
        for (std::size_t j = 0; j < a.cols; ++j) out[j] += a(r, j) * b[r];
    return out;
}

}  // namespace zetrion::drt
