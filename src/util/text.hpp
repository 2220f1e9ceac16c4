// Text helpers every layer shares: UTF-8 decoding and encoding, and the
// quoted form of a name in messages.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace zetrion {

// One UTF-8 sequence at s[i]: its code point and length, or length 0 when
// the bytes there are not a lead byte followed by enough continuation bytes.
// Overlong forms, surrogates and values above U+10FFFF decode as written;
// well_formed() tells them apart.
struct Utf8Unit {
    char32_t cp = 0;
    std::size_t len = 0;

    bool well_formed() const {
        return len == 1 || (len == 2 && cp >= 0x80) || (len == 3 && cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) ||
               (len == 4 && cp >= 0x10000 && cp <= 0x10FFFF);
    }
};

inline Utf8Unit decode_utf8_unit(std::string_view s, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || s.size() - i < len) return {};
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return {};
        cp = (cp << 6) | (cc & 0x3F);
    }
    return {cp, len};
}

// Code points of UTF-8 text; a byte that starts no complete sequence becomes
// U+FFFD. Lone surrogates (as Python's "surrogatepass" writes them) are kept.
inline std::u32string utf8_to_u32(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Unit u = decode_utf8_unit(s, i);
        out += u.len ? u.cp : U'\uFFFD';
        i += u.len ? u.len : 1;
    }
    return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Unit u = decode_utf8_unit(s, i);
        if (!u.well_formed()) return false;
        i += u.len;
    }
    return true;
}

inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

inline std::string u32_to_utf8(std::u32string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t c : s) append_utf8(out, c);
    return out;
}

// "text" with backslash escapes for quotes, backslashes and control characters.
inline std::string quoted(std::string_view utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace zetrion
