// Fuzzing the circuit notation: every input is parsed; a circuit that parses
// goes through everything a user can do with one (parameter catalogue,
// texts, rebuild with hostile values, evaluation, expansion, topology
// matching against the built-in models), and a failure's user-facing report
// is rendered. Built with libFuzzer (ZETRION_FUZZ=ON in CMake, clang);
// without it, main() replays the files named on the command line.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/text.hpp"
#include "models/registry.hpp"

namespace {

void exercise(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const zetrion::ParseResult r = zetrion::parse(std::string_view(text));
    if (const auto* e = std::get_if<zetrion::ParseError>(&r)) {
        (void)zetrion::describe_parse_error(text, *e);
        return;
    }
    const zetrion::SeriesList& tree = std::get<zetrion::SeriesList>(r);
    const std::size_t n = zetrion::param_count(tree);
    const auto names = zetrion::param_names(tree);
    if (names.size() != n) __builtin_trap();
    (void)zetrion::param_units(tree);
    (void)zetrion::param_bounds(tree);
    (void)zetrion::circuit_repr(tree);
    (void)zetrion::parameter_listing(tree);
    if (!names.empty()) (void)zetrion::closest_param_name(names.back() + "x", names);
    // Values of every awkward kind, chosen by the input's length.
    const double awkward[] = {0.0, -1.0, 1e-300, 1e300, std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN(), 0.5, 2.0};
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = awkward[(i + size) % 8];
    const zetrion::SeriesList rebuilt = zetrion::rebuild(tree, values);
    const std::vector<double> f{0.0, 1e-3, 1.0, 1e3, 1e9, std::numeric_limits<double>::infinity()};
    std::vector<zetrion::Cx> z(f.size());
    zetrion::sweep_serial(rebuilt, f, z.data());
    (void)zetrion::expand_series(tree);
    (void)zetrion::find_for_topology(tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    exercise(data, size);
    return 0;
}

#ifndef ZETRION_LIBFUZZER
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::vector<char> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        exercise(reinterpret_cast<const std::uint8_t*>(b.data()), b.size());
    }
    std::printf("%d inputs replayed\n", argc - 1);
    return 0;
}
#endif
