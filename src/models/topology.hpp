// Canonical topology keys: a circuit's shape with labels dropped and series
// elements and parallel branches put in a fixed order, so that "(R1,C2)-R3"
// and "R0-(R1,C1)" have the same key "[([C],[R]),R]". Matching two circuits
// yields, per parameter of one, the index of the corresponding parameter of
// the other.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.hpp"

namespace zetrion {

struct Span {
    std::size_t first;
    std::size_t count;
};

struct Canonical {
    std::string key;
    std::vector<Span> spans;  // leaves in canonical order
};

Canonical canonical(const SeriesList& s);

// mapping[k] = the model's parameter index for parameter k of `user`.
std::optional<std::vector<std::size_t>> match_topology(const SeriesList& model, const SeriesList& user);

struct Match {
    std::vector<std::size_t> mapping;
    bool expanded;  // the user's K and Zarc were rewritten to match
};

std::optional<Match> match_or_expand(const SeriesList& model, const SeriesList& user);

// The same matching with the keys computed beforehand, for comparing one
// circuit against many models: the user's key, and the key of its K/Zarc
// expansion when that rewrites anything.
struct UserShape {
    Canonical direct;
    std::optional<Canonical> expanded;
};
UserShape user_shape(const SeriesList& user);
std::optional<std::vector<std::size_t>> match_topology(const Canonical& model, const Canonical& user);
std::optional<Match> match_or_expand(const Canonical& model, const UserShape& user);

}  // namespace zetrion
