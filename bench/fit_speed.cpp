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

#include "fit/test_hooks.hpp"
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

// The library's Jacobian forced onto one path (cut-over at infinity: serial;
// at zero: pool), timed per call.
double time_jacobian(const SeriesList& t, const std::vector<double>& p, const Spectrum& s, bool pooled, int reps) {
    std::vector<double> out(2 * s.omega.size() * p.size());
    EvalCounter c{0};
    set_parallel_jacobian_min_micros(pooled ? 0.0 : 1e300);
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        jacobian_columns(t, p, s, c, out.data());
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    set_parallel_jacobian_min_micros(kParallelJacobianMinMicros);
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

    // Whole fits with the Jacobian always serial, always pooled, and at the cut-over.
    std::printf("\nfit time by Jacobian path (median us over the same starts)\n");
    std::printf("%-34s %8s %10s %10s %10s\n", "circuit", "points", "serial", "pool", "default");
    for (const char* notation : {"R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"}) {
        const SeriesList c = tree_of(notation);
        for (std::size_t n : {30, 60, 200, 1000}) {
            const auto fr = log_freqs(n, 0.01, 1e5);
            std::vector<double> truth = param_values(c);
            for (std::size_t i = 0; i < truth.size(); ++i) truth[i] = i % 3 == 1 ? truth[i] : truth[i] * (1.0 + i);
            std::vector<Cx> z(n);
            sweep(rebuild(c, truth), fr, z.data());
            double med[3];
            const double modes[3] = {1e300, 0.0, kParallelJacobianMinMicros};
            for (int mode = 0; mode < 3; ++mode) {
                set_parallel_jacobian_min_micros(modes[mode]);
                std::vector<double> ts;
                std::mt19937_64 r2(11);
                for (int k = 0; k < (n > 200 ? 15 : 60); ++k) {
                    std::vector<double> start(truth);
                    for (double& v : start) v *= std::pow(2.0, 2 * u(r2) - 1);
                    for (std::size_t i = 0; i < start.size(); ++i)
                        if (param_names(c)[i].ends_with("alpha")) start[i] = std::min(start[i], 0.95);
                    const SeriesList s = rebuild(c, start);
                    const auto t0 = Clock::now();
                    (void)levenberg_marquardt_fit(s, fr, z, Weighting::Modulus, LmSettings{});
                    ts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                }
                med[mode] = median(ts);
            }
            set_parallel_jacobian_min_micros(kParallelJacobianMinMicros);
            std::printf("%-34s %8zu %10.1f %10.1f %10.1f\n", notation, n, med[0], med[1], med[2]);
        }
    }

    // From the element defaults: how often noise-free fits reach the truth.
    std::printf("\nfits from the element defaults, 50 points 10 mHz - 100 kHz, noise-free\n");
    for (const char* notation : {"R0-(R1,C1)", "R0-(R1,CPE1)", "R0-(R1-W1,CPE1)"}) {
        const SeriesList c = tree_of(notation);
        const auto f50 = log_freqs(50, 0.01, 1e5);
        const auto names = param_names(c);
        std::mt19937_64 r3(2024);
        int hits = 0;
        const int trials = 300;
        for (int k = 0; k < trials; ++k) {
            std::vector<double> truth;
            for (const auto& name : names) {
                if (name.ends_with(".alpha")) truth.push_back(0.6 + 0.4 * u(r3));
                else if (name.ends_with(".c") || name.ends_with(".q")) truth.push_back(1e-7 * std::pow(1e4, u(r3)));
                else truth.push_back(std::pow(1e3, u(r3)));
            }
            std::vector<Cx> z(f50.size());
            sweep(rebuild(c, truth), f50, z.data());
            const FitResult r = levenberg_marquardt_fit(c, f50, z, Weighting::Modulus, LmSettings{});
            const FitOutcome& o = std::get<FitOutcome>(r);
            bool hit = true;
            for (std::size_t i = 0; i < truth.size(); ++i) hit = hit && std::fabs(o.params[i] / truth[i] - 1) < 1e-6;
            hits += hit;
        }
        std::printf("%-34s truth reached in %d/%d (%.1f %%)\n", notation, hits, trials, 100.0 * hits / trials);
    }

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
