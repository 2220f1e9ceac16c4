#include "elements/element.hpp"

#include "elements/formulas.hpp"

#include <limits>

namespace zetrion {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// The validity bounds: exponents (alpha, gamma) lie in [0, 1]; every other
// parameter is a positive magnitude, kept a hair above zero so that its
// logarithm (the fit's search variable) stays finite.
constexpr Bounds kUnit{0.0, 1.0};
constexpr Bounds kOpen{1e-12, kInf};

// clang-format off
constexpr std::array<KindInfo, kKindCount> kKinds{{
    {"R",    "",     "R",    1, {"r"},                       {"ohm"},                                   {1.0},                   {kOpen}},
    {"C",    "",     "C",    1, {"c"},                       {"F"},                                     {0.001},                 {kOpen}},
    {"L",    "",     "L",    1, {"l"},                       {"H"},                                     {1e-6},                  {kOpen}},
    {"La",   "",     "La",   2, {"l", "alpha"},              {"H*s", "-"},                              {1e-6, 0.8},             {kOpen, kUnit}},
    {"CPE",  "Cpe",  "Cpe",  2, {"q", "alpha"},              {"ohm^-1*s^alpha", "-"},                   {0.001, 0.8},            {kOpen, kUnit}},
    {"W",    "",     "W",    1, {"aw"},                      {"ohm*s^-0.5"},                            {1.0},                   {kOpen}},
    {"Wo",   "",     "Wo",   2, {"z0", "tau"},               {"ohm", "s"},                              {1.0, 10.0},             {kOpen, kOpen}},
    {"Ws",   "",     "Ws",   2, {"z0", "tau"},               {"ohm", "s"},                              {1.0, 10.0},             {kOpen, kOpen}},
    {"G",    "",     "G",    2, {"rg", "tg"},                {"ohm", "s"},                              {1.0, 1.0},              {kOpen, kOpen}},
    {"Gs",   "",     "Gs",   3, {"rg", "tg", "phi"},         {"ohm", "s", "-"},                         {1.0, 1.0, 1.0},         {kOpen, kOpen, kOpen}},
    {"K",    "",     "K",    2, {"r", "tau_k"},              {"ohm", "s"},                              {1.0, 0.001},            {kOpen, kOpen}},
    {"Zarc", "",     "Zarc", 3, {"r", "tau_k", "gamma"},     {"ohm", "s", "-"},                         {1.0, 0.001, 0.8},       {kOpen, kOpen, kUnit}},
    {"TLMQ", "Tlmq", "Tlmq", 3, {"r_ion", "qs", "gamma"},    {"ohm", "F*s^(gamma-1)", "-"},             {1.0, 0.001, 0.8},       {kOpen, kOpen, kUnit}},
    {"T",    "",     "T",    4, {"a", "b", "k_tau", "tau"},  {"ohm*m^2", "ohm*m^2", "-", "s"},          {1.0, 1.0, 1.0, 1.0},    {kOpen, kOpen, kOpen, kOpen}},
}};
// clang-format on

bool same_code(std::u32string_view a, std::string_view b) {
    if (b.empty() || a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != static_cast<char32_t>(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

}  // namespace

const KindInfo& kind_info(Kind k) { return kKinds[static_cast<std::size_t>(k)]; }

Element default_element(Kind k) {
    Element e;
    e.kind = k;
    e.v = kind_info(k).defaults;
    return e;
}

std::optional<Element> default_for_code(std::u32string_view code) {
    for (std::size_t i = 0; i < kKindCount; ++i) {
        const KindInfo& info = kKinds[i];
        if (same_code(code, info.code) || same_code(code, info.alt_code)) return default_element(kind_at(i));
    }
    return std::nullopt;
}

std::optional<Element> default_for_code(std::string_view code) {
    for (std::size_t i = 0; i < kKindCount; ++i) {
        const KindInfo& info = kKinds[i];
        if (code == info.code || (!info.alt_code.empty() && code == info.alt_code))
            return default_element(kind_at(i));
    }
    return std::nullopt;
}

Cx kind_impedance(Kind k, const double* p, double w) { return formula(k, p, w, nullptr); }

}  // namespace zetrion
