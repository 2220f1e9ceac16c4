#include "circuit/evaluate.hpp"

#include "circuit/params.hpp"
#include "circuit/worker_pool.hpp"

namespace zetrion {
namespace {

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

}  // namespace

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

std::optional<Cx> series_impedance_with_params(const SeriesList& s, ParamStream& stream, double w) {
    // Running out anywhere fails the whole walk, so checking the count up
    // front is the same as checking at every leaf.
    const std::size_t need = param_count(s);
    if (stream.size - stream.pos < need) return std::nullopt;
    const double* p = stream.data + stream.pos;
    const Cx z = impedance_with_params_unchecked(s, p, w);
    stream.pos += need;
    return z;
}

SeriesList rebuild(const SeriesList& s, std::span<const double> values) {
    SeriesList out;
    const double* p = values.data();
    rebuild_into(s, p, out);
    return out;
}

void sweep(const SeriesList& s, std::span<const double> f, Cx* out) {
    auto run = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = impedance(s, f[i] * kTwoPi);
    };
    if (f.size() < kParallelSweepMin) {
        run(0, f.size());
        return;
    }
    WorkerPool::instance().parallel_for(f.size(), 256, run);
}

}  // namespace zetrion
