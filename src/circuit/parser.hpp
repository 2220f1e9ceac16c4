// Circuit notation: "R0-(R1,CPE1)", "L0-R0-p(R1,C1)-(R2-W2,CPE2)".
//
//   circuit := series END
//   series  := term ("-" term)*
//   term    := "(" body | "p(" body | element
//   body    := series ("," series)* ")"
//   element := [A-Za-z]+ [0-9]+
//
// No whitespace is skipped anywhere. Positions are code-point indices.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "circuit/tree.hpp"
#include "util/text.hpp"

namespace zetrion {

struct ParseError {
    enum class Kind { UnexpectedChar, UnexpectedEnd, UnknownElement, TrailingInput, DuplicateLabel, TooDeep };
    Kind kind;
    std::size_t position = 0;  // UnexpectedChar, UnknownElement, TrailingInput, TooDeep
    std::string text;          // code letters (UnknownElement) or label (DuplicateLabel)

    bool has_position() const { return kind != Kind::UnexpectedEnd && kind != Kind::DuplicateLabel; }
    std::string message() const;
};

using ParseResult = std::variant<SeriesList, ParseError>;

ParseResult parse(std::u32string_view text);
ParseResult parse(std::string_view utf8);

struct Expanded {
    SeriesList tree;
    bool rewritten;
};

// Replaces every K by (R, C) and every Zarc by (R, CPE) with equal impedance;
// the new leaves carry no label.
Expanded expand_series(const SeriesList& s);

// The user-facing multi-line report of a parse failure: the error, an echo of
// the text with a caret under the position, syntax hints and the element list.
std::string describe_parse_error(std::string_view text_utf8, const ParseError& e);


}  // namespace zetrion
