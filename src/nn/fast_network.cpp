// The guesser's trunk and head laid out for the machine.
//
// At load every tensor is looked up once, checked, and repacked: convolution
// weights in blocks of eight output channels, [block][c_in][tap][8], so a
// kernel broadcasts one weight per output channel and streams positions
// through vector registers; dense weights transposed, so the rows of a layer
// are summed side by side. Activations live in per-thread buffers whose rows
// carry zero margins wide enough for the largest dilation, so no tap needs a
// bounds test.
//
// Every output element is still formed in the order of the plain loop: the
// bias, then the input channels in order, the taps in order; group
// statistics and pooled means keep their sequential order too. Two things
// differ from the plain path in the last bits, far below the agreement the
// network's training pipeline is held to (1e-9 relative; measured about
// 2e-13 either way):
// - This file alone is compiled with floating-point contraction, so on
//   processors with fused multiply-add each product-and-sum is rounded once.
//   The AVX-512 and AVX2 kernels contract the same expressions and give the
//   same bits; the SSE2 kernel, for processors without FMA, rounds twice.
//   The guess only starts a fit, and the fitting engine itself is compiled
//   without contraction.
// - GELU's 0.5 v (tanh u + 1) is evaluated as v / (1 + exp(-2u)), equal in
//   real arithmetic, with an exponential that vectorises.
//
// The kernels are written once over a vector type and compiled for what the
// target offers:
// - x86-64: AVX-512, AVX2 with FMA and plain SSE2, chosen once from the
//   running processor, so one build runs everywhere;
// - other processors, with GCC or Clang: 128-bit vectors (Advanced SIMD on
//   aarch64, with fused multiply-add);
// - compilers without the GCC vector extensions (MSVC): plain doubles.
// Every build also carries the plain-double kernel; nn/kernels.hpp lists the
// kernels and pins one, for tests and benchmarks.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "nn/guesser.hpp"
#include "nn/kernels.hpp"
#include "util/platform.hpp"

#if defined(__GNUC__) || defined(__clang__)
#define ZETRION_VECTORS 1
#define ZETRION_INLINE [[gnu::always_inline]] inline
#define ZETRION_UNROLL _Pragma("GCC unroll 16")
// The vector helpers below are always inlined, so no vector value crosses a
// call boundary and the ABI notes GCC gives for them do not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#else
#define ZETRION_VECTORS 0
#define ZETRION_INLINE __forceinline
#define ZETRION_UNROLL
#endif

#if ZETRION_VECTORS && (defined(__x86_64__) || defined(__i386__))
#define ZETRION_NN_X86 1
#else
#define ZETRION_NN_X86 0
#endif

namespace zetrion {

struct Guesser::Fast {
    struct Conv {
        std::size_t c_in = 0, c_out = 0;
        std::vector<std::ptrdiff_t> shifts;  // d * tap - pad, per tap
        std::vector<double> w;               // [c_out / 8][c_in][K][8]
        std::vector<double> b;
    };
    struct Norm {
        std::vector<double> gamma, beta;
    };
    struct Dense {
        std::size_t rows = 0, cols = 0;
        std::vector<double> wt;  // [cols][rows]
        std::vector<double> b;
    };
    // What the plan was built for; a guesser edited after loading falls back
    // to the plain path.
    std::size_t n_grid = 0, channels = 0, kernel = 0, groups = 0;
    std::vector<std::size_t> dilations;

    std::size_t g = 0, gp = 0, margin = 0, stride = 0;  // positions, padded positions, zero margin, row stride
    Conv stem;
    std::vector<Conv> conv1, conv2;
    std::vector<Norm> norm1, norm2;
    Dense head[3];
};

namespace {

constexpr std::size_t kBlock = 8;     // output channels per packed weight block
constexpr std::size_t kChunk = 16;    // positions are padded to a multiple of this
constexpr std::size_t kMaxWork = std::size_t{1} << 27;  // doubles of activation a plan may ask for
constexpr std::size_t kMaxGroupsFast = 256;

#if ZETRION_VECTORS
typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef long long v2i __attribute__((vector_size(16)));
typedef long long v4i __attribute__((vector_size(32)));
typedef long long v8i __attribute__((vector_size(64)));
#endif

// The integer vector of a vector's lanes, and the bits of one as the other.
template <class V>
struct Int;
template <>
struct Int<double> {
    using type = long long;
};
#if ZETRION_VECTORS
template <>
struct Int<v2d> {
    using type = v2i;
};
template <>
struct Int<v4d> {
    using type = v4i;
};
template <>
struct Int<v8d> {
    using type = v8i;
};
#endif

template <class To, class From>
ZETRION_INLINE To bits_as(const From& v) {
    static_assert(sizeof(To) == sizeof(From));
    if constexpr (std::is_same_v<From, double> || std::is_same_v<To, double>)
        return std::bit_cast<To>(v);
    else
        return (To)v;  // a vector cast keeps the bits
}

template <class V>
ZETRION_INLINE V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
ZETRION_INLINE void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}
template <class V>
ZETRION_INLINE V splat(double s) {
    return V{} + s;
}

// exp(a) for a in [-700, 700] (callers clamp), about one unit in the last
// place: a = k ln 2 + r with |r| <= ln 2 / 2, a degree-13 Taylor polynomial
// for exp(r), and 2^k put together in the exponent bits.
template <class V>
ZETRION_INLINE V vexp(V a) {
    using I = typename Int<V>::type;
    const V magic = splat<V>(6755399441055744.0);  // 1.5 * 2^52: adding it rounds to an integer
    const V t = a * splat<V>(1.4426950408889634) + magic;
    const V k = t - magic;
    const V r = (a - k * splat<V>(6.93147180369123816490e-01)) - k * splat<V>(1.90821492927058770002e-10);
    V p = splat<V>(1.0 / 6227020800.0);
    p = p * r + splat<V>(1.0 / 479001600.0);
    p = p * r + splat<V>(1.0 / 39916800.0);
    p = p * r + splat<V>(1.0 / 3628800.0);
    p = p * r + splat<V>(1.0 / 362880.0);
    p = p * r + splat<V>(1.0 / 40320.0);
    p = p * r + splat<V>(1.0 / 5040.0);
    p = p * r + splat<V>(1.0 / 720.0);
    p = p * r + splat<V>(1.0 / 120.0);
    p = p * r + splat<V>(1.0 / 24.0);
    p = p * r + splat<V>(1.0 / 6.0);
    p = p * r + splat<V>(0.5);
    p = p * r + splat<V>(1.0);
    p = p * r + splat<V>(1.0);
    const I ki = bits_as<I>(t) - bits_as<I>(magic);
    const I bits = (ki + 1023) << 52;
    return p * bits_as<V>(bits);
}

// GELU, tanh form: 0.5 v (tanh u + 1) = v / (1 + exp(-2u)), u = sqrt(2/pi) (v + 0.044715 v^3).
template <class V>
ZETRION_INLINE V vgelu(V v) {
    const V c = v * (v * (v * splat<V>(0.044715)));
    V a = (v + c) * splat<V>(-2.0 * 0.7978845608028654);
    a = a < splat<V>(-700.0) ? splat<V>(-700.0) : a;
    a = a > splat<V>(700.0) ? splat<V>(700.0) : a;
    return v / (splat<V>(1.0) + vexp(a));
}

// One tile: NO output channels over NV vectors of positions. `in` points at
// position x0 of input channel 0, `w` at this tile's first weight (the block
// holds kBlock channels side by side), `out` at position x0 of the tile's
// first output channel.
template <class V, int NV, int NO>
ZETRION_INLINE void conv_tile(const double* in, std::size_t stride, std::size_t c_in, std::size_t k,
                              const std::ptrdiff_t* shifts, const double* w, const double* b,
                              double* out) {
    constexpr int L = sizeof(V) / sizeof(double);
    V acc[NO][NV];
ZETRION_UNROLL
    for (int o = 0; o < NO; ++o)
ZETRION_UNROLL
        for (int v = 0; v < NV; ++v) acc[o][v] = splat<V>(b[o]);
    for (std::size_t c = 0; c < c_in; ++c) {
        const double* src = in + c * stride;
        for (std::size_t t = 0; t < k; ++t) {
            const double* s = src + shifts[t];
            V x[NV];
ZETRION_UNROLL
            for (int v = 0; v < NV; ++v) x[v] = load<V>(s + v * L);
ZETRION_UNROLL
            for (int o = 0; o < NO; ++o) {
                const V wv = splat<V>(w[o]);
ZETRION_UNROLL
                for (int v = 0; v < NV; ++v) acc[o][v] = acc[o][v] + wv * x[v];
            }
            w += kBlock;
        }
    }
ZETRION_UNROLL
    for (int o = 0; o < NO; ++o)
ZETRION_UNROLL
        for (int v = 0; v < NV; ++v) store<V>(out + o * stride + v * L, acc[o][v]);
}

struct Work {
    const Guesser::Fast* p;
    double* x;  // trunk state
    double* h;  // block scratch
};

template <class V, int NV, int NO>
ZETRION_INLINE void conv_layer(const Guesser::Fast& p, const Guesser::Fast::Conv& cv, const double* in,
                               double* out) {
    constexpr std::size_t L = sizeof(V) / sizeof(double), PB = NV * L;
    static_assert(kBlock % NO == 0 && kChunk % PB == 0);
    const std::size_t k = cv.shifts.size(), per_block = cv.c_in * k * kBlock;
    for (std::size_t ob = 0; ob < cv.c_out / kBlock; ++ob)
        for (std::size_t sub = 0; sub < kBlock; sub += NO) {
            const std::size_t o = ob * kBlock + sub;
            for (std::size_t x0 = 0; x0 < p.gp; x0 += PB)
                conv_tile<V, NV, NO>(in + p.margin + x0, p.stride, cv.c_in, k, cv.shifts.data(),
                                     cv.w.data() + ob * per_block + sub, cv.b.data() + o,
                                     out + o * p.stride + p.margin + x0);
        }
    // The padded tail is read as zero margin by the next layer.
    for (std::size_t o = 0; o < cv.c_out; ++o)
        std::fill(out + o * p.stride + p.margin + p.g, out + o * p.stride + p.margin + p.gp, 0.0);
}

// Group statistics in index order, the groups interleaved so that their
// sequential sums run side by side.
void group_stats(const Guesser::Fast& p, const double* map, double* mean, double* inv) {
    const std::size_t groups = p.groups, q = p.channels / groups, len = q * p.g;
    double sums[kMaxGroupsFast] = {};
    for (std::size_t j = 0; j < q; ++j)
        for (std::size_t x = 0; x < p.g; ++x)
            for (std::size_t grp = 0; grp < groups; ++grp) sums[grp] += map[(grp * q + j) * p.stride + p.margin + x];
    for (std::size_t grp = 0; grp < groups; ++grp) {
        mean[grp] = sums[grp] / static_cast<double>(len);
        sums[grp] = 0.0;
    }
    for (std::size_t j = 0; j < q; ++j)
        for (std::size_t x = 0; x < p.g; ++x)
            for (std::size_t grp = 0; grp < groups; ++grp) {
                const double d = map[(grp * q + j) * p.stride + p.margin + x] - mean[grp];
                sums[grp] += d * d;
            }
    for (std::size_t grp = 0; grp < groups; ++grp)
        inv[grp] = 1.0 / std::sqrt(sums[grp] / static_cast<double>(len) + 1e-5);
}

// h = gelu(norm(h)) (residual = false) or x = gelu(x + norm(h)) (residual = true), row by row.
template <class V>
ZETRION_INLINE void norm_gelu(const Guesser::Fast& p, const Guesser::Fast::Norm& n, double* h,
                              double* x, bool residual) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    double mean[kMaxGroupsFast], inv[kMaxGroupsFast];
    group_stats(p, h, mean, inv);
    const std::size_t q = p.channels / p.groups;
    for (std::size_t ch = 0; ch < p.channels; ++ch) {
        const std::size_t grp = ch / q;
        const V mu = splat<V>(mean[grp]), iv = splat<V>(inv[grp]), ga = splat<V>(n.gamma[ch]), be = splat<V>(n.beta[ch]);
        double* hr = h + ch * p.stride + p.margin;
        double* xr = x + ch * p.stride + p.margin;
        double* dst = residual ? xr : hr;
        for (std::size_t i = 0; i < p.gp; i += L) {
            V v = (load<V>(hr + i) - mu) * iv * ga + be;
            if (residual) v = load<V>(xr + i) + v;
            store<V>(dst + i, vgelu(v));
        }
        std::fill(dst + p.g, dst + p.gp, 0.0);
    }
}

// out[j] = (sum_k W[j][k] x[k], in k order) + b[j], the rows side by side.
template <class V>
ZETRION_INLINE void dense(const Guesser::Fast::Dense& d, const double* in, double* out, bool act) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const std::size_t full = d.rows / L * L;
    for (std::size_t j = 0; j < full; j += L) {
        V s = splat<V>(0.0);
        for (std::size_t k = 0; k < d.cols; ++k) s = s + load<V>(d.wt.data() + k * d.rows + j) * splat<V>(in[k]);
        s = s + load<V>(d.b.data() + j);
        store<V>(out + j, act ? vgelu(s) : s);
    }
    for (std::size_t j = full; j < d.rows; ++j) {
        double s = 0.0;
        for (std::size_t k = 0; k < d.cols; ++k) s += d.wt[k * d.rows + j] * in[k];
        s += d.b[j];
        out[j] = act ? gelu(s) : s;
    }
}

template <class V, int NV, int NO>
ZETRION_INLINE void run(const Guesser::Fast& p, const Features& feats, double* x, double* h,
                        double* head, std::vector<double>& out) {
    // The stem's input: the three feature channels in the first rows of h.
    for (std::size_t c = 0; c < 3; ++c)
        std::copy(feats.map.begin() + static_cast<std::ptrdiff_t>(c * p.g),
                  feats.map.begin() + static_cast<std::ptrdiff_t>((c + 1) * p.g), h + c * p.stride + p.margin);
    conv_layer<V, NV, NO>(p, p.stem, h, x);
    for (std::size_t i = 0; i < p.conv1.size(); ++i) {
        conv_layer<V, NV, NO>(p, p.conv1[i], x, h);
        norm_gelu<V>(p, p.norm1[i], h, x, false);
        double* t = h + p.channels * p.stride;  // second scratch map, after h
        conv_layer<V, NV, NO>(p, p.conv2[i], h, t);
        norm_gelu<V>(p, p.norm2[i], t, x, true);
    }
    const std::size_t hc = p.channels;
    double* pooled = head;
    for (std::size_t c = 0; c < hc; ++c) {
        const double* r = x + c * p.stride + p.margin;
        double s = 0.0, m = -INFINITY;
        for (std::size_t k = 0; k < p.g; ++k) s += r[k];
        for (std::size_t k = 0; k < p.g; ++k)
            if (r[k] > m) m = r[k];
        pooled[c] = s / static_cast<double>(p.g);
        pooled[hc + c] = m;
    }
    pooled[2 * hc] = feats.e0;
    pooled[2 * hc + 1] = feats.e1;
    double* a = pooled + 2 * hc + 2;
    double* b = a + p.head[0].rows;
    dense<V>(p.head[0], pooled, a, true);
    dense<V>(p.head[1], a, b, true);
    out.resize(p.head[2].rows);
    dense<V>(p.head[2], b, out.data(), false);
}

using Runner = void (*)(const Guesser::Fast&, const Features&, double*, double*, double*, std::vector<double>&);

#if ZETRION_NN_X86
[[gnu::target("avx512f,avx2,fma")]] void run_avx512(const Guesser::Fast& p, const Features& f, double* x, double* h,
                                                    double* head, std::vector<double>& out) {
    run<v8d, 2, 8>(p, f, x, h, head, out);
}
[[gnu::target("avx2,fma")]] void run_avx2(const Guesser::Fast& p, const Features& f, double* x, double* h, double* head,
                                          std::vector<double>& out) {
    run<v4d, 2, 4>(p, f, x, h, head, out);
}
#endif
#if ZETRION_VECTORS
void run_vec128(const Guesser::Fast& p, const Features& f, double* x, double* h, double* head,
                std::vector<double>& out) {
    run<v2d, 4, 2>(p, f, x, h, head, out);
}
#endif
void run_scalar(const Guesser::Fast& p, const Features& f, double* x, double* h, double* head,
                std::vector<double>& out) {
    run<double, 4, 2>(p, f, x, h, head, out);
}

struct Kernel {
    std::string_view name;
    Runner run;
    bool (*runs_here)();
};

constexpr bool always() { return true; }

// Fastest first.
constexpr Kernel kKernels[] = {
#if ZETRION_NN_X86
    {"avx512", run_avx512, [] { return platform::x86_features().avx512f; }},
    {"avx2", run_avx2, [] { return platform::x86_features().avx2_fma; }},
    {"sse2", run_vec128, always},
#elif ZETRION_VECTORS && (defined(__aarch64__) || defined(_M_ARM64))
    {"neon", run_vec128, always},
#elif ZETRION_VECTORS
    {"vector128", run_vec128, always},
#endif
    {"scalar", run_scalar, always},
};

Runner pick_runner() {
    for (const Kernel& k : kKernels)
        if (k.runs_here()) return k.run;
    return run_scalar;
}

std::atomic<Runner> g_runner{pick_runner()};

// Per-thread activation buffers, grown to the largest plan met.
struct Scratch {
    std::vector<double> buf;
    std::size_t stride = 0, channels = 0, head = 0;  // the layout the buffer holds
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

std::optional<Guesser::Fast::Conv> pack_conv(const Guesser& g, const std::string& layer, std::size_t c_in,
                                             std::size_t dilation) {
    const Tensor* w = g.tensor("w." + layer + ".weight");
    const Tensor* b = g.tensor("w." + layer + ".bias");
    const std::size_t k = g.kernel;
    if (!w || !b || w->dims.empty()) return std::nullopt;
    const std::size_t c_out = static_cast<std::size_t>(w->dims[0]);
    if (c_out == 0 || c_out % kBlock != 0 || w->data.size() / c_out / c_in != k || w->data.size() != c_out * c_in * k ||
        b->data.size() < c_out)
        return std::nullopt;
    Guesser::Fast::Conv cv;
    cv.c_in = c_in;
    cv.c_out = c_out;
    const std::ptrdiff_t pad = static_cast<std::ptrdiff_t>(dilation * (k - 1) / 2);
    for (std::size_t t = 0; t < k; ++t) cv.shifts.push_back(static_cast<std::ptrdiff_t>(dilation * t) - pad);
    cv.w.resize(c_out * c_in * k);
    for (std::size_t o = 0; o < c_out; ++o)
        for (std::size_t c = 0; c < c_in; ++c)
            for (std::size_t t = 0; t < k; ++t) {
                const double v = w->data[(o * c_in + c) * k + t];
                // The plain path skips zero taps; with zero margins a zero
                // weight could meet a non-finite activation there, so such
                // models keep the plain path.
                if (v == 0.0 || !std::isfinite(v)) return std::nullopt;
                cv.w[((o / kBlock * c_in + c) * k + t) * kBlock + o % kBlock] = v;
            }
    cv.b.assign(b->data.begin(), b->data.begin() + static_cast<std::ptrdiff_t>(c_out));
    return cv;
}

std::optional<Guesser::Fast::Norm> pack_norm(const Guesser& g, const std::string& layer) {
    const Tensor* w = g.tensor("w." + layer + ".weight");
    const Tensor* b = g.tensor("w." + layer + ".bias");
    if (!w || !b || w->data.size() < g.channels || b->data.size() < g.channels) return std::nullopt;
    Guesser::Fast::Norm n;
    n.gamma.assign(w->data.begin(), w->data.begin() + static_cast<std::ptrdiff_t>(g.channels));
    n.beta.assign(b->data.begin(), b->data.begin() + static_cast<std::ptrdiff_t>(g.channels));
    return n;
}

std::optional<Guesser::Fast::Dense> pack_dense(const Guesser& g, const std::string& layer, std::size_t cols) {
    const Tensor* w = g.tensor("w." + layer + ".weight");
    const Tensor* b = g.tensor("w." + layer + ".bias");
    if (!w || !b || w->dims.size() != 2 || w->dims[1] != cols || w->dims[0] == 0) return std::nullopt;
    const std::size_t rows = static_cast<std::size_t>(w->dims[0]);
    if (w->data.size() / cols != rows || w->data.size() != rows * cols || b->data.size() < rows) return std::nullopt;
    Guesser::Fast::Dense d;
    d.rows = rows;
    d.cols = cols;
    d.wt.resize(rows * cols);
    for (std::size_t j = 0; j < rows; ++j)
        for (std::size_t k = 0; k < cols; ++k) d.wt[k * rows + j] = w->data[j * cols + k];
    d.b.assign(b->data.begin(), b->data.begin() + static_cast<std::ptrdiff_t>(rows));
    return d;
}

}  // namespace

void Guesser::prepare() {
    fast_.reset();
    const std::size_t g = n_grid, h = channels, k = kernel;
    // Only the shapes the fast kernels handle; anything else, including every
    // inconsistency the plain path reports as an error, keeps the plain path.
    if (g < 2 || g > (1 << 16) || h == 0 || h % kBlock != 0 || h > (1 << 12) || k == 0 || k > 64 || groups == 0 ||
        groups > kMaxGroupsFast || h % groups != 0 || dilations.empty())
        return;
    std::size_t max_pad = (k - 1) / 2;
    for (std::size_t d : dilations) {
        if (d == 0 || d > 4096) return;
        max_pad = std::max(max_pad, d * (k - 1) / 2);
    }
    auto p = std::make_shared<Fast>();
    p->n_grid = g;
    p->channels = h;
    p->kernel = k;
    p->groups = groups;
    p->dilations = dilations;
    p->g = g;
    p->gp = (g + kChunk - 1) / kChunk * kChunk;
    p->margin = (max_pad + kBlock - 1) / kBlock * kBlock;
    p->stride = p->margin + p->gp + p->margin;
    if (3 * h * p->stride > kMaxWork) return;
    auto stem = pack_conv(*this, "stem", 3, 1);
    if (!stem || stem->c_out != h) return;
    p->stem = std::move(*stem);
    for (std::size_t i = 0; i < dilations.size(); ++i) {
        const std::string prefix = "blocks." + std::to_string(i) + ".";
        auto c1 = pack_conv(*this, prefix + "conv1", h, dilations[i]);
        auto c2 = pack_conv(*this, prefix + "conv2", h, dilations[i]);
        auto n1 = pack_norm(*this, prefix + "norm1");
        auto n2 = pack_norm(*this, prefix + "norm2");
        if (!c1 || !c2 || !n1 || !n2 || c1->c_out != h || c2->c_out != h) return;
        p->conv1.push_back(std::move(*c1));
        p->conv2.push_back(std::move(*c2));
        p->norm1.push_back(std::move(*n1));
        p->norm2.push_back(std::move(*n2));
    }
    auto h0 = pack_dense(*this, "head.0", 2 * h + 2);
    if (!h0) return;
    auto h1 = pack_dense(*this, "head.2", h0->rows);
    if (!h1) return;
    auto h2 = pack_dense(*this, "head.4", h1->rows);
    if (!h2 || h2->rows < param_names.size()) return;
    p->head[0] = std::move(*h0);
    p->head[1] = std::move(*h1);
    p->head[2] = std::move(*h2);
    fast_ = std::move(p);
}

bool Guesser::forward_fast(const Features& feats, std::vector<double>& out) const {
    const Fast* p = fast_.get();
    if (!p || p->n_grid != n_grid || p->channels != channels || p->kernel != kernel || p->groups != groups ||
        p->dilations != dilations || feats.map.size() != 3 * n_grid)
        return false;
    const std::size_t map = p->channels * p->stride;
    const std::size_t head = 2 * p->channels + 2 + p->head[0].rows + p->head[1].rows;
    Scratch& s = scratch();
    if (s.stride != p->stride || s.channels != p->channels || s.head != head) {
        // Margins must read as zero; the kernels never write them, so a
        // buffer is cleared only when the layout changes.
        s.buf.assign(3 * map + head, 0.0);
        s.stride = p->stride;
        s.channels = p->channels;
        s.head = head;
    }
    double* x = s.buf.data();
    double* h = x + map;  // h and the map after it
    // The stem reads three channels from h; margins of other rows are zero.
    g_runner.load(std::memory_order_relaxed)(*p, feats, x, h, h + 2 * map, out);
    return true;
}

namespace nn_kernels {

std::vector<std::string_view> available() {
    std::vector<std::string_view> out;
    for (const Kernel& k : kKernels)
        if (k.runs_here()) out.push_back(k.name);
    return out;
}

std::string_view active() {
    const Runner r = g_runner.load(std::memory_order_relaxed);
    for (const Kernel& k : kKernels)
        if (k.run == r) return k.name;
    return "scalar";
}

bool use(std::string_view name) {
    for (const Kernel& k : kKernels)
        if (k.name == name && k.runs_here()) {
            g_runner.store(k.run, std::memory_order_relaxed);
            return true;
        }
    return false;
}

void use_best() { g_runner.store(pick_runner(), std::memory_order_relaxed); }

}  // namespace nn_kernels

}  // namespace zetrion
