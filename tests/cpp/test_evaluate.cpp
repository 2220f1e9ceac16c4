#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/worker_pool.hpp"
#include "support.hpp"

using namespace zetrion;
using namespace zetrion::test;

namespace {

SeriesList tree_of(std::string_view text) {
    ParseResult r = parse(text);
    REQUIRE(std::holds_alternative<SeriesList>(r));
    return std::get<SeriesList>(std::move(r));
}

SeriesList with(std::string_view text, std::vector<double> v) { return rebuild(tree_of(text), v); }

}  // namespace

TEST_CASE("series and parallel combination") {
    const Cx z = impedance(with("R0-(R1,C1)", {1, 1, 1}), 1.0);
    CHECK(z.re == doctest::Approx(1.5).epsilon(1e-15));
    CHECK(z.im == doctest::Approx(-0.5).epsilon(1e-15));

    const Cx two = impedance(with("(R0,R1)", {2, 2}), 3.0);
    CHECK(two.re == 1.0);
    CHECK(two.im == 0.0);

    const Cx single = impedance(with("(R0-C1)", {3, 1e-3}), 10.0);
    const Cx direct = impedance(with("R0-C1", {3, 1e-3}), 10.0);
    CHECK(single.re == doctest::Approx(direct.re).epsilon(1e-14));
    CHECK(single.im == doctest::Approx(direct.im).epsilon(1e-14));

    const Cx empty = impedance(SeriesList{}, 5.0);
    CHECK(empty.re == 0.0);
    CHECK(empty.im == 0.0);

    // A short-circuited branch is not special-cased: 0/0 makes the group NaN.
    const Cx shorted = impedance(with("(R0,R1)", {0, 5}), 1.0);
    CHECK(std::isnan(shorted.re));
    const Cx no_branches = impedance(SeriesList{Node::parallel({})}, 1.0);
    CHECK(std::isnan(no_branches.re));
}

TEST_CASE("values from a flat vector") {
    const SeriesList t = tree_of("R0-C1");
    const std::vector<double> short_v{5};
    ParamStream s1{short_v.data(), short_v.size()};
    CHECK_FALSE(series_impedance_with_params(t, s1, 1.0).has_value());

    const std::vector<double> long_v{5, 1e-3, 7};
    ParamStream s2{long_v.data(), long_v.size()};
    const auto z = series_impedance_with_params(t, s2, 1.0);
    REQUIRE(z.has_value());
    CHECK(s2.pos == 2);
    const Cx stored = impedance(with("R0-C1", {5, 1e-3}), 1.0);
    CHECK(z->re == stored.re);
    CHECK(z->im == stored.im);
}

TEST_CASE("rebuild keeps kinds and labels") {
    const SeriesList t = with("R0-(R1,CPE1)-Wo2", {1, 2, 3, 0.5, 6, 7, 99});
    CHECK(param_values(t) == std::vector<double>{1, 2, 3, 0.5, 6, 7});
    CHECK(param_names(t) == std::vector<std::string>{"R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "Wo2.z0", "Wo2.tau"});
    CHECK(param_count(t) == 6);
}

TEST_CASE("pooled sweep matches the serial one in value and order") {
    const SeriesList t = with("R0-(R1-W1,CPE1)", {10, 100, 30, 1e-5, 0.85});
    std::vector<double> f(5000);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = std::pow(10.0, -3.0 + 9.0 * double(i) / double(f.size()));
    std::vector<Cx> pooled(f.size());
    sweep(t, f, pooled.data());
    for (std::size_t i = 0; i < f.size(); ++i) {
        const Cx z = impedance(t, f[i] * kTwoPi);
        REQUIRE(pooled[i].re == z.re);
        REQUIRE(pooled[i].im == z.im);
    }
}

TEST_CASE("the pool serves several callers at once") {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int rep = 0; rep < 50; ++rep) {
                std::vector<std::size_t> seen(3000 + t, 0);
                WorkerPool::instance().parallel_for(seen.size(), 7, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) seen[i] += i + 1;
                });
                for (std::size_t i = 0; i < seen.size(); ++i)
                    if (seen[i] != i + 1) return;
            }
            ok[t] = 1;
        });
    }
    for (auto& th : threads) th.join();
    CHECK(ok == std::vector<int>{1, 1, 1, 1});
}

TEST_CASE("block evaluation is bit-identical to the point-wise walk") {
    // Every kind, exponents on and off their shortcuts, and frequencies that
    // leave the fast paths (zero, negative, infinite, NaN).
    const char* notation = "R0-C1-L2-(La3,CPE4)-W5-(Wo6,Ws7-G8)-Gs9-(K10,Zarc11,TLMQ12)-T13";
    const SeriesList base = tree_of(notation);
    std::vector<double> f{0.0, -3.0, INFINITY, NAN, 1e-300, 1e300};
    for (int i = 0; i < 150; ++i) f.push_back(std::pow(10.0, -4.0 + 0.07 * i));
    for (double e : {0.83, 1.0, 0.5, 0.0, -0.2, 1.7, std::nan("")}) {
        std::vector<double> v = param_values(base);
        v[4] = e;   // La alpha
        v[6] = e;   // CPE alpha
        v[19] = e;  // Zarc gamma
        v[22] = e;  // TLMQ gamma
        const SeriesList t = rebuild(base, v);
        std::vector<Cx> block(f.size());
        sweep_serial(t, f, block.data());
        std::vector<double> omega(f.size());
        for (std::size_t i = 0; i < f.size(); ++i) omega[i] = f[i] * kTwoPi;
        std::vector<Cx> from_params(f.size());
        BlockEvaluator(t).with_params(v.data(), omega.data(), omega.size(), from_params.data());
        for (std::size_t i = 0; i < f.size(); ++i) {
            const Cx z = impedance(t, omega[i]);
            CAPTURE(e);
            CAPTURE(f[i]);
            // NaN payloads and signs are not fixed by IEEE arithmetic; any NaN matches any NaN.
            const auto same = [](double a, double b) {
                return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
            };
            CHECK(same(block[i].re, z.re));
            CHECK(same(block[i].im, z.im));
            CHECK(same(from_params[i].re, z.re));
            CHECK(same(from_params[i].im, z.im));
        }
    }
}

TEST_CASE("precomputed log(omega) changes a CPE's value by a few ulps at most") {
    const SeriesList t = tree_of("R0-(R1,CPE1)-CPE2");
    std::vector<double> w, logw;
    for (double e = -3.0; e <= 7.0; e += 0.07) w.push_back(std::pow(10.0, e));
    // edge frequencies take the ordinary path
    w.push_back(0.0);
    w.push_back(INFINITY);
    for (double x : w) logw.push_back(std::log(x));
    for (double alpha : {0.5, 0.51, 0.7733, 0.999, 1.0, 0.0, -0.3, 1.7}) {
        const std::vector<double> p = {3.0, 40.0, 2.2e-5, alpha, 1e-3, 0.5 * alpha + 0.3};
        std::vector<Cx> plain(w.size()), fast(w.size());
        BlockEvaluator a(t), b(t);
        a.with_params(p.data(), w.data(), w.size(), plain.data());
        b.with_params(p.data(), w.data(), w.size(), fast.data(), logw.data());
        for (std::size_t i = 0; i < w.size(); ++i) {
            const double mag = std::hypot(plain[i].re, plain[i].im);
            if (!std::isfinite(mag)) {
                CHECK(std::memcmp(&plain[i], &fast[i], sizeof(Cx)) == 0);
                continue;
            }
            CHECK(std::fabs(plain[i].re - fast[i].re) <= 1e-14 * mag);
            CHECK(std::fabs(plain[i].im - fast[i].im) <= 1e-14 * mag);
        }
    }
}
