#include "models/topology.hpp"

#include <algorithm>
#include <numeric>

#include "circuit/parser.hpp"

namespace zetrion {
namespace {

struct Shape {
    std::string key;
    Span leaf{0, 0};
    std::vector<std::vector<Shape>> branches;  // empty for a leaf
    bool is_leaf = true;
};

std::string series_key(const std::vector<Shape>& shapes) {
    std::string k = "[";
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        if (i) k += ',';
        k += shapes[i].key;
    }
    return k + "]";
}

std::vector<Shape> shapes(const SeriesList& nodes, std::size_t& counter) {
    std::vector<Shape> out;
    out.reserve(nodes.size());
    for (const Node& n : nodes) {
        Shape s;
        if (n.is_leaf()) {
            const KindInfo& info = kind_info(n.element.kind);
            s.key = std::string(info.class_name);
            s.leaf = {counter, info.param_count};
            counter += info.param_count;
        } else {
            s.is_leaf = false;
            std::vector<std::vector<Shape>> branches;
            std::vector<std::string> keys;
            for (const SeriesList& b : n.branches) {
                branches.push_back(shapes(b, counter));
                keys.push_back(series_key(branches.back()));
            }
            std::vector<std::size_t> order(branches.size());
            std::iota(order.begin(), order.end(), 0);
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return keys[a] != keys[b] ? keys[a] < keys[b] : a < b;
            });
            s.key = "(";
            for (std::size_t i = 0; i < order.size(); ++i) {
                if (i) s.key += ',';
                s.key += keys[order[i]];
                s.branches.push_back(std::move(branches[order[i]]));
            }
            s.key += ")";
        }
        out.push_back(std::move(s));
    }
    std::stable_sort(out.begin(), out.end(), [](const Shape& a, const Shape& b) { return a.key < b.key; });
    return out;
}

void flatten(const std::vector<Shape>& level, std::vector<Span>& out) {
    for (const Shape& s : level) {
        if (s.is_leaf) {
            out.push_back(s.leaf);
        } else {
            for (const auto& b : s.branches) flatten(b, out);
        }
    }
}

}  // namespace

Canonical canonical(const SeriesList& s) {
    std::size_t counter = 0;
    const std::vector<Shape> level = shapes(s, counter);
    Canonical c{series_key(level), {}};
    flatten(level, c.spans);
    return c;
}

std::optional<std::vector<std::size_t>> match_topology(const SeriesList& model, const SeriesList& user) {
    return match_topology(canonical(model), canonical(user));
}

std::optional<std::vector<std::size_t>> match_topology(const Canonical& m, const Canonical& u) {
    if (m.key != u.key || m.spans.size() != u.spans.size()) return std::nullopt;
    std::size_t total = 0;
    for (const Span& s : u.spans) total += s.count;
    std::vector<std::size_t> mapping(total);
    for (std::size_t i = 0; i < u.spans.size(); ++i)
        for (std::size_t k = 0; k < m.spans[i].count && k < u.spans[i].count; ++k)
            mapping[u.spans[i].first + k] = m.spans[i].first + k;
    return mapping;
}

std::optional<Match> match_or_expand(const SeriesList& model, const SeriesList& user) {
    if (auto m = match_topology(model, user)) return Match{std::move(*m), false};
    const Expanded e = expand_series(user);
    if (!e.rewritten) return std::nullopt;
    if (auto m = match_topology(model, e.tree)) return Match{std::move(*m), true};
    return std::nullopt;
}

UserShape user_shape(const SeriesList& user) {
    UserShape u{canonical(user), std::nullopt};
    const Expanded e = expand_series(user);
    if (e.rewritten) u.expanded = canonical(e.tree);
    return u;
}

std::optional<Match> match_or_expand(const Canonical& model, const UserShape& user) {
    if (auto m = match_topology(model, user.direct)) return Match{std::move(*m), false};
    if (!user.expanded) return std::nullopt;
    if (auto m = match_topology(model, *user.expanded)) return Match{std::move(*m), true};
    return std::nullopt;
}

}  // namespace zetrion
