// The flat parameter vector of a circuit: count, names ("R0.r"), units,
// bounds and values in leaf order, and the name to suggest for a misspelt one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.hpp"

namespace zetrion {

std::size_t param_count(const SeriesList& s);
// Unlabelled leaves are named by class-side kind name and a per-kind counter
// (R0, R1, Cpe0, ...), never checked against explicit labels.
std::vector<std::string> param_names(const SeriesList& s);
std::vector<std::string_view> param_units(const SeriesList& s);
std::vector<Bounds> param_bounds(const SeriesList& s);
std::vector<double> param_values(const SeriesList& s);

// Levenshtein distance over code points.
std::size_t edit_distance(std::u32string_view a, std::u32string_view b);

// The first valid name of least edit distance, if that distance is at most
// max(len(unknown) / 2, 2) (length in code points).
std::optional<std::string> closest_param_name(std::string_view unknown, const std::vector<std::string>& valid);

}  // namespace zetrion
