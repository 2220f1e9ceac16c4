// The built-in circuit topologies, by preset name.
#pragma once

#include <array>
#include <string_view>

namespace zetrion {

struct Preset {
    std::string_view name;
    std::string_view notation;
};

inline constexpr std::array<Preset, 11> kPresets{{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

// The preset whose name equals `text` byte for byte after ASCII case folding.
inline const Preset* find_preset(std::string_view text) {
    for (const Preset& p : kPresets) {
        if (p.name.size() != text.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < text.size() && same; ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == p.name[i];
        }
        if (same) return &p;
    }
    return nullptr;
}

}  // namespace zetrion
