// The guesser network's kernels side by side: median time of one forward pass
// of each built-in network with every kernel this processor runs, and its
// ratio to the plain-double kernel, in one process. Run it on the machine in
// question (on aarch64 the "neon" kernel is the 128-bit vector one).
//
//   cmake -S . -B build/bench -DZETRION_PYTHON=OFF -DZETRION_BENCH=ON && cmake --build build/bench
//   build/bench/nn_kernels [repeats]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "models/registry.hpp"
#include "nn/kernels.hpp"

using namespace zetrion;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    std::vector<double> f;
    std::vector<Cx> z;
    for (int i = 0; i < 60; ++i) {  // a Randles-like arc with a diffusion tail
        const double fi = std::pow(10.0, 5.0 - 7.0 * i / 59.0), w = 6.283185307179586 * fi;
        const Cx zc = Cx{1.0, 0.0} / Cx{1.0 / 100.0, w * 2e-5};
        f.push_back(fi);
        z.push_back(Cx{10.0, 0.0} + zc + scale(1.0 / std::sqrt(w), Cx{30.0, -30.0}));
    }
    const auto kernels = nn_kernels::available();
    std::printf("%-16s", "model");
    for (auto k : kernels) std::printf(" %10.*s us", static_cast<int>(k.size()), k.data());
    std::printf("   speed-up over scalar\n");
    const auto names = model_names();
    for (std::size_t m = 0; m < names.size(); ++m) {
        const auto* g = std::get_if<Guesser>(&model_guesser(m));
        if (!g) continue;
        const Features x = g->features(f, z, g->scales(f, z));
        std::vector<double> us;
        for (auto k : kernels) {
            nn_kernels::use(k);
            std::vector<double> t;
            for (int r = 0; r < repeats; ++r) {
                const auto t0 = Clock::now();
                const auto out = g->forward(x);
                t.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                if (!std::holds_alternative<std::vector<double>>(out)) return 1;
            }
            std::nth_element(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(t.size() / 2), t.end());
            us.push_back(t[t.size() / 2]);
        }
        std::printf("%-16s", names[m].c_str());
        for (double u : us) std::printf(" %13.1f", u);
        std::printf("  ");
        for (double u : us) std::printf(" %.2f", us.back() / u);
        std::printf("\n");
    }
    nn_kernels::use_best();
    return 0;
}
