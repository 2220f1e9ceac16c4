#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "elements/element.hpp"
#include "support.hpp"

using namespace zetrion;
using namespace zetrion::test;

namespace {

Cx at(Kind k, std::initializer_list<double> p, double w) {
    Element e{k, {}};
    std::size_t i = 0;
    for (double v : p) e.v[i++] = v;
    return element_impedance(e, w);
}

}  // namespace

TEST_CASE("codes are exact and case-sensitive") {
    CHECK(default_for_code(std::string_view("CPE"))->kind == Kind::Cpe);
    CHECK(default_for_code(std::string_view("Cpe"))->kind == Kind::Cpe);
    CHECK(default_for_code(std::string_view("TLMQ"))->kind == Kind::Tlmq);
    CHECK(default_for_code(std::string_view("Tlmq"))->kind == Kind::Tlmq);
    for (const char* bad : {"cpe", "r", "Q", "", "CPe", "tlmq", "ZARC"})
        CHECK_FALSE(default_for_code(std::string_view(bad)).has_value());
    CHECK_FALSE(default_for_code(std::u32string_view(U"")).has_value());
    CHECK(default_for_code(std::u32string_view(U"Zarc"))->kind == Kind::Zarc);

    const Element wo = *default_for_code(std::string_view("Wo"));
    CHECK(wo.v[0] == 1.0);
    CHECK(wo.v[1] == 10.0);
    const Element t = *default_for_code(std::string_view("Tlmq"));
    CHECK(t.values().size() == 3);
    CHECK(t.v[1] == 0.001);
}

TEST_CASE("exponents are bounded to [0, 1], every other parameter open above 1e-12") {
    // Exponents are bounded to [0, 1], every other parameter open above 1e-12.
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const KindInfo& info = kind_info(kind_at(k));
        for (std::size_t p = 0; p < info.param_count; ++p) {
            const bool exponent = info.param_names[p] == "alpha" || info.param_names[p] == "gamma";
            CHECK(info.bounds[p].lo == (exponent ? 0.0 : 1e-12));
            CHECK(info.bounds[p].hi == (exponent ? 1.0 : std::numeric_limits<double>::infinity()));
        }
    }
}

TEST_CASE("exact identities between kinds") {
    for (double w : {1e-3, 1.0, 77.0, 1e5}) {
        const Cx cpe = at(Kind::Cpe, {2e-5, 1.0}, w);
        const Cx c = at(Kind::C, {2e-5}, w);
        CHECK(cpe.re == c.re);
        CHECK(cpe.im == c.im);
        const Cx zarc = at(Kind::Zarc, {12.0, 3e-3, 1.0}, w);
        const Cx k = at(Kind::K, {12.0, 3e-3}, w);
        CHECK(zarc.re == k.re);
        CHECK(zarc.im == k.im);
    }
}

TEST_CASE("documented values") {
    const Cx la = at(Kind::La, {1.0, 0.5}, 4.0);
    CHECK(la.re == doctest::Approx(std::sqrt(2.0)).epsilon(1e-15));
    CHECK(la.im == doctest::Approx(std::sqrt(2.0)).epsilon(1e-15));
    const Cx w = at(Kind::W, {2.0}, 1.0);
    CHECK(w.re == 2.0);
    CHECK(w.im == -2.0);
}

TEST_CASE("clamped hyperbolics give exact limits") {
    // Re u = sqrt(w tau / 2) > 20 for w tau = 1e4.
    const double w = 1e4, tau = 1.0, z0 = 3.0;
    const Cx u = csqrt({0.0 * w * tau, w * tau});
    REQUIRE(u.re > 20.0);
    const Cx expect = real_over(z0, u);
    const Cx ws = at(Kind::Ws, {z0, tau}, w);
    const Cx wo = at(Kind::Wo, {z0, tau}, w);
    // Ws = (z0 * 1) / u and Wo = z0 / (u * 1): both exactly z0 / u.
    CHECK(ws.re == (scale(z0, {1.0, 0.0}) / u).re);
    CHECK(ws.im == (scale(z0, {1.0, 0.0}) / u).im);
    CHECK(wo.re == expect.re);
    CHECK(wo.im == expect.im);

    // T: the csch term vanishes exactly once Re beta > 20.
    const double a = 2.0, b = 5.0, kt = 1.0, tt = 1.0, wt = 1e4;
    const Cx beta = csqrt({kt + 0.0 * wt * tt, wt * tt});
    REQUIRE(beta.re > 20.0);
    const Cx t = at(Kind::T, {a, b, kt, tt}, wt);
    const Cx only_a = scale(a, {1.0, 0.0}) / beta + scale(b, {0.0, 0.0}) / beta;
    CHECK(t.re == only_a.re);
    CHECK(t.im == only_a.im);
}

TEST_CASE("non-finite results are values, not errors") {
    const Cx c = at(Kind::C, {1e-3}, 0.0);
    CHECK_FALSE(std::isfinite(c.re + c.im));
    const Cx w = at(Kind::W, {1.0}, 0.0);
    CHECK_FALSE(std::isfinite(w.re));
    const Cx r = at(Kind::R, {std::numeric_limits<double>::quiet_NaN()}, 1.0);
    CHECK(std::isnan(r.re));
}

TEST_CASE("textbook division differs from Annex G on infinities") {
    // (1+1j) / (inf + 0j): textbook gives NaN parts (inf/inf), not 0.
    const Cx q = Cx{1.0, 1.0} / Cx{std::numeric_limits<double>::infinity(), 0.0};
    CHECK(std::isnan(q.re));
}

TEST_CASE("impedance_from_iter draws exactly the kind's count") {
    const double vals[] = {1.0, 2.0, 3.0};
    ParamStream s{vals, 3};
    CHECK_FALSE(impedance_from_iter(Kind::T, s, 1.0).has_value());
    CHECK(s.pos == 0);
    const auto z = impedance_from_iter(Kind::R, s, 1.0);
    REQUIRE(z.has_value());
    CHECK(z->re == 1.0);
    CHECK(s.pos == 1);
    CHECK(impedance_from_iter(Kind::Wo, s, 1.0).has_value());
    CHECK(s.pos == 3);
    CHECK_FALSE(impedance_from_iter(Kind::R, s, 1.0).has_value());
}
