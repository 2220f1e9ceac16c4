#include <doctest/doctest.h>

#include <cmath>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/parser.hpp"
#include "fit/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/random.hpp"

using namespace zetrion;

namespace {

std::array<std::uint32_t, 16> zero_key_state() {
    return {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

struct Setup {
    SeriesList tree;
    std::vector<double> f;
    std::vector<Cx> z;
    Setup() {
        tree = std::get<SeriesList>(parse(std::string_view("R0-(R1,CPE1)")));
        for (int i = 0; i < 30; ++i) f.push_back(0.05 * std::pow(10.0, 0.2 * i));
        z.resize(f.size());
        sweep(rebuild(tree, std::vector<double>{8, 120, 2e-5, 0.85}), f, z.data());
    }
};

}  // namespace

TEST_CASE("ChaCha block function against published test vectors") {
    // RFC 7539, 2.3.2: key 00..1f, block counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
    std::array<std::uint32_t, 16> in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504,
                                     0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                     0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const std::array<std::uint32_t, 16> want{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                             0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                             0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    CHECK(chacha_block(in, 20) == want);
    // All-zero key and nonce, first block: ChaCha20 76 b8 e0 ad ..., ChaCha12 9b f4 9a 6a ...
    CHECK(chacha_block(zero_key_state(), 20)[0] == 0xade0b876);
    CHECK(chacha_block(zero_key_state(), 20)[1] == 0x903df1a0);
    CHECK(chacha_block(zero_key_state(), 12)[0] == 0x6a9af49b);
    CHECK(chacha_block(zero_key_state(), 12)[1] == 0x53f95507);
    // The generator's first output is that block's first two words.
    ChaCha12 g(std::array<std::uint8_t, 32>{});
    CHECK(g.next_u64() == (0x53f95507ull << 32 | 0x6a9af49bull));
}

TEST_CASE("seeded generators repeat, unseeded ones do not") {
    ChaCha12 a = ChaCha12::from_seed(42), b = ChaCha12::from_seed(42), c = ChaCha12::from_seed(43);
    for (int i = 0; i < 40; ++i) {
        const auto x = a.next_u64();
        CHECK(x == b.next_u64());
        CHECK(x != c.next_u64());
    }
    CHECK(ChaCha12::from_seed(std::nullopt).next_u64() != ChaCha12::from_seed(std::nullopt).next_u64());
    ChaCha12 u = ChaCha12::from_seed(1);
    for (int i = 0; i < 1000; ++i) {
        const double v = u.uniform01();
        CHECK((v >= 0.0 && v < 1.0));
        const double w = u.between(3.0, -1.0);
        CHECK((w >= -1.0 && w < 3.0));
    }
    CHECK(u.between(2.5, 2.5) == 2.5);
    Xorshift128 x(1, 2, 3, 4);
    for (int i = 0; i < 1000; ++i) {
        CHECK(x.below(100) < 100u);
        const float f = x.uniform01f();
        CHECK((f >= 0.0f && f < 1.0f));
    }
}

TEST_CASE("evaluation counts of the global searches") {
    Setup s;
    const FitData d(s.tree, s.f, s.z, Weighting::Modulus);
    EvalCounter c{0};
    auto pso = particle_swarm(d, c, 20, 5, 7);
    REQUIRE(std::holds_alternative<GlobalResult>(pso));
    CHECK(c == 20 * 6);
    const SearchBox box = pso_search_box(d);
    const auto& x = std::get<GlobalResult>(pso).x;
    for (std::size_t j = 0; j < x.size(); ++j) CHECK((x[j] >= box.lower[j] && x[j] <= box.upper[j]));
    EvalCounter c0{0};
    auto none = particle_swarm(d, c0, 10, 0, 7);
    CHECK(std::get<GlobalResult>(none).iterations == 0);
    CHECK(c0 == 10);
    EvalCounter sa{0};
    REQUIRE(std::holds_alternative<GlobalResult>(simulated_annealing(d, sa, 300, 2.0, 5)));
    CHECK(sa == 301);
    EvalCounter de{0};
    auto r = differential_evolution(d, de, 50);
    REQUIRE(std::holds_alternative<GlobalResult>(r));
    CHECK(std::get<GlobalResult>(r).iterations == 500);
    CHECK(de == 10 * 51);
    EvalCounter de0{0};
    REQUIRE(std::holds_alternative<GlobalResult>(differential_evolution(d, de0, 0)));
    CHECK(de0 == 10 * 2);
}

TEST_CASE("search box") {
    Setup s;
    const SeriesList zero_start = rebuild(s.tree, std::vector<double>{0.0, 100.0, 1e-5, 0.8});
    const FitData d(zero_start, s.f, s.z, Weighting::Modulus);
    const SearchBox box = pso_search_box(d);
    // R0 = 0: built from s = 1e-6, four decades either side (above lo = 1e-12).
    CHECK(box.lower[0] == doctest::Approx(std::log10(1e-10 - 1e-12)));
    CHECK(box.upper[0] == doctest::Approx(std::log10(1e-2 - 1e-12)));
    CHECK(box.lower[1] == doctest::Approx(std::log10(0.01 - 1e-12)));
    CHECK(box.upper[1] == doctest::Approx(6.0));
    CHECK(box.lower[3] == 0.0);
    CHECK(box.upper[3] == 1.0);
}
