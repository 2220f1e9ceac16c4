"""The DRT of an equivalent circuit, to lay over a measured spectrum's.

For circuits made of series resistors, inductors and relaxations whose DRT
is known in closed form - a resistor parallel to a capacitor (``(R,C)``,
``K``: a single time constant, a delta of area R), to a constant-phase
element (``(R,CPE)``, ``Zarc``: the ZARC distribution) - :func:`circuit_drt`
writes the DRT down exactly. Any other circuit is deconvolved numerically:
its impedance over a band two decades wider than the grid asked for,
without noise, through :func:`drt` with its default settings.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import zetrion

from .drt_analysis import drt
from .drt_peaks import zarc_gamma
from .engine import element_kinds

__all__ = ["CircuitDrt", "circuit_drt"]

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class CircuitDrt:
    """The DRT of a circuit.

    Attributes
    ----------
    tau, gamma : ndarray
        The continuous part of the DRT (ohm) on the grid asked for.
    deltas : list of (tau, resistance)
        Single time constants (R parallel to C): deltas of the given area.
    r_inf, inductance : float
        Series resistance and inductance.
    method : str
        ``"analytic"`` or ``"numeric"``.
    """

    tau: FloatArray
    gamma: FloatArray
    deltas: list[tuple[float, float]] = field(default_factory=list)
    r_inf: float = 0.0
    inductance: float = 0.0
    method: str = "analytic"

    @property
    def polarisation(self) -> float:
        """Total resistance of the relaxations (deltas and continuous part)."""
        y = np.log(self.tau)
        cont = float(np.sum(0.5 * (self.gamma[1:] + self.gamma[:-1]) * np.diff(y))) if self.tau.size > 1 else 0.0
        return cont + sum(r for _, r in self.deltas)


def split_series(notation: str) -> list[str]:
    """The top-level series items of a notation ("R0-(R1,C1)" -> ["R0", "(R1,C1)"])."""
    items, depth, cur = [], 0, ""
    for ch in notation.replace(" ", ""):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        if ch == "-" and depth == 0:
            items.append(cur)
            cur = ""
        else:
            cur += ch
    items.append(cur)
    return items


def element_code(token: str) -> str | None:
    """The element kind a token names ("CPE1" -> "CPE"), or None."""
    codes = sorted({c for k in element_kinds() for c in (k.code, k.alt_code) if c}, key=len, reverse=True)
    for code in codes:
        if token.startswith(code) and re.fullmatch(r"[A-Za-z0-9_]*", token[len(code) :]):
            rest = token[len(code) :]
            if rest and rest[0].islower() and code in ("L", "W", "G"):
                continue  # "La1", "Wo1", "Gs1" belong to the longer codes
            return code
    return None


def param_count(code: str) -> int:
    """Number of parameters of an element kind."""
    for k in element_kinds():
        if code in (k.code, k.alt_code):
            return len(k.params)
    raise ValueError(f"unknown element {code!r}")


def analytic_parts(notation: str, values: list[float]) -> dict[str, Any] | None:
    """R_inf, L, deltas and ZARCs of a circuit, or None when one item has no closed form."""
    out: dict[str, Any] = {"r_inf": 0.0, "l": 0.0, "deltas": [], "zarcs": []}
    pos = 0
    for item in split_series(notation):
        inner = item[2:-1] if item.startswith("p(") else item[1:-1] if item.startswith("(") else None
        codes = [element_code(t) for t in (inner.split(",") if inner is not None else [item])]
        if any(c is None for c in codes):
            return None
        n = sum(param_count(c) for c in codes if c)
        v = values[pos : pos + n]
        pos += n
        kinds = sorted(c.upper() for c in codes if c)
        if inner is None and kinds == ["R"]:
            out["r_inf"] += v[0]
        elif inner is None and kinds == ["L"]:
            out["l"] += v[0]
        elif inner is None and kinds == ["K"]:
            out["deltas"].append((v[1], v[0]))
        elif inner is None and kinds == ["ZARC"]:
            out["zarcs"].append((v[0], v[1], v[2]))
        elif inner is not None and kinds in (["C", "R"], ["CPE", "R"]):
            r_first = codes[0] == "R"
            r = v[0] if r_first else v[-1]
            other = v[1:] if r_first else v[:-1]
            if kinds == ["C", "R"]:
                out["deltas"].append((r * other[0], r))
            else:
                q, alpha = other
                out["zarcs"].append((r, (r * q) ** (1.0 / alpha), alpha))
        else:
            return None
    return out


def circuit_drt(
    circuit: zetrion.Circuit | str,
    tau: npt.ArrayLike | None = None,
    *,
    notation: str | None = None,
    numeric: bool = False,
) -> CircuitDrt:
    """The DRT of a circuit (with values), exact where the circuit allows.

    Parameters
    ----------
    circuit : zetrion.Circuit or str
        The circuit, or its notation (then with its default values).
    tau : array_like, optional
        Where to give gamma (s); 10 points per decade over 1e-7 .. 1e3 s by
        default.
    notation : str, optional
        The circuit's notation when ``circuit`` is a Circuit (a Circuit does
        not carry it; :class:`zetrion_tools.fitting.ConstrainedFit` has it as
        ``notation``). Without one the DRT is computed numerically.
    numeric : bool
        Deconvolve numerically even when a closed form exists.
    """
    if isinstance(circuit, str):
        notation, circuit = circuit, zetrion.Circuit(circuit)
    t = np.geomspace(1e-7, 1e3, 101) if tau is None else np.asarray(tau, dtype=np.float64)
    if t.ndim != 1 or t.size < 2 or not np.all(t > 0):
        raise ValueError("tau must be a 1-D array of at least 2 values > 0")
    values = [float(v) for v in circuit.param_values()]
    parts = None if numeric or notation is None else analytic_parts(notation, values)
    if parts is None:
        return numeric_drt(circuit, t)
    gamma = np.zeros_like(t)
    for r, tau0, phi in parts["zarcs"]:
        if phi >= 1.0:
            parts["deltas"].append((tau0, r))
        else:
            gamma += zarc_gamma(np.log(t), r, math.log(tau0), phi)
    return CircuitDrt(t, gamma, list(parts["deltas"]), parts["r_inf"], parts["l"], "analytic")


def numeric_drt(circuit: zetrion.Circuit, t: FloatArray) -> CircuitDrt:
    """The DRT of the circuit's own noiseless impedance over a band two decades wider than ``t``."""
    f = np.geomspace(1 / (2 * math.pi * t.min()) * 100, 1 / (2 * math.pi * t.max()) / 100, 20 * int(
        math.ceil(math.log10(t.max() / t.min()) + 4)) + 1)
    z = np.asarray(circuit.impedance(f), dtype=np.complex128)
    r = drt(f, z, check_sign=False)
    return CircuitDrt(t, r.gamma_at(t), [], r.r_inf, r.inductance, "numeric")
