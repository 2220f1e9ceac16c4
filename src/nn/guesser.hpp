// Learned initial guesses: the "EISNN001" weight format and the network that
// maps a measured spectrum to parameter estimates for one circuit topology.
//
// Weight blobs come from users, so the loader treats them as untrusted: every
// read is bounds-checked, and inconsistencies the format leaves open are
// rejected with an error when the network runs, never read out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "elements/complex.hpp"

namespace zetrion {

struct NnError {
    enum class Kind { Io, BadMagic, Truncated, Missing, BadValue, UnknownEstimator, UnknownEncoding, ShapeMismatch, TooFewPoints,
                      NonFinite };
    Kind kind;
    std::string text;          // Io: system text; Missing, BadValue, UnknownEstimator, ShapeMismatch, NonFinite: the name
    std::uint64_t a = 0;       // UnknownEncoding: code; ShapeMismatch: found; TooFewPoints: n
    std::uint64_t b = 0;       // ShapeMismatch: expected
    std::string message() const;

    static NnError missing(std::string name) { return {Kind::Missing, std::move(name)}; }
    static NnError bad_value(std::string text) { return {Kind::BadValue, std::move(text)}; }
    static NnError shape(std::string name, std::uint64_t found, std::uint64_t expected) {
        return {Kind::ShapeMismatch, std::move(name), found, expected};
    }
};

struct Tensor {
    std::vector<std::uint64_t> dims;
    std::vector<double> data;  // row-major, at least one element
};

struct Scaling {
    double r_exp;
    double w_exp;
    double w_alpha_exp;
    std::int32_t alpha_index;  // < 0: no exponent parameter
};

struct Features {
    std::vector<double> map;  // 3 channels x n_grid, channel-major
    double e0;                // decades spanned / 8
    double e1;                // log10(points) / 2
};

class Guesser {
public:
    static std::variant<Guesser, NnError> from_bytes(std::span<const unsigned char> blob);

    // One physical value per param_names entry.
    std::variant<std::vector<double>, NnError> predict(std::span<const double> f, std::span<const Cx> z) const;

    struct Scales {
        double r;      // ohm
        double omega;  // rad/s
    };
    Scales scales(std::span<const double> f, std::span<const Cx> z) const;
    Features features(std::span<const double> f, std::span<const Cx> z, const Scales& s) const;
    // The prepared fast path when the model has one, else forward_layers.
    std::variant<std::vector<double>, NnError> forward(const Features& x) const;
    std::variant<std::vector<double>, NnError> decode(std::span<const double> out, const Scales& s) const;

    // Full name ("w.stem.weight"); null when absent.
    const Tensor* tensor(const std::string& name) const;

    std::string circuit;
    std::vector<std::string> param_names;
    std::vector<std::size_t> dilations;
    std::vector<double> target_mean;
    std::vector<double> target_std;
    std::vector<bool> log_params;
    std::vector<Scaling> scaling;
    std::map<std::string, Tensor> tensors;
    std::size_t n_grid = 0;
    std::size_t channels = 0;
    std::size_t kernel = 0;
    std::size_t groups = 0;
    double alpha_min = 0.0;
    double alpha_max = 0.0;

    // Builds the machine-oriented copy of the network that forward uses when
    // the model fits it; called once the fields above are loaded. A guesser
    // whose fields are edited afterwards falls back to the plain layer path.
    void prepare();
    struct Fast;

private:
    std::shared_ptr<const Fast> fast_;
    bool forward_fast(const Features& x, std::vector<double>& out) const;
    std::variant<std::vector<double>, NnError> conv1d(const std::vector<double>& in, std::size_t c_in,
                                                      const std::string& layer, std::size_t dilation) const;
    std::optional<NnError> group_norm(std::vector<double>& map, const std::string& layer) const;
    std::variant<std::vector<double>, NnError> linear(const std::vector<double>& in, const std::string& layer) const;
    // Layer by layer through conv1d, group_norm and linear; reports every
    // inconsistency of the file as an error. The tests hold the fast path to it.
    std::variant<std::vector<double>, NnError> forward_layers(const Features& x) const;
    friend struct GuesserTestAccess;
};

// xs ascending: clamps outside, linear inside, the later point at a repeated abscissa.
double interpolate(std::span<const double> xs, std::span<const double> ys, double x);
double gelu(double v);
// IEEE binary16 bits to the exact double.
double half_to_double(std::uint16_t h);

}  // namespace zetrion
