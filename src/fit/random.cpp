#include "fit/random.hpp"

#include <bit>
#include <cstring>
#include <random>

namespace zetrion {
namespace {

inline void quarter(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

std::uint32_t entropy32() {
    static thread_local std::random_device dev;
    return dev();
}

}  // namespace

std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input, int rounds) {
    std::array<std::uint32_t, 16> x = input;
    for (int r = 0; r < rounds; r += 2) {
        quarter(x, 0, 4, 8, 12);
        quarter(x, 1, 5, 9, 13);
        quarter(x, 2, 6, 10, 14);
        quarter(x, 3, 7, 11, 15);
        quarter(x, 0, 5, 10, 15);
        quarter(x, 1, 6, 11, 12);
        quarter(x, 2, 7, 8, 13);
        quarter(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

ChaCha12::ChaCha12(const std::array<std::uint8_t, 32>& key) {
    state_[0] = 0x61707865;  // "expand 32-byte k"
    state_[1] = 0x3320646e;
    state_[2] = 0x79622d32;
    state_[3] = 0x6b206574;
    for (int i = 0; i < 8; ++i)
        state_[4 + i] = std::uint32_t(key[4 * i]) | std::uint32_t(key[4 * i + 1]) << 8 |
                        std::uint32_t(key[4 * i + 2]) << 16 | std::uint32_t(key[4 * i + 3]) << 24;
    state_[12] = state_[13] = state_[14] = state_[15] = 0;  // block counter, stream
}

std::array<std::uint8_t, 32> ChaCha12::pcg_key(std::uint64_t seed) {
    std::array<std::uint8_t, 32> key{};
    std::uint64_t state = seed;
    for (int i = 0; i < 8; ++i) {
        state = state * 6364136223846793005ull + 11634580027462260723ull;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<int>(state >> 59);
        const std::uint32_t word = std::rotr(xorshifted, rot);
        for (int b = 0; b < 4; ++b) key[4 * i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return key;
}

ChaCha12 ChaCha12::from_seed(std::optional<std::uint64_t> seed) {
    if (seed) return ChaCha12(pcg_key(*seed));
    std::array<std::uint8_t, 32> key{};
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t w = entropy32();
        std::memcpy(key.data() + 4 * i, &w, 4);
    }
    return ChaCha12(key);
}

void ChaCha12::refill() {
    block_ = chacha_block(state_, 12);
    if (++state_[12] == 0) ++state_[13];
    index_ = 0;
}

std::uint64_t ChaCha12::next_u64() {
    if (index_ >= 16) refill();
    const std::uint64_t lo = block_[index_], hi = block_[index_ + 1];
    index_ += 2;
    return lo | hi << 32;
}

double ChaCha12::uniform01() {
    const std::uint64_t bits = (next_u64() >> 12) | 0x3FF0000000000000ull;
    return std::bit_cast<double>(bits) - 1.0;
}

double ChaCha12::between(double a, double b) {
    if (a == b) return a;
    const double lo = a < b ? a : b, hi = a < b ? b : a;
    return lo + (hi - lo) * uniform01();
}

double ChaCha12::unit53() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

Xorshift128::Xorshift128() {
    do {
        for (auto& w : s_) w = entropy32();
    } while ((s_[0] | s_[1] | s_[2] | s_[3]) == 0);
}

std::uint32_t Xorshift128::next_u32() {
    const std::uint32_t t = s_[0] ^ (s_[0] << 11);
    s_[0] = s_[1];
    s_[1] = s_[2];
    s_[2] = s_[3];
    s_[3] = s_[3] ^ (s_[3] >> 19) ^ t ^ (t >> 8);
    return s_[3];
}

float Xorshift128::uniform01f() {
    return std::bit_cast<float>((next_u32() >> 9) | 0x3F800000u) - 1.0f;
}

std::uint32_t Xorshift128::below(std::uint32_t n) {
    // Reject the top partial range so every residue is equally likely.
    const std::uint32_t limit = static_cast<std::uint32_t>(-n) % n;
    for (;;) {
        const std::uint32_t r = next_u32();
        if (r >= limit) return r % n;
    }
}

}  // namespace zetrion
