// Helpers only the tests use: a checked walk of a circuit that draws its
// values from a cursor over a flat vector, one element or one series list at
// a time (the library's own walks check the count once and go unchecked).
#pragma once

#include <cstddef>
#include <optional>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "elements/element.hpp"

namespace zetrion::test {

// A read cursor over a flat parameter vector shared by a whole circuit walk.
struct ParamStream {
    const double* data;
    std::size_t size;
    std::size_t pos = 0;
};

// Draws exactly param_count(k) values from the stream; nothing when the
// stream holds fewer.
inline std::optional<Cx> impedance_from_iter(Kind k, ParamStream& s, double w) {
    const std::size_t n = param_count(k);
    if (s.size - s.pos < n) return std::nullopt;
    const Cx z = kind_impedance(k, s.data + s.pos, w);
    s.pos += n;
    return z;
}

// Draws each leaf's values from the stream; nothing when the stream runs out,
// in which case no partial result exists.
inline std::optional<Cx> series_impedance_with_params(const SeriesList& s, ParamStream& stream, double w) {
    const std::size_t need = param_count(s);
    if (stream.size - stream.pos < need) return std::nullopt;
    const double* p = stream.data + stream.pos;
    const Cx z = impedance_with_params_unchecked(s, p, w);
    stream.pos += need;
    return z;
}

}  // namespace zetrion::test
