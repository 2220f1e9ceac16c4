"""Records reference runs of MINPACK's lmder (through scipy.optimize.leastsq)
for the solver tests: classic MINPACK test problems and one circuit fit in
solver space. Writes tests/cpp/data/lmder_reference.inc.

    PYTHONPATH=<dir with the built module> python3 tests/cpp/data/make_lmder_reference.py
"""

import math
import pathlib

import numpy as np
from scipy.optimize import leastsq

import zetrion

FTOL = XTOL = GTOL = 1e-8
PATIENCE = 200


def rosenbrock(x):
    return np.array([10.0 * (x[1] - x[0] * x[0]), 1.0 - x[0]])


def rosenbrock_jac(x):
    return np.array([[-20.0 * x[0], 10.0], [-1.0, 0.0]])


def freudenstein_roth(x):
    return np.array(
        [-13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1], -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1]]
    )


def freudenstein_roth_jac(x):
    return np.array(
        [[1.0, x[1] * (10.0 - 3.0 * x[1]) - 2.0], [1.0, x[1] * (2.0 + 3.0 * x[1]) - 14.0]]
    )


def box3d(x):
    t = 0.1 * np.arange(1, 11)
    return np.exp(-t * x[0]) - np.exp(-t * x[1]) - x[2] * (np.exp(-t) - np.exp(-10.0 * t))


def box3d_jac(x):
    t = 0.1 * np.arange(1, 11)
    return np.column_stack([-t * np.exp(-t * x[0]), t * np.exp(-t * x[1]), -(np.exp(-t) - np.exp(-10.0 * t))])


BARD_Y = [0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39, 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39]


def bard(x):
    out = []
    for i in range(15):
        u = i + 1.0
        v = 15.0 - i
        w = min(u, v)
        out.append(BARD_Y[i] - (x[0] + u / (v * x[1] + w * x[2])))
    return np.array(out)


def bard_jac(x):
    rows = []
    for i in range(15):
        u = i + 1.0
        v = 15.0 - i
        w = min(u, v)
        d = v * x[1] + w * x[2]
        rows.append([-1.0, u * v / (d * d), u * w / (d * d)])
    return np.array(rows)


def circuit_problem():
    c = zetrion.Circuit("R0-(R1,CPE1)")
    f = np.geomspace(0.05, 2e4, 24)
    z = c.with_values([8.0, 140.0, 3e-5, 0.83]).impedance(f)
    # Deterministic pseudo-noise so the optimum has a non-zero cost.
    k = np.arange(len(f))
    z = z * (1.0 + 0.01 * np.sin(1.7 * k) + 0.01j * np.cos(2.3 * k))
    lo = np.array([b[0] for b in c.param_bounds()])
    closed = np.array([math.isfinite(b[1]) for b in c.param_bounds()])

    def phys(x):
        return np.where(closed, x, lo + 10.0 ** np.asarray(x))

    def fun(x):
        return np.array(c.residuals(list(phys(x)), f, z))

    def jac(x):
        v = phys(x)
        j = np.array(c.jacobian(list(v), f, z))
        g = np.where(closed, 1.0, (v - lo) * 2.302585092994046)
        return j * g

    v0 = np.array([20.0, 50.0, 1e-4, 0.7])
    x0 = np.where(closed, v0, np.log10(np.maximum(v0 - lo, 1e-300)))
    return f, z, fun, jac, x0, phys


def run(fun, jac, x0):
    n = len(x0)
    x, _, info, _, ier = leastsq(
        fun, x0, Dfun=jac, full_output=True, ftol=FTOL, xtol=XTOL, gtol=GTOL, maxfev=PATIENCE * (n + 1), factor=100.0
    )
    return x, ier, info["nfev"]


def fmt(v):
    return "{" + ", ".join(repr(float(a)) for a in v) + "}"


def main():
    lines = [
        "// Reference runs of MINPACK lmder (scipy.optimize.leastsq) recorded by",
        "// make_lmder_reference.py beside this file; do not edit.",
        "",
    ]
    entries = []
    for name, fun, jac, x0 in [
        ("rosenbrock", rosenbrock, rosenbrock_jac, [-1.2, 1.0]),
        ("freudenstein_roth", freudenstein_roth, freudenstein_roth_jac, [0.5, -2.0]),
        ("box3d", box3d, box3d_jac, [0.0, 10.0, 20.0]),
        ("bard", bard, bard_jac, [1.0, 1.0, 1.0]),
    ]:
        x, ier, nfev = run(fun, jac, np.array(x0))
        entries.append(f'    {{"{name}", {fmt(x0)}, {fmt(x)}, {ier}, {nfev}}},')
    f, z, fun, jac, x0, phys = circuit_problem()
    x, ier, nfev = run(fun, jac, x0)
    entries.append(f'    {{"circuit", {fmt(x0)}, {fmt(phys(x))}, {ier}, {nfev}}},')
    lines.append("inline const LmderReference kLmderReference[] = {")
    lines += entries
    lines.append("};")
    lines.append("")
    lines.append(f"inline const std::vector<double> kCircuitFrequencies = {fmt(f)};")
    lines.append(f"inline const std::vector<double> kCircuitRe = {fmt(z.real)};")
    lines.append(f"inline const std::vector<double> kCircuitIm = {fmt(z.imag)};")
    out = pathlib.Path(__file__).with_name("lmder_reference.inc")
    out.write_text("\n".join(lines) + "\n")
    print(out.read_text())


if __name__ == "__main__":
    main()
