// The IEEE 754 total order on doubles: -NaN < -inf < ... < -0 < +0 < ... <
// +inf < +NaN. Sorting by it is well defined whatever NaN values occur.
#pragma once

#include <bit>
#include <cstdint>

namespace zetrion {

inline bool total_less(double a, double b) {
    auto key = [](double d) {
        auto bits = std::bit_cast<std::int64_t>(d);
        bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
        return bits;
    };
    return key(a) < key(b);
}

}  // namespace zetrion
