#include "circuit/parser.hpp"

#include <cmath>
#include <optional>
#include <unordered_set>

namespace zetrion {
namespace {

bool is_letter(char32_t c) { return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z'); }
bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }

class Parser {
public:
    explicit Parser(std::u32string_view s) : s_(s) {}

    ParseResult run() {
        SeriesList tree;
        if (auto e = parse_series(tree, 0)) return *std::move(e);
        if (pos_ != s_.size()) return ParseError{ParseError::Kind::TrailingInput, pos_, {}};
        std::unordered_set<std::string> seen;
        for (const LeafRef& leaf : collect_leaves(tree)) {
            if (!leaf.label->has_value()) continue;
            if (!seen.insert(**leaf.label).second)
                return ParseError{ParseError::Kind::DuplicateLabel, 0, **leaf.label};
        }
        return tree;
    }

private:
    using Err = std::optional<ParseError>;

    Err parse_series(SeriesList& out, std::size_t depth) {
        if (auto e = parse_term(out, depth)) return e;
        while (pos_ < s_.size() && s_[pos_] == U'-') {
            ++pos_;
            if (auto e = parse_term(out, depth)) return e;
        }
        return std::nullopt;
    }

    Err parse_term(SeriesList& out, std::size_t depth) {
        if (pos_ < s_.size()) {
            const std::size_t open = pos_;
            if (s_[pos_] == U'(') {
                ++pos_;
                return parse_parallel_body(out, depth + 1, open);
            }
            if (s_[pos_] == U'p' && pos_ + 1 < s_.size() && s_[pos_ + 1] == U'(') {
                pos_ += 2;
                return parse_parallel_body(out, depth + 1, open);
            }
        }
        return parse_element(out);
    }

    Err parse_parallel_body(SeriesList& out, std::size_t depth, std::size_t open) {
        if (depth > kMaxNesting) return ParseError{ParseError::Kind::TooDeep, open, {}};
        std::vector<SeriesList> branches(1);
        if (auto e = parse_series(branches.back(), depth)) return e;
        for (;;) {
            if (pos_ >= s_.size()) return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
            const char32_t c = s_[pos_];
            if (c == U',') {
                ++pos_;
                branches.emplace_back();
                if (auto e = parse_series(branches.back(), depth)) return e;
            } else if (c == U')') {
                ++pos_;
                out.push_back(Node::parallel(std::move(branches)));
                return std::nullopt;
            } else {
                return ParseError{ParseError::Kind::UnexpectedChar, pos_, {}};
            }
        }
    }

    Err parse_element(SeriesList& out) {
        if (pos_ >= s_.size()) return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
        const std::size_t start = pos_;
        while (pos_ < s_.size() && is_letter(s_[pos_])) ++pos_;
        if (pos_ == start) return ParseError{ParseError::Kind::UnexpectedChar, pos_, {}};
        const std::size_t letters_end = pos_;
        while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
        if (pos_ == letters_end) return ParseError{ParseError::Kind::UnexpectedChar, letters_end, {}};
        const std::u32string_view code = s_.substr(start, letters_end - start);
        const auto element = default_for_code(code);
        if (!element) return ParseError{ParseError::Kind::UnknownElement, start, u32_to_utf8(code)};
        out.push_back(Node::leaf(*element, u32_to_utf8(s_.substr(start, pos_ - start))));
        return std::nullopt;
    }

    std::u32string_view s_;
    std::size_t pos_ = 0;
};

void expand_into(const SeriesList& in, SeriesList& out, bool& rewritten) {
    out.reserve(in.size());
    for (const Node& n : in) {
        if (!n.is_leaf()) {
            std::vector<SeriesList> branches(n.branches.size());
            for (std::size_t i = 0; i < n.branches.size(); ++i) expand_into(n.branches[i], branches[i], rewritten);
            out.push_back(Node::parallel(std::move(branches)));
            continue;
        }
        const Element& e = n.element;
        if (e.kind == Kind::K) {
            Element r{Kind::R, {e.v[0]}};
            Element c{Kind::C, {e.v[1] / e.v[0]}};
            out.push_back(Node::parallel({{Node::leaf(r)}, {Node::leaf(c)}}));
            rewritten = true;
        } else if (e.kind == Kind::Zarc) {
            Element r{Kind::R, {e.v[0]}};
            Element q{Kind::Cpe, {std::pow(e.v[1], e.v[2]) / e.v[0], e.v[2]}};
            out.push_back(Node::parallel({{Node::leaf(r)}, {Node::leaf(q)}}));
            rewritten = true;
        } else {
            out.push_back(n);
        }
    }
}

}  // namespace

std::string ParseError::message() const {
    switch (kind) {
        case Kind::UnexpectedChar:
            return "unexpected character at position " + std::to_string(position);
        case Kind::UnexpectedEnd:
            return "unexpected end of input";
        case Kind::UnknownElement:
            return "unknown element code \"" + text + "\" at position " + std::to_string(position);
        case Kind::TrailingInput:
            return "unexpected trailing input at position " + std::to_string(position);
        case Kind::DuplicateLabel:
            return "duplicate element label \"" + text + "\"";
        case Kind::TooDeep:
            return "parallel groups nested deeper than " + std::to_string(kMaxNesting) + " levels at position " +
                   std::to_string(position);
    }
    return {};
}

ParseResult parse(std::u32string_view text) { return Parser(text).run(); }

ParseResult parse(std::string_view utf8) {
    const std::u32string s = utf8_to_u32(utf8);
    return parse(std::u32string_view(s));
}

Expanded expand_series(const SeriesList& s) {
    Expanded out{{}, false};
    expand_into(s, out.tree, out.rewritten);
    return out;
}

std::string describe_parse_error(std::string_view text_utf8, const ParseError& e) {
    std::string m = e.message();
    m += "\n\n";
    if (e.has_position()) {
        m += "  ";
        m += text_utf8;
        m += "\n  ";
        m.append(e.position, ' ');
        m += "^\n\n";
    }
    m += "syntax:\n";
    m += "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n";
    m += "  - connect elements in series with '-', e.g. \"R0-C1\"\n";
    m += "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\"\n";
    m += "\n";
    m += "available elements (code, parameters, [units]):";
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const KindInfo& info = kind_info(kind_at(k));
        const auto element = default_for_code(info.code);
        const KindInfo& found = kind_info(element->kind);
        m += "\n  ";
        m += info.code;
        if (info.code.size() < 4) m.append(4 - info.code.size(), ' ');
        m += "  ";
        for (std::size_t p = 0; p < found.param_count; ++p) {
            if (p) m += ", ";
            m += found.param_names[p];
            m += " [";
            m += found.units[p];
            m += "]";
        }
    }
    return m;
}

}  // namespace zetrion
