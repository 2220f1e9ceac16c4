// The built-in models (name, notation, embedded weights, a guesser built on
// first use) and the process-wide cache of guessers read from weight files.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "circuit/tree.hpp"
#include "models/guess_error.hpp"
#include "models/topology.hpp"
#include "nn/guesser.hpp"

namespace zetrion {

struct Model {
    std::string_view name;
    std::string_view circuit;
};

// The eleven models' names, in table order (the same names the Circuit
// constructor accepts as presets).
std::vector<std::string> model_names();
// 'rc', 'rc_l', ..., 'sei_randles_wo'
std::string quoted_model_names();

// The embedded "EISNN001" blob of a built-in model (empty when this build
// carries none for it).
std::span<const unsigned char> builtin_weights(std::string_view name);

// The model's guesser, built once per process; a failure stays too.
const std::variant<Guesser, ModelError>& model_guesser(std::size_t index);

// A weight file's guesser, read once per path text and kept for the process.
std::variant<const Guesser*, NnError> load_external(const std::string& path);

struct TopologyMatch {
    Match match;
    std::size_t model;
};
std::optional<TopologyMatch> find_for_topology(const SeriesList& user);

// Starting values for every parameter of `user`, in its own order, from the
// model that matches it (or the weight file at `path`); why not otherwise.
std::variant<std::vector<double>, GuessError> guess_params(const SeriesList& user, std::span<const double> f,
                                                           std::span<const Cx> z,
                                                           const std::optional<std::string>& path);

}  // namespace zetrion
