#include <doctest/doctest.h>

#include <cmath>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/parser.hpp"
#include "fit/residuals.hpp"

using namespace zetrion;

namespace {

SeriesList tree_of(std::string_view text) { return std::get<SeriesList>(parse(text)); }

}  // namespace

TEST_CASE("weighting names and weights") {
    CHECK(parse_weighting("modulus") == Weighting::Modulus);
    CHECK(parse_weighting("unit") == Weighting::Unit);
    for (const char* bad : {"Modulus", " unit", "", "abs"}) CHECK_FALSE(parse_weighting(bad).has_value());
    CHECK(weighting_error("abs") == "unknown weight scheme \"abs\", expected \"modulus\" or \"unit\"");
    const std::vector<Cx> z{{0, 0}, {3, 4}, {std::nan(""), 1}};
    CHECK(compute_weights(z, Weighting::Modulus) == std::vector<double>{1e-30, 5.0, 1e-30});
    CHECK(compute_weights(z, Weighting::Unit) == std::vector<double>{1, 1, 1});
}

TEST_CASE("engine weightings: each part's own standard deviation") {
    CHECK_FALSE(parse_weighting("proportional").has_value());  // not Circuit.fit's
    const std::vector<Cx> z{{3, -4}, {10, 0}, {0, 0}};
    const auto p = engine_weights(z, "proportional");
    REQUIRE(p.has_value());
    CHECK(p->first == std::vector<double>{3.0, 10.0, 1e-33});
    CHECK(p->second == std::vector<double>{4.0, 1e-2, 1e-33});  // floored at 1e-3 |Z|
    const auto b = engine_weights(z, "boukamp");
    REQUIRE(b.has_value());
    CHECK(b->first == compute_weights(z, Weighting::Modulus));
    CHECK(b->second == b->first);
    CHECK_FALSE(engine_weights(z, "modulus").has_value());

    // the imaginary parts divided by their own weights
    const SeriesList t = tree_of("R0");
    const std::vector<double> w{2.0}, w_im{4.0}, omega{1.0};
    const std::vector<Cx> one{{1, 1}};
    EvalCounter counter{0};
    double r[2];
    REQUIRE(residuals(t, std::vector<double>{3.0}, {omega, one, w, {}, w_im}, counter, r));
    CHECK(r[0] == 1.0);
    CHECK(r[1] == -0.25);
}

TEST_CASE("residual layout and counter") {
    const SeriesList t = tree_of("R0");
    const std::vector<double> w{1.0}, omega{1.0};
    const std::vector<Cx> z{{1, 1}};
    EvalCounter counter{0};
    double r[2];
    REQUIRE(residuals(t, std::vector<double>{2.0}, {omega, z, w}, counter, r));
    CHECK(r[0] == 1.0);
    CHECK(r[1] == -1.0);
    CHECK(counter == 1);
    CHECK_FALSE(residuals(t, std::vector<double>{}, {omega, z, w}, counter, r));
}

TEST_CASE("jacobian steps, columns and counts") {
    CHECK(jacobian_step(2.0) == 2.0 * 6.0554544523933395e-06);
    CHECK(jacobian_step(0.0) == 6.0554544523933395e-06 * 1e-8);
    CHECK(jacobian_step(std::nan("")) == 6.0554544523933395e-06 * 1e-8);
    CHECK(jacobian_step(-3.0) == 3.0 * 6.0554544523933395e-06);
    CHECK(forward_step(-3.0) == 3.0 * 1.4901161193847656e-08);
    CHECK(forward_step(std::nan("")) == 1.4901161193847656e-08 * 1e-8);

    const SeriesList t = tree_of("R0-(R1,C1)");
    std::vector<double> omega, w;
    std::vector<Cx> z;
    for (int i = 0; i < 40; ++i) {
        omega.push_back(std::pow(10.0, -1 + 0.15 * i));
        z.push_back({5.0, -1.0});
        w.push_back(1.0);
    }
    const std::vector<double> p{2.0, 30.0, 1e-4, 123.0};  // last entry unused
    EvalCounter counter{0};
    std::vector<double> r(80), jac(4 * 80);
    residuals(t, p, {omega, z, w}, counter, r.data());
    REQUIRE(jacobian_columns(t, p, {omega, z, w}, counter, jac.data()));
    CHECK(counter == 1 + 8);
    for (std::size_t i = 0; i < 40; ++i) {
        // d/dR0 = 1 on the real part; the surplus column is exactly zero.
        CHECK(jac[2 * i] == doctest::Approx(1.0).epsilon(1e-9));
        CHECK(jac[2 * i + 1] == 0.0);
        CHECK(jac[3 * 80 + 2 * i] == 0.0);
        CHECK(jac[3 * 80 + 2 * i + 1] == 0.0);
        // d/dR1 of R1 / (1 + j w R1 C1) = 1 / (1 + j w R1 C1)^2.
        const Cx d = Cx{1.0, omega[i] * p[1] * p[2]};
        const Cx expect = reciprocal(d * d);
        CHECK(jac[80 + 2 * i] == doctest::Approx(expect.re).epsilon(1e-7));
        CHECK(jac[80 + 2 * i + 1] == doctest::Approx(expect.im).epsilon(1e-7).scale(1.0));
    }
    EvalCounter empty{0};
    CHECK(jacobian_columns(t, std::vector<double>{}, {omega, z, w}, empty, jac.data()));
    CHECK(empty == 0);
}

TEST_CASE("screening jacobian: forward differences, node by node") {
    // nested groups, a CPE (with and without log omega), own imaginary weights
    const SeriesList t = tree_of("L0-R0-(R1,CPE1)-(CPE2,R2-(R3,C3))-Wo4");
    std::vector<double> omega, logw, w, w_im;
    std::vector<Cx> z;
    for (int i = 0; i < 70; ++i) {  // more than one block of frequencies
        omega.push_back(std::pow(10.0, -2 + 0.1 * i));
        logw.push_back(std::log(omega.back()));
        z.push_back({5.0 + i, -1.0 - 0.5 * i});
        w.push_back(1.0 + 0.1 * i);
        w_im.push_back(2.0 + 0.05 * i);
    }
    const std::vector<double> p{1e-6, 2.0, 30.0, 1e-4, 0.8, 2e-3, 0.7, 40.0, 60.0, 1e-3, 25.0, 3.0, 9.9};
    const std::size_t rows = 140, m = p.size();
    for (const Spectrum& data : {Spectrum{omega, z, w}, Spectrum{omega, z, w, logw, w_im}}) {
        EvalCounter whole_count{0}, split_count{0};
        std::vector<double> whole(m * rows), split(m * rows, 7.0);
        REQUIRE(jacobian_columns(t, p, data, whole_count, whole.data()));
        SplitJacobian jac(t, data);
        std::vector<bool> skip(m, false);
        skip[3] = true;
        REQUIRE(jac(p, &skip, split_count, split.data()));
        CHECK(whole_count == 2 * m);
        CHECK(split_count == m);
        for (std::size_t k = 0; k < m; ++k) {
            double scale = 0.0;
            for (std::size_t i = 0; i < rows; ++i) scale = std::max(scale, std::fabs(whole[k * rows + i]));
            for (std::size_t i = 0; i < rows; ++i) {
                const double got = split[k * rows + i];
                if (k == 3 || k == m - 1) CHECK(got == 0.0);  // skipped; beyond the circuit
                else CHECK(std::fabs(got - whole[k * rows + i]) <= 1e-5 * scale);
            }
        }
        // reused for a second point: nothing left over from the first
        std::vector<double> q = p;
        q[2] = 45.0;
        std::vector<double> again(m * rows);
        REQUIRE(jacobian_columns(t, q, data, whole_count, whole.data()));
        REQUIRE(jac(q, nullptr, split_count, again.data()));
        for (const std::size_t k : {std::size_t{2}, std::size_t{3}}) {
            double scale = 0.0;
            for (std::size_t i = 0; i < rows; ++i) scale = std::max(scale, std::fabs(whole[k * rows + i]));
            for (std::size_t i = 0; i < rows; ++i)
                CHECK(std::fabs(again[k * rows + i] - whole[k * rows + i]) <= 1e-5 * scale);
        }
    }
    EvalCounter c{0};
    SplitJacobian short_one(t, Spectrum{omega, z, w});
    std::vector<double> out(rows);
    CHECK_FALSE(short_one(std::vector<double>{1.0}, nullptr, c, out.data()));
}
