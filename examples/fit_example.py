"""Fit an equivalent circuit to a measured spectrum, with no starting values.

Reads examples/data/Circuit3_EIS_1.z, a Scribner ZPlot export of a physical
dummy cell (a resistor in series with a parallel resistor and capacitor,
measured through leads with some inductance) from 150 kHz down to 1 Hz;
checks it; fits the "rc_l" preset, L0-R0-(R1,C1), from the built-in learned guess; prints the
result; and writes a plot of data, fit and residuals to fit_example.png and
the fit record to fit_example.json in the current directory (the plot needs
matplotlib: pip install ".[plot]"). docs/tutorial.md goes through the same
steps on a Gamry file, with Kramers-Kronig validation and constrained fits.

    python3 examples/fit_example.py
"""

from __future__ import annotations

import pathlib
import time

import zetrion
import zetrion_tools as zt

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data" / "Circuit3_EIS_1.z"
NOTATION = "rc_l"  # L0-R0-(R1,C1)


def main() -> None:
    spectrum = zt.read(DATA)
    f, z = zt.check_spectrum(spectrum.frequencies, spectrum.impedance)
    print(f"{DATA.name}: {spectrum.format} export, {len(f)} points, {f.min():g} - {f.max():g} Hz")

    t0 = time.perf_counter()
    result = zetrion.Circuit(NOTATION).fit(f, z)
    elapsed = time.perf_counter() - t0
    print(f"\nfitted {NOTATION} in {1e3 * elapsed:.2f} ms (learned guess + multi-start Levenberg-Marquardt)")
    print(result)
    print()
    circuit = result.circuit
    units = dict(zip(circuit.param_names(), circuit.param_units()))
    stderr = result.stderr or {}
    for name in circuit.param_names():
        value = result.params[name]
        err = stderr.get(name, float("nan"))
        print(f"  {name:<6} = {value:11.5g} +- {err:8.2g} {units[name]}")
    print(f"  chi-square {result.chi_square:.3g} over {len(f)} points "
          f"(about {100 * (result.chi_square / (2 * len(f))) ** 0.5:.2f} % rms relative residual)")

    record = zt.save_record(result, "fit_example.json", f, z, notation=NOTATION,
                            metadata={"file": DATA.name})
    print(f"\nwrote fit_example.json (data sha256 {record.data_sha256[:12]}...)")

    try:
        import matplotlib
    except ImportError:
        print('matplotlib is not installed: pip install ".[plot]" for the plot')
        return
    matplotlib.use("Agg")
    fig, _ = zt.plot_fit(f, z, result, title=f"{NOTATION} = L0-R0-(R1,C1) fitted to {DATA.name}")
    out = pathlib.Path.cwd() / "fit_example.png"
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
