#include "python/spectrum.hpp"

#include <cmath>
#include <string>

#include "python/convert.hpp"

namespace zetrion::py {
namespace {

struct GroupNames {
    const char* first;
    const char* second;
};

GroupNames names_of(ColumnGroup g) {
    switch (g) {
        case ColumnGroup::Frequency: return {"Frequency / Hz", "frequency_hertz"};
        case ColumnGroup::Real: return {"Real Impedance / ohm", "real_impedance_ohm"};
        case ColumnGroup::Imaginary: return {"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
        case ColumnGroup::Absolute: return {"Absolute Impedance / ohm", "absolute_impedance_ohm"};
        case ColumnGroup::Phase: return {"Phase / deg", "phase_degree"};
    }
    return {"", ""};
}

// "A" or "B", as messages write a group.
std::string describe(ColumnGroup g) {
    const GroupNames n = names_of(g);
    return std::string("\"") + n.first + "\" or \"" + n.second + "\"";
}

bool frame_error(const std::string& message) {
    set_error(PyExc_ValueError, message);
    return false;
}

bool unpack_frame(PyObject* frame, SpectrumData& out) {
    std::vector<double> f, re, im, ab, ph;
    const ColumnStatus fs = column(frame, ColumnGroup::Frequency, f);
    if (fs == ColumnStatus::Failed) return false;
    if (fs == ColumnStatus::Absent)
        return frame_error("expected a dataframe with a " + describe(ColumnGroup::Frequency) +
                           " column, or frequencies and impedances as two arguments");
    const ColumnStatus rs = column(frame, ColumnGroup::Real, re);
    if (rs == ColumnStatus::Failed) return false;
    const ColumnStatus is = column(frame, ColumnGroup::Imaginary, im);
    if (is == ColumnStatus::Failed) return false;
    const ColumnStatus as = column(frame, ColumnGroup::Absolute, ab);
    if (as == ColumnStatus::Failed) return false;
    const ColumnStatus ps = column(frame, ColumnGroup::Phase, ph);
    if (ps == ColumnStatus::Failed) return false;

    std::vector<Cx> z;
    ColumnGroup used_a, used_b;
    if (rs == ColumnStatus::Found && is == ColumnStatus::Found) {
        if (re.size() != im.size()) return frame_error("real and imaginary impedance columns must have the same length");
        z.resize(re.size());
        for (std::size_t k = 0; k < re.size(); ++k) z[k] = {re[k], im[k]};
        used_a = ColumnGroup::Real;
        used_b = ColumnGroup::Imaginary;
    } else if (as == ColumnStatus::Found && ps == ColumnStatus::Found) {
        if (ab.size() != ph.size()) return frame_error("absolute impedance and phase columns must have the same length");
        z.resize(ab.size());
        for (std::size_t k = 0; k < ab.size(); ++k) {
            const double phi = ph[k] * 0.017453292519943295;
            z[k] = {ab[k] * std::cos(phi), ab[k] * std::sin(phi)};
        }
        used_a = ColumnGroup::Absolute;
        used_b = ColumnGroup::Phase;
    } else {
        return frame_error("no impedance columns: expected " + describe(ColumnGroup::Real) + " together with " +
                           describe(ColumnGroup::Imaginary) + ", or " + describe(ColumnGroup::Absolute) +
                           " together with " + describe(ColumnGroup::Phase));
    }
    if (f.size() != z.size())
        return frame_error("frequency column has " + std::to_string(f.size()) + " rows but " + describe(used_a) +
                           " and " + describe(used_b) + " have " + std::to_string(z.size()));
    out.f.clear();
    out.z.clear();
    for (std::size_t k = 0; k < f.size(); ++k) {
        if (f[k] > 0.0) {
            out.f.push_back(f[k]);
            out.z.push_back(z[k]);
        }
    }
    if (out.f.empty())
        return frame_error("no measured points: every row of the " + describe(ColumnGroup::Frequency) +
                           " column is zero or negative");
    return true;
}

}  // namespace

ColumnStatus column(PyObject* frame, ColumnGroup group, std::vector<double>& out) {
    const GroupNames n = names_of(group);
    for (const char* name : {n.first, n.second}) {
        Ref key(PyUnicode_FromString(name));
        if (!key) return ColumnStatus::Failed;
        Ref item(PyObject_GetItem(frame, key.get()));
        if (!item) {
            if (!take_replaceable_error()) return ColumnStatus::Failed;
            continue;
        }
        if (!extract_f64_seq(item.get(), out)) {
            Ref cause = take_replaceable_error();
            if (!cause) return ColumnStatus::Failed;
            set_error(PyExc_ValueError, std::string("column \"") + name + "\" is not numeric");
            chain_cause(std::move(cause));
            return ColumnStatus::Failed;
        }
        return ColumnStatus::Found;
    }
    return ColumnStatus::Absent;
}

bool spectrum(PyObject* frequencies, PyObject* impedances, SpectrumData& out) {
    if (!impedances) return unpack_frame(frequencies, out);
    if (!extract_f64_seq(frequencies, out.f)) return false;
    if (!extract_complex_seq(impedances, out.z)) return false;
    if (out.f.size() != out.z.size()) {
        PyErr_SetString(PyExc_ValueError, "frequencies and impedances must have the same length");
        return false;
    }
    return true;
}

}  // namespace zetrion::py
