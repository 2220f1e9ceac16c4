"""An installed zetrion, whatever NumPy is beside it: evaluates a circuit,
fits the measured ZPlot spectrum of examples/data with the learned guess, and
fits a synthetic Randles spectrum back to the values that made it. Prints one
line with the versions and the figures; exits non-zero on any failure.

    python scripts/wheel_smoke.py
"""

from __future__ import annotations

import math
import pathlib
import sys

import numpy as np

import zetrion

HERE = pathlib.Path(__file__).resolve().parent
ZPLOT = HERE.parent / "examples" / "data" / "Circuit3_EIS_1.z"


def read_zplot(path: pathlib.Path) -> tuple[np.ndarray, np.ndarray]:
    """The frequency and impedance columns after the ZPlot header."""
    lines = path.read_text(errors="replace").splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip() == "End Comments") + 1
    rows = [line.split() for line in lines[start:] if line.strip()]
    f = np.array([float(r[0]) for r in rows])
    z = np.array([complex(float(r[4]), float(r[5])) for r in rows])
    return f, z


def main() -> int:
    f = np.geomspace(1e5, 1e-2, 60)
    truth = [12.0, 150.0, 40.0, 2e-5, 0.85]
    c = zetrion.Circuit("R0-(R1-W1,CPE1)").with_values(truth)
    z = c.impedance(f)
    if z.dtype != np.complex128 or z.shape != f.shape or not np.all(np.isfinite(z)):
        print(f"impedance came back as {z.dtype} {z.shape}", file=sys.stderr)
        return 1
    synthetic = zetrion.Circuit("R0-(R1-W1,CPE1)").fit(f, z)
    worst = max(abs(math.log(v / t)) for v, t in zip(synthetic.params.values(), truth))
    if not synthetic.success or worst > 1e-4:
        print(f"synthetic fit: success={synthetic.success}, worst log error {worst:.2e}", file=sys.stderr)
        return 1
    measured = "skipped (no examples/data)"
    if ZPLOT.exists():
        fm, zm = read_zplot(ZPLOT)
        r = zetrion.Circuit("rc_l").fit(fm, zm)
        if not r.success or not math.isfinite(r.chi_square):
            print(f"measured fit failed: {r.params}", file=sys.stderr)
            return 1
        measured = f"chi_square {r.chi_square:.3e} over {len(fm)} points"
    print(
        f"python {sys.version.split()[0]}, numpy {np.__version__}, zetrion from {pathlib.Path(zetrion.__file__).name}:"
        f" synthetic randles recovered to {worst:.1e} (log), rc_l on Circuit3_EIS_1.z {measured}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
