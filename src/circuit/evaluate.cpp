#include "circuit/evaluate.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "elements/formulas.hpp"

#include "circuit/params.hpp"
#include "circuit/worker_pool.hpp"

namespace zetrion {
namespace {

constexpr std::size_t kBlock = BlockEvaluator::kBlock;

void rebuild_into(const SeriesList& in, const double*& p, SeriesList& out) {
    out.reserve(in.size());
    for (const Node& n : in) {
        if (n.is_leaf()) {
            Node leaf = Node::leaf(Element{n.element.kind, {}}, n.label);
            const std::size_t k = param_count(n.element.kind);
            for (std::size_t i = 0; i < k; ++i) leaf.element.v[i] = *p++;
            out.push_back(std::move(leaf));
        } else {
            std::vector<SeriesList> branches(n.branches.size());
            for (std::size_t i = 0; i < n.branches.size(); ++i) rebuild_into(n.branches[i], p, branches[i]);
            out.push_back(Node::parallel(std::move(branches)));
        }
    }
}

// One kind over a block of frequencies: the kind is a constant inside the
// loop, so the formula's switch folds away.
template <Kind K>
void leaf_block(const double* p, const double* w, std::size_t n, Cx* out) {
    const PowCache pc = PowCache::for_exponent(pow_exponent(K, p));
    for (std::size_t i = 0; i < n; ++i) out[i] = formula(K, p, w[i], &pc);
}

// The CPE with log(omega) known: omega^alpha = exp(alpha * log(omega)), the
// rest of the formula unchanged.
void cpe_block_logs(const double* p, const double* w, const double* logw, std::size_t n, Cx* out) {
    const PowCache pc = PowCache::for_exponent(p[1]);
    if (!pc.usable) return leaf_block<Kind::Cpe>(p, w, n, out);
    for (std::size_t i = 0; i < n; ++i) {
        if (w[i] > 0.0 && w[i] <= std::numeric_limits<double>::max()) {
            const double m = std::exp(p[1] * logw[i]);
            out[i] = reciprocal(scale(p[0], Cx{m * pc.cos, m * pc.sin}));
        } else {
            out[i] = formula(Kind::Cpe, p, w[i], &pc);
        }
    }
}

void kind_block(Kind k, const double* p, const double* w, const double* logw, std::size_t n, Cx* out) {
    if (k == Kind::Cpe && logw) return cpe_block_logs(p, w, logw, n, out);
    switch (k) {
        case Kind::R: return leaf_block<Kind::R>(p, w, n, out);
        case Kind::C: return leaf_block<Kind::C>(p, w, n, out);
        case Kind::L: return leaf_block<Kind::L>(p, w, n, out);
        case Kind::La: return leaf_block<Kind::La>(p, w, n, out);
        case Kind::Cpe: return leaf_block<Kind::Cpe>(p, w, n, out);
        case Kind::W: return leaf_block<Kind::W>(p, w, n, out);
        case Kind::Wo: return leaf_block<Kind::Wo>(p, w, n, out);
        case Kind::Ws: return leaf_block<Kind::Ws>(p, w, n, out);
        case Kind::G: return leaf_block<Kind::G>(p, w, n, out);
        case Kind::Gs: return leaf_block<Kind::Gs>(p, w, n, out);
        case Kind::K: return leaf_block<Kind::K>(p, w, n, out);
        case Kind::Zarc: return leaf_block<Kind::Zarc>(p, w, n, out);
        case Kind::Tlmq: return leaf_block<Kind::Tlmq>(p, w, n, out);
        case Kind::T: return leaf_block<Kind::T>(p, w, n, out);
    }
}

// The series list over up to kBlock frequencies at once, node by node. Each
// frequency sees exactly the additions and reciprocals of the point-wise
// walk, in the same order, so the results are bit-identical to it. Values
// come from the leaves, or from p (advanced leaf by leaf) when FromParams.
// scratch holds 2 * kBlock values per nesting level below this one.
template <bool FromParams>
void series_block(const SeriesList& s, const double*& p, const double* w, const double* logw, std::size_t n, Cx* out,
                  Cx* scratch) {
    for (std::size_t i = 0; i < n; ++i) out[i] = {0.0, 0.0};
    Cx* tmp = scratch;
    Cx* y = scratch + kBlock;
    Cx* deeper = scratch + 2 * kBlock;
    for (const Node& node : s) {
        if (node.is_leaf()) {
            const double* v = FromParams ? p : node.element.v.data();
            kind_block(node.element.kind, v, w, logw, n, tmp);
            if constexpr (FromParams) p += param_count(node.element.kind);
            for (std::size_t i = 0; i < n; ++i) out[i] += tmp[i];
        } else {
            for (std::size_t i = 0; i < n; ++i) y[i] = {0.0, 0.0};
            for (const SeriesList& b : node.branches) {
                series_block<FromParams>(b, p, w, logw, n, tmp, deeper);
                for (std::size_t i = 0; i < n; ++i) y[i] += reciprocal(tmp[i]);
            }
            for (std::size_t i = 0; i < n; ++i) out[i] += reciprocal(y[i]);
        }
    }
}

}  // namespace

BlockEvaluator::BlockEvaluator(const SeriesList& s) : tree_(s), scratch_(2 * kBlock * (nesting_depth(s) + 1)) {}

void BlockEvaluator::stored(const double* w, std::size_t n, Cx* out) {
    const double* unused = nullptr;
    for (std::size_t b = 0; b < n; b += kBlock)
        series_block<false>(tree_, unused, w + b, nullptr, std::min(kBlock, n - b), out + b, scratch_.data());
}

void BlockEvaluator::with_params(const double* p, const double* w, std::size_t n, Cx* out, const double* logw) {
    for (std::size_t b = 0; b < n; b += kBlock) {
        const double* cursor = p;
        series_block<true>(tree_, cursor, w + b, logw ? logw + b : nullptr, std::min(kBlock, n - b), out + b,
                           scratch_.data());
    }
}

Cx impedance(const SeriesList& s, double w) {
    Cx z{0.0, 0.0};
    for (const Node& n : s) {
        if (n.is_leaf()) {
            z += element_impedance(n.element, w);
        } else {
            Cx y{0.0, 0.0};
            for (const SeriesList& b : n.branches) y += reciprocal(impedance(b, w));
            z += reciprocal(y);
        }
    }
    return z;
}

Cx impedance_with_params_unchecked(const SeriesList& s, const double*& p, double w) {
    Cx z{0.0, 0.0};
    for (const Node& n : s) {
        if (n.is_leaf()) {
            z += kind_impedance(n.element.kind, p, w);
            p += param_count(n.element.kind);
        } else {
            Cx y{0.0, 0.0};
            for (const SeriesList& b : n.branches) y += reciprocal(impedance_with_params_unchecked(b, p, w));
            z += reciprocal(y);
        }
    }
    return z;
}

SeriesList rebuild(const SeriesList& s, std::span<const double> values) {
    SeriesList out;
    const double* p = values.data();
    rebuild_into(s, p, out);
    return out;
}

void sweep_serial(const SeriesList& s, std::span<const double> f, Cx* out) {
    BlockEvaluator eval(s);
    std::array<double, kBlock> w;
    for (std::size_t b = 0; b < f.size(); b += kBlock) {
        const std::size_t n = std::min(kBlock, f.size() - b);
        for (std::size_t i = 0; i < n; ++i) w[i] = f[b + i] * kTwoPi;
        eval.stored(w.data(), n, out + b);
    }
}

void sweep(const SeriesList& s, std::span<const double> f, Cx* out) {
    if (f.size() < kParallelSweepMin) {
        sweep_serial(s, f, out);
        return;
    }
    WorkerPool::instance().parallel_for(f.size(), 256, [&](std::size_t begin, std::size_t end) {
        sweep_serial(s, f.subspan(begin, end - begin), out + begin);
    });
}

}  // namespace zetrion
