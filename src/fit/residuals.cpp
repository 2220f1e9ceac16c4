#include "fit/residuals.hpp"
#include "fit/test_hooks.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/text.hpp"
#include "circuit/worker_pool.hpp"

namespace zetrion {

std::optional<Weighting> parse_weighting(std::string_view s) {
    for (const auto& [w, name] : kWeightings)
        if (name == s) return w;
    return std::nullopt;
}

std::string weighting_error(std::string_view s) {
    return "unknown weight scheme " + quoted(s) + ", expected \"modulus\" or \"unit\"";
}

std::vector<double> compute_weights(std::span<const Cx> z, Weighting w) {
    std::vector<double> out(z.size(), 1.0);
    if (w == Weighting::Modulus) {
        for (std::size_t i = 0; i < z.size(); ++i) {
            const double m = std::hypot(z[i].re, z[i].im);
            out[i] = std::fmax(m, 1e-30);
        }
    }
    return out;
}

std::optional<std::pair<std::vector<double>, std::vector<double>>> engine_weights(std::span<const Cx> z,
                                                                                   std::string_view name) {
    std::vector<double> re(z.size()), im(z.size());
    for (std::size_t i = 0; i < z.size(); ++i) {
        const double m = std::fmax(std::hypot(z[i].re, z[i].im), 1e-30);
        if (name == kEngineWeightings[0]) {
            re[i] = std::fmax(std::fabs(z[i].re), kProportionalFloor * m);
            im[i] = std::fmax(std::fabs(z[i].im), kProportionalFloor * m);
        } else if (name == kEngineWeightings[1]) {
            re[i] = im[i] = m;
        } else {
            return std::nullopt;
        }
    }
    return std::make_pair(std::move(re), std::move(im));
}

ResidualEvaluator::ResidualEvaluator(const SeriesList& tree, const Spectrum& data)
    : eval_(tree), data_(data), needed_(param_count(tree)) {}

template <class Sink>
bool ResidualEvaluator::run(std::span<const double> p, EvalCounter& counter, Sink&& sink) {
    counter.fetch_add(1, std::memory_order_relaxed);
    if (p.size() < needed_) return false;
    const std::size_t n = data_.omega.size();
    const double* w_im = data_.weights_im.empty() ? data_.weights.data() : data_.weights_im.data();
    Cx m[BlockEvaluator::kBlock];
    for (std::size_t b = 0; b < n; b += BlockEvaluator::kBlock) {
        const std::size_t len = std::min(BlockEvaluator::kBlock, n - b);
        eval_.with_params(p.data(), data_.omega.data() + b, len, m,
                          data_.log_omega.empty() ? nullptr : data_.log_omega.data() + b);
        for (std::size_t k = 0; k < len; ++k) {
            const std::size_t i = b + k;
            sink(i, (m[k].re - data_.z[i].re) / data_.weights[i], (m[k].im - data_.z[i].im) / w_im[i]);
        }
    }
    return true;
}

bool ResidualEvaluator::operator()(std::span<const double> p, EvalCounter& counter, double* out) {
    return run(p, counter, [out](std::size_t i, double re, double im) {
        out[2 * i] = re;
        out[2 * i + 1] = im;
    });
}

double ResidualEvaluator::cost(std::span<const double> p, EvalCounter& counter) {
    double s = 0.0;
    const bool ok = run(p, counter, [&s](std::size_t, double re, double im) {
        s += re * re;
        s += im * im;
    });
    return ok ? 0.5 * s : std::numeric_limits<double>::quiet_NaN();
}

bool residuals(const SeriesList& tree, std::span<const double> p, const Spectrum& data, EvalCounter& counter,
               double* out) {
    return ResidualEvaluator(tree, data)(p, counter, out);
}

namespace {
// Each on a cache line of its own: the fit count changes twice per fit on
// every fitting thread, the cut-over is read by every Jacobian.
alignas(64) std::atomic<double> g_parallel_min_us{kParallelJacobianMinMicros};
alignas(64) std::atomic<int> g_active_fits{0};
thread_local int t_fit_depth = 0;  // ConcurrentFit scopes open on this thread
}  // namespace

ConcurrentFit::ConcurrentFit() {
    if (t_fit_depth++ == 0) g_active_fits.fetch_add(1, std::memory_order_relaxed);
}
ConcurrentFit::~ConcurrentFit() {
    if (--t_fit_depth == 0) g_active_fits.fetch_sub(1, std::memory_order_relaxed);
}

double parallel_jacobian_min_micros() { return g_parallel_min_us.load(std::memory_order_relaxed); }
void set_parallel_jacobian_min_micros(double us) { g_parallel_min_us.store(us, std::memory_order_relaxed); }

double forward_step(double pk) {
    constexpr double kSqrtEps = 1.4901161193847656e-08;
    const double a = std::fabs(pk);
    return kSqrtEps * (std::isnan(a) ? 1e-8 : std::fmax(a, 1e-8));
}

double jacobian_step(double pk) {
    constexpr double kCbrtEps = 6.0554544523933395e-06;
    const double a = std::fabs(pk);
    return kCbrtEps * (std::isnan(a) ? 1e-8 : std::fmax(a, 1e-8));
}

namespace {

// Shifted parameters and the two residual vectors of a column, kept per
// thread so that a Jacobian allocates nothing once a thread has seen its size.
struct ColumnScratch {
    std::vector<double> shifted, plus, minus;
};

ColumnScratch& column_scratch() {
    thread_local ColumnScratch s;
    return s;
}

}  // namespace

SplitJacobian::SplitJacobian(const SeriesList& tree, const Spectrum& data)
    : data_(data), needed_(param_count(tree)), plus_(data.omega.size()), base_(data.omega.size()) {
    std::size_t offset = 0;
    parts_.reserve(tree.size());
    for (const Node& node : tree) {
        SeriesList one{node};
        const std::size_t count = param_count(one);
        parts_.push_back({std::move(one), offset, count});
        offset += count;
    }
    evals_.reserve(parts_.size());
    for (const Part& part : parts_) evals_.emplace_back(part.tree);
}

bool SplitJacobian::operator()(std::span<const double> p, const std::vector<bool>* skip, EvalCounter& counter,
                               double* out) {
    const std::size_t m = p.size();
    counter.fetch_add(m, std::memory_order_relaxed);
    if (m < needed_) return false;
    const std::size_t n = data_.omega.size();
    const std::size_t rows = 2 * n;
    const double* w_im = data_.weights_im.empty() ? data_.weights.data() : data_.weights_im.data();
    const double* logw = data_.log_omega.empty() ? nullptr : data_.log_omega.data();
    std::fill(out + needed_ * rows, out + m * rows, 0.0);  // parameters beyond the circuit's
    auto sweep = [&](BlockEvaluator& eval, Cx* z) {
        for (std::size_t b = 0; b < n; b += BlockEvaluator::kBlock) {
            const std::size_t len = std::min(BlockEvaluator::kBlock, n - b);
            eval.with_params(local_.data(), data_.omega.data() + b, len, z + b, logw ? logw + b : nullptr);
        }
    };
    for (std::size_t j = 0; j < parts_.size(); ++j) {
        const Part& part = parts_[j];
        local_.assign(p.begin() + static_cast<std::ptrdiff_t>(part.offset),
                      p.begin() + static_cast<std::ptrdiff_t>(part.offset + part.count));
        bool have_base = false;
        for (std::size_t q = 0; q < part.count; ++q) {
            const std::size_t k = part.offset + q;
            double* col = out + k * rows;
            if (skip && k < skip->size() && (*skip)[k]) {
                std::fill(col, col + rows, 0.0);
                continue;
            }
            if (!have_base) {
                sweep(evals_[j], base_.data());
                have_base = true;
            }
            const double h = forward_step(p[k]);
            local_[q] = p[k] + h;
            sweep(evals_[j], plus_.data());
            local_[q] = p[k];
            for (std::size_t i = 0; i < n; ++i) {
                col[2 * i] = (plus_[i].re - base_[i].re) / data_.weights[i] / h;
                col[2 * i + 1] = (plus_[i].im - base_[i].im) / w_im[i] / h;
            }
        }
    }
    return true;
}

bool jacobian_columns(const SeriesList& tree, std::span<const double> p, const Spectrum& data,
                      EvalCounter& counter, double* out) {
    const std::size_t m = p.size();
    if (m == 0) return true;
    if (m < param_count(tree)) {
        counter.fetch_add(2 * m, std::memory_order_relaxed);
        return false;
    }
    const std::size_t rows = 2 * data.omega.size();
    auto columns = [&](std::size_t begin, std::size_t end) {
        ColumnScratch& s = column_scratch();
        s.shifted.assign(p.begin(), p.end());
        s.plus.resize(rows);
        s.minus.resize(rows);
        ResidualEvaluator eval(tree, data);
        for (std::size_t k = begin; k < end; ++k) {
            const double h = jacobian_step(p[k]);
            s.shifted[k] = p[k] + h;
            eval(s.shifted, counter, s.plus.data());
            s.shifted[k] = p[k] - h;
            eval(s.shifted, counter, s.minus.data());
            s.shifted[k] = p[k];
            double* col = out + k * rows;
            for (std::size_t i = 0; i < rows; ++i) col[i] = (s.plus[i] - s.minus[i]) / (h + h);
        }
    };
    const auto t0 = std::chrono::steady_clock::now();
    columns(0, 1);
    if (m == 1) return true;
    const double first_us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    if (first_us * static_cast<double>(m - 1) < parallel_jacobian_min_micros() ||
        g_active_fits.load(std::memory_order_relaxed) > (t_fit_depth > 0 ? 1 : 0)) {
        columns(1, m);
    } else {
        WorkerPool::instance().parallel_for(m - 1, 1, [&](std::size_t b, std::size_t e) { columns(b + 1, e + 1); });
    }
    return true;
}

}  // namespace zetrion
