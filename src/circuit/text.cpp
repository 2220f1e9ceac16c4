#include "circuit/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "circuit/params.hpp"

namespace zetrion {
namespace {

std::string shortest(double x, std::chars_format fmt) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, x, fmt);
    return std::string(buf, r.ptr);
}

std::size_t max_width(const std::vector<std::string>& names) {
    std::size_t w = 0;
    for (const auto& n : names) w = std::max(w, n.size());
    return w;
}

void pad_to(std::string& out, std::string_view s, std::size_t width) {
    out += s;
    if (s.size() < width) out.append(width - s.size(), ' ');
}

}  // namespace

std::string render_scientific(double x, int digits) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[64];
    const auto r = digits < 0 ? std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific)
                              : std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, digits);
    const std::string s(buf, r.ptr);
    const std::size_t e = s.find('e');
    if (e == std::string::npos) return s;
    std::string exp = s.substr(e + 1);
    bool neg = false;
    std::size_t i = 0;
    if (i < exp.size() && (exp[i] == '+' || exp[i] == '-')) neg = exp[i++] == '-';
    while (i + 1 < exp.size() && exp[i] == '0') ++i;
    return s.substr(0, e) + "e" + (neg ? "-" : "") + exp.substr(i);
}

std::string render_number(double x) {
    if (std::isnan(x)) return "NaN";
    const double a = std::fabs(x);
    if (x == 0.0 || std::isinf(x) || (a >= 1e-4 && a < 1e6)) return shortest(x, std::chars_format::fixed);
    return render_scientific(x);
}

std::string render_debug_float(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    const double a = std::fabs(x);
    if (a != 0.0 && (a < 1e-4 || a >= 1e16)) return render_scientific(x);
    std::string s = shortest(x, std::chars_format::fixed);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

std::string circuit_repr(const SeriesList& s) {
    const auto names = param_names(s);
    const auto values = param_values(s);
    const auto units = param_units(s);
    const auto bounds = param_bounds(s);
    const std::size_t n = names.size();
    std::string out = "Circuit (" + std::to_string(n) + " parameter" + (n == 1 ? "" : "s") + ")\n";
    const std::size_t w = max_width(names);
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += '\n';
        out += "  ";
        pad_to(out, names[i], w);
        out += " = ";
        pad_to(out, render_number(values[i]), 10);
        out += " [";
        out += units[i];
        out += "]  bounds (" + render_number(bounds[i].lo) + ", " + render_number(bounds[i].hi) + ")";
    }
    return out;
}

std::string parameter_listing(const SeriesList& s) {
    const auto names = param_names(s);
    const auto units = param_units(s);
    const auto bounds = param_bounds(s);
    const std::size_t w = max_width(names);
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += '\n';
        out += "  ";
        pad_to(out, names[i], w);
        out += "  [";
        out += units[i];
        out += "]  bounds (" + render_number(bounds[i].lo) + ", " + render_number(bounds[i].hi) + ")";
    }
    return out;
}

}  // namespace zetrion
