#include "fit/global_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "circuit/evaluate.hpp"
#include "circuit/worker_pool.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/random.hpp"

namespace zetrion {
namespace {

constexpr double kInertia = 0.7213475204444817;    // 1 / (2 ln 2)
constexpr double kCognitive = 1.1931471805599454;  // 0.5 + ln 2
constexpr double kSocial = 1.1931471805599454;
// A population of this many doubles or more is refused rather than allocated.
constexpr std::uint64_t kMaxPopulationValues = std::uint64_t(1) << 27;

FitError solver_error(std::string text) { return {FitError::Kind::Solver, std::move(text)}; }

// Ascending cost with NaN last: a strict weak order even with NaN present.
bool cost_before(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

LmSettings local_settings(const FitData& d) {
    LmSettings s{1e-8, 1e-8, 1e-8, 200};
    s.cancel = d.cancel;
    return s;
}

}  // namespace

SearchBox pso_search_box(const FitData& d) {
    SearchBox box{std::vector<double>(d.n), std::vector<double>(d.n)};
    for (std::size_t i = 0; i < d.n; ++i) {
        const Bounds& b = d.bounds[i];
        if (is_closed(b)) {
            box.lower[i] = b.lo;
            box.upper[i] = b.hi;
            continue;
        }
        const double a = std::fabs(d.start[i]);
        const double s = std::isnan(a) ? 1e-6 : std::max(a, 1e-6);
        box.lower[i] = std::log10(std::max(std::max(s * 0.0001, b.lo) - b.lo, 1e-300));
        box.upper[i] = std::log10(std::max(s * 10000.0 - b.lo, 1e-300));
    }
    return box;
}

SolverCost::SolverCost(const FitData& d, EvalCounter& counter)
    : d_(d), counter_(counter), eval_(d.tree, d.spectrum()), v_(d.n) {}

double SolverCost::operator()(std::span<const double> x) {
    if (cancelled()) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t n = std::min(x.size(), d_.n);
    physical_into(x.first(n), d_.bounds, v_.data());
    // A held parameter is part of the search vector (every method works on
    // all n coordinates) but the cost always sees its held value.
    for (std::size_t i = 0; i < n; ++i)
        if (d_.fixed[i]) v_[i] = d_.start[i];
    return eval_.cost(std::span<const double>(v_.data(), n), counter_);
}

GlobalRun particle_swarm(const FitData& d, EvalCounter& c, std::uint64_t particles, std::uint64_t generations,
                         std::optional<std::uint64_t> seed) {
    SolverCost eval_cost(d, c);
    const std::size_t n = d.n;
    if (particles > kMaxPopulationValues / std::max<std::size_t>(3 * n, 1))
        return solver_error("num_particles is too large for this circuit");
    ChaCha12 rng = ChaCha12::from_seed(seed);
    const SearchBox box = pso_search_box(d);
    struct Particle {
        std::vector<double> pos, vel, best;
        double cost, best_cost;
    };
    std::vector<Particle> swarm(static_cast<std::size_t>(particles));
    for (Particle& p : swarm) {
        p.pos.resize(n);
        p.vel.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            p.pos[j] = box.lower[j] == box.upper[j] ? box.lower[j]
                                                    : box.lower[j] + (box.upper[j] - box.lower[j]) * rng.uniform01();
        }
        for (std::size_t j = 0; j < n; ++j) {
            const double w = std::fabs(box.upper[j] - box.lower[j]);
            p.vel[j] = rng.between(-w, w);
        }
        p.cost = eval_cost(p.pos);
        p.best = p.pos;
        p.best_cost = p.cost;
    }
    std::stable_sort(swarm.begin(), swarm.end(),
                     [](const Particle& a, const Particle& b) { return cost_before(a.cost, b.cost); });
    std::optional<std::vector<double>> gbest;
    double gbest_cost = std::numeric_limits<double>::infinity();
    if (!swarm.empty() && !std::isnan(swarm[0].cost)) {
        gbest = swarm[0].pos;
        gbest_cost = swarm[0].cost;
    }
    for (std::uint64_t g = 0; g < generations; ++g) {
        if (eval_cost.cancelled()) break;
        for (Particle& p : swarm) {
            for (std::size_t j = 0; j < n; ++j) {
                const double d1 = rng.between(0.0, p.best[j] - p.pos[j]);
                const double target = gbest ? (*gbest)[j] : p.pos[j];
                const double d2 = rng.between(0.0, target - p.pos[j]);
                p.vel[j] = kInertia * p.vel[j] + kCognitive * d1 + kSocial * d2;
                p.pos[j] = std::clamp(p.pos[j] + p.vel[j], box.lower[j], box.upper[j]);
            }
        }
        for (Particle& p : swarm) p.cost = eval_cost(p.pos);
        for (Particle& p : swarm) {
            if (p.cost < p.best_cost) {
                p.best = p.pos;
                p.best_cost = p.cost;
                if (!gbest || p.cost < gbest_cost) {
                    gbest = p.pos;
                    gbest_cost = p.cost;
                }
            }
        }
    }
    if (!gbest) return solver_error("particle swarm found no best position");
    return GlobalResult{*gbest, generations};
}

GlobalRun nelder_mead(const FitData& d, EvalCounter& c, std::uint64_t max_iterations) {
    SolverCost eval_cost(d, c);
    const std::size_t n = d.n;
    const std::vector<double> x0 = to_solver_space(d.start, d.bounds);
    struct Vertex {
        std::vector<double> x;
        double cost;
    };
    std::vector<Vertex> s;
    s.push_back({x0, eval_cost(x0)});
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> v = x0;
        v[i] += std::fabs(x0[i]) > 1e-8 ? 0.1 * std::fabs(x0[i]) : 0.1;
        const double cost = eval_cost(v);
        s.push_back({std::move(v), cost});
    }
    auto by_cost = [](const Vertex& a, const Vertex& b) { return cost_before(a.cost, b.cost); };
    auto point = [&](const std::vector<double>& from, const std::vector<double>& to, double t) {
        std::vector<double> out(n);
        for (std::size_t j = 0; j < n; ++j) out[j] = from[j] + t * (to[j] - from[j]);
        return out;
    };
    std::uint64_t it = 0;
    while (it < max_iterations && !eval_cost.cancelled()) {
        std::stable_sort(s.begin(), s.end(), by_cost);
        double mean = 0.0;
        for (const Vertex& v : s) mean += v.cost;
        mean /= static_cast<double>(s.size());
        double var = 0.0;
        for (const Vertex& v : s) var += (v.cost - mean) * (v.cost - mean);
        if (std::sqrt(var / static_cast<double>(s.size())) < 2.220446049250313e-16) break;
        ++it;
        std::vector<double> centroid(n, 0.0);
        for (std::size_t k = 0; k + 1 < s.size(); ++k)
            for (std::size_t j = 0; j < n; ++j) centroid[j] += s[k].x[j];
        for (double& v : centroid) v /= static_cast<double>(s.size() - 1);
        Vertex& worst = s.back();
        const double f_best = s.front().cost, f_second = s[s.size() - 2].cost;
        std::vector<double> xr = point(centroid, worst.x, -1.0);  // reflection: c + (c - worst)
        const double fr = eval_cost(xr);
        if (f_best <= fr && fr < f_second) {
            worst = {std::move(xr), fr};
            continue;
        }
        if (fr < f_best) {
            std::vector<double> xe = point(centroid, xr, 2.0);
            const double fe = eval_cost(xe);
            worst = fe < fr ? Vertex{std::move(xe), fe} : Vertex{std::move(xr), fr};
            continue;
        }
        bool shrink;
        if (fr < worst.cost) {
            std::vector<double> xc = point(centroid, xr, 0.5);  // outside contraction
            const double fc = eval_cost(xc);
            shrink = !(fc <= fr);
            if (!shrink) worst = {std::move(xc), fc};
        } else {
            std::vector<double> xc = point(centroid, worst.x, 0.5);  // inside contraction
            const double fc = eval_cost(xc);
            shrink = !(fc < worst.cost);
            if (!shrink) worst = {std::move(xc), fc};
        }
        if (shrink) {
            for (std::size_t k = 1; k < s.size(); ++k) {
                s[k].x = point(s[0].x, s[k].x, 0.5);
                s[k].cost = eval_cost(s[k].x);
            }
        }
    }
    std::stable_sort(s.begin(), s.end(), by_cost);
    if (s.empty()) return solver_error("nelder-mead found no best position");
    return GlobalResult{s.front().x, it};
}

GlobalRun simulated_annealing(const FitData& d, EvalCounter& c, std::uint64_t iterations, double t0,
                              std::optional<std::uint64_t> seed) {
    SolverCost eval_cost(d, c);
    if (!(t0 > 0.0)) return solver_error("Invalid parameter: `SimulatedAnnealing`: Initial temperature must be > 0.");
    if (std::isinf(t0)) return solver_error("Invalid parameter: `SimulatedAnnealing`: Initial temperature must be finite.");
    ChaCha12 moves = ChaCha12::from_seed(seed);
    ChaCha12 accept = ChaCha12::from_seed(seed ? std::optional<std::uint64_t>(*seed + 1) : std::nullopt);
    std::vector<double> cur = to_solver_space(d.start, d.bounds);
    double cur_cost = eval_cost(cur);
    std::optional<std::vector<double>> best;
    double best_cost = cur_cost;
    if (!std::isnan(cur_cost)) best = cur;
    double t = t0;
    std::vector<double> cand(cur.size());
    for (std::uint64_t k = 0; k < iterations; ++k) {
        if (eval_cost.cancelled()) break;
        for (std::size_t j = 0; j < cur.size(); ++j) cand[j] = cur[j] + (-t + 2.0 * t * moves.uniform01());
        const double c_new = eval_cost(cand);
        const double u = accept.unit53();
        if (c_new < cur_cost || 1.0 / (1.0 + std::exp((c_new - cur_cost) / t)) > u) {
            cur = cand;
            cur_cost = c_new;
        }
        if (c_new < best_cost || (!best && !std::isnan(c_new))) {
            best = cand;
            best_cost = c_new;
        }
        t = t0 / static_cast<double>(k + 2);
    }
    if (!best) return solver_error("simulated annealing found no best position");
    return GlobalResult{*best, iterations};
}

GlobalRun differential_evolution(const FitData& d, EvalCounter& c, std::uint64_t evaluations) {
    constexpr std::size_t kPop = 100;
    constexpr int kRuns = 10;
    const std::size_t n = d.n;
    const SearchBox box = pso_search_box(d);
    std::vector<float> lower(n), upper(n);
    for (std::size_t j = 0; j < n; ++j) {
        lower[j] = static_cast<float>(box.lower[j]);
        upper[j] = static_cast<float>(box.upper[j]);
    }
    struct Individual {
        std::vector<float> pos;
        std::optional<float> cost;
        float cr, f;
    };
    struct RunResult {
        std::vector<double> x;
        double cost;
    };
    const std::uint64_t steps = std::max<std::uint64_t>(evaluations, 1);
    // One run: its own population, generator, evaluation buffers and count.
    // The runs share nothing but read-only data, so they may run at once.
    auto one_run = [&](EvalCounter& counter, std::uint64_t& taken) -> std::optional<RunResult> {
        SolverCost eval_cost(d, counter);
        std::vector<double> wide(n);
        Xorshift128 rng;
        std::vector<Individual> cur(kPop), best(kPop);
        for (Individual& ind : cur) {
            ind.cr = rng.uniform01f();
            ind.f = 0.1f + 0.9f * rng.uniform01f();
            ind.pos.resize(n);
            for (std::size_t j = 0; j < n; ++j) ind.pos[j] = lower[j] + (upper[j] - lower[j]) * rng.uniform01f();
        }
        for (Individual& b : best) b.pos.assign(n, 0.0f);
        std::size_t countdown = kPop;
        std::optional<std::size_t> best_slot;
        std::optional<float> best_cost;
        for (std::uint64_t s = 0; s < steps; ++s) {
            if (eval_cost.cancelled()) break;
            if (countdown == 0) {
                for (std::size_t i = 0; i < kPop; ++i)
                    if (!best[i].cost || (cur[i].cost && *cur[i].cost <= *best[i].cost)) std::swap(cur[i], best[i]);
                for (std::size_t i = 0; i < kPop; ++i) {
                    std::uint32_t p, q, t;
                    p = rng.below(kPop);
                    do q = rng.below(kPop); while (q == p);
                    do t = rng.below(kPop); while (t == p || t == q);
                    Individual& trial = cur[i];
                    trial.cr = rng.uniform01f() < 0.1f ? rng.uniform01f() : best[i].cr;
                    trial.f = rng.uniform01f() < 0.1f ? 0.1f + 0.9f * rng.uniform01f() : best[i].f;
                    const std::size_t forced = rng.below(static_cast<std::uint32_t>(n));
                    for (std::size_t j = 0; j < n; ++j) {
                        if (j == forced || rng.uniform01f() < trial.cr)
                            trial.pos[j] = best[t].pos[j] + trial.f * (best[p].pos[j] - best[q].pos[j]);
                        else
                            trial.pos[j] = best[i].pos[j];
                    }
                    trial.cost.reset();
                }
                countdown = kPop;
            }
            --countdown;
            Individual& ind = cur[countdown];
            for (std::size_t j = 0; j < n; ++j) wide[j] = ind.pos[j];
            ind.cost = static_cast<float>(eval_cost(wide));
            ++taken;
            if (!best_cost || *ind.cost < *best_cost) {
                best_cost = ind.cost;
                best_slot = countdown;
            }
        }
        if (!best_slot) return std::nullopt;
        const Individual& a = cur[*best_slot];
        const Individual& b = best[*best_slot];
        const Individual* pick = nullptr;
        if (a.cost && (!b.cost || *a.cost <= *b.cost)) pick = &a;
        else if (b.cost) pick = &b;
        if (!pick) return std::nullopt;
        for (std::size_t j = 0; j < n; ++j) wide[j] = pick->pos[j];
        const double cost = eval_cost(wide);
        return RunResult{wide, cost};
    };

    // The runs are independent and seeded from system entropy, so running
    // them side by side on the worker pool changes nothing a caller can rely
    // on; each counts its evaluations privately and the counts are summed.
    std::vector<std::optional<RunResult>> results(kRuns);
    struct alignas(64) Count {  // a cache line each: the runs count side by side
        EvalCounter v{0};
    };
    std::vector<Count> counts(kRuns);
    std::vector<std::uint64_t> taken(kRuns, 0);
    WorkerPool& pool = WorkerPool::instance();
    if (pool.size() > 1) {
        // Only the calling thread may ask whether to stop; while it waits for
        // runs on other threads it keeps asking, and the runs see the answer.
        const WorkerPool::WaitFn keep_polling = [&] { (void)cancel_requested(d.cancel); };
        pool.parallel_for(kRuns, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t r = b; r < e; ++r) results[r] = one_run(counts[r].v, taken[r]);
        }, &keep_polling);
    } else {
        for (std::size_t r = 0; r < static_cast<std::size_t>(kRuns) && !cancel_requested(d.cancel); ++r)
            results[r] = one_run(counts[r].v, taken[r]);
    }
    // Kept in run order: the first run with the lowest cost.
    std::optional<std::vector<double>> kept;
    double kept_cost = 0.0;
    for (int r = 0; r < kRuns; ++r) {
        c.fetch_add(counts[static_cast<std::size_t>(r)].v.load(), std::memory_order_relaxed);
        const auto& res = results[static_cast<std::size_t>(r)];
        if (res && (!kept || res->cost < kept_cost)) {
            kept = res->x;
            kept_cost = res->cost;
        }
    }
    if (!kept) return solver_error("differential evolution found no best position");
    std::uint64_t total = 0;
    for (const std::uint64_t t : taken) total += t;
    return GlobalResult{*kept, total};
}

FitResult polish_or_fallback(const FitData& d, std::vector<double> p, std::uint64_t iterations,
                             EvalCounter& counter) {
    for (std::size_t i = 0; i < d.n && i < p.size(); ++i)
        if (d.fixed[i]) p[i] = d.start[i];
    FitOutcome fallback = build_outcome(d, p, true, iterations, counter);
    FitResult polished = levenberg_marquardt_fit(d, p, local_settings(d));
    if (std::holds_alternative<FitError>(polished)) return polished;
    FitOutcome& o = std::get<FitOutcome>(polished);
    counter.fetch_add(o.impedance_evals);
    const bool polish_wins = std::isfinite(o.cost) && o.cost <= fallback.cost;
    FitOutcome& result = polish_wins ? o : fallback;
    result.impedance_evals = counter.load();
    return std::move(result);
}

FitResult basin_hopping(const HopSettings& h, const FitData& d) {
    const double s = h.step_size;
    if (!(s >= 0.0) || !std::isfinite(2.0 * s))
        return solver_error("basin hopping step size must be finite and >= 0");
    ChaCha12 rng = ChaCha12::from_seed(h.seed);
    FitResult first = levenberg_marquardt_fit(d, d.start, local_settings(d));
    if (std::holds_alternative<FitError>(first)) return first;
    FitOutcome current = std::get<FitOutcome>(std::move(first));
    std::vector<double> best = current.params;
    double best_cost = current.cost;
    std::uint64_t iterations = current.iterations;
    for (std::uint32_t hop = 0; hop < h.hops; ++hop) {
        if (cancel_requested(d.cancel)) return FitError{FitError::Kind::Cancelled, {}};
        std::vector<double> x = to_solver_space(current.params, d.bounds);
        for (double& v : x) v += rng.uniform01() * 2.0 * s - s;
        std::vector<double> start = physical(x, d.bounds);
        for (std::size_t i = 0; i < d.n; ++i)
            if (d.fixed[i]) start[i] = d.start[i];
        FitResult cand_r = levenberg_marquardt_fit(d, start, local_settings(d));
        if (std::holds_alternative<FitError>(cand_r)) return cand_r;
        FitOutcome cand = std::get<FitOutcome>(std::move(cand_r));
        if (std::isfinite(cand.cost) && cand.cost < best_cost) {
            best = cand.params;
            best_cost = cand.cost;
        }
        iterations += cand.iterations;
        if (std::isfinite(cand.cost)) {
            bool take = cand.cost < current.cost;
            if (!take) take = rng.unit53() < std::exp(-(cand.cost - current.cost) / h.temperature);
            if (take) current = std::move(cand);
        }
    }
    EvalCounter fresh{0};
    return build_outcome(d, best, true, iterations, fresh);
}

}  // namespace zetrion
