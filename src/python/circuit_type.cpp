// The Circuit class: construction from notation or preset names, parameter
// access, impedance, residuals and Jacobian; and the Series / Parallel
// builders.
#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/text.hpp"
#include "fit/residuals.hpp"
#include "models/presets.hpp"
#include "models/registry.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/guard.hpp"
#include "python/spectrum.hpp"
#include "python/types.hpp"

#include <unistd.h>

namespace zetrion::py {

// The text a short value list raises, kept as the module has always worded it.
constexpr std::string_view kNotEnoughValues = "impedance_from_iter: not enough values supplied";

PyTypeObject* circuit_type = nullptr;

namespace {

const CircuitModel& model_of(PyObject* self) { return *reinterpret_cast<CircuitObject*>(self)->model; }

// An evaluation of fewer than this many (points x parameters) takes a few
// microseconds and keeps the interpreter lock (see ReleaseGil).
constexpr std::size_t kReleaseGilMinWork = 4096;

bool worth_releasing(std::size_t points, std::size_t params, std::size_t evaluations = 1) {
    return points * std::max<std::size_t>(params, 1) * evaluations >= kReleaseGilMinWork;
}

const char* nesting_message() {
    static const std::string m =
        "parallel groups nested deeper than " + std::to_string(kMaxNesting) + " levels";
    return m.c_str();
}

// ---- construction ---------------------------------------------------------

PyObject* circuit_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"s"};
    PyObject* s = nullptr;
    if (!bind_args_tuple("Circuit", args, kwargs, names, 1, 1, &s)) return nullptr;
    std::string original;
    if (!extract_str(s, original)) return arg_error("s"), nullptr;
    Ref trimmed(PyObject_CallMethod(s, "strip", nullptr));
    if (!trimmed) return nullptr;
    std::string t;
    if (!extract_str(trimmed.get(), t)) return nullptr;

    std::string text;
    if (const Preset* preset = find_preset(t)) {
        text = std::string(preset->notation);
    } else {
        text = std::move(original);
    }
    const std::u32string cps = utf8_to_u32(text);
    ParseResult r = parse(std::u32string_view(cps));
    if (auto* err = std::get_if<ParseError>(&r)) {
        set_error(PyExc_ValueError, describe_parse_error(text, *err));
        return nullptr;
    }
    return new_circuit(std::get<SeriesList>(std::move(r)), false);
}

void circuit_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<CircuitObject*>(self)->model;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* circuit_repr(PyObject* self) {
    const std::string s = zetrion::circuit_repr(model_of(self).tree);
    return to_str(s).release();
}

// ---- parameter catalogue ---------------------------------------------------

template <class T, class Make>
PyObject* to_list(const std::vector<T>& v, Make make) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = make(v[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* param_names_m(PyObject* self, PyObject*) {
    return to_list(param_names(model_of(self).tree), [](const std::string& s) { return to_str(s).release(); });
}

PyObject* param_units_m(PyObject* self, PyObject*) {
    return to_list(param_units(model_of(self).tree), [](std::string_view s) { return to_str(s).release(); });
}

PyObject* param_bounds_m(PyObject* self, PyObject*) {
    return to_list(param_bounds(model_of(self).tree),
                   [](const Bounds& b) { return Py_BuildValue("(dd)", b.lo, b.hi); });
}

PyObject* param_values_m(PyObject* self, PyObject*) {
    return to_list(param_values(model_of(self).tree), [](double v) { return PyFloat_FromDouble(v); });
}

PyObject* with_values_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"values"};
    PyObject* arg = nullptr;
    if (!bind_args("with_values", args, nargs, kwnames, names, 1, 1, &arg)) return nullptr;
    std::vector<double> values;
    if (!extract_f64_seq(arg, values)) return arg_error("values"), nullptr;
    const CircuitModel& m = model_of(self);
    if (values.size() != m.count) {
        PyErr_Format(PyExc_ValueError, "expected %zu values, got %zu", m.count, values.size());
        return nullptr;
    }
    return new_circuit(rebuild(m.tree, values), true);
}

PyObject* with_named_values_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"values"};
    PyObject* arg = nullptr;
    if (!bind_args("with_named_values", args, nargs, kwnames, names, 1, 1, &arg)) return nullptr;
    if (!PyDict_Check(arg)) {
        set_error(PyExc_TypeError, "'" + type_name(arg) + "' object cannot be converted to 'PyDict'");
        return arg_error("values"), nullptr;
    }
    std::vector<std::pair<std::string, double>> pairs;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    Ref dict = Ref::borrow(arg);
    while (PyDict_Next(arg, &pos, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);  // held while converting
        std::string name;
        if (!extract_str(k.get(), name)) return arg_error("values"), nullptr;
        const double d = PyFloat_AsDouble(v.get());
        if (d == -1.0 && PyErr_Occurred()) return arg_error("values"), nullptr;
        pairs.emplace_back(std::move(name), d);
    }
    std::unordered_map<std::string, double> map;
    std::vector<std::string> order;
    for (auto& [k, d] : pairs) {
        if (map.emplace(k, d).second) order.push_back(k);
        else map[k] = d;
    }

    const CircuitModel& m = model_of(self);
    const std::vector<std::string> valid = param_names(m.tree);
    std::vector<std::string> unknown, missing;
    for (const std::string& k : order)
        if (std::find(valid.begin(), valid.end(), k) == valid.end()) unknown.push_back(k);
    for (const std::string& n : valid)
        if (!map.count(n)) missing.push_back(n);

    if (unknown.empty() && missing.empty()) {
        std::vector<double> values;
        values.reserve(valid.size());
        for (const std::string& n : valid) values.push_back(map[n]);
        return new_circuit(rebuild(m.tree, values), true);
    }
    std::string msg;
    for (const std::string& k : unknown) {
        msg += "unknown parameter " + quoted(k);
        if (auto near = closest_param_name(k, valid)) msg += " (did you mean " + quoted(*near) + "?)";
        msg += '\n';
    }
    if (!missing.empty()) {
        msg += "missing parameter(s): [";
        for (std::size_t i = 0; i < missing.size(); ++i) msg += (i ? ", " : "") + quoted(missing[i]);
        msg += "]\n";
    }
    msg += "valid parameters for this circuit:";
    const std::string listing = parameter_listing(m.tree);
    if (!listing.empty()) msg += "\n" + listing;
    set_error(PyExc_ValueError, msg);
    return nullptr;
}

// ---- evaluation ----------------------------------------------------------------

double physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0) return 1e18;  // unknown: let the allocation decide
    return static_cast<double>(pages) * static_cast<double>(size);
}

PyObject* impedance_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"frequencies"};
    PyObject* arg = nullptr;
    if (!bind_args("impedance", args, nargs, kwnames, names, 1, 1, &arg)) return nullptr;
    std::vector<double> f;
    if (!extract_f64_seq(arg, f)) {
        // Not a sequence of numbers: perhaps a frame. The first failure is
        // kept as the cause of the error that says what was expected.
        Ref cause = take_replaceable_error();
        if (!cause) return nullptr;
        const ColumnStatus st = column(arg, ColumnGroup::Frequency, f);
        if (st == ColumnStatus::Failed) return nullptr;
        if (st == ColumnStatus::Absent) {
            PyErr_SetString(PyExc_ValueError,
                            "expected a sequence of frequencies, or a dataframe with a \"Frequency / Hz\" or "
                            "\"frequency_hertz\" column");
            chain_cause(std::move(cause));
            return nullptr;
        }
    }
    std::unique_ptr<Cx[]> out(new Cx[std::max<std::size_t>(f.size(), 1)]);
    {
        ReleaseGil nogil(worth_releasing(f.size(), model_of(self).count));
        sweep(model_of(self).tree, f, out.get());
    }
    PyObject* arr = complex_array_take(out.get(), f.size());
    if (arr) out.release();
    return arr;
}

struct ResidualInputs {
    std::vector<double> params;
    SpectrumData data;
    std::vector<double> omega;
    std::vector<double> weights;

    Spectrum spectrum() const { return {omega, data.z, weights}; }
};

bool read_residual_inputs(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          ResidualInputs& in) {
    static const char* const names[] = {"params", "frequencies", "impedances", "weight"};
    PyObject* a[4];
    if (!bind_args(fname, args, nargs, kwnames, names, 4, 2, a)) return false;
    if (!extract_f64_seq(a[0], in.params)) return arg_error("params");
    std::string weight = "modulus";
    if (a[3] && !extract_str(a[3], weight)) return arg_error("weight");
    PyObject* impedances = a[2] == Py_None ? nullptr : a[2];
    if (!spectrum(a[1], impedances, in.data)) return false;
    const auto w = parse_weighting(weight);
    if (!w) {
        set_error(PyExc_ValueError, weighting_error(weight));
        return false;
    }
    in.omega.resize(in.data.f.size());
    for (std::size_t i = 0; i < in.omega.size(); ++i) in.omega[i] = in.data.f[i] * kTwoPi;
    in.weights = compute_weights(in.data.z, *w);
    return true;
}

PyObject* residuals_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ResidualInputs in;
    if (!read_residual_inputs("residuals", args, nargs, kwnames, in)) return nullptr;
    std::vector<double> r(2 * in.omega.size());
    bool ok;
    {
        ReleaseGil nogil(worth_releasing(in.omega.size(), model_of(self).count));
        EvalCounter counter{0};
        ok = residuals(model_of(self).tree, in.params, in.spectrum(), counter, r.data());
    }
    if (!ok) {
        set_error(PyExc_ValueError, kNotEnoughValues);
        return nullptr;
    }
    return to_list(r, [](double v) { return PyFloat_FromDouble(v); });
}

PyObject* jacobian_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ResidualInputs in;
    if (!read_residual_inputs("jacobian", args, nargs, kwnames, in)) return nullptr;
    const std::size_t m = in.params.size(), rows = 2 * in.omega.size();
    // Checked before the output is allocated: a short vector is an error
    // whatever the spectrum's length.
    if (m != 0 && m < model_of(self).count) {
        set_error(PyExc_ValueError, kNotEnoughValues);
        return nullptr;
    }
    // A result larger than the machine's memory is refused before it is
    // allocated: where memory is overcommitted the allocation could succeed
    // and filling it would bring the process down.
    const double bytes = static_cast<double>(m) * static_cast<double>(rows) * sizeof(double);
    if (bytes > physical_memory_bytes()) {
        set_error(PyExc_MemoryError, "a Jacobian of " + std::to_string(rows) + " x " + std::to_string(m) +
                                         " values is larger than this machine's memory");
        return nullptr;
    }
    std::vector<double> cols(m * rows);
    bool ok;
    {
        ReleaseGil nogil(worth_releasing(in.omega.size(), model_of(self).count, 2 * m));
        EvalCounter counter{0};
        ok = jacobian_columns(model_of(self).tree, in.params, in.spectrum(), counter, cols.data());
    }
    if (!ok) {
        set_error(PyExc_ValueError, kNotEnoughValues);
        return nullptr;
    }
    const std::size_t nrows = m == 0 ? 0 : rows;
    Ref out(PyList_New(static_cast<Py_ssize_t>(nrows)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < nrows; ++i) {
        PyObject* row = PyList_New(static_cast<Py_ssize_t>(m));
        if (!row) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), row);
        for (std::size_t k = 0; k < m; ++k) {
            PyObject* v = PyFloat_FromDouble(cols[k * rows + i]);
            if (!v) return nullptr;
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(k), v);
        }
    }
    return out.release();
}

// ---- learned guesses ---------------------------------------------------------

PyObject* guess_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"frequencies", "impedances", "weights"};
    PyObject* a[3];
    if (!bind_args("guess", args, nargs, kwnames, names, 3, 1, a)) return nullptr;
    std::optional<std::string> path;
    if (a[2] && a[2] != Py_None) {
        std::string p;
        if (!extract_str(a[2], p)) return arg_error("weights"), nullptr;
        path = std::move(p);
    }
    SpectrumData data;
    if (!spectrum(a[0], a[1] == Py_None ? nullptr : a[1], data)) return nullptr;
    std::variant<std::vector<double>, GuessError> r;
    {
        ReleaseGil nogil;
        r = guess_params(model_of(self).tree, data.f, data.z, path);
    }
    if (auto* e = std::get_if<GuessError>(&r)) {
        set_error(PyExc_ValueError, e->message());
        return nullptr;
    }
    return to_list(std::get<std::vector<double>>(r), [](double v) { return PyFloat_FromDouble(v); });
}

PyObject* ml_circuits_m(PyObject*, PyObject*) {
    return to_list(model_names(), [](const std::string& s) { return to_str(s).release(); });
}

// ---- type --------------------------------------------------------------------

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef circuit_methods[] = {
    {"param_names", ZETRION_GUARDED(param_names_m), METH_NOARGS,
     "param_names($self)\n--\n\nParameter names, in the same order `with_values()` consumes and\n"
     "`with_named_values()` expects as keys."},
    {"param_units", ZETRION_GUARDED(param_units_m), METH_NOARGS, "param_units($self)\n--\n\nPhysical units per parameter"},
    {"param_bounds", ZETRION_GUARDED(param_bounds_m), METH_NOARGS,
     "param_bounds($self)\n--\n\nDefault physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"param_values", ZETRION_GUARDED(param_values_m), METH_NOARGS,
     "param_values($self)\n--\n\nCurrent parameter values, in `param_names()` order."},
    {"with_values", FASTCALL(ZETRION_GUARDED(with_values_m)), METH_FASTCALL | METH_KEYWORDS,
     "with_values($self, values)\n--\n\nRebuild this circuit with a new flat parameter vector, assigned\n"
     "positionally in `param_names()` order."},
    {"with_named_values", FASTCALL(ZETRION_GUARDED(with_named_values_m)), METH_FASTCALL | METH_KEYWORDS,
     "with_named_values($self, values)\n--\n\nRebuild this circuit with parameter values looked up by name (see\n"
     "`param_names()`). Every name must be present and no unknown names\nmay be supplied."},
    {"impedance", FASTCALL(ZETRION_GUARDED(impedance_m)), METH_FASTCALL | METH_KEYWORDS, "impedance($self, frequencies)\n--\n\n"},
    {"residuals", FASTCALL(ZETRION_GUARDED(residuals_m)), METH_FASTCALL | METH_KEYWORDS,
     "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
     "arbitrary parameter vector -- the same building block `fit()` uses\n"
     "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
     "`scipy.optimize.least_squares`) can drive this circuit's math directly."},
    {"jacobian", FASTCALL(ZETRION_GUARDED(jacobian_m)), METH_FASTCALL | METH_KEYWORDS,
     "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
     "len(frequencies), len(params))` -- rows are residuals, columns are\n"
     "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."},
    {"guess", FASTCALL(ZETRION_GUARDED(guess_m)), METH_FASTCALL | METH_KEYWORDS,
     "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
     "Machine-learning guess of starting parameters for this circuit's\n"
     "topology, in `param_names()` order.\n\n"
     "Series and parallel elements may be written with any order and labels:\n"
     "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
     "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
     "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n\n"
     "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
     "bundled model.\n\n"
     "Raises if no model has been trained for this topology, or if `weights`\n"
     "was trained for a different one."},
    {"fit", FASTCALL(ZETRION_GUARDED(circuit_fit)), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, frequencies, impedances=None, guess_init=None, weights=None, weight=\"modulus\", "
     "method=\"levenberg_marquardt\", max_iterations=200, ftol=1e-8, xtol=1e-8, num_particles=200, "
     "generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, sa_iterations=5000, "
     "sa_initial_temperature=2.0, basin_hopping_hops=20, basin_hopping_step_size=1.0, "
     "basin_hopping_temperature=1.0, seed=None)\n--\n\n"
     "Fit this circuit's parameters to a measured spectrum.\n\n"
     "Accepts two sequences of frequencies and impedances, or a single battery\n"
     "data format dataframe (`impedances` left as None).\n\n"
     "`guess_init` unset means start from a machine-learning guess whenever the\n"
     "circuit is not explicitly given starting parameters. If no model has been\n"
     "trained for the topology it warns and starts from placeholder values.\n\n"
     "`True` always guesses, and raises rather than warns when it cannot.\n"
     "`False` never guesses."},
    {"ml_circuits", ZETRION_GUARDED(ml_circuits_m), METH_NOARGS | METH_STATIC, "ml_circuits()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot circuit_slots[] = {
    {Py_tp_doc, const_cast<char*>("Circuit(s)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(ZETRION_GUARDED(circuit_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ZETRION_GUARDED(circuit_repr))},
    {Py_tp_methods, circuit_methods},
    {0, nullptr},
};

PyType_Spec circuit_spec = {"zetrion.Circuit", sizeof(CircuitObject), 0, Py_TPFLAGS_DEFAULT, circuit_slots};

// ---- builders --------------------------------------------------------------

// Each part as a series list, and whether every Circuit part is explicit.
bool collect_parts(PyObject* parts, std::vector<SeriesList>& out, bool& all_explicit, std::size_t& depth) {
    if (PyUnicode_Check(parts)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return arg_error("parts");
    }
    if (!PySequence_Check(parts)) {
        set_error(PyExc_TypeError, "'" + type_name(parts) + "' object cannot be converted to 'Sequence'");
        return arg_error("parts");
    }
    Ref it(PyObject_GetIter(parts));
    if (!it) return arg_error("parts");
    all_explicit = true;
    depth = 0;
    for (std::size_t index = 0;; ++index) {
        Ref item(PyIter_Next(it.get()));
        if (!item) break;
        if (is_element(item.get())) {
            out.push_back({Node::leaf(reinterpret_cast<ElementObject*>(item.get())->element)});
        } else if (is_circuit(item.get())) {
            const CircuitModel& m = model_of(item.get());
            out.push_back(m.tree);
            all_explicit = all_explicit && m.explicit_values;
            depth = std::max(depth, m.depth);
        } else {
            set_error(PyExc_TypeError, "item " + std::to_string(index) + " is neither an Element nor a Circuit (got '" +
                                           type_name(item.get()) + "')");
            return arg_error("parts");
        }
    }
    if (PyErr_Occurred()) return arg_error("parts");
    return true;
}

// Parts keep their labels, so two parts may bring the same one: the result
// would name two parameters alike and a fit would lose one of their values.
bool check_unique_labels(const SeriesList& tree) {
    std::unordered_set<std::string> seen;
    for (const LeafRef& leaf : collect_leaves(tree)) {
        if (!leaf.label->has_value() || seen.insert(**leaf.label).second) continue;
        set_error(PyExc_ValueError, ParseError{ParseError::Kind::DuplicateLabel, 0, **leaf.label}.message());
        return false;
    }
    return true;
}

}  // namespace

bool is_circuit(PyObject* o) { return PyObject_TypeCheck(o, circuit_type); }

PyObject* new_circuit(SeriesList tree, bool explicit_values) {
    const std::size_t depth = nesting_depth(tree);
    if (depth > kMaxNesting) {
        PyErr_SetString(PyExc_ValueError, nesting_message());
        return nullptr;
    }
    auto model = std::make_unique<CircuitModel>();
    model->count = param_count(tree);
    model->depth = depth;
    model->tree = std::move(tree);
    model->explicit_values = explicit_values;
    PyObject* self = circuit_type->tp_alloc(circuit_type, 0);
    if (!self) return nullptr;
    reinterpret_cast<CircuitObject*>(self)->model = model.release();
    return self;
}

PyTypeObject* make_circuit_type(PyObject* module) {
    circuit_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &circuit_spec, nullptr));
    return circuit_type;
}

PyObject* series_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"parts"};
    PyObject* parts = nullptr;
    if (!bind_args("Series", args, nargs, kwnames, names, 1, 1, &parts)) return nullptr;
    std::vector<SeriesList> pieces;
    bool all_explicit;
    std::size_t depth;
    if (!collect_parts(parts, pieces, all_explicit, depth)) return nullptr;
    SeriesList tree;
    for (SeriesList& p : pieces)
        for (Node& n : p) tree.push_back(std::move(n));
    if (!check_unique_labels(tree)) return nullptr;
    return new_circuit(std::move(tree), all_explicit);
}

PyObject* parallel_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"parts"};
    PyObject* parts = nullptr;
    if (!bind_args("Parallel", args, nargs, kwnames, names, 1, 1, &parts)) return nullptr;
    std::vector<SeriesList> pieces;
    bool all_explicit;
    std::size_t depth;
    if (!collect_parts(parts, pieces, all_explicit, depth)) return nullptr;
    if (depth + 1 > kMaxNesting) {
        PyErr_SetString(PyExc_ValueError, nesting_message());
        return nullptr;
    }
    SeriesList tree;
    tree.push_back(Node::parallel(std::move(pieces)));
    if (!check_unique_labels(tree)) return nullptr;
    return new_circuit(std::move(tree), all_explicit);
}

}  // namespace zetrion::py
