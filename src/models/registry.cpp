#include "models/registry.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "models/presets.hpp"
#include "util/platform.hpp"

namespace zetrion {
namespace {

std::array<Model, kPresets.size()> make_models() {
    std::array<Model, kPresets.size()> m{};
    for (std::size_t i = 0; i < kPresets.size(); ++i) m[i] = {kPresets[i].name, kPresets[i].notation};
    return m;
}

const std::array<Model, kPresets.size()> kModels = make_models();

std::variant<Guesser, ModelError> build_model(std::size_t index) {
    const Model& m = kModels[index];
    const auto fail = [&](auto why) { return ModelError{m.name, m.circuit, std::move(why)}; };
    const auto blob = builtin_weights(m.name);
    if (blob.empty()) return fail(ModelError::NoWeights{});
    auto loaded = Guesser::from_bytes(blob);
    if (auto* e = std::get_if<NnError>(&loaded)) return fail(ModelError::Unloadable{*e});
    Guesser g = std::get<Guesser>(std::move(loaded));
    if (g.circuit != m.circuit) return fail(ModelError::TrainedForOther{g.circuit});
    const ParseResult tree = parse(m.circuit);
    if (!std::holds_alternative<SeriesList>(tree)) return fail(ModelError::UnparsableCircuit{});
    auto names = param_names(std::get<SeriesList>(tree));
    if (names != g.param_names) return fail(ModelError::OtherParameters{g.param_names, std::move(names)});
    return g;
}

struct Slot {
    std::atomic<bool> ready{false};
    std::optional<std::variant<Guesser, ModelError>> value;  // set once, under models_lock
};

std::array<Slot, kPresets.size()>& slots() {
    static auto* s = new std::array<Slot, kPresets.size()>();  // lives until the process ends
    return *s;
}

// The registry's two locks. A fork waits until neither is held, so that a
// child never inherits one locked by a thread it does not have.
struct Locks {
    std::mutex models;
    std::mutex external;

    Locks() {
        platform::at_fork(
            [] {
                locks().models.lock();
                locks().external.lock();
            },
            [] {
                locks().external.unlock();
                locks().models.unlock();
            },
            [] {
                locks().external.unlock();
                locks().models.unlock();
            });
    }
    static Locks& locks() {
        static auto* l = new Locks();  // lives until the process ends
        return *l;
    }
};

std::mutex& models_lock() { return Locks::locks().models; }
std::mutex& external_lock() { return Locks::locks().external; }

std::map<std::string, std::unique_ptr<const Guesser>>& external() {
    static auto* cache = new std::map<std::string, std::unique_ptr<const Guesser>>();  // never freed
    return *cache;
}

// Weight files are small (the built-in models are well under a megabyte);
// anything larger than this is refused before it is read.
constexpr std::size_t kMaxWeightFileBytes = std::size_t(64) << 20;

// Reads a whole regular file of at most kMaxWeightFileBytes; a FIFO or a
// device is refused rather than waited on.
std::variant<std::vector<unsigned char>, NnError> read_file(const std::string& path) {
    auto read = platform::read_regular_file(path, kMaxWeightFileBytes);
    if (auto* data = std::get_if<std::vector<unsigned char>>(&read)) return std::move(*data);
    const platform::FileError& e = std::get<platform::FileError>(read);
    switch (e.kind) {
        case platform::FileError::Kind::BadName:
            return NnError{NnError::Kind::Io, "file name contained an unexpected NUL byte"};
        case platform::FileError::Kind::NotRegular:
            return NnError{NnError::Kind::Io, "not a regular file"};
        case platform::FileError::Kind::TooLarge:
            return NnError{NnError::Kind::Io, "file is larger than " + std::to_string(kMaxWeightFileBytes >> 20) +
                                                  " MiB, too large for a weight file"};
        case platform::FileError::Kind::Os:
            break;
    }
    return NnError{NnError::Kind::Io, platform::os_error_message(e.code)};
}

}  // namespace


std::vector<std::string> model_names() {
    std::vector<std::string> out;
    for (const Model& m : kModels) out.emplace_back(m.name);
    return out;
}

std::string quoted_model_names() {
    std::string s;
    for (std::size_t i = 0; i < kModels.size(); ++i) {
        if (i) s += ", ";
        s += "'" + std::string(kModels[i].name) + "'";
    }
    return s;
}

const std::variant<Guesser, ModelError>& model_guesser(std::size_t index) {
    Slot& slot = slots()[index];
    if (!slot.ready.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(models_lock());
        if (!slot.ready.load(std::memory_order_relaxed)) {
            slot.value = build_model(index);
            slot.ready.store(true, std::memory_order_release);
        }
    }
    return *slot.value;
}

std::variant<const Guesser*, NnError> load_external(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(external_lock());
        auto& cache = external();
        if (const auto it = cache.find(path); it != cache.end()) return it->second.get();
    }
    // Read and parsed without the lock: a slow file holds up only its own
    // caller. When two threads load the same path, the first one kept wins.
    auto bytes = read_file(path);
    if (auto* e = std::get_if<NnError>(&bytes)) return *e;
    auto loaded = Guesser::from_bytes(std::get<std::vector<unsigned char>>(bytes));
    if (auto* e = std::get_if<NnError>(&loaded)) return *e;
    auto g = std::make_unique<const Guesser>(std::get<Guesser>(std::move(loaded)));
    std::lock_guard<std::mutex> lock(external_lock());
    return external().try_emplace(path, std::move(g)).first->second.get();
}

// The preset circuits' canonical keys, parsed once on first use: every fit
// with a learned guess looks its circuit up here.
const std::array<std::optional<Canonical>, kPresets.size()>& model_shapes() {
    static const auto* shapes = [] {
        auto* out = new std::array<std::optional<Canonical>, kPresets.size()>();  // lives until the process ends
        for (std::size_t i = 0; i < kModels.size(); ++i) {
            const ParseResult tree = parse(kModels[i].circuit);
            if (std::holds_alternative<SeriesList>(tree)) (*out)[i] = canonical(std::get<SeriesList>(tree));
        }
        return out;
    }();
    return *shapes;
}

std::optional<TopologyMatch> find_for_topology(const SeriesList& user) {
    const auto& shapes = model_shapes();
    const UserShape u = user_shape(user);
    for (std::size_t i = 0; i < kModels.size(); ++i) {
        if (!shapes[i]) continue;
        if (auto m = match_or_expand(*shapes[i], u)) return TopologyMatch{std::move(*m), i};
    }
    return std::nullopt;
}

std::variant<std::vector<double>, GuessError> guess_params(const SeriesList& user, std::span<const double> f,
                                                           std::span<const Cx> z,
                                                           const std::optional<std::string>& path) {
    const Guesser* guesser = nullptr;
    Match match;
    if (path) {
        auto loaded = load_external(*path);
        if (auto* e = std::get_if<NnError>(&loaded)) return GuessError{*e};
        guesser = std::get<const Guesser*>(loaded);
        const ParseResult tree = parse(guesser->circuit);
        if (!std::holds_alternative<SeriesList>(tree))
            return GuessError{GuessError::WeightsCircuitUnparsable{*path, guesser->circuit}};
        auto m = match_or_expand(std::get<SeriesList>(tree), user);
        if (!m) return GuessError{GuessError::WeightsForOtherCircuit{*path, guesser->circuit}};
        match = std::move(*m);
    } else {
        auto found = find_for_topology(user);
        if (!found) return GuessError{GuessError::NoModel{}};
        const auto& slot = model_guesser(found->model);
        if (const auto* e = std::get_if<ModelError>(&slot)) return GuessError{*e};
        guesser = &std::get<Guesser>(slot);
        match = std::move(found->match);
    }
    if (f.size() < 2 || z.size() < 2)
        return GuessError{NnError{NnError::Kind::TooFewPoints, {}, std::min(f.size(), z.size())}};
    // The features sit on a log-frequency grid: a point at zero, below zero,
    // infinite or NaN has no place on it.
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (!(f[i] > 0.0 && std::isfinite(f[i]))) return GuessError{GuessError::BadFrequency{i, f[i]}};
        if (!std::isfinite(kTwoPi * f[i])) return GuessError{GuessError::HugeFrequency{i, f[i]}};
    }
    // The magnitude channel is log |Z|: a zero or an overflowing modulus
    // would turn every estimate into NaN.
    for (std::size_t i = 0; i < z.size(); ++i) {
        const double m = std::hypot(z[i].re, z[i].im);
        if (!(m > 0.0 && std::isfinite(m))) return GuessError{GuessError::BadImpedance{i, z[i].re, z[i].im}};
    }
    auto predicted = guesser->predict(f, z);
    if (auto* e = std::get_if<NnError>(&predicted)) return GuessError{*e};
    const std::vector<double>& v = std::get<std::vector<double>>(predicted);
    std::vector<double> r(match.mapping.size());
    for (std::size_t k = 0; k < r.size(); ++k) {
        if (match.mapping[k] >= v.size()) return GuessError{NnError::shape("head.4", v.size(), match.mapping[k] + 1)};
        r[k] = v[match.mapping[k]];
    }
    // Finite input can still drive the network past the range of a double;
    // a guess is never handed out with a NaN in it.
    const auto checked = [](std::vector<double> values) -> std::variant<std::vector<double>, GuessError> {
        for (double x : values)
            if (std::isnan(x)) return GuessError{GuessError::NanEstimate{}};
        return values;
    };
    if (!match.expanded) return checked(std::move(r));

    // Fold each expanded pair back into the element it came from.
    std::vector<double> out;
    std::size_t c = 0;
    for (const LeafRef& leaf : collect_leaves(user)) {
        const Kind kind = leaf.element->kind;
        if (kind == Kind::K) {
            out.push_back(r[c]);
            out.push_back(r[c] * r[c + 1]);
            c += 2;
        } else if (kind == Kind::Zarc) {
            const double R = r[c], Q = r[c + 1], a = r[c + 2];
            const double floor = std::isnan(a) ? 1e-6 : std::max(a, 1e-6);
            out.push_back(R);
            out.push_back(std::pow(R * Q, 1.0 / floor));
            out.push_back(a);
            c += 3;
        } else {
            const std::size_t m = param_count(kind);
            out.insert(out.end(), r.begin() + static_cast<std::ptrdiff_t>(c),
                       r.begin() + static_cast<std::ptrdiff_t>(c + m));
            c += m;
        }
    }
    return checked(std::move(out));
}

}  // namespace zetrion
