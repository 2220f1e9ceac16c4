// Complex arithmetic for the circuit model.
//
// The element formulas are defined in textbook arithmetic: (a+jb)(c+jd) =
// (ac-bd) + j(ad+bc) and x/z = x*conj(z) / (Re^2 z + Im^2 z) with no rescaling.
// std::complex follows C Annex G instead (scaling, infinity recovery), which
// gives different results for non-finite and extreme operands, so the model
// uses this small type everywhere.
#pragma once

#include <cmath>

namespace zetrion {

inline constexpr double kTwoPi = 6.283185307179586;

struct Cx {
    double re = 0.0;
    double im = 0.0;
};

inline Cx operator+(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
inline Cx operator-(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
inline Cx& operator+=(Cx& a, Cx b) {
    a.re += b.re;
    a.im += b.im;
    return a;
}

// Textbook product.
inline Cx operator*(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

// A real factor multiplies both parts.
inline Cx scale(double k, Cx a) { return {k * a.re, k * a.im}; }

inline Cx conj(Cx a) { return {a.re, -a.im}; }

// x / z = x * conj(z) / (Re^2 z + Im^2 z), both parts divided by the same real
// denominator; overflow, underflow and non-finite parts follow IEEE rules.
inline Cx operator/(Cx x, Cx z) {
    const Cx num = x * conj(z);
    const double den = z.re * z.re + z.im * z.im;
    return {num.re / den, num.im / den};
}

inline Cx real_over(double x, Cx z) { return Cx{x, 0.0} / z; }
inline Cx reciprocal(Cx z) { return Cx{1.0, 0.0} / z; }

// Principal square root, with the sign of a zero imaginary part kept on
// the negative real axis.
inline Cx csqrt(Cx x) {
    const double p = x.re, q = x.im;
    if (q == 0.0) {
        if (!std::signbit(p)) return {std::sqrt(p), q};
        return {0.0, std::copysign(std::sqrt(-p), q)};
    }
    if (p == 0.0) {
        const double s = std::sqrt(std::fabs(q) / 2.0);
        return {s, std::copysign(s, q)};
    }
    const double r = std::sqrt(std::hypot(p, q));
    const double th = std::atan2(q, p) / 2.0;
    return {r * std::cos(th), r * std::sin(th)};
}

// x^e for a real exponent through modulus and argument, with exact
// shortcuts for 1, 0.5 and 0.
inline Cx cpow(Cx x, double e) {
    if (e == 1.0) return x;
    if (e == 0.5) return csqrt(x);
    if (e == 0.0) return {1.0, 0.0};
    const double m = std::pow(std::hypot(x.re, x.im), e);
    const double th = e * std::atan2(x.im, x.re);
    return {m * std::cos(th), m * std::sin(th)};
}

// Hyperbolic tangent, clamped to +-1 once |Re x| > 20 so that large
// arguments stay finite.
inline Cx ctanh_clamped(Cx x) {
    if (std::fabs(x.re) > 20.0) return {std::copysign(1.0, x.re), 0.0};
    const double den = std::cosh(2.0 * x.re) + std::cos(2.0 * x.im);
    return {std::sinh(2.0 * x.re) / den, std::sin(2.0 * x.im) / den};
}

struct CothCsch {
    Cx coth;
    Cx csch;
};

// coth and csch, clamped to +-1 and 0 once |Re x| > 20 so that large
// arguments stay finite.
inline CothCsch ccoth_csch_clamped(Cx x) {
    if (std::fabs(x.re) > 20.0) return {{std::copysign(1.0, x.re), 0.0}, {0.0, 0.0}};
    const double sa = std::sinh(x.re), ca = std::cosh(x.re);
    const double sb = std::sin(x.im), cb = std::cos(x.im);
    const Cx sh{sa * cb, ca * sb};
    const Cx ch{ca * cb, sa * sb};
    return {ch / sh, reciprocal(sh)};
}

}  // namespace zetrion
