// Jacobians formed from several threads at once, each on its own problem
// size: per-thread scratch must never leak one caller's values into another,
// whether the columns run on the caller or on the worker pool.
#include <doctest/doctest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "fit/test_hooks.hpp"
#include "circuit/evaluate.hpp"
#include "circuit/parser.hpp"
#include "fit/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/residuals.hpp"

using namespace zetrion;

namespace {

struct Problem {
    SeriesList tree;
    std::vector<double> omega, w, p;
    std::vector<Cx> z;
    std::vector<double> jacobian() const {
        EvalCounter counter{0};
        std::vector<double> jac(p.size() * 2 * omega.size());
        REQUIRE(jacobian_columns(tree, p, {omega, z, w}, counter, jac.data()));
        return jac;
    }
};

Problem problem(const char* notation, std::vector<double> p, int points) {
    Problem pr{std::get<SeriesList>(parse(notation)), {}, {}, std::move(p), {}};
    for (int i = 0; i < points; ++i) {
        pr.omega.push_back(std::pow(10.0, -2 + 7.0 * i / points));
        pr.z.push_back({5.0 + i, -1.0});
        pr.w.push_back(1.0 + 0.01 * i);
    }
    return pr;
}

}  // namespace

TEST_CASE("Jacobians from concurrent threads equal the serial ones") {
    const Problem a = problem("R0-(R1,C1)", {2.0, 30.0, 1e-4}, 40);
    const Problem b = problem("R0-(R1,CPE1)-(R2-W2,CPE2)", {3.0, 20.0, 1e-5, 0.9, 50.0, 40.0, 1e-3, 0.8}, 300);
    const auto want_a = a.jacobian(), want_b = b.jacobian();
    const double saved = parallel_jacobian_min_micros();
    for (double threshold : {1e9, 0.0}) {  // columns on the caller, then on the pool whenever alone
        set_parallel_jacobian_min_micros(threshold);
        int bad_a = 0, bad_b = 0;
        std::thread t([&] {
            for (int i = 0; i < 40; ++i) bad_a += a.jacobian() != want_a;
        });
        for (int i = 0; i < 40; ++i) bad_b += b.jacobian() != want_b;
        t.join();
        CHECK(bad_a == 0);
        CHECK(bad_b == 0);
        // Alternating sizes on one thread reuse the same scratch.
        CHECK(a.jacobian() == want_a);
        CHECK(b.jacobian() == want_b);
        CHECK(a.jacobian() == want_a);
    }
    set_parallel_jacobian_min_micros(saved);
}

TEST_CASE("differential evolution from two threads at once, its runs sharing the pool") {
    const SeriesList tree = std::get<SeriesList>(parse(std::string_view("R0-(R1,CPE1)")));
    std::vector<double> f;
    for (int i = 0; i < 30; ++i) f.push_back(0.05 * std::pow(10.0, 0.2 * i));
    std::vector<Cx> z(f.size());
    sweep(rebuild(tree, std::vector<double>{8, 120, 2e-5, 0.85}), f, z.data());
    const FitData d(tree, f, z, Weighting::Modulus);
    auto run = [&](EvalCounter& c, double& cost) {
        auto r = differential_evolution(d, c, 20000);
        REQUIRE(std::holds_alternative<GlobalResult>(r));
        SolverCost eval(d, c);
        cost = eval(std::get<GlobalResult>(r).x);
    };
    EvalCounter ca{0}, cb{0};
    double ka = 0.0, kb = 0.0;
    std::thread t([&] { run(ca, ka); });
    run(cb, kb);
    t.join();
    // Every run's evaluations reach the caller's counter (ten runs of 20000
    // steps and one final evaluation each, plus the check above).
    CHECK(ca == 10 * 20001 + 1);
    CHECK(cb == 10 * 20001 + 1);
    // Noise-free data: the best of the ten runs lies near zero cost.
    CHECK(ka < 1e-3);
    CHECK(kb < 1e-3);
}
