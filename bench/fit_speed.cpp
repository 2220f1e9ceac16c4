// Fit speed: median wall time of a full default Levenberg-Marquardt fit of
// "R0-(R1-W1,CPE1)" on 60 points from starts within a factor of 3 of the
// truth, with the residual evaluations it used; and the Jacobian on the
// worker pool against the serial column loop, to place the cut-over.
//
//   cmake -S . -B build/bench -DZETRION_PYTHON=OFF -DZETRION_BENCH=ON && cmake --build build/bench
//   build/bench/fit_speed
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/worker_pool.hpp"
#include "fit/levenberg_marquardt.hpp"

using namespace zetrion;
using Clock = std::chrono::steady_clock;

namespace {

SeriesList tree_of(std::string_view s) { return std::get<SeriesList>(parse(s)); }

std::vector<double> log_freqs(std::size_t n, double lo, double hi) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = lo * std::pow(hi / lo, double(i) / double(n - 1));
    return f;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Jacobian columns computed serially or on the pool, timed per call.
double time_jacobian(const SeriesList& t, const std::vector<double>& p, const Spectrum& s, bool pooled, int reps) {
    const std::size_t rows = 2 * s.omega.size(), m = p.size();
    std::vector<double> out(rows * m);
    EvalCounter c{0};
    auto column = [&](std::size_t b, std::size_t e) {
        std::vector<double> shifted(p), plus(rows), minus(rows);
        for (std::size_t k = b; k < e; ++k) {
            const double h = jacobian_step(p[k]);
            shifted[k] = p[k] + h;
            residuals(t, shifted, s, c, plus.data());
            shifted[k] = p[k] - h;
            residuals(t, shifted, s, c, minus.data());
            shifted[k] = p[k];
            for (std::size_t i = 0; i < rows; ++i) out[k * rows + i] = (plus[i] - minus[i]) / (h + h);
        }
    };
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        if (pooled) WorkerPool::instance().parallel_for(m, 1, column);
        else column(0, m);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return median(times);
}

}  // namespace

int main() {
    const SeriesList t = tree_of("R0-(R1-W1,CPE1)");
    const auto f = log_freqs(60, 0.01, 1e5);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> times, evals;
    int truth_hits = 0;
    const int fits = 400;
    for (int k = 0; k < fits; ++k) {
        const std::vector<double> truth{5 + 20 * u(rng), 50 + 200 * u(rng), 10 + 50 * u(rng),
                                        1e-6 * std::pow(100.0, u(rng)), 0.7 + 0.25 * u(rng)};
        std::vector<Cx> z(f.size());
        sweep(rebuild(t, truth), f, z.data());
        std::vector<double> start(truth);
        for (std::size_t i = 0; i < 4; ++i) start[i] *= std::pow(3.0, 2 * u(rng) - 1);  // within a factor of 3
        start[4] = std::clamp(truth[4] + 0.1 * (2 * u(rng) - 1), 0.05, 0.99);
        const SeriesList s = rebuild(t, start);
        const auto t0 = Clock::now();
        const FitResult r = levenberg_marquardt_fit(s, f, z, Weighting::Modulus, LmSettings{});
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        const FitOutcome& o = std::get<FitOutcome>(r);
        evals.push_back(static_cast<double>(o.impedance_evals));
        bool hit = true;
        for (std::size_t i = 0; i < truth.size(); ++i) hit = hit && std::fabs(o.params[i] / truth[i] - 1) < 1e-6;
        truth_hits += hit;
    }
    std::printf("fit R0-(R1-W1,CPE1), 60 points, start within 3x: median %.1f us, p95 %.1f us, "
                "median residual evaluations %.0f, truth reached %d/%d\n",
                median(times), [&] { auto v = times; std::sort(v.begin(), v.end()); return v[v.size() * 95 / 100]; }(),
                median(evals), truth_hits, fits);

    std::printf("\njacobian: serial vs pool (%zu workers), median us per call\n", WorkerPool::instance().size());
    std::printf("%-34s %8s %8s %8s %10s\n", "circuit", "points", "serial", "pool", "leaf-evals");
    for (const char* notation : {"R0-(R1,C1)", "R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"}) {
        const SeriesList c = tree_of(notation);
        const auto p = param_values(c);
        for (std::size_t n : {10, 30, 60, 120, 250, 1000}) {
            const auto fr = log_freqs(n, 0.01, 1e5);
            std::vector<double> omega(n), w(n, 1.0);
            std::vector<Cx> z(n);
            for (std::size_t i = 0; i < n; ++i) omega[i] = fr[i] * kTwoPi;
            const Spectrum s{omega, z, w};
            const int reps = n > 200 ? 300 : 2000;
            const double serial = time_jacobian(c, p, s, false, reps);
            const double pool = time_jacobian(c, p, s, true, reps);
            std::printf("%-34s %8zu %8.2f %8.2f %10zu\n", notation, n, serial, pool,
                        p.size() * n * collect_leaves(c).size());
        }
    }
}
