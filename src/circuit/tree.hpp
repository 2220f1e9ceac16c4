// The circuit tree: a series list of nodes, each an element leaf or a
// parallel group of series-list branches. Trees are plain values; copies are
// deep. Leaf order (depth first, left to right) fixes the layout of every
// flat parameter vector.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "elements/element.hpp"

namespace zetrion {

struct Node;
using SeriesList = std::vector<Node>;

struct Node {
    enum class Type : unsigned char { Leaf, Parallel };

    Type type = Type::Leaf;
    Element element;                   // leaf only
    std::optional<std::string> label;  // leaf only; UTF-8
    std::vector<SeriesList> branches;  // parallel group only

    static Node leaf(const Element& e, std::optional<std::string> label = std::nullopt) {
        Node n;
        n.element = e;
        n.label = std::move(label);
        return n;
    }
    static Node parallel(std::vector<SeriesList> branches) {
        Node n;
        n.type = Type::Parallel;
        n.branches = std::move(branches);
        return n;
    }
    bool is_leaf() const { return type == Type::Leaf; }
};

// Parallel groups may nest at most this deep. Every recursive walk of a tree
// is bounded by it, so no input can exhaust a thread's stack.
inline constexpr std::size_t kMaxNesting = 200;

// Depth of parallel-group nesting (0 for a tree of leaves only).
std::size_t nesting_depth(const SeriesList& s);

struct LeafRef {
    const Element* element;
    const std::optional<std::string>* label;
};

// All leaves in leaf order, as references into the tree.
std::vector<LeafRef> collect_leaves(const SeriesList& s);

}  // namespace zetrion
