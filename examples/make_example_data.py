"""Writes examples/data/battery_cell.csv: a Li-ion-like spectrum of
"R0-(R1,CPE1)-(R2-W2,CPE2)" (SEI arc, charge-transfer arc, diffusion tail)
from 10 kHz down to 10 mHz, 8 points per decade, with 0.8 % relative
complex noise. Run once; the CSV is committed."""

import csv
import pathlib

import numpy as np

import zetrion

TRUE = {"R0.r": 0.021, "R1.r": 0.012, "CPE1.q": 0.35, "CPE1.alpha": 0.86, "R2.r": 0.034, "W2.aw": 0.0095, "CPE2.q": 4.8, "CPE2.alpha": 0.78}

circuit = zetrion.Circuit("sei_randles").with_named_values(TRUE)
f = np.geomspace(1e4, 1e-2, 49)
rng = np.random.default_rng(20261208)
z = circuit.impedance(f) * (1 + 0.008 / np.sqrt(2) * (rng.normal(size=f.size) + 1j * rng.normal(size=f.size)))
out = pathlib.Path(__file__).with_name("data") / "battery_cell.csv"
out.parent.mkdir(exist_ok=True)
with out.open("w", newline="") as fh:
    w = csv.writer(fh)
    w.writerow(["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"])
    for fi, zi in zip(f, z):
        w.writerow([repr(float(fi)), repr(float(zi.real)), repr(float(zi.imag))])
print(f"wrote {out}")
