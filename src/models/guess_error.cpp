#include "models/guess_error.hpp"

#include <cmath>

#include "circuit/text.hpp"
#include "models/registry.hpp"

namespace zetrion {
namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Deduced without this guide from C++20 on, but not by Clang before 17
// (AppleClang 15 included).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string quoted_list(const std::vector<std::string>& names) {
    std::string s = "[";
    for (std::size_t i = 0; i < names.size(); ++i) s += (i ? ", " : "") + quoted(names[i]);
    return s + "]";
}

// The failures that concern a weight file's content read as the loader's
// own "unparsable value" message around the composed text, so that every
// weight-file complaint starts the same way.
std::string as_unparsable_value(std::string text) { return NnError::bad_value(std::move(text)).message(); }

}  // namespace

std::string ModelError::message() const {
    return std::visit(
        Overloaded{
            [&](const NoWeights&) { return "model " + quoted(model) + " has no built-in weights in this build"; },
            [](const Unloadable& e) { return e.error.message(); },
            [&](const TrainedForOther& e) {
                return "model " + quoted(model) + " is registered as " + quoted(circuit) +
                       " but its weights were trained for " + quoted(e.weights_circuit);
            },
            [&](const UnparsableCircuit&) { return "registry circuit " + quoted(circuit); },
            [&](const OtherParameters& e) {
                return "model " + quoted(model) + " has parameters " + quoted_list(e.in_weights) + ", expected " +
                       quoted_list(e.expected);
            },
        },
        why);
}

std::string GuessError::message() const {
    return std::visit(
        Overloaded{
            [](const NnError& e) { return e.message(); },
            [](const ModelError& e) { return as_unparsable_value(e.message()); },
            [](const NoModel&) {
                return "No training data on this circuit. Machine-learning based initial parameters available for " +
                       quoted_model_names();
            },
            [](const WeightsCircuitUnparsable& e) {
                return as_unparsable_value("circuit " + quoted(e.circuit) + " in " + e.path);
            },
            [](const WeightsForOtherCircuit& e) {
                return as_unparsable_value(e.path + " was trained for " + quoted(e.circuit) +
                                           ", which is a different circuit");
            },
            [](const BadFrequency& e) {
                return "frequency " + render_number(e.hz) + " Hz at index " + std::to_string(e.index) +
                       " cannot be used for a guess: every frequency must be finite and greater than zero";
            },
            [](const HugeFrequency& e) {
                return "frequency " + render_number(e.hz) + " Hz at index " + std::to_string(e.index) +
                       " cannot be used for a guess: its angular frequency 2*pi*f overflows a double";
            },
            [](const BadImpedance& e) {
                return "impedance " + render_number(e.re) + (std::signbit(e.im) ? " - " : " + ") +
                       render_number(std::fabs(e.im)) + "j ohm at index " + std::to_string(e.index) +
                       " cannot be used for a guess: every impedance must be finite and non-zero";
            },
            [](const NanEstimate&) {
                return std::string("the learned guess is NaN for this spectrum (its values lie beyond what the "
                                   "model can scale); give start values and pass guess_init=False");
            },
        },
        why);
}

}  // namespace zetrion
