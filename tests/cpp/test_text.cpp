#include <doctest/doctest.h>

#include <limits>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/text.hpp"

using namespace zetrion;

TEST_CASE("circuit number rendering") {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {
        {1.0, "1"},          {0.001, "0.001"},   {-0.0, "-0"},       {inf, "inf"},         {-inf, "-inf"},
        {1e-12, "1e-12"},    {2500000.0, "2.5e6"}, {1.25e-5, "1.25e-5"}, {1e-4, "0.0001"},  {999999.5, "999999.5"},
        {1e6, "1e6"},        {-3e7, "-3e7"},     {0.1 + 0.2, "0.30000000000000004"}, {123.0, "123"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const auto& c : cases) {
        const double x = c.first;  // a named variable: Clang before 16 cannot capture a binding
        CAPTURE(x);
        CHECK(render_number(x) == c.second);
    }
}

TEST_CASE("debug float rendering") {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {
        {1e-6, "1e-6"},     {1.5e-5, "1.5e-5"}, {1e16, "1e16"},     {-2.5e20, "-2.5e20"}, {2e16, "2e16"},
        {1.0, "1.0"},       {0.001, "0.001"},   {10.0, "10.0"},     {123456.789, "123456.789"},
        {-0.0, "-0.0"},     {0.0, "0.0"},       {1e-16, "1e-16"},   {9999999999999998.0, "9999999999999998.0"},
        {inf, "inf"},       {-inf, "-inf"},     {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const auto& c : cases) {
        const double x = c.first;  // a named variable: Clang before 16 cannot capture a binding
        CAPTURE(x);
        CHECK(render_debug_float(x) == c.second);
    }
}

TEST_CASE("quoted form escapes") {
    CHECK(quoted("R0.r") == "\"R0.r\"");
    CHECK(quoted("a\"b\\c") == "\"a\\\"b\\\\c\"");
    CHECK(quoted(std::string("t\tr\rn\nz\0", 8)) == "\"t\\tr\\rn\\nz\\0\"");
    CHECK(quoted("\x01\x1f") == "\"\\u{1}\\u{1f}\"");
    CHECK(quoted("\xc3\xa9") == "\"\xc3\xa9\"");
}

TEST_CASE("repr and listing layout") {
    const auto r = parse(std::string_view("R0-(R1,C1)"));
    const SeriesList& t = std::get<SeriesList>(r);
    CHECK(circuit_repr(t) ==
          "Circuit (3 parameters)\n"
          "  R0.r = 1          [ohm]  bounds (1e-12, inf)\n"
          "  R1.r = 1          [ohm]  bounds (1e-12, inf)\n"
          "  C1.c = 0.001      [F]  bounds (1e-12, inf)");
    CHECK(circuit_repr(SeriesList{}) == "Circuit (0 parameters)\n");
    const auto one = parse(std::string_view("R0"));
    CHECK(circuit_repr(std::get<SeriesList>(one)).rfind("Circuit (1 parameter)\n", 0) == 0);

    const SeriesList long_value = rebuild(std::get<SeriesList>(parse(std::string_view("R0-CPE12"))),
                                          std::vector<double>{0.30000000000000004, 1e-7, 0.5});
    CHECK(circuit_repr(long_value) ==
          "Circuit (3 parameters)\n"
          "  R0.r        = 0.30000000000000004 [ohm]  bounds (1e-12, inf)\n"
          "  CPE12.q     = 1e-7       [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
          "  CPE12.alpha = 0.5        [-]  bounds (0, 1)");
    CHECK(parameter_listing(long_value) ==
          "  R0.r         [ohm]  bounds (1e-12, inf)\n"
          "  CPE12.q      [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
          "  CPE12.alpha  [-]  bounds (0, 1)");
}

TEST_CASE("name suggestions") {
    const std::vector<std::string> names{"R0.r", "R1.r", "CPE1.q", "CPE1.alpha"};
    CHECK(closest_param_name("R0.rr", names) == std::optional<std::string>("R0.r"));
    CHECK(closest_param_name("R2.r", names) == std::optional<std::string>("R0.r"));
    CHECK(closest_param_name("CPE1.alpah", names) == std::optional<std::string>("CPE1.alpha"));
    CHECK_FALSE(closest_param_name("xyz", {"abc"}).has_value());  // distance 3 > 2
    CHECK(closest_param_name("xbc", {"abc"}) == std::optional<std::string>("abc"));
    // Ten characters allow a distance of five.
    CHECK(closest_param_name("abcdefghij", {"abcdeVWXYZ"}) == std::optional<std::string>("abcdeVWXYZ"));
    CHECK_FALSE(closest_param_name("abcdefghij", {"abcdUVWXYZ"}).has_value());
    CHECK_FALSE(closest_param_name("R0.r", {}).has_value());
    CHECK(edit_distance(U"kitten", U"sitting") == 3);
    CHECK(edit_distance(U"", U"abc") == 3);
}

TEST_CASE("automatic labels count per kind") {
    SeriesList s{Node::leaf(default_element(Kind::R)), Node::leaf(default_element(Kind::R)),
                 Node::leaf(default_element(Kind::Cpe))};
    CHECK(param_names(s) == std::vector<std::string>{"R0.r", "R1.r", "Cpe0.q", "Cpe0.alpha"});
    const auto bounds = param_bounds(std::get<SeriesList>(parse(std::string_view("Zarc0-TLMQ1-Gs2-T3"))));
    CHECK(bounds[2].hi == 1.0);   // Zarc gamma
    CHECK(bounds[5].hi == 1.0);   // Tlmq gamma
    CHECK(bounds[8].lo == 1e-12); // Gs phi
    CHECK(bounds[11].lo == 1e-12); // T k_tau
}
