// The fourteen circuit element kinds: their codes, parameters, units,
// defaults and bounds (one table), and one impedance formula per kind.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "elements/complex.hpp"

namespace zetrion {

// Fixed order; the ordinal indexes every per-kind table.
enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };

inline constexpr std::size_t kKindCount = 14;
inline constexpr std::size_t kMaxParams = 4;

struct Bounds {
    double lo;
    double hi;
};

struct KindInfo {
    std::string_view code;        // canonical notation code ("CPE")
    std::string_view alt_code;    // second accepted spelling, or empty
    std::string_view class_name;  // Python-side name and label prefix ("Cpe")
    std::size_t param_count;
    std::array<std::string_view, kMaxParams> param_names;
    std::array<std::string_view, kMaxParams> units;
    std::array<double, kMaxParams> defaults;
    std::array<Bounds, kMaxParams> bounds;  // validity range of each parameter
};

const KindInfo& kind_info(Kind k);
inline std::size_t param_count(Kind k) { return kind_info(k).param_count; }
inline Kind kind_at(std::size_t ordinal) { return static_cast<Kind>(ordinal); }

// An element kind with its parameter values (param_count(kind) of them used).
struct Element {
    Kind kind = Kind::R;
    std::array<double, kMaxParams> v{};

    std::span<const double> values() const { return {v.data(), param_count(kind)}; }
};

Element default_element(Kind k);

// Exact, case-sensitive lookup of a notation code ("CPE" and "Cpe" both name
// Cpe; "TLMQ" and "Tlmq" both name Tlmq).
std::optional<Element> default_for_code(std::u32string_view code);
std::optional<Element> default_for_code(std::string_view code);

// Impedance of kind k at angular frequency w with parameters p[0..count).
Cx kind_impedance(Kind k, const double* p, double w);

inline Cx element_impedance(const Element& e, double w) { return kind_impedance(e.kind, e.v.data(), w); }

}  // namespace zetrion
