// Why a learned guess gives no values. Each failure is a small value that
// carries what names it (a path, a circuit, a frequency); the sentence a user
// reads is composed only by message(), at the point where it is raised.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "nn/guesser.hpp"

namespace zetrion {

// A built-in model whose embedded weights do not belong to its registry
// entry. Only a faulty build meets one; the model then never guesses.
struct ModelError {
    struct NoWeights {};                  // this build carries no blob for it
    struct Unloadable {                   // the blob does not load
        NnError error;
    };
    struct TrainedForOther {              // the blob names another circuit
        std::string weights_circuit;
    };
    struct UnparsableCircuit {};          // the registered circuit does not parse
    struct OtherParameters {              // the blob lists other parameters
        std::vector<std::string> in_weights;
        std::vector<std::string> expected;  // the registered circuit's
    };

    std::string_view model;    // its name
    std::string_view circuit;  // the circuit it is registered with
    std::variant<NoWeights, Unloadable, TrainedForOther, UnparsableCircuit, OtherParameters> why;

    std::string message() const;
};

// Every way guess_params can fail.
struct GuessError {
    struct NoModel {};                    // no built-in model has the circuit's topology
    struct WeightsCircuitUnparsable {     // a weight file names a circuit that does not parse
        std::string path;
        std::string circuit;
    };
    struct WeightsForOtherCircuit {       // a weight file's circuit differs from the user's
        std::string path;
        std::string circuit;
    };
    struct BadFrequency {                 // zero, negative, infinite or NaN
        std::size_t index;
        double hz;
    };
    struct HugeFrequency {                // finite, but 2*pi*f overflows
        std::size_t index;
        double hz;
    };
    struct BadImpedance {                 // zero, infinite or NaN, or a modulus that overflows
        std::size_t index;
        double re;
        double im;
    };
    struct NanEstimate {};                // the network gave NaN for this spectrum

    // NnError: the weight file or the network, or too few points.
    std::variant<NnError, ModelError, NoModel, WeightsCircuitUnparsable, WeightsForOtherCircuit, BadFrequency,
                 HugeFrequency, BadImpedance, NanEstimate>
        why;

    std::string message() const;
};

}  // namespace zetrion
