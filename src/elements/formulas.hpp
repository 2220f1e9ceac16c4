// The impedance formula of each element kind, inline so that block
// evaluation can run one kind over many frequencies without a call or a
// switch per point.
#pragma once

#include <cmath>
#include <limits>

#include "elements/complex.hpp"
#include "elements/element.hpp"

namespace zetrion {

// cos and sin of e * atan2(t, +0) = e * pi/2 for a positive finite t, shared
// by every frequency of a block: (j t)^e = t^e (cos, sin) exactly as the
// polar form computes it, since hypot(+0, t) = t and atan2(t, +0) = pi/2.
struct PowCache {
    double e;
    double cos;
    double sin;
    bool usable;

    static PowCache for_exponent(double e) {
        PowCache c{e, 0.0, 0.0, false};
        if (e != 1.0 && e != 0.5 && e != 0.0 && std::isfinite(e)) {
            const double th = e * std::atan2(1.0, 0.0);
            c.cos = std::cos(th);
            c.sin = std::sin(th);
            c.usable = true;
        }
        return c;
    }
};

// x^e for x = (0*t, t) as the kinds form j*omega*something; the cache (when
// given, and built for the same e) skips the polar form for t > 0.
inline Cx jpow(Cx x, double e, const PowCache* pc) {
    if (pc && pc->usable && pc->e == e && x.re == 0.0 && !std::signbit(x.re) && x.im > 0.0 &&
        x.im <= std::numeric_limits<double>::max()) {
        const double m = std::pow(x.im, e);
        return {m * pc->cos, m * pc->sin};
    }
    return cpow(x, e);
}

// The exponent of the kinds that raise j*omega*something to a power.
inline double pow_exponent(Kind k, const double* p) {
    switch (k) {
        case Kind::La:
        case Kind::Cpe: return p[1];
        case Kind::Zarc:
        case Kind::Tlmq: return p[2];
        case Kind::R:
        case Kind::C:
        case Kind::L:
        case Kind::W:
        case Kind::Wo:
        case Kind::Ws:
        case Kind::G:
        case Kind::Gs:
        case Kind::K:
        case Kind::T: return 1.0;
    }
    return 1.0;
}

// The imaginary arguments are written {0.0 * w * p, w * p} rather than
// {0.0, w * p} on purpose: that is what complex arithmetic gives for j * (w * p),
// so an infinite or NaN product makes the real part NaN here exactly as it
// does in the reference formulas, and overflow behaves the same on every path.
[[gnu::always_inline]] inline Cx formula(Kind k, const double* p, double w, const PowCache* pc) {
    switch (k) {
        case Kind::R:
            return {p[0], 0.0};
        case Kind::C:
            return reciprocal({0.0 * w * p[0], w * p[0]});
        case Kind::L:
            return {0.0 * w * p[0], w * p[0]};
        case Kind::La:
            return jpow({0.0 * w * p[0], w * p[0]}, p[1], pc);
        case Kind::Cpe:
            return reciprocal(scale(p[0], jpow({0.0 * w, w}, p[1], pc)));
        case Kind::W: {
            const double s = std::sqrt(w);
            return Cx{p[0], -p[0]} / Cx{s, 0.0};
        }
        case Kind::Wo: {
            const Cx u = csqrt({0.0 * w * p[1], w * p[1]});
            return real_over(p[0], u * ctanh_clamped(u));
        }
        case Kind::Ws: {
            const Cx u = csqrt({0.0 * w * p[1], w * p[1]});
            return scale(p[0], ctanh_clamped(u)) / u;
        }
        case Kind::G: {
            const Cx v = csqrt({1.0 + 0.0 * w * p[1], w * p[1]});
            return real_over(p[0], v);
        }
        case Kind::Gs: {
            const Cx v = csqrt({1.0 + 0.0 * w * p[1], w * p[1]});
            return real_over(p[0], v * ctanh_clamped(scale(p[2], v)));
        }
        case Kind::K:
            return real_over(p[0], {1.0 + 0.0 * w * p[1], w * p[1]});
        case Kind::Zarc: {
            Cx d = jpow({0.0 * w * p[1], w * p[1]}, p[2], pc);
            d.re += 1.0;
            return real_over(p[0], d);
        }
        case Kind::Tlmq: {
            const Cx y = scale(p[1], jpow({0.0 * w, w}, p[2], pc));
            const Cx zq = reciprocal(y);
            const Cx root = csqrt(scale(p[0], zq));
            const double mag2 = zq.re * zq.re + zq.im * zq.im;
            const Cx ratio{p[0] * zq.re / mag2, p[0] * -zq.im / mag2};
            return root / ctanh_clamped(csqrt(ratio));
        }
        case Kind::T: {
            const Cx beta = csqrt({p[2] + 0.0 * w * p[3], w * p[3]});
            const CothCsch h = ccoth_csch_clamped(beta);
            return scale(p[0], h.coth) / beta + scale(p[1], h.csch) / beta;
        }
    }
    return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
}


}  // namespace zetrion
