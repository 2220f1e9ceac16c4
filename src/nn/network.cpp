// The guesser network: a scale estimate of the spectrum, three feature
// channels on a log-frequency grid, a dilated residual 1-D convolution trunk
// with group normalisation and GELU, a dense head, and decoding into
// physical units. Double precision throughout.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "util/total_order.hpp"
#include "nn/guesser.hpp"

namespace zetrion {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr std::size_t kMaxGrid = 1 << 16;
constexpr std::size_t kMaxChannels = 1 << 12;
constexpr std::size_t kMaxKernel = 1 << 10;
constexpr std::size_t kMaxDilation = 1 << 20;

std::string weight_name(const std::string& layer) { return "w." + layer + ".weight"; }
std::string bias_name(const std::string& layer) { return "w." + layer + ".bias"; }

}  // namespace

double interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
    if (x <= xs.front()) return ys.front();
    if (x >= xs.back()) return ys.back();
    if (!(x > xs.front() && x < xs.back())) return ys.front();  // NaN x or abscissae
    // Clamped: abscissae that are not ascending (NaN among them) must not
    // move the search off the ends of the table.
    const std::size_t hi = std::clamp<std::size_t>(
        static_cast<std::size_t>(std::upper_bound(xs.begin(), xs.end(), x) - xs.begin()), 1, xs.size() - 1);
    const std::size_t lo = hi - 1;
    if (xs[hi] == xs[lo]) return ys[lo];
    return ys[lo] + (x - xs[lo]) * (ys[hi] - ys[lo]) / (xs[hi] - xs[lo]);
}

double gelu(double v) {
    const double c = v * (v * (v * 0.044715));
    return (0.5 * v) * (std::tanh(0.7978845608028654 * (v + c)) + 1.0);
}

Guesser::Scales Guesser::scales(std::span<const double> f, std::span<const Cx> z) const {
    double sw = 0.0, sz = 0.0, sf = 0.0;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const double m = std::hypot(z[i].re, z[i].im);
        if (std::fmin(f[i], m) <= 0.0) continue;
        const double w = std::fmax(-z[i].im / m, 0.0);
        sw += w;
        sz += w * std::log(m);
        sf += w * std::log(kTwoPi * f[i]);
    }
    if (sw >= 1e-9) return {std::exp(sz / sw), std::exp(sf / sw)};
    double lw = 0.0;
    for (double fi : f) lw += std::log(kTwoPi * fi);
    std::vector<double> mags(z.size());
    for (std::size_t i = 0; i < z.size(); ++i) mags[i] = std::hypot(z[i].re, z[i].im);
    std::stable_sort(mags.begin(), mags.end(), total_less);
    return {mags[mags.size() / 2], std::exp(lw / static_cast<double>(f.size()))};
}

Features Guesser::features(std::span<const double> f, std::span<const Cx> z, const Scales& s) const {
    const std::size_t n = f.size(), g = n_grid;
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return total_less(f[a], f[b]); });
    std::vector<double> lf(n), lm(n), ph(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = order[k];
        lf[k] = std::log10(f[i]);
        lm[k] = std::log10(std::hypot(z[i].re, z[i].im));
        const double a = std::atan2(z[i].im, z[i].re);
        if (k == 0) {
            ph[k] = a;
            continue;
        }
        const double d = a - ph[k - 1];
        double r = d - kTwoPi * std::floor((d + kPi) / kTwoPi);
        if (r == -kPi && a > ph[k - 1]) r = kPi;
        ph[k] = ph[k - 1] + r;
    }
    const double step = g >= 2 ? (lf[n - 1] - lf[0]) / static_cast<double>(g - 1) : 0.0;
    Features out;
    out.map.resize(3 * g);
    const double log_r = std::log10(s.r), log_w = std::log10(s.omega / kTwoPi);
    for (std::size_t i = 0; i < g; ++i) {
        const double x = lf[0] + step * static_cast<double>(i);
        out.map[i] = interpolate(lf, lm, x) - log_r;
        out.map[g + i] = interpolate(lf, ph, x) / kHalfPi;
        out.map[2 * g + i] = (x - log_w) * 0.25;
    }
    out.e0 = 0.125 * (lf[n - 1] - lf[0]);
    out.e1 = 0.5 * std::log10(static_cast<double>(n));
    return out;
}

std::variant<std::vector<double>, NnError> Guesser::conv1d(const std::vector<double>& in, std::size_t c_in,
                                                           const std::string& layer, std::size_t dilation) const {
    const std::string wn = weight_name(layer), bn = bias_name(layer);
    const Tensor* w = tensor(wn);
    if (!w) return NnError::missing(wn);
    const Tensor* b = tensor(bn);
    if (!b) return NnError::missing(bn);
    const std::size_t g = n_grid, k = kernel;
    // Sizes from the file are checked by division, so no product can overflow.
    const std::size_t c_out = w->dims.empty() ? 0 : static_cast<std::size_t>(w->dims[0]);
    const std::size_t n = w->data.size();
    if (c_out == 0 || c_in == 0 || k == 0 || n % c_out != 0 || (n / c_out) % c_in != 0 || n / c_out / c_in != k)
        return NnError::shape(wn, n, c_out * c_in * k);
    if (b->data.size() < c_out) return NnError::shape(bn, b->data.size(), c_out);
    if (in.size() % g != 0 || in.size() / g != c_in) return NnError::shape(wn, in.size() / g, c_in);
    const std::ptrdiff_t pad = static_cast<std::ptrdiff_t>(dilation * (k - 1) / 2);
    std::vector<double> out(c_out * g);
    for (std::size_t o = 0; o < c_out; ++o) {
        double* dst = out.data() + o * g;
        std::fill(dst, dst + g, b->data[o]);
        for (std::size_t c = 0; c < c_in; ++c) {
            const double* src = in.data() + c * g;
            for (std::size_t t = 0; t < k; ++t) {
                const double wv = w->data[(o * c_in + c) * k + t];
                if (wv == 0.0) continue;
                const std::ptrdiff_t shift = static_cast<std::ptrdiff_t>(dilation * t) - pad;
                const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -shift);
                const std::ptrdiff_t hi = std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(g),
                                                                   static_cast<std::ptrdiff_t>(g) - shift);
                for (std::ptrdiff_t x = lo; x < hi; ++x) dst[x] += wv * src[x + shift];
            }
        }
    }
    return out;
}

std::optional<NnError> Guesser::group_norm(std::vector<double>& map, const std::string& layer) const {
    const std::string wn = weight_name(layer), bn = bias_name(layer);
    const Tensor* gamma = tensor(wn);
    if (!gamma) return NnError::missing(wn);
    const Tensor* beta = tensor(bn);
    if (!beta) return NnError::missing(bn);
    if (groups == 0) return NnError::bad_value("groups");
    const std::size_t g = n_grid, h = channels, q = h / groups;
    if (map.size() != h * g) return NnError::shape(wn, map.size(), h * g);
    if (gamma->data.size() < h) return NnError::shape(wn, gamma->data.size(), h);
    if (beta->data.size() < h) return NnError::shape(bn, beta->data.size(), h);
    const std::size_t len = q * g;
    if (len == 0) return std::nullopt;
    for (std::size_t grp = 0; grp < groups; ++grp) {
        double* v = map.data() + grp * len;
        double sum = 0.0;
        for (std::size_t i = 0; i < len; ++i) sum += v[i];
        const double mu = sum / static_cast<double>(len);
        double var = 0.0;
        for (std::size_t i = 0; i < len; ++i) var += (v[i] - mu) * (v[i] - mu);
        var /= static_cast<double>(len);
        const double inv = 1.0 / std::sqrt(var + 1e-5);
        for (std::size_t i = 0; i < len; ++i) {
            const std::size_t ch = grp * q + i / g;
            v[i] = (v[i] - mu) * inv * gamma->data[ch] + beta->data[ch];
        }
    }
    return std::nullopt;
}

std::variant<std::vector<double>, NnError> Guesser::linear(const std::vector<double>& in,
                                                           const std::string& layer) const {
    const std::string wn = weight_name(layer), bn = bias_name(layer);
    const Tensor* w = tensor(wn);
    if (!w) return NnError::missing(wn);
    const Tensor* b = tensor(bn);
    if (!b) return NnError::missing(bn);
    if (w->dims.size() != 2) return NnError::shape(wn, w->dims.size(), 2);
    const std::size_t rows = static_cast<std::size_t>(w->dims[0]), cols = static_cast<std::size_t>(w->dims[1]);
    if (cols != in.size()) return NnError::shape(layer, in.size(), cols);
    if (w->data.size() != rows * cols) return NnError::shape(wn, w->data.size(), rows * cols);
    if (b->data.size() < rows) return NnError::shape(bn, b->data.size(), rows);
    std::vector<double> out(rows);
    for (std::size_t j = 0; j < rows; ++j) {
        const double* wr = w->data.data() + j * cols;
        double s = 0.0;
        for (std::size_t k = 0; k < cols; ++k) s += wr[k] * in[k];
        out[j] = s + b->data[j];
    }
    return out;
}

std::variant<std::vector<double>, NnError> Guesser::forward(const Features& feats) const {
    if (std::vector<double> out; forward_fast(feats, out)) return out;
    return forward_layers(feats);
}

std::variant<std::vector<double>, NnError> Guesser::forward_layers(const Features& feats) const {
    auto stem = conv1d(feats.map, 3, "stem", 1);
    if (auto* e = std::get_if<NnError>(&stem)) return *e;
    std::vector<double> x = std::get<std::vector<double>>(std::move(stem));
    for (std::size_t i = 0; i < dilations.size(); ++i) {
        const std::string prefix = "blocks." + std::to_string(i) + ".";
        auto c1 = conv1d(x, channels, prefix + "conv1", dilations[i]);
        if (auto* e = std::get_if<NnError>(&c1)) return *e;
        std::vector<double> h = std::get<std::vector<double>>(std::move(c1));
        if (auto e = group_norm(h, prefix + "norm1")) return *e;
        for (double& v : h) v = gelu(v);
        auto c2 = conv1d(h, channels, prefix + "conv2", dilations[i]);
        if (auto* e = std::get_if<NnError>(&c2)) return *e;
        h = std::get<std::vector<double>>(std::move(c2));
        if (auto e = group_norm(h, prefix + "norm2")) return *e;
        const std::size_t common = std::min(x.size(), h.size());
        x.resize(common);
        for (std::size_t k = 0; k < common; ++k) x[k] = gelu(x[k] + h[k]);
    }
    const std::size_t g = n_grid;
    const std::size_t ch = g ? x.size() / g : 0;
    std::vector<double> pooled;
    pooled.reserve(2 * ch + 2);
    for (std::size_t c = 0; c < ch; ++c) {
        double s = 0.0;
        for (std::size_t k = 0; k < g; ++k) s += x[c * g + k];
        pooled.push_back(s / static_cast<double>(g));
    }
    for (std::size_t c = 0; c < ch; ++c) {
        double m = -INFINITY;
        for (std::size_t k = 0; k < g; ++k)
            if (x[c * g + k] > m) m = x[c * g + k];
        pooled.push_back(m);
    }
    pooled.push_back(feats.e0);
    pooled.push_back(feats.e1);
    auto v = linear(pooled, "head.0");
    if (auto* e = std::get_if<NnError>(&v)) return *e;
    std::vector<double> a = std::get<std::vector<double>>(std::move(v));
    for (double& t : a) t = gelu(t);
    v = linear(a, "head.2");
    if (auto* e = std::get_if<NnError>(&v)) return *e;
    a = std::get<std::vector<double>>(std::move(v));
    for (double& t : a) t = gelu(t);
    return linear(a, "head.4");
}

std::variant<std::vector<double>, NnError> Guesser::decode(std::span<const double> out, const Scales& s) const {
    const std::size_t p = param_names.size();
    if (out.size() < p) return NnError::shape("head.4", out.size(), p);
    std::vector<double> v(p);
    bool any_linear = false;
    for (std::size_t i = 0; i < p; ++i) {
        const double y = out[i] * target_std[i] + target_mean[i];
        v[i] = log_params[i] ? std::pow(10.0, y) : y;
        any_linear = any_linear || !log_params[i];
    }
    if (any_linear && alpha_min > alpha_max) return NnError::bad_value("alpha_min");
    for (std::size_t i = 0; i < p; ++i)
        if (!log_params[i]) v[i] = std::clamp(v[i], alpha_min, alpha_max);
    const std::vector<double> u = v;
    for (std::size_t j = 0; j < scaling.size() && j < p; ++j) {
        const Scaling& sc = scaling[j];
        const double e = sc.w_exp + (sc.alpha_index >= 0 ? sc.w_alpha_exp * u[static_cast<std::size_t>(sc.alpha_index)] : 0.0);
        v[j] = std::pow(s.omega, e) * (u[j] * std::pow(s.r, sc.r_exp));
    }
    return v;
}

std::variant<std::vector<double>, NnError> Guesser::predict(std::span<const double> f, std::span<const Cx> z) const {
    if (f.size() < 2 || z.size() < 2) return NnError{NnError::Kind::TooFewPoints, {}, std::min(f.size(), z.size())};
    // Limits far above any real network keep a hostile file from asking for
    // huge buffers or overflowing index arithmetic.
    if (n_grid == 0 || n_grid > kMaxGrid) return NnError::bad_value("n_grid");
    if (channels == 0 || channels > kMaxChannels) return NnError::bad_value("channels");
    if (kernel == 0 || kernel > kMaxKernel) return NnError::bad_value("kernel");
    for (std::size_t d : dilations)
        if (d > kMaxDilation) return NnError::bad_value("dilations");
    const std::size_t n = std::min(f.size(), z.size());
    f = f.first(n);
    z = z.first(n);
    const Scales s = scales(f, z);
    const Features feats = features(f, z, s);
    auto out = forward(feats);
    if (auto* e = std::get_if<NnError>(&out)) return *e;
    return decode(std::get<std::vector<double>>(out), s);
}

}  // namespace zetrion
