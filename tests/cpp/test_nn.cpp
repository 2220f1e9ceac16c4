#include <doctest/doctest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "circuit/parser.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "nn/guesser.hpp"
#include "weight_blob.hpp"

using namespace zetrion;

namespace {

using test::Bytes;
using test::put_f32_tensor;
using test::put_str;
using test::put_u32;

// A complete small model for "R0-R1": 8 channels, one block, kernel 3.
Bytes small_model(std::size_t h = 8) {
    Bytes b{'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
    const std::vector<std::pair<std::string, std::string>> meta = {
        {"circuit", "R0-R1"}, {"param_names", "R0.r,R1.r"}, {"estimator", "reactive_centroid"},
        {"n_grid", "16"},     {"channels", std::to_string(h)}, {"kernel", "3"},
        {"groups", "4"},      {"dilations", "1"},              {"alpha_min", "0.05"},
        {"alpha_max", "1.0"}};
    put_u32(b, static_cast<std::uint32_t>(meta.size()));
    for (const auto& [k, v] : meta) put_str(b, k), put_str(b, v);
    std::mt19937 rng(5);
    std::normal_distribution<float> nd(0.0f, 0.3f);
    auto rnd = [&](std::size_t n) {
        std::vector<float> v(n);
        for (float& x : v) x = nd(rng);
        return v;
    };
    const std::uint32_t H = static_cast<std::uint32_t>(h);
    std::vector<std::tuple<std::string, std::vector<std::uint32_t>, std::vector<float>>> t = {
        {"w.stem.weight", {H, 3, 3}, rnd(h * 9)},
        {"w.stem.bias", {H}, rnd(h)},
        {"w.blocks.0.conv1.weight", {H, H, 3}, rnd(h * h * 3)},
        {"w.blocks.0.conv1.bias", {H}, rnd(h)},
        {"w.blocks.0.conv2.weight", {H, H, 3}, rnd(h * h * 3)},
        {"w.blocks.0.conv2.bias", {H}, rnd(h)},
        {"w.blocks.0.norm1.weight", {H}, std::vector<float>(h, 1.0f)},
        {"w.blocks.0.norm1.bias", {H}, rnd(h)},
        {"w.blocks.0.norm2.weight", {H}, std::vector<float>(h, 1.0f)},
        {"w.blocks.0.norm2.bias", {H}, rnd(h)},
        {"w.head.0.weight", {4 * H, 2 * H + 2}, rnd(4 * h * (2 * h + 2))},
        {"w.head.0.bias", {4 * H}, rnd(4 * h)},
        {"w.head.2.weight", {4 * H, 4 * H}, rnd(16 * h * h)},
        {"w.head.2.bias", {4 * H}, rnd(4 * h)},
        {"w.head.4.weight", {4, 4 * H}, rnd(16 * h)},
        {"w.head.4.bias", {4}, rnd(4)},
        {"target_mean", {2}, {0.0f, 0.5f}},
        {"target_std", {2}, {0.5f, 0.5f}},
        {"scaling", {2, 4}, {1, 0, 0, -1, 1, 0, 0, -1}},
        {"log_params", {2}, {1, 1}},
    };
    put_u32(b, static_cast<std::uint32_t>(t.size()));
    for (const auto& [name, dims, v] : t) put_f32_tensor(b, name, dims, v);
    return b;
}

std::string load_message(const Bytes& b) {
    auto r = Guesser::from_bytes(b);
    if (auto* e = std::get_if<NnError>(&r)) return e->message();
    return "ok";
}

SeriesList tree_of(std::string_view s) { return std::get<SeriesList>(parse(s)); }

}  // namespace

TEST_CASE("loader: framing") {
    CHECK(load_message(Bytes(7, 'E')) == "weight file is truncated");
    CHECK(load_message(Bytes{'E', 'I', 'S', 'N', 'N', '0', '0', '2'}) == "not an eisnn weight file (bad magic bytes)");
    CHECK(load_message(Bytes{'E', 'I', 'S', 'N', 'N', '0', '0', '1'}) == "weight file is truncated");
    const Bytes good = small_model();
    CHECK(load_message(good) == "ok");
    Bytes trailing = good;
    trailing.insert(trailing.end(), {1, 2, 3});
    CHECK(load_message(trailing) == "ok");
    for (std::size_t cut = 8; cut < good.size(); cut += 97) CHECK(load_message(Bytes(good.begin(), good.begin() + cut)) == "weight file is truncated");
}

TEST_CASE("loader: a zero-sized tensor holds one element, repeated names keep the later") {
    Bytes b = small_model();
    // Append two tensors named "x": shape (0) with one float, then a replacement of target_mean.
    std::uint32_t count;
    const std::size_t header_end = [&] {
        std::size_t pos = 8;
        std::uint32_t m;
        std::memcpy(&m, b.data() + pos, 4);
        pos += 4;
        for (std::uint32_t i = 0; i < 2 * m; ++i) {
            std::uint32_t n;
            std::memcpy(&n, b.data() + pos, 4);
            pos += 4 + n;
        }
        return pos;
    }();
    std::memcpy(&count, b.data() + header_end, 4);
    count += 2;
    std::memcpy(b.data() + header_end, &count, 4);
    put_f32_tensor(b, "x", {0}, {7.0f});
    put_f32_tensor(b, "target_mean", {2}, {1.0f, 2.0f});
    auto r = Guesser::from_bytes(b);
    REQUIRE(std::holds_alternative<Guesser>(r));
    const Guesser& g = std::get<Guesser>(r);
    REQUIRE(g.tensor("x") != nullptr);
    CHECK(g.tensor("x")->data == std::vector<double>{7.0});
    CHECK(g.tensor("x")->dims == std::vector<std::uint64_t>{0});
    CHECK(g.target_mean == std::vector<double>{1.0, 2.0});
    CHECK(g.dilations == std::vector<std::size_t>{1});
    CHECK(g.param_names == std::vector<std::string>{"R0.r", "R1.r"});
}

TEST_CASE("half precision decoding") {
    CHECK(half_to_double(0x3C00) == 1.0);
    CHECK(half_to_double(0xC000) == -2.0);
    CHECK(half_to_double(0x0001) == std::ldexp(1.0, -24));
    CHECK(half_to_double(0x7BFF) == 65504.0);
    CHECK(std::isinf(half_to_double(0x7C00)));
    CHECK(std::isnan(half_to_double(0x7E00)));
    CHECK(std::signbit(half_to_double(0x8000)));
}

TEST_CASE("interpolation, activation and scales") {
    const std::vector<double> xs{0.0, 1.0, 1.0, 3.0}, ys{10.0, 20.0, 30.0, 50.0};
    CHECK(interpolate(xs, ys, -1.0) == 10.0);
    CHECK(interpolate(xs, ys, 5.0) == 50.0);
    CHECK(interpolate(xs, ys, 0.5) == 15.0);
    CHECK(interpolate(xs, ys, 1.0) == 30.0);  // the later of the repeated abscissa
    CHECK(interpolate(xs, ys, 2.0) == 40.0);
    // Never off the ends of the table, whatever the abscissae or the point:
    // a NaN point, and tables holding NaN or infinities (the logarithms of
    // frequencies that are NaN, zero or infinite).
    const double nan = std::nan(""), inf = INFINITY;
    CHECK(interpolate(xs, ys, nan) == 10.0);
    for (const std::vector<double>& bad : {std::vector<double>{0.0, 1.0, 2.0, nan}, std::vector<double>{-inf, 1.0, 2.0, 3.0},
                                           std::vector<double>{0.0, nan, 2.0, 3.0}, std::vector<double>{0.0, 1.0, 2.0, inf},
                                           std::vector<double>{nan, nan, nan, nan}}) {
        for (double x : {nan, -inf, -1.0, 0.5, 1.5, 2.5, 4.0, inf}) {
            const double v = interpolate(bad, ys, x);
            CHECK((std::isnan(v) || (v >= 10.0 && v <= 50.0)));
        }
    }
    CHECK(gelu(0.0) == 0.0);
    CHECK(gelu(10.0) == doctest::Approx(10.0));
    CHECK(gelu(-10.0) == doctest::Approx(0.0).epsilon(1e-12));

    const auto g = std::get<Guesser>(Guesser::from_bytes(small_model()));
    // Purely resistive: no capacitive weight, so the fallback scales apply.
    const std::vector<double> f{1.0, 10.0, 100.0, 1000.0};
    const std::vector<Cx> z{{4, 0}, {1, 0.5}, {3, 0}, {2, 0}};
    const auto s = g.scales(f, z);
    CHECK(s.omega == doctest::Approx(std::exp((std::log(6.283185307179586) * 4 + std::log(1e6)) / 4)));
    CHECK(s.r == 3.0);  // upper median of 1.118, 2, 3, 4
    // Descending input gives the same features.
    const std::vector<double> fd{1000.0, 100.0, 10.0, 1.0};
    const std::vector<Cx> zc{{2, -1}, {3, -2}, {1, -0.5}, {4, -3}};
    const std::vector<Cx> zr{{4, -3}, {1, -0.5}, {3, -2}, {2, -1}};
    const auto fa = g.features(f, zr, g.scales(f, zr));
    const auto fb = g.features(fd, zc, g.scales(f, zr));
    for (std::size_t i = 0; i < fa.map.size(); ++i) CHECK(fa.map[i] == fb.map[i]);
}

TEST_CASE("phase unwrapping across the negative real axis") {
    const auto g = std::get<Guesser>(Guesser::from_bytes(small_model()));
    const std::vector<double> f{1.0, 2.0, 4.0};
    const std::vector<Cx> z{{-1.0, 0.01}, {-1.0, -0.01}, {-1.0, 0.02}};
    const auto feats = g.features(f, z, {1.0, 1.0});
    // Channel 1 is phase / (pi/2); the jump from about +pi to -pi is removed.
    const double first = feats.map[16], last = feats.map[31];
    CHECK(std::fabs(last - first) < 0.1);
    for (std::size_t i = 17; i < 32; ++i) CHECK(std::fabs(feats.map[i] - feats.map[i - 1]) < 0.05);
}

TEST_CASE("hostile blobs never crash the loader or the network") {
    const Bytes good = small_model();
    std::mt19937_64 rng(99);
    const std::vector<double> f{0.1, 1.0, 10.0, 100.0, 1000.0};
    const std::vector<Cx> z{{10, -5}, {8, -4}, {5, -2}, {3, -1}, {2, -0.5}};
    std::size_t loaded = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes b = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % b.size();
            switch (rng() % 4) {
                case 0: b[at] ^= static_cast<unsigned char>(1u << (rng() % 8)); break;
                case 1: b[at] = static_cast<unsigned char>(rng()); break;
                case 2: b.resize(at + 1); break;
                default: b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), static_cast<unsigned char>(rng())); break;
            }
        }
        auto r = Guesser::from_bytes(b);
        if (auto* g = std::get_if<Guesser>(&r)) {
            ++loaded;
            (void)g->predict(f, z);
        }
    }
    CHECK(loaded > 0);
}

TEST_CASE("topology keys and matching") {
    CHECK(canonical(tree_of("C1-R0")).key == "[C,R]");
    CHECK(canonical(tree_of("R0-C1")).key == "[C,R]");
    CHECK(canonical(tree_of("(C1,R1)")).key == canonical(tree_of("(R2,C5)")).key);
    CHECK(canonical(tree_of("(R1)")).key == "[([R])]");
    CHECK(canonical(tree_of("R0-(R1,C1)")).key == "[([C],[R]),R]");
    CHECK(canonical(tree_of("L0-R0-(R1,CPE1)-(R2,CPE2)")).key == "[([Cpe],[R]),([Cpe],[R]),L,R]");
    CHECK(canonical(tree_of("R0-(R1,CPE1)-(R2-Wo2,CPE2)")).key == "[([Cpe],[R,Wo]),([Cpe],[R]),R]");

    const auto id = match_topology(tree_of("R0-(R1,C1)"), tree_of("R0-(R1,C1)"));
    REQUIRE(id.has_value());
    CHECK(*id == std::vector<std::size_t>{0, 1, 2});
    const auto perm = match_topology(tree_of("R0-(R1,C1)"), tree_of("(R1,C2)-R3"));
    REQUIRE(perm.has_value());
    CHECK(*perm == std::vector<std::size_t>{1, 2, 0});
    CHECK_FALSE(match_topology(tree_of("R0-(R1,C1)"), tree_of("L0-R0-(R1,C1)")).has_value());

    auto find = [](const char* s) -> std::string {
        auto m = find_for_topology(tree_of(s));
        return m ? model_names()[m->model] + (m->match.expanded ? "+" : "") : "none";
    };
    CHECK(find("R0-(R1,C1)") == "rc");
    CHECK(find("L0-R0-(R1,C1)") == "rc_l");
    CHECK(find("(R2,C2)-R0-(R1,C1)") == "two_rc");
    CHECK(find("R0-K1") == "rc+");
    CHECK(find("R0-Zarc1") == "rq+");
    CHECK(find("(CPE1,R1-W1)-R0") == "randles");
    CHECK(find("R0-T1") == "none");
    CHECK(quoted_model_names().rfind("'rc', 'rc_l', 'rq'", 0) == 0);
}

TEST_CASE("guess failures carry their fields and read as the user sees them") {
    const std::vector<double> f{1.0, 0.0, 100.0};
    const std::vector<Cx> z{{1, -1}, {2, -2}, {3, -3}};
    auto failure = [&](const char* circuit, std::optional<std::string> path = std::nullopt) {
        auto r = guess_params(tree_of(circuit), f, z, path);
        REQUIRE(std::holds_alternative<GuessError>(r));
        return std::get<GuessError>(std::move(r));
    };

    const GuessError bad_f = failure("R0-(R1,C1)");
    REQUIRE(std::holds_alternative<GuessError::BadFrequency>(bad_f.why));
    CHECK(std::get<GuessError::BadFrequency>(bad_f.why).index == 1);
    CHECK(bad_f.message() ==
          "frequency 0 Hz at index 1 cannot be used for a guess: every frequency must be finite and greater than zero");

    // Points the log-frequency grid or the log-modulus channel cannot hold
    // are named, rather than turning every estimate into NaN.
    auto spectrum_failure = [](std::vector<double> ff, std::vector<Cx> zz) {
        auto r = guess_params(tree_of("R0-(R1,C1)"), ff, zz, std::nullopt);
        REQUIRE(std::holds_alternative<GuessError>(r));
        return std::get<GuessError>(std::move(r));
    };
    const GuessError zero_z = spectrum_failure({1.0, 10.0, 100.0}, {{1, -1}, {0, 0}, {3, -3}});
    REQUIRE(std::holds_alternative<GuessError::BadImpedance>(zero_z.why));
    CHECK(zero_z.message() == "impedance 0 + 0j ohm at index 1 cannot be used for a guess: "
                              "every impedance must be finite and non-zero");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const GuessError nan_z = spectrum_failure({1.0, 10.0, 100.0}, {{1, -1}, {2, -2}, {3, nan}});
    REQUIRE(std::holds_alternative<GuessError::BadImpedance>(nan_z.why));
    CHECK(std::get<GuessError::BadImpedance>(nan_z.why).index == 2);
    const GuessError huge_f = spectrum_failure({1.0, 1e308, 100.0}, {{1, -1}, {2, -2}, {3, -3}});
    REQUIRE(std::holds_alternative<GuessError::HugeFrequency>(huge_f.why));
    CHECK(huge_f.message() == "frequency 1e308 Hz at index 1 cannot be used for a guess: "
                              "its angular frequency 2*pi*f overflows a double");
    CHECK(GuessError{GuessError::NanEstimate{}}.message().rfind("the learned guess is NaN", 0) == 0);

    const GuessError none = failure("R0-T1");
    CHECK(std::holds_alternative<GuessError::NoModel>(none.why));
    CHECK(none.message() == "No training data on this circuit. Machine-learning based initial parameters available for " +
                                quoted_model_names());

    const GuessError io = failure("R0", "/nonexistent/m.eisnn");
    REQUIRE(std::holds_alternative<NnError>(io.why));
    CHECK(io.message() == "reading weights: No such file or directory (os error 2)");

    // Texts about a weight file's content are the loader's "unparsable value"
    // message around the composed text, quotes inside escaped.
    CHECK(GuessError{GuessError::WeightsForOtherCircuit{"a\".eisnn", "R0-(R1,C1)"}}.message() ==
          R"t(weight file has an unparsable value for "a\".eisnn was trained for \"R0-(R1,C1)\", which is a different circuit")t");
    CHECK(GuessError{GuessError::WeightsCircuitUnparsable{"w.eisnn", "R0-("}}.message() ==
          R"t(weight file has an unparsable value for "circuit \"R0-(\" in w.eisnn")t");

    // A built-in model that fails to build (only a faulty build meets these).
    const auto model = [](auto why) { return ModelError{"rc", "R0-(R1,C1)", why}; };
    CHECK(model(ModelError::NoWeights{}).message() == R"t(model "rc" has no built-in weights in this build)t");
    CHECK(model(ModelError::Unloadable{NnError{NnError::Kind::Truncated, {}}}).message() == "weight file is truncated");
    CHECK(model(ModelError::TrainedForOther{"R0-C1"}).message() ==
          R"t(model "rc" is registered as "R0-(R1,C1)" but its weights were trained for "R0-C1")t");
    CHECK(model(ModelError::UnparsableCircuit{}).message() == R"t(registry circuit "R0-(R1,C1)")t");
    CHECK(model(ModelError::OtherParameters{{"R0.r"}, {"R0.r", "R1.r"}}).message() ==
          R"t(model "rc" has parameters ["R0.r"], expected ["R0.r", "R1.r"])t");
    CHECK(GuessError{model(ModelError::NoWeights{})}.message() ==
          R"t(weight file has an unparsable value for "model \"rc\" has no built-in weights in this build")t");
}

TEST_CASE("metadata numbers read the same under a locale with a decimal comma") {
    // The model with alpha_min written as `text`.
    const auto with_alpha_min = [](const std::string& text) {
        Bytes b = small_model(), old, now;
        put_str(old, "alpha_min");
        put_str(old, "0.05");
        put_str(now, "alpha_min");
        put_str(now, text);
        const auto at = std::search(b.begin(), b.end(), old.begin(), old.end());
        REQUIRE(at != b.end());
        const auto offset = at - b.begin();
        b.erase(at, at + static_cast<std::ptrdiff_t>(old.size()));
        b.insert(b.begin() + offset, now.begin(), now.end());
        return b;
    };
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE") ||
                       std::setlocale(LC_NUMERIC, "German_Germany.1252");
    CAPTURE(comma);
    const auto g = Guesser::from_bytes(with_alpha_min("0.25"));
    REQUIRE(std::holds_alternative<Guesser>(g));
    CHECK(std::get<Guesser>(g).alpha_min == 0.25);
    // Out of double's range: infinity, refused as such, not the "1" before the point.
    CHECK(load_message(with_alpha_min("1.5e400")).find("non-finite") != std::string::npos);
    CHECK(load_message(with_alpha_min("-2.5e-400")) == "ok");  // underflows to -0
    std::setlocale(LC_NUMERIC, before.c_str());
}

