// Texts shown to users: number renderings, the quoted form of names, and the
// parameter listings of a circuit.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.hpp"
#include "util/text.hpp"

namespace zetrion {

// Scientific form with the exponent as "e-5" / "e6" (no plus sign, no
// leading zeros): the shortest round-trip digits, or `digits` after the
// point ("1.500000e-5"); "NaN", "inf", "-inf".
std::string render_scientific(double x, int digits = -1);

// Plain decimal for zero, infinities and 1e-4 <= |x| < 1e6 ("1", "0.001",
// "-0", "inf"); otherwise shortest scientific ("1e-12", "2.5e6", "NaN").
std::string render_number(double x);

// Positional with at least one fractional digit ("1.0", "0.001"), or exponent
// form for non-zero |x| < 1e-4 and |x| >= 1e16 ("1e-6", "2e16"); "NaN", "inf".
std::string render_debug_float(double x);

// "Circuit (3 parameters)\n  R0.r = 1          [ohm]  bounds (1e-12, inf)..."
std::string circuit_repr(const SeriesList& s);

// One line per parameter: "  R0.r  [ohm]  bounds (1e-12, inf)".
std::string parameter_listing(const SeriesList& s);

}  // namespace zetrion
