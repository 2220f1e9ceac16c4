// Random generators of the global search methods.
//
// ChaCha (D. J. Bernstein, "ChaCha, a variant of Salsa20", 2008) with 12
// rounds, a 256-bit key, a 64-bit block counter and a 64-bit stream number of
// 0; 64-bit outputs are two consecutive 32-bit keystream words, low word
// first. A 64-bit seed fills the key with eight PCG-XSH-RR outputs (O'Neill,
// 2014); without a seed the key comes from the system's entropy source.
//
// Xorshift128 (Marsaglia, "Xorshift RNGs", 2003) drives differential
// evolution, always seeded from entropy.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace zetrion {

// The ChaCha block function: `rounds` rounds (an even number) over the
// 16-word input state, plus the input.
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input, int rounds);

class ChaCha12 {
public:
    explicit ChaCha12(const std::array<std::uint8_t, 32>& key);
    static ChaCha12 from_seed(std::optional<std::uint64_t> seed);  // entropy when absent
    static std::array<std::uint8_t, 32> pcg_key(std::uint64_t seed);

    std::uint64_t next_u64();
    // [0, 1) from the top 52 bits of one output.
    double uniform01();
    // a + (b - a) u over the ordered pair of a and b; a when they are equal.
    double between(double a, double b);
    // (next >> 11) * 2^-53
    double unit53();

private:
    void refill();
    std::array<std::uint32_t, 16> state_;
    std::array<std::uint32_t, 16> block_{};
    int index_ = 16;
};

class Xorshift128 {
public:
    Xorshift128();  // seeded from entropy, never all zero
    Xorshift128(std::uint32_t x, std::uint32_t y, std::uint32_t z, std::uint32_t w) : s_{x, y, z, w} {}
    std::uint32_t next_u32();
    float uniform01f();                   // 23 random bits: [0, 1)
    std::uint32_t below(std::uint32_t n);  // uniform in [0, n) without modulo bias

private:
    std::array<std::uint32_t, 4> s_;
};

}  // namespace zetrion
