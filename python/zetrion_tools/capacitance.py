"""Capacitance from impedance: the complex capacitance of a spectrum, and the
effective capacitance of a constant-phase element by Brug's formula.

A constant-phase element (CPE) of impedance ``1 / (Q (jω)^α)`` has no
capacitance of its own unless ``α = 1``; the capacitance it stands for
depends on the resistance that the current charging it meets. Brug et al.
(J. Electroanal. Chem. 176 (1984) 275) give, for a CPE in parallel with a
resistance ``R_p`` (charge transfer), the two in series with a resistance
``R_s`` (electrolyte), with the CPE reading as a surface distribution of
time constants:

.. math::

    C_\\mathrm{eff} = Q^{1/\\alpha}
        \\left(\\frac{1}{R_s} + \\frac{1}{R_p}\\right)^{(\\alpha - 1)/\\alpha}

For a blocking electrode (no ``R_p``) this is ``Q^(1/α) R_s^((1-α)/α)``, and
without ``R_s`` it is ``Q^(1/α) R_p^((1-α)/α)`` (the form often credited to
Hsu and Mansfeld); with ``α = 1`` it is ``Q`` whatever the resistances.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import zetrion

from . import _engine

__all__ = ["complex_capacitance", "effective_capacitance", "effective_capacitances"]


def complex_capacitance(f: Any, z: Any) -> npt.NDArray[np.complex128]:
    """The complex capacitance ``C = 1 / (jωZ) = C' - jC''`` at each frequency.

    Parameters
    ----------
    f : array_like of float
        Frequencies in Hz.
    z : array_like of complex
        Impedances in ohm.

    Returns
    -------
    ndarray of complex128
        In farad: ``C.real`` is C' (the stored charge; the capacitance for an
        ideal capacitor) and ``-C.imag`` is C'' (the loss, positive for a
        resistive path).
    """
    ff = np.asarray(f, dtype=np.float64)
    zz = np.asarray(z, dtype=np.complex128)
    if ff.shape != zz.shape:
        raise ValueError(f"{ff.size} frequencies but {zz.size} impedances")
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(1.0 / (1j * 2.0 * np.pi * ff * zz), dtype=np.complex128)


def effective_capacitance(
    q: float,
    alpha: float,
    r_series: float | None = None,
    r_parallel: float | None = None,
) -> float:
    """Brug's effective capacitance of a CPE, in farad.

    Parameters
    ----------
    q : float
        The CPE's ``Q`` (``CPE.q``, in ohm^-1 s^alpha).
    alpha : float
        Its exponent, in (0, 1].
    r_series : float, optional
        The resistance in series with the CPE and its parallel resistor
        (the electrolyte resistance ``R_s``, ``R0.r`` of ``R0-(R1,CPE1)``).
    r_parallel : float, optional
        The resistance in parallel with the CPE (charge transfer, ``R_p``,
        ``R1.r`` of ``R0-(R1,CPE1)``); None for a blocking electrode.

    Returns
    -------
    float
        ``Q^(1/α) (1/R_s + 1/R_p)^((α-1)/α)``, leaving out a resistance not
        given; NaN when neither is given (or neither is positive) and
        ``α < 1``, since the capacitance is then undefined.

    Raises
    ------
    ValueError
        ``q`` not positive, ``alpha`` outside (0, 1], or a negative
        resistance.
    """
    q, alpha = float(q), float(alpha)
    if not q > 0 or not math.isfinite(q):
        raise ValueError(f"q must be positive and finite, not {q}")
    if not 0 < alpha <= 1:
        raise ValueError(f"alpha must lie in (0, 1], not {alpha}")
    conductance = 0.0
    for name, r in (("r_series", r_series), ("r_parallel", r_parallel)):
        if r is None:
            continue
        r = float(r)
        if r < 0 or math.isnan(r):
            raise ValueError(f"{name} must not be negative, not {r}")
        conductance += math.inf if r == 0 else 1.0 / r
    if alpha == 1.0:
        return q
    if conductance == 0.0 or math.isinf(conductance):
        return math.nan
    return float(q ** (1.0 / alpha) * conductance ** ((alpha - 1.0) / alpha))


def _leaf_resistance(branch: Sequence[Any], values: Sequence[float]) -> float:
    """The sum of the plain resistors directly in a series branch."""
    return sum(values[node[1]] for node in branch if isinstance(node, tuple) and node[0] == "R")


# (index of the element's first parameter, Q, alpha, R_p or None)
_Found = list[tuple[int, float, float, "float | None"]]


def _walk(nodes: Sequence[Any], values: Sequence[float], partner: float | None, out: _Found) -> None:
    """Collect the CPEs and Zarcs of a series branch; ``partner`` is the
    resistance in parallel with the branch, which a CPE alone in it sees."""
    for node in nodes:
        if isinstance(node, tuple):
            code, idx = node
            if code == "CPE":
                lone = partner if len(nodes) == 1 else None
                out.append((idx, values[idx], values[idx + 1], lone))
            elif code == "Zarc":
                r, tau, gamma = values[idx], values[idx + 1], values[idx + 2]
                out.append((idx, tau**gamma / r, gamma, r))
            continue
        # a parallel group: each branch's partner is the resistors of the others
        branches = list(node)
        sums = [_leaf_resistance(b, values) for b in branches]
        for k, branch in enumerate(branches):
            others = [s for j, s in enumerate(sums) if j != k and s > 0]
            r_p = 1.0 / sum(1.0 / s for s in others) if others else None
            _walk(branch, values, r_p, out)


def effective_capacitances(result: Any) -> dict[str, float]:
    """Brug's effective capacitance of every CPE (and Zarc) of a fitted circuit.

    Parameters
    ----------
    result : ConstrainedFit, zetrion.FitResult or zetrion.Circuit
        The fit, or a circuit holding the values.

    Returns
    -------
    dict of str to float
        Element name (``"CPE1"``, ``"Zarc2"``) to capacitance in farad, in
        circuit order. The resistances of :func:`effective_capacitance` are
        read from the circuit: ``R_s`` is the sum of the resistors in series
        with the whole circuit (``R0`` of ``R0-(R1,CPE1)``); ``R_p`` is the
        sum of the resistors of the branch in parallel with the CPE (``R1``;
        ``R1`` also in the Randles circuit ``R0-(R1-W1,CPE1)``, the diffusion
        element left out), and a Zarc's own ``r``. A CPE with no resistor in
        parallel is taken as blocking. For several arcs in series the
        formula holds for each arc only as an approximation (it is derived
        for a single time constant).
    """
    circuit = result if isinstance(result, zetrion.Circuit) else getattr(result, "circuit", None)
    if not isinstance(circuit, zetrion.Circuit):
        raise TypeError(
            "expected a zetrion.FitResult, a zetrion_tools ConstrainedFit or a zetrion.Circuit, "
            f"not {type(result).__name__}"
        )
    values = [float(v) for v in circuit.param_values()]
    names = list(circuit.param_names())
    structure = _engine.structure(circuit)
    r_series = _leaf_resistance(structure, values)
    found: _Found = []
    _walk(structure, values, None, found)
    out: dict[str, float] = {}
    for idx, q, alpha, r_p in found:
        rs = r_series if r_series > 0 else None
        try:
            out[names[idx].split(".")[0]] = effective_capacitance(q, alpha, rs, r_p)
        except ValueError:  # a value outside the element's range (alpha = 0)
            out[names[idx].split(".")[0]] = math.nan
    return out
