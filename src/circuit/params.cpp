#include "circuit/params.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "circuit/parser.hpp"

namespace zetrion {

std::size_t param_count(const SeriesList& s) {
    std::size_t n = 0;
    for (const Node& node : s) {
        if (node.is_leaf()) {
            n += param_count(node.element.kind);
        } else {
            for (const SeriesList& b : node.branches) n += param_count(b);
        }
    }
    return n;
}

namespace {

// The number a label ends with ("R12" -> 12); nothing when it has no digits
// or too many to matter.
std::optional<std::size_t> label_number(const std::string& label) {
    std::size_t i = label.size();
    while (i > 0 && label[i - 1] >= '0' && label[i - 1] <= '9') --i;
    if (i == label.size() || label.size() - i > 18) return std::nullopt;
    return static_cast<std::size_t>(std::stoull(label.substr(i)));
}

}  // namespace

std::vector<std::string> param_names(const SeriesList& s) {
    const std::vector<LeafRef> leaves = collect_leaves(s);
    // Automatic labels skip the numbers that explicit labels of the same kind
    // already use (and any text an explicit label already has), so that a
    // circuit built from parsed and element parts never names two parameters
    // alike.
    std::array<std::set<std::size_t>, kKindCount> taken;
    std::set<std::string> explicit_labels;
    for (const LeafRef& leaf : leaves) {
        if (!leaf.label->has_value()) continue;
        explicit_labels.insert(**leaf.label);
        if (auto n = label_number(**leaf.label)) taken[static_cast<std::size_t>(leaf.element->kind)].insert(*n);
    }
    std::array<std::size_t, kKindCount> counters{};
    std::vector<std::string> names;
    for (const LeafRef& leaf : leaves) {
        const KindInfo& info = kind_info(leaf.element->kind);
        std::string label;
        if (leaf.label->has_value()) {
            label = **leaf.label;
        } else {
            const std::size_t k = static_cast<std::size_t>(leaf.element->kind);
            std::size_t& c = counters[k];
            for (;; ++c) {
                label = std::string(info.class_name) + std::to_string(c);
                if (!taken[k].count(c) && !explicit_labels.count(label)) break;
            }
            ++c;
        }
        for (std::size_t p = 0; p < info.param_count; ++p) {
            std::string name = label;
            name += '.';
            name += info.param_names[p];
            names.push_back(std::move(name));
        }
    }
    return names;
}

std::vector<std::string_view> param_units(const SeriesList& s) {
    std::vector<std::string_view> out;
    for (const LeafRef& leaf : collect_leaves(s)) {
        const KindInfo& info = kind_info(leaf.element->kind);
        out.insert(out.end(), info.units.begin(), info.units.begin() + info.param_count);
    }
    return out;
}

std::vector<Bounds> param_bounds(const SeriesList& s) {
    std::vector<Bounds> out;
    for (const LeafRef& leaf : collect_leaves(s)) {
        const KindInfo& info = kind_info(leaf.element->kind);
        out.insert(out.end(), info.bounds.begin(), info.bounds.begin() + info.param_count);
    }
    return out;
}

std::vector<double> param_values(const SeriesList& s) {
    std::vector<double> out;
    for (const LeafRef& leaf : collect_leaves(s)) {
        const auto v = leaf.element->values();
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}

std::size_t edit_distance(std::u32string_view a, std::u32string_view b) {
    std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (std::size_t k = 0; k <= b.size(); ++k) prev[k] = k;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t k = 1; k <= b.size(); ++k) {
            const std::size_t sub = prev[k - 1] + (a[i - 1] == b[k - 1] ? 0 : 1);
            cur[k] = std::min({sub, cur[k - 1] + 1, prev[k] + 1});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

std::optional<std::string> closest_param_name(std::string_view unknown, const std::vector<std::string>& valid) {
    const std::u32string u = utf8_to_u32(unknown);
    const std::size_t n = u.size();
    const std::size_t threshold = n > 5 ? n / 2 : 2;
    const std::string* best = nullptr;
    std::size_t best_d = 0;
    for (const std::string& name : valid) {
        const std::size_t d = edit_distance(u, utf8_to_u32(name));
        if (!best || d < best_d) {
            best = &name;
            best_d = d;
        }
    }
    if (best && best_d <= threshold) return *best;
    return std::nullopt;
}

}  // namespace zetrion
