// How far the generic tree walk is from the same circuits written out by hand.
//
// For "R0-(R1-W1,CPE1)" and "R0-(R1,CPE1)-(R2-Wo2,CPE2)" this measures, in
// nanoseconds per frequency:
//   tree   the serial tree walk (zetrion::sweep_serial, which evaluates the
//          tree over blocks of frequencies) at 100, 10 000 and 1 000 000
//          frequencies;
//   hand   the same circuit as straight-line code on the element helpers of
//          elements/complex.hpp, doing the same operations in the same order,
//          at the same sizes;
//   serial / pool   zetrion::sweep_serial against zetrion::sweep on
//          the worker pool at 100 000 frequencies.
// Tree and hand (and serial and pool) samples are interleaved so that drift
// in the machine's speed hits both alike. The hand-written results must be
// bit-identical to the tree walk's and the pooled sweep's to the serial
// loop's; the program aborts otherwise.
//
// Output: one JSON object per line. Lines with "kind":"timing" carry
// median_ns and min_ns (per frequency) over `samples` samples of `reps`
// sweeps each; "kind":"ratio" lines the median of the per-sample time ratios
// of the two interleaved variants (num / den); "kind":"check" lines report
// the comparisons.
//
// Usage: impedance_floor [--quick]   (--quick: fewer, shorter samples)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/parser.hpp"
#include "circuit/worker_pool.hpp"
#include "elements/complex.hpp"
#include "elements/element.hpp"

using zetrion::Cx;

namespace {

// Keeps the compiler from proving a buffer unused or its contents known.
inline void clobber(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

// Parameters come from a volatile table so that none of them is a
// compile-time constant in the hand-written code either.
volatile double kRandlesValues[] = {18.5, 140.0, 32.0, 2.7e-5, 0.87};
volatile double kSeiValues[] = {11.0, 42.0, 7.5e-6, 0.92, 175.0, 55.0, 3.2, 2.9e-4, 0.76};

struct RandlesP {
    double r0, r1, aw, q1, a1;
};
struct SeiP {
    double r0, r1, q1, a1, r2, z0, tau, q2, a2;
};

// Element formulas, exactly as the element kinds evaluate them.
inline Cx z_r(double r) { return {r, 0.0}; }
inline Cx z_w(double aw, double w) {
    const double s = std::sqrt(w);
    return Cx{aw, -aw} / Cx{s, 0.0};
}
inline Cx z_cpe(double q, double alpha, double w) {
    return zetrion::reciprocal(zetrion::scale(q, zetrion::cpow({0.0 * w, w}, alpha)));
}
inline Cx z_wo(double z0, double tau, double w) {
    const Cx u = zetrion::csqrt({0.0 * w * tau, w * tau});
    return zetrion::real_over(z0, u * zetrion::ctanh_clamped(u));
}

// R0-(R1-W1,CPE1). Series sums start from 0 + 0j and parallel groups sum
// admittances from 0 + 0j, as in the tree walk.
inline Cx randles_hand(const RandlesP& p, double w) {
    Cx b1{0.0, 0.0};
    b1 += z_r(p.r1);
    b1 += z_w(p.aw, w);
    Cx b2{0.0, 0.0};
    b2 += z_cpe(p.q1, p.a1, w);
    Cx y{0.0, 0.0};
    y += zetrion::reciprocal(b1);
    y += zetrion::reciprocal(b2);
    Cx z{0.0, 0.0};
    z += z_r(p.r0);
    z += zetrion::reciprocal(y);
    return z;
}

// R0-(R1,CPE1)-(R2-Wo2,CPE2).
inline Cx sei_hand(const SeiP& p, double w) {
    Cx z{0.0, 0.0};
    z += z_r(p.r0);
    {
        Cx b1{0.0, 0.0};
        b1 += z_r(p.r1);
        Cx b2{0.0, 0.0};
        b2 += z_cpe(p.q1, p.a1, w);
        Cx y{0.0, 0.0};
        y += zetrion::reciprocal(b1);
        y += zetrion::reciprocal(b2);
        z += zetrion::reciprocal(y);
    }
    {
        Cx b1{0.0, 0.0};
        b1 += z_r(p.r2);
        b1 += z_wo(p.z0, p.tau, w);
        Cx b2{0.0, 0.0};
        b2 += z_cpe(p.q2, p.a2, w);
        Cx y{0.0, 0.0};
        y += zetrion::reciprocal(b1);
        y += zetrion::reciprocal(b2);
        z += zetrion::reciprocal(y);
    }
    return z;
}

std::vector<double> log_frequencies(std::size_t n) {
    // 1 mHz .. 1 MHz, log-spaced.
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i)
        f[i] = std::pow(10.0, -3.0 + 9.0 * (n > 1 ? double(i) / double(n - 1) : 0.0));
    return f;
}

using Clock = std::chrono::steady_clock;

struct Stat {
    double median_ns;
    double min_ns;
};

Stat summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    const double med = v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
    return {med, v.front()};
}

struct Config {
    int samples;
    double min_sample_s;  // each sample repeats the sweep until it lasts this long
};

// Times two sweep functions over n frequencies, alternating their samples.
struct PairTiming {
    Stat a, b;
    double ratio_median;  // median over samples of time(a) / time(b), neighbours in time
    int reps, samples;
};

template <class A, class B>
PairTiming time_pair(std::size_t n, const Config& cfg, A&& a, B&& b) {
    // Calibrate the repetition count on `a`.
    int reps = 1;
    for (;;) {
        const auto t0 = Clock::now();
        for (int r = 0; r < reps; ++r) a();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (s >= cfg.min_sample_s || reps >= (1 << 20)) break;
        reps = std::max(reps * 2, int(reps * cfg.min_sample_s / std::max(s, 1e-9)));
    }
    const int samples = n >= 1000000 ? std::max(3, cfg.samples / 2) : cfg.samples;
    std::vector<double> ta, tb;
    for (int s = 0; s < samples; ++s) {
        for (int which = 0; which < 2; ++which) {
            const bool first = (which == 0) == (s % 2 == 0);  // alternate who goes first
            const auto t0 = Clock::now();
            for (int r = 0; r < reps; ++r) first ? a() : b();
            const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
            (first ? ta : tb).push_back(ns / (double(reps) * double(n)));
        }
    }
    std::vector<double> ratios(ta.size());
    for (std::size_t i = 0; i < ta.size(); ++i) ratios[i] = ta[i] / tb[i];
    return {summarise(ta), summarise(tb), summarise(ratios).median_ns, reps, samples};
}

void print_ratio(const char* circuit, const char* num, const char* den, std::size_t n, double r) {
    std::printf("{\"kind\":\"ratio\",\"circuit\":\"%s\",\"num\":\"%s\",\"den\":\"%s\",\"n\":%zu,\"median\":%.4f}\n",
                circuit, num, den, n, r);
    std::fflush(stdout);
}

void print_timing(const char* circuit, const char* impl, std::size_t n, const Stat& s, int reps, int samples) {
    std::printf(
        "{\"kind\":\"timing\",\"circuit\":\"%s\",\"impl\":\"%s\",\"n\":%zu,\"median_ns\":%.3f,\"min_ns\":%.3f,"
        "\"reps\":%d,\"samples\":%d}\n",
        circuit, impl, n, s.median_ns, s.min_ns, reps, samples);
    std::fflush(stdout);
}

// Bitwise comparison; any difference aborts the run.
void check_identical(const char* circuit, const char* what, const std::vector<Cx>& x, const std::vector<Cx>& y) {
    std::size_t diffs = 0, first = 0;
    double max_rel = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::memcmp(&x[i], &y[i], sizeof(Cx)) != 0) {
            if (diffs++ == 0) first = i;
            const double d = std::hypot(x[i].re - y[i].re, x[i].im - y[i].im);
            max_rel = std::max(max_rel, d / std::hypot(y[i].re, y[i].im));
        }
    }
    std::printf("{\"kind\":\"check\",\"circuit\":\"%s\",\"what\":\"%s\",\"n\":%zu,\"differing\":%zu,\"max_rel\":%.3g}\n",
                circuit, what, x.size(), diffs, max_rel);
    std::fflush(stdout);
    if (diffs) {
        std::fprintf(stderr, "%s: %s differ at index %zu (%zu of %zu points)\n", circuit, what, first, diffs,
                     x.size());
        std::exit(1);
    }
    for (const Cx& z : x)
        if (!std::isfinite(z.re) || !std::isfinite(z.im)) {
            std::fprintf(stderr, "%s: non-finite impedance\n", circuit);
            std::exit(1);
        }
}

zetrion::SeriesList parse_or_die(const char* text) {
    auto r = zetrion::parse(std::string_view(text));
    if (auto* e = std::get_if<zetrion::ParseError>(&r)) {
        std::fprintf(stderr, "%s: %s\n", text, e->message().c_str());
        std::exit(1);
    }
    return std::get<zetrion::SeriesList>(std::move(r));
}

double checksum(const std::vector<Cx>& z) {
    double s = 0.0;
    for (const Cx& v : z) s += v.re + v.im;
    return s;
}

template <class Params, class Hand>
void run_circuit(const char* name, const std::vector<double>& values, const Params& p,
                 Hand hand, const Config& cfg, double& sink) {
    const zetrion::SeriesList tree = zetrion::rebuild(parse_or_die(name), values);

    for (std::size_t n : {std::size_t(100), std::size_t(10000), std::size_t(1000000)}) {
        const std::vector<double> f = log_frequencies(n);
        std::vector<Cx> zt(n), zh(n);
        auto tree_walk = [&] {
            zetrion::sweep_serial(tree, f, zt.data());
            clobber(zt.data());
        };
        auto hand_written = [&] {
            for (std::size_t i = 0; i < n; ++i) zh[i] = hand(p, f[i] * zetrion::kTwoPi);
            clobber(zh.data());
        };
        tree_walk();
        hand_written();
        check_identical(name, "hand_vs_tree", zh, zt);
        const PairTiming t = time_pair(n, cfg, tree_walk, hand_written);
        print_timing(name, "tree", n, t.a, t.reps, t.samples);
        print_timing(name, "hand", n, t.b, t.reps, t.samples);
        print_ratio(name, "tree", "hand", n, t.ratio_median);
        sink += checksum(zt) + checksum(zh);
    }

    const std::size_t n = 100000;
    const std::vector<double> f = log_frequencies(n);
    std::vector<Cx> zs(n), zp(n);
    auto serial = [&] {
        zetrion::sweep_serial(tree, f, zs.data());
        clobber(zs.data());
    };
    auto pooled = [&] {
        zetrion::sweep(tree, f, zp.data());
        clobber(zp.data());
    };
    serial();
    pooled();  // also starts the pool's threads
    check_identical(name, "pool_vs_serial", zp, zs);
    const PairTiming t = time_pair(n, cfg, serial, pooled);
    print_timing(name, "serial", n, t.a, t.reps, t.samples);
    print_timing(name, "pool", n, t.b, t.reps, t.samples);
    print_ratio(name, "serial", "pool", n, t.ratio_median);
    sink += checksum(zs) + checksum(zp);
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg{15, 0.02};
    if (argc > 1 && std::strcmp(argv[1], "--quick") == 0) cfg = {5, 0.005};

    std::printf("{\"kind\":\"info\",\"pool_workers\":%zu,\"parallel_sweep_min\":%zu}\n",
                zetrion::WorkerPool::instance().size(), zetrion::kParallelSweepMin);

    double sink = 0.0;
    {
        RandlesP p{kRandlesValues[0], kRandlesValues[1], kRandlesValues[2], kRandlesValues[3], kRandlesValues[4]};
        const std::vector<double> v{p.r0, p.r1, p.aw, p.q1, p.a1};
        run_circuit("R0-(R1-W1,CPE1)", v, p, randles_hand, cfg, sink);
    }
    {
        SeiP p{kSeiValues[0], kSeiValues[1], kSeiValues[2], kSeiValues[3], kSeiValues[4],
               kSeiValues[5], kSeiValues[6], kSeiValues[7], kSeiValues[8]};
        const std::vector<double> v{p.r0, p.r1, p.q1, p.a1, p.r2, p.z0, p.tau, p.q2, p.a2};
        run_circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)", v, p, sei_hand, cfg, sink);
    }
    std::printf("{\"kind\":\"info\",\"checksum\":%.17g}\n", sink);
    return 0;
}
