// Builds "EISNN001" weight blobs in memory for the tests: little-endian
// counts, length-prefixed strings and float32 tensors.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zetrion::test {

using Bytes = std::vector<unsigned char>;

inline void put_u32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

inline void put_str(Bytes& b, const std::string& s) {
    put_u32(b, static_cast<std::uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}

// A named tensor in encoding 0 (float32).
inline void put_f32_tensor(Bytes& b, const std::string& name, const std::vector<std::uint32_t>& dims,
                           const std::vector<float>& v) {
    put_str(b, name);
    b.push_back(0);
    b.push_back(static_cast<unsigned char>(dims.size()));
    for (auto d : dims) put_u32(b, d);
    for (float f : v) {
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put_u32(b, bits);
    }
}

}  // namespace zetrion::test
