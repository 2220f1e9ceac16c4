#include "circuit/tree.hpp"

#include <algorithm>

namespace zetrion {
namespace {

void collect_into(const SeriesList& s, std::vector<LeafRef>& out) {
    for (const Node& n : s) {
        if (n.is_leaf()) {
            out.push_back({&n.element, &n.label});
        } else {
            for (const SeriesList& b : n.branches) collect_into(b, out);
        }
    }
}

}  // namespace

std::size_t nesting_depth(const SeriesList& s) {
    std::size_t d = 0;
    for (const Node& n : s) {
        if (n.is_leaf()) continue;
        std::size_t inner = 0;
        for (const SeriesList& b : n.branches) inner = std::max(inner, nesting_depth(b));
        d = std::max(d, inner + 1);
    }
    return d;
}

std::vector<LeafRef> collect_leaves(const SeriesList& s) {
    std::vector<LeafRef> out;
    collect_into(s, out);
    return out;
}

}  // namespace zetrion
