// Loading "EISNN001" blobs: magic, metadata entries (length-prefixed UTF-8
// key and value), then tensor records (name, encoding, rank, dimensions,
// data in binary32, binary16 or scaled int8).
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "nn/guesser.hpp"
#include "util/platform.hpp"
#include "util/text.hpp"

namespace zetrion {
namespace {

constexpr std::string_view kMagic = "EISNN001";

// A byte cursor; every read checks the bytes left first.
class Reader {
public:
    explicit Reader(std::span<const unsigned char> b, std::size_t pos = 0) : b_(b), pos_(pos) {}

    bool u8(std::uint8_t& v) {
        if (b_.size() - pos_ < 1) return false;
        v = b_[pos_++];
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (b_.size() - pos_ < 4) return false;
        v = std::uint32_t(b_[pos_]) | std::uint32_t(b_[pos_ + 1]) << 8 | std::uint32_t(b_[pos_ + 2]) << 16 |
            std::uint32_t(b_[pos_ + 3]) << 24;
        pos_ += 4;
        return true;
    }
    bool f32(double& v) {
        std::uint32_t bits;
        if (!u32(bits)) return false;
        float f;
        std::memcpy(&f, &bits, 4);
        v = f;
        return true;
    }
    bool bytes(std::size_t n, const unsigned char*& p) {
        if (b_.size() - pos_ < n) return false;
        p = b_.data() + pos_;
        pos_ += n;
        return true;
    }
    // A 32-bit length and that many bytes of UTF-8.
    bool string(std::string& out) {
        std::uint32_t n;
        const unsigned char* p;
        if (!u32(n) || !bytes(n, p)) return false;
        out.assign(reinterpret_cast<const char*>(p), n);
        return valid_utf8(out);
    }
    std::size_t pos() const { return pos_; }

private:
    std::span<const unsigned char> b_;
    std::size_t pos_;
};

NnError truncated() { return {NnError::Kind::Truncated, {}}; }

std::optional<NnError> read_tensor(Reader& r, std::string& name, Tensor& t) {
    std::uint8_t encoding, rank;
    if (!r.string(name) || !r.u8(encoding) || !r.u8(rank)) return truncated();
    t.dims.resize(rank);
    std::uint64_t count = 1;
    bool overflow = false;
    for (std::uint8_t i = 0; i < rank; ++i) {
        std::uint32_t d;
        if (!r.u32(d)) return truncated();
        t.dims[i] = d;
        if (d != 0 && count > std::numeric_limits<std::uint64_t>::max() / d) overflow = true;
        count *= d;
    }
    if (overflow) return truncated();
    if (count == 0) count = 1;
    if (encoding > 2) return NnError{NnError::Kind::UnknownEncoding, {}, encoding};
    const std::uint64_t width = encoding == 0 ? 4 : encoding == 1 ? 2 : 1;
    double scale = 1.0;
    if (encoding == 2 && !r.f32(scale)) return truncated();
    if (count > std::numeric_limits<std::uint64_t>::max() / width ||
        count * width > std::numeric_limits<std::size_t>::max())
        return truncated();
    const unsigned char* p;
    if (!r.bytes(static_cast<std::size_t>(count * width), p)) return truncated();
    t.data.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < t.data.size(); ++i) {
        if (encoding == 0) {
            const std::uint32_t bits = std::uint32_t(p[4 * i]) | std::uint32_t(p[4 * i + 1]) << 8 |
                                       std::uint32_t(p[4 * i + 2]) << 16 | std::uint32_t(p[4 * i + 3]) << 24;
            float f;
            std::memcpy(&f, &bits, 4);
            t.data[i] = f;
        } else if (encoding == 1) {
            t.data[i] = half_to_double(static_cast<std::uint16_t>(p[2 * i] | p[2 * i + 1] << 8));
        } else {
            t.data[i] = scale * static_cast<double>(static_cast<std::int8_t>(p[i]));
        }
    }
    return std::nullopt;
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out(1);
    for (char c : s) {
        if (c == ',') out.emplace_back();
        else out.back() += c;
    }
    return out;
}

std::string trim(const std::string& s) {
    const char* ws = " \t\n\r\f\v";
    const std::size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::optional<std::uint64_t> parse_unsigned(const std::string& s) {
    std::size_t i = s.size() > 0 && s[0] == '+' ? 1 : 0;
    if (i >= s.size()) return std::nullopt;
    std::uint64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
        const std::uint64_t d = static_cast<std::uint64_t>(s[i] - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::optional<double> parse_double(const std::string& s) {
    std::size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    const std::string body = s.substr(i);
    std::string lower;
    for (char c : body) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower == "inf" || lower == "infinity") return neg ? -INFINITY : INFINITY;
    if (lower == "nan") return neg ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
    // digits [. digits] [e [sign] digits], at least one digit in the mantissa
    std::size_t k = 0, mant = 0;
    while (k < body.size() && body[k] >= '0' && body[k] <= '9') ++k, ++mant;
    if (k < body.size() && body[k] == '.') {
        ++k;
        while (k < body.size() && body[k] >= '0' && body[k] <= '9') ++k, ++mant;
    }
    if (mant == 0) return std::nullopt;
    if (k < body.size() && (body[k] == 'e' || body[k] == 'E')) {
        ++k;
        if (k < body.size() && (body[k] == '+' || body[k] == '-')) ++k;
        std::size_t e = 0;
        while (k < body.size() && body[k] >= '0' && body[k] <= '9') ++k, ++e;
        if (e == 0) return std::nullopt;
    }
    if (k != body.size()) return std::nullopt;
    std::string text = body;
    if (!text.empty() && text[0] == '.') text = "0" + text;  // from_chars needs a leading digit? not always, be safe
    double v = 0.0;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec == std::errc() && r.ptr == text.data() + text.size()) return neg ? -v : v;
    // Out of range, from_chars consumes the number but leaves v alone.
    if (r.ec != std::errc::result_out_of_range || r.ptr != text.data() + text.size()) return std::nullopt;
#endif
    // Out of range: overflow to infinity, underflow to zero, as strtod does;
    // or a standard library without floating-point from_chars (libc++ before
    // LLVM 20). Either way the C library's reader, in the C locale, so that
    // a process locale with a decimal comma changes nothing.
    const auto parsed = platform::parse_c_double(text);
    if (!parsed) return std::nullopt;
    v = *parsed;
    return neg ? -v : v;
}

std::int32_t to_index(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::round(v);  // halves away from zero
    if (r >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (r <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(r);
}

}  // namespace

double half_to_double(std::uint16_t h) {
    const int sign = h >> 15;
    const int exp = (h >> 10) & 0x1F;
    const int frac = h & 0x3FF;
    double v;
    if (exp == 0) v = std::ldexp(static_cast<double>(frac), -24);
    else if (exp == 31) v = frac ? std::numeric_limits<double>::quiet_NaN() : INFINITY;
    else v = std::ldexp(static_cast<double>(frac | 0x400), exp - 25);
    return sign ? -v : v;
}

std::string NnError::message() const {
    switch (kind) {
        case Kind::Io: return "reading weights: " + text;
        case Kind::BadMagic: return "not an eisnn weight file (bad magic bytes)";
        case Kind::Truncated: return "weight file is truncated";
        case Kind::Missing: return "weight file is missing " + quoted(text);
        case Kind::BadValue: return "weight file has an unparsable value for " + quoted(text);
        case Kind::UnknownEstimator:
            return "weight file was normalised with the " + quoted(text) +
                   " scale estimator, which this build does not implement (supported: reactive_centroid)";
        case Kind::UnknownEncoding:
            return "weight file uses tensor encoding " + std::to_string(a) + ", which this build does not know";
        case Kind::ShapeMismatch:
            return "tensor " + quoted(text) + " has " + std::to_string(a) + " elements, expected " + std::to_string(b);
        case Kind::TooFewPoints: return "need at least 2 frequency points to guess, got " + std::to_string(a);
        case Kind::NonFinite: return "weight file has a non-finite value (NaN or infinity) in " + quoted(text);
    }
    return {};
}

const Tensor* Guesser::tensor(const std::string& name) const {
    const auto it = tensors.find(name);
    return it == tensors.end() ? nullptr : &it->second;
}

std::variant<Guesser, NnError> Guesser::from_bytes(std::span<const unsigned char> blob) {
    if (blob.size() < 8) return truncated();
    if (std::memcmp(blob.data(), kMagic.data(), 8) != 0) return NnError{NnError::Kind::BadMagic, {}};
    Reader r(blob, 8);
    std::uint32_t m;
    if (!r.u32(m)) return truncated();
    std::map<std::string, std::string> meta;
    for (std::uint32_t i = 0; i < m; ++i) {
        std::string k, v;
        if (!r.string(k) || !r.string(v)) return truncated();
        meta[std::move(k)] = std::move(v);
    }
    std::uint32_t t;
    if (!r.u32(t)) return truncated();
    Guesser g;
    for (std::uint32_t i = 0; i < t; ++i) {
        std::string name;
        Tensor tensor;
        if (auto e = read_tensor(r, name, tensor)) return *e;
        g.tensors[std::move(name)] = std::move(tensor);
    }

    // A NaN or infinite weight would turn every guess non-finite without a
    // word: such a file is refused.
    for (const auto& [name, tensor] : g.tensors)
        for (double v : tensor.data)
            if (!std::isfinite(v)) return NnError{NnError::Kind::NonFinite, name};
    for (const char* name : {"target_mean", "target_std", "log_params"})
        if (!g.tensor(name)) return NnError::missing(name);
    g.target_mean = g.tensor("target_mean")->data;
    g.target_std = g.tensor("target_std")->data;
    for (double v : g.tensor("log_params")->data) g.log_params.push_back(v != 0.0);
    const std::size_t p = g.target_mean.size();
    const Tensor* scaling = g.tensor("scaling");
    if (!scaling) return NnError::missing("scaling");
    if (scaling->data.size() != 4 * p) return NnError::shape("scaling", scaling->data.size(), 4 * p);
    for (std::size_t i = 0; i < p; ++i) {
        const double* row = scaling->data.data() + 4 * i;
        g.scaling.push_back({row[0], row[1], row[2], to_index(row[3])});
    }

    auto value = [&](const char* key) -> const std::string* {
        const auto it = meta.find(key);
        return it == meta.end() ? nullptr : &it->second;
    };
    const std::string* dil = value("dilations");
    if (!dil) return NnError::missing("dilations");
    for (const std::string& piece : split(*dil)) {
        const auto d = parse_unsigned(trim(piece));
        if (!d || *d > std::numeric_limits<std::size_t>::max()) return NnError::bad_value("dilations");
        g.dilations.push_back(static_cast<std::size_t>(*d));
    }
    const std::string* est = value("estimator");
    if (!est) return NnError::missing("estimator");
    if (*est != "reactive_centroid") return NnError{NnError::Kind::UnknownEstimator, *est};
    const std::string* circuit = value("circuit");
    if (!circuit) return NnError::missing("circuit");
    g.circuit = *circuit;
    const std::string* names = value("param_names");
    if (!names) return NnError::missing("param_names");
    g.param_names = split(*names);
    for (auto [key, out] : {std::pair{"n_grid", &g.n_grid}, std::pair{"channels", &g.channels},
                            std::pair{"kernel", &g.kernel}, std::pair{"groups", &g.groups}}) {
        const std::string* v = value(key);
        if (!v) return NnError::missing(key);
        const auto u = parse_unsigned(*v);
        if (!u || *u > std::numeric_limits<std::size_t>::max()) return NnError::bad_value(key);
        *out = static_cast<std::size_t>(*u);
    }
    for (auto [key, out] : {std::pair{"alpha_min", &g.alpha_min}, std::pair{"alpha_max", &g.alpha_max}}) {
        const std::string* v = value(key);
        if (!v) return NnError::missing(key);
        const auto d = parse_double(*v);
        if (!d) return NnError::bad_value(key);
        if (!std::isfinite(*d)) return NnError{NnError::Kind::NonFinite, key};
        *out = *d;
    }

    // Consistency the format itself leaves open, checked once here so that
    // prediction never indexes past a table.
    if (g.target_std.size() != p) return NnError::shape("target_std", g.target_std.size(), p);
    if (g.log_params.size() != p) return NnError::shape("log_params", g.log_params.size(), p);
    if (g.param_names.size() != p) return NnError::shape("target_mean", p, g.param_names.size());
    for (const Scaling& s : g.scaling)
        if (s.alpha_index >= static_cast<std::int32_t>(p)) return NnError::bad_value("scaling");
    g.prepare();
    return g;
}

}  // namespace zetrion
