// Fuzzing the weight-file loader and the network with hostile blobs.
//
// With clang and libFuzzer (the ZETRION_FUZZ target fuzz_weights_lf; see
// fuzz/run.sh) this file is a fuzz target: LLVMFuzzerTestOneInput loads the
// input and, when it loads, runs a prediction. Built without libFuzzer (the
// ZETRION_BENCH target fuzz_weights, best with -fsanitize=address,undefined)
// it is a standalone
// mutator: it reads seed blobs (the built-in weight files named on the command
// line), applies random byte flips, overwrites, insertions, truncations and
// length-field edits for the given number of seconds, and runs every result
// through the same path.
//
//   fuzz_weights SECONDS weights/*.eisnn
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <variant>
#include <vector>

#include "nn/guesser.hpp"

namespace {

const std::vector<double> kF{1e5, 2e4, 3e3, 500.0, 80.0, 10.0, 1.5, 0.2, 0.03};
const std::vector<zetrion::Cx> kZ{{10, -0.5}, {10.5, -2}, {13, -8}, {25, -20}, {60, -30},
                                  {90, -15}, {99, -8}, {105, -12}, {120, -30}};

void exercise(const std::uint8_t* data, std::size_t size) {
    auto r = zetrion::Guesser::from_bytes(std::span<const unsigned char>(data, size));
    if (auto* g = std::get_if<zetrion::Guesser>(&r)) (void)g->predict(kF, kZ);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    exercise(data, size);
    return 0;
}

#ifndef ZETRION_LIBFUZZER
int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SECONDS SEED_BLOB...\n", argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    std::vector<std::vector<unsigned char>> seeds;
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::mt19937_64 rng(std::random_device{}());
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t runs = 0, loaded = 0;
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
        std::vector<unsigned char> b = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits && !b.empty(); ++e) {
            const std::size_t at = rng() % b.size();
            switch (rng() % 6) {
                case 0: b[at] ^= static_cast<unsigned char>(1u << (rng() % 8)); break;
                case 1: b[at] = static_cast<unsigned char>(rng()); break;
                case 2: b.resize(at); break;
                case 3: b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), static_cast<unsigned char>(rng())); break;
                case 4: {  // a 32-bit field set to an extreme value
                    const std::uint32_t v = rng() % 2 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rng() % 70000);
                    for (int k = 0; k < 4 && at + k < b.size(); ++k) b[at + k] = static_cast<unsigned char>(v >> (8 * k));
                    break;
                }
                default: b.erase(b.begin() + static_cast<std::ptrdiff_t>(at)); break;
            }
        }
        auto r = zetrion::Guesser::from_bytes(b);
        if (auto* g = std::get_if<zetrion::Guesser>(&r)) {
            ++loaded;
            (void)g->predict(kF, kZ);
        }
        ++runs;
    }
    std::printf("%llu mutated blobs in %.0f s, %llu loaded and ran, no crash\n", static_cast<unsigned long long>(runs),
                seconds, static_cast<unsigned long long>(loaded));
    return 0;
}
#endif
