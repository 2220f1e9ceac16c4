// The prepared network against the layer-by-layer path: same outputs for
// every layout the fast kernels handle (grids that are not a multiple of the
// vector chunk, wide dilations, several blocks, several channel blocks), and
// the layer path kept for what they do not handle.
#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nn/guesser.hpp"
#include "weight_blob.hpp"

namespace zetrion {
// The layer-by-layer path, which the fast kernels are held to.
struct GuesserTestAccess {
    static std::variant<std::vector<double>, NnError> forward_layers(const Guesser& g, const Features& x) {
        return g.forward_layers(x);
    }
};
}  // namespace zetrion

using namespace zetrion;

namespace {

using test::Bytes;
using test::put_f32_tensor;
using test::put_str;
using test::put_u32;

struct Shape {
    std::uint32_t h = 8, grid = 16, kernel = 3, groups = 4;
    std::vector<std::uint32_t> dilations{1};
    float zero_tap = 1.0f;  // 0: one convolution tap is exactly zero
};

// A "R0-R1" model of the given shape with random weights.
Bytes model(const Shape& s, unsigned seed) {
    Bytes b{'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
    std::string dil;
    for (auto d : s.dilations) dil += (dil.empty() ? "" : ",") + std::to_string(d);
    const std::vector<std::pair<std::string, std::string>> meta = {
        {"circuit", "R0-R1"},
        {"param_names", "R0.r,R1.r"},
        {"estimator", "reactive_centroid"},
        {"n_grid", std::to_string(s.grid)},
        {"channels", std::to_string(s.h)},
        {"kernel", std::to_string(s.kernel)},
        {"groups", std::to_string(s.groups)},
        {"dilations", dil},
        {"alpha_min", "0.05"},
        {"alpha_max", "1.0"}};
    put_u32(b, static_cast<std::uint32_t>(meta.size()));
    for (const auto& [k, v] : meta) put_str(b, k), put_str(b, v);
    std::mt19937 rng(seed);
    std::normal_distribution<float> nd(0.0f, 0.3f);
    auto rnd = [&](std::size_t n) {
        std::vector<float> v(n);
        for (float& x : v) x = nd(rng);
        return v;
    };
    const std::uint32_t H = s.h, K = s.kernel;
    std::vector<std::tuple<std::string, std::vector<std::uint32_t>, std::vector<float>>> t;
    auto stem = rnd(H * 3 * K);
    stem[1] *= s.zero_tap;
    t.push_back({"w.stem.weight", {H, 3, K}, stem});
    t.push_back({"w.stem.bias", {H}, rnd(H)});
    for (std::size_t i = 0; i < s.dilations.size(); ++i) {
        const std::string p = "w.blocks." + std::to_string(i) + ".";
        for (const char* c : {"conv1", "conv2"}) {
            t.push_back({p + c + ".weight", {H, H, K}, rnd(H * H * K)});
            t.push_back({p + c + ".bias", {H}, rnd(H)});
        }
        for (const char* n : {"norm1", "norm2"}) {
            auto g = rnd(H);
            for (float& v : g) v += 1.0f;
            t.push_back({p + n + ".weight", {H}, g});
            t.push_back({p + n + ".bias", {H}, rnd(H)});
        }
    }
    t.push_back({"w.head.0.weight", {4 * H + 3, 2 * H + 2}, rnd((4 * H + 3) * (2 * H + 2))});
    t.push_back({"w.head.0.bias", {4 * H + 3}, rnd(4 * H + 3)});
    t.push_back({"w.head.2.weight", {2 * H + 1, 4 * H + 3}, rnd((2 * H + 1) * (4 * H + 3))});
    t.push_back({"w.head.2.bias", {2 * H + 1}, rnd(2 * H + 1)});
    t.push_back({"w.head.4.weight", {4, 2 * H + 1}, rnd(4 * (2 * H + 1))});
    t.push_back({"w.head.4.bias", {4}, rnd(4)});
    t.push_back({"target_mean", {2}, {0.0f, 0.5f}});
    t.push_back({"target_std", {2}, {0.5f, 0.5f}});
    t.push_back({"scaling", {2, 4}, {1, 0, 0, -1, 1, 0, 0, -1}});
    t.push_back({"log_params", {2}, {1, 1}});
    put_u32(b, static_cast<std::uint32_t>(t.size()));
    for (const auto& [name, dims, v] : t) put_f32_tensor(b, name, dims, v);
    return b;
}

Features spectrum_features(const Guesser& g, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    std::vector<double> f;
    std::vector<Cx> z;
    const double r0 = 10.0 * u(rng), r1 = 100.0 * u(rng), c = 1e-5 * u(rng);
    for (int i = 0; i < 40; ++i) {
        const double fi = std::pow(10.0, 5.0 - 0.17 * i), w = 6.283185307179586 * fi;
        const double d = 1.0 + (w * r1 * c) * (w * r1 * c);
        f.push_back(fi);
        z.push_back({r0 + r1 / d, -(w * r1 * r1 * c) / d});
    }
    return g.features(f, z, g.scales(f, z));
}

double worst_relative(const std::vector<double>& a, const std::vector<double>& b) {
    double w = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) w = std::max(w, std::fabs(a[i] - b[i]) / std::max(std::fabs(b[i]), 1e-300));
    return w;
}

}  // namespace

TEST_CASE("the prepared network gives the layer path's outputs") {
    const std::vector<Shape> shapes = {
        {},                                           // one 8-channel block of 16 positions
        {16, 20, 5, 8, {1, 2, 4, 8}},                 // a grid that is not a multiple of the chunk, dilation 8
        {32, 64, 5, 8, {1, 2, 4, 8}},                 // the built-in layout
        {24, 37, 7, 3, {3, 1}},                       // three weight blocks, odd kernel, three channels a group
        {8, 5, 3, 2, {16}},                           // dilation far wider than the grid
    };
    unsigned seed = 1;
    for (const Shape& s : shapes) {
        const auto g = std::get<Guesser>(Guesser::from_bytes(model(s, seed++)));
        for (unsigned k = 0; k < 3; ++k) {
            const Features x = spectrum_features(g, 100 + k);
            const auto fast = std::get<std::vector<double>>(g.forward(x));
            const auto plain = std::get<std::vector<double>>(GuesserTestAccess::forward_layers(g, x));
            REQUIRE(fast.size() == plain.size());
            // Only GELU's last bits differ between the two.
            CHECK(worst_relative(fast, plain) < 1e-12);
            // Repeated calls reuse the scratch buffers and give the same bits.
            CHECK(std::get<std::vector<double>>(g.forward(x)) == fast);
        }
    }
}

TEST_CASE("models the fast kernels do not handle keep the layer path") {
    Shape zero;
    zero.zero_tap = 0.0f;  // a zero tap is skipped by the layer path
    Shape odd;
    odd.h = 12;  // channels not a multiple of the weight block
    odd.groups = 4;
    for (const Shape& s : {zero, odd}) {
        const auto g = std::get<Guesser>(Guesser::from_bytes(model(s, 7)));
        const Features x = spectrum_features(g, 3);
        CHECK(std::get<std::vector<double>>(g.forward(x)) == std::get<std::vector<double>>(GuesserTestAccess::forward_layers(g, x)));
    }
    // A guesser edited after loading no longer matches its plan and takes
    // the layer path, which reports the missing block.
    auto g = std::get<Guesser>(Guesser::from_bytes(model(Shape{}, 9)));
    g.dilations.push_back(2);
    const auto r = g.forward(spectrum_features(g, 1));
    REQUIRE(std::holds_alternative<NnError>(r));
    CHECK(std::get<NnError>(r).message().find("blocks.1.conv1") != std::string::npos);
}

TEST_CASE("threads and models of different layouts share nothing mutable") {
    const auto a = std::get<Guesser>(Guesser::from_bytes(model({16, 20, 5, 8, {1, 2, 4, 8}}, 11)));
    const auto b = std::get<Guesser>(Guesser::from_bytes(model({8, 64, 3, 4, {1, 2}}, 12)));
    const Features xa = spectrum_features(a, 5), xb = spectrum_features(b, 6);
    const auto want_a = std::get<std::vector<double>>(a.forward(xa));
    const auto want_b = std::get<std::vector<double>>(b.forward(xb));
    int bad = 0;
    auto work = [&](int n) {
        int local = 0;
        for (int i = 0; i < n; ++i) {
            // Alternating layouts on one thread: margins left by the other model must not leak in.
            local += std::get<std::vector<double>>(a.forward(xa)) != want_a;
            local += std::get<std::vector<double>>(b.forward(xb)) != want_b;
        }
        return local;
    };
    std::thread t1([&] { bad += work(50); });
    const int here = work(50);
    t1.join();
    CHECK(bad + here == 0);
}
