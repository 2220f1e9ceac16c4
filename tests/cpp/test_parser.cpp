#include <doctest/doctest.h>

#include <cmath>
#include <string>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"

using namespace zetrion;

namespace {

std::string error_of(std::string_view text) {
    const ParseResult r = parse(text);
    if (const auto* e = std::get_if<ParseError>(&r)) return e->message();
    return "ok";
}

SeriesList tree_of(std::string_view text) {
    ParseResult r = parse(text);
    REQUIRE(std::holds_alternative<SeriesList>(r));
    return std::get<SeriesList>(std::move(r));
}

}  // namespace

TEST_CASE("parse errors") {
    const std::pair<const char*, const char*> cases[] = {
        {"", "unexpected end of input"},
        {"R0-", "unexpected end of input"},
        {"R", "unexpected character at position 1"},
        {"R-C1", "unexpected character at position 1"},
        {"0R", "unexpected character at position 0"},
        {"R0--R1", "unexpected character at position 3"},
        {"R0-(R1,C1", "unexpected end of input"},
        {"R0-(R1;C1)", "unexpected character at position 6"},
        {"()", "unexpected character at position 1"},
        {"R0 - R1", "unexpected trailing input at position 2"},
        {"R0,R1", "unexpected trailing input at position 2"},
        {"R0-Q1", "unknown element code \"Q\" at position 3"},
        {"cpe1", "unknown element code \"cpe\" at position 0"},
        {"R1-(R1,C1)", "duplicate element label \"R1\""},
        {"R0-(R1,X1)", "unknown element code \"X\" at position 7"},
        {" R0", "unexpected character at position 0"},
        {"R0 ", "unexpected trailing input at position 2"},
        {"RC1", "unknown element code \"RC\" at position 0"},
        {"p(", "unexpected end of input"},
        {"P(R0)", "unexpected character at position 1"},
        {"R0-p", "unexpected character at position 4"},
    };
    for (const auto& c : cases) {
        const auto& text = c.first;  // a named variable: Clang before 16 cannot capture a binding
        CAPTURE(text);
        CHECK(error_of(text) == c.second);
    }
}

TEST_CASE("positions count code points, not bytes") {
    CHECK(error_of("R0-\xc3\xa9") == "unexpected character at position 3");
    CHECK(error_of("\xc3\xa9\xc3\xa9R0") == "unexpected character at position 0");
    CHECK(error_of("R0-(\xe2\x82\xac") == "unexpected character at position 4");
    CHECK(error_of("R0\xe2\x82\xac-X1") == "unexpected trailing input at position 2");
}

TEST_CASE("groups, labels and kinds") {
    const SeriesList a = tree_of("R0-p(R1,C1)");
    const SeriesList b = tree_of("R0-(R1,C1)");
    CHECK(param_names(a) == param_names(b));
    REQUIRE(a.size() == 2);
    CHECK_FALSE(a[1].is_leaf());
    CHECK(a[1].branches.size() == 2);

    const SeriesList one = tree_of("(R1)");
    REQUIRE(one.size() == 1);
    CHECK(one[0].branches.size() == 1);
    const SeriesList nested = tree_of("((R1,C1),R2)");
    CHECK_FALSE(nested[0].branches[0][0].is_leaf());

    const SeriesList cpes = tree_of("CPE1-Cpe1");
    CHECK(cpes[0].element.kind == Kind::Cpe);
    CHECK(cpes[1].element.kind == Kind::Cpe);
    CHECK(*cpes[1].label == "Cpe1");

    const SeriesList greedy = tree_of("La1-Zarc3-R007-R7");
    CHECK(greedy[0].element.kind == Kind::La);
    CHECK(greedy[1].element.kind == Kind::Zarc);
    CHECK(*greedy[2].label == "R007");
}

TEST_CASE("nesting is bounded") {
    std::string ok, deep;
    for (std::size_t i = 0; i < kMaxNesting; ++i) ok += "(";
    ok += "R0";
    for (std::size_t i = 0; i < kMaxNesting; ++i) ok += ")";
    CHECK(std::holds_alternative<SeriesList>(parse(std::string_view(ok))));
    CHECK(nesting_depth(tree_of(ok)) == kMaxNesting);

    for (int i = 0; i < 100000; ++i) deep += "p(";
    const std::string m = error_of(deep);
    CHECK(m == "parallel groups nested deeper than " + std::to_string(kMaxNesting) + " levels at position " +
                   std::to_string(2 * kMaxNesting));
}

TEST_CASE("parse error report layout") {
    const ParseResult r = parse(std::string_view("R0-(R1,X1)"));
    const std::string m = describe_parse_error("R0-(R1,X1)", std::get<ParseError>(r));
    CHECK(m.rfind("unknown element code \"X\" at position 7\n\n  R0-(R1,X1)\n         ^\n\nsyntax:\n", 0) == 0);
    CHECK(m.find("  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]\n  T     a [ohm*m^2]") != std::string::npos);
    CHECK(m.back() == ']');

    const ParseResult end = parse(std::string_view("R0-"));
    const std::string e = describe_parse_error("R0-", std::get<ParseError>(end));
    CHECK(e.rfind("unexpected end of input\n\nsyntax:\n", 0) == 0);
}

TEST_CASE("expand_series rewrites K and Zarc with equal impedance") {
    const Expanded none = expand_series(tree_of("R0-(R1,CPE1)"));
    CHECK_FALSE(none.rewritten);
    CHECK(param_names(none.tree) == std::vector<std::string>{"R0.r", "R1.r", "CPE1.q", "CPE1.alpha"});

    SeriesList k = rebuild(tree_of("R0-K1"), std::vector<double>{5.0, 20.0, 4e-3});
    const Expanded ek = expand_series(k);
    CHECK(ek.rewritten);
    REQUIRE(ek.tree.size() == 2);
    const Node& group = ek.tree[1];
    REQUIRE_FALSE(group.is_leaf());
    REQUIRE(group.branches.size() == 2);
    CHECK(group.branches[0][0].element.kind == Kind::R);
    CHECK(group.branches[1][0].element.kind == Kind::C);
    CHECK(group.branches[1][0].element.v[0] == 4e-3 / 20.0);
    CHECK_FALSE(group.branches[0][0].label.has_value());
    CHECK(*ek.tree[0].label == "R0");

    SeriesList z = rebuild(tree_of("(Zarc1,R2)"), std::vector<double>{20.0, 4e-3, 0.7, 3.0});
    const Expanded ez = expand_series(z);
    CHECK(ez.rewritten);
    const Node& inner = ez.tree[0].branches[0][0];
    CHECK(inner.branches[1][0].element.kind == Kind::Cpe);
    CHECK(inner.branches[1][0].element.v[0] == std::pow(4e-3, 0.7) / 20.0);
    for (double w : {0.1, 10.0, 1e4}) {
        const Cx before = impedance(z, w), after = impedance(ez.tree, w);
        CHECK(after.re == doctest::Approx(before.re).epsilon(1e-12));
        CHECK(after.im == doctest::Approx(before.im).epsilon(1e-12));
    }
}
