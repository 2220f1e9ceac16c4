// Reading a measured spectrum from Python: two sequences (frequencies and
// complex impedances), or one frame indexed by column name with a frequency
// column and rectangular or polar impedance columns.
#pragma once

#include "python/pyref.hpp"

#include <vector>

#include "elements/complex.hpp"

namespace zetrion::py {

enum class ColumnGroup { Frequency, Real, Imaginary, Absolute, Phase };

enum class ColumnStatus { Absent, Found, Failed };

// frame[name] for the group's two names in turn; Failed (with ValueError
// "column "X" is not numeric" set) when the found column is not numeric.
ColumnStatus column(PyObject* frame, ColumnGroup group, std::vector<double>& out);

struct SpectrumData {
    std::vector<double> f;  // Hz
    std::vector<Cx> z;      // ohm
};

// `impedances` null: `frequencies` is a frame (rows with a frequency that is
// not > 0 are dropped). Otherwise two sequences, used unchanged.
bool spectrum(PyObject* frequencies, PyObject* impedances, SpectrumData& out);

}  // namespace zetrion::py
