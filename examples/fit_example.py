"""Fit an equivalent circuit to a measured spectrum with no starting values.

Reads examples/data/battery_cell.csv (columns "Frequency / Hz", "Real
Impedance / ohm", "Imaginary Impedance / ohm"), fits the SEI + Randles
circuit from the built-in learned guess, prints the result and writes a
Nyquist and Bode plot of data and fit to fit_example.png (needs matplotlib:
pip install ".[plot]").
"""

import csv
import pathlib
import sys
import time

import numpy as np

import zetrion

HERE = pathlib.Path(__file__).resolve().parent
data_file = HERE / "data" / "battery_cell.csv"
with data_file.open() as fh:
    rows = list(csv.DictReader(fh))
frame = {key: [float(r[key]) for r in rows] for key in rows[0]}

circuit = zetrion.Circuit("sei_randles")  # R0-(R1,CPE1)-(R2-W2,CPE2)
t0 = time.perf_counter()
result = circuit.fit(frame)
elapsed = time.perf_counter() - t0

print(f"fitted {len(rows)} points of {data_file.name} in {1e3 * elapsed:.2f} ms")
print(result)
print()
print(result.circuit)
print()
print("standard errors:")
for name, value in result.params.items():
    err = result.stderr[name] if result.stderr else float("nan")
    print(f"  {name:<11} {value:12.5g} +- {err:.2g}")

f = np.array(frame["Frequency / Hz"])
z = np.array(frame["Real Impedance / ohm"]) + 1j * np.array(frame["Imaginary Impedance / ohm"])
f_fine = np.geomspace(f.max(), f.min(), 400)
z_fit = result.circuit.impedance(f_fine)

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    sys.exit(0)

fig, (ax_n, ax_b) = plt.subplots(1, 2, figsize=(11, 4.2))
ax_n.plot(z.real, -z.imag, "o", ms=4, label="data")
ax_n.plot(z_fit.real, -z_fit.imag, "-", label="fit")
ax_n.set_xlabel("Re Z / ohm")
ax_n.set_ylabel("-Im Z / ohm")
ax_n.set_aspect("equal", adjustable="datalim")
ax_n.set_title("Nyquist")
ax_n.legend()
ax_b.loglog(f, np.abs(z), "o", ms=4, label="|Z| data")
ax_b.loglog(f_fine, np.abs(z_fit), "-", label="|Z| fit")
ax_b.set_xlabel("f / Hz")
ax_b.set_ylabel("|Z| / ohm")
ax_p = ax_b.twinx()
ax_p.semilogx(f, -np.degrees(np.angle(z)), "s", ms=3, color="tab:red", label="-phase data")
ax_p.semilogx(f_fine, -np.degrees(np.angle(z_fit)), "-", color="tab:red", alpha=0.7, label="-phase fit")
ax_p.set_ylabel("-phase / deg")
ax_b.set_title("Bode")
fig.suptitle(f"R0-(R1,CPE1)-(R2-W2,CPE2) fitted to {data_file.name}, chi-square {result.chi_square:.3g}")
fig.tight_layout()
out = pathlib.Path.cwd() / "fit_example.png"
fig.savefig(out, dpi=110)
print(f"\nwrote {out}")
