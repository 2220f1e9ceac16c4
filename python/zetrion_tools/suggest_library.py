"""The circuits :func:`zetrion_tools.suggest_circuits` tries, and what picks them.

A spectrum is read for three things a circuit must reproduce:

- the number of relaxations: the peaks of its distribution of relaxation
  times (:func:`zetrion_tools.drt`), or of ``-Im Z`` when the DRT cannot be
  computed;
- an inductance at the top of the band: a positive imaginary part at the
  highest frequencies;
- the low-frequency end: the phase and the trend of ``-Im Z`` over the
  lowest points tell a blocking (capacitive) tail, a diffusion tail
  (phase between about -25 and -65 degrees and still rising) and a
  spectrum that returns to the real axis.

The library then builds, for arc counts around the peak count, the usual
topologies: arcs (R parallel with C or with a CPE) in series, Randles-type
arcs with a Warburg of each kind in the slowest arc's resistive branch, a
tail (C, CPE, W, Wo, Ws, Gerischer, transmission line) in series, nested
(ladder) arcs, and a series inductance where the top of the band is
inductive. A notation is written once; its labels follow the element kinds
of the core (``zetrion_tools.engine.element_kinds``).
"""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import zetrion

__all__ = ["SpectrumShape", "candidate_circuits", "read_shape"]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

MAX_ARCS = 3
# Phase (degrees) over the lowest points: below this a tail is blocking
# (capacitive), between the two a diffusion tail, above it resistive.
_BLOCKING_PHASE = -62.0
_DIFFUSION_PHASE = -22.0
# Im Z / |Z| at the top of the band above which it counts as inductive.
_INDUCTIVE_SHARE = 0.005
# The Lin-KK inductance's share of |Z| at the top above which circuits with
# an inductance are tried besides those without.
_MAYBE_INDUCTIVE = 0.1


@dataclass(frozen=True)
class SpectrumShape:
    """What the spectrum shows, as far as choosing circuits goes.

    Attributes
    ----------
    peaks : int
        Relaxations seen (DRT peaks, at least 1).
    inductive : bool
        Positive imaginary part at the top of the band.
    tail : str
        The low-frequency end: ``"blocking"``, ``"diffusion"`` or
        ``"closed"`` (back towards the real axis).
    lf_phase : float
        Mean phase in degrees over the lowest points.
    source : str
        Where the peak count came from (``"drt"`` or ``"-Im Z"``).
    inductance_share : float
        The reactance of a series inductance fitted to the whole spectrum
        (the Lin-KK fit's) at the top of the band, over ``|Z|`` there: an
        inductance that bends the top of the band without lifting it above
        the axis shows here.
    """

    peaks: int
    inductive: bool
    tail: str
    lf_phase: float
    source: str = "drt"
    inductance_share: float = 0.0


def _drt_peaks(f: FloatArray, z: ComplexArray) -> int | None:
    """The number of DRT peaks, or None where the DRT cannot be computed."""
    from .drt_analysis import drt
    from .drt_peaks import find_peaks

    try:
        result = drt(f, z, check_sign=False, noise_floor=1e-2)
        table = find_peaks(result, prominence=0.25, min_share=0.04)
    except (ValueError, ArithmeticError):
        return None
    return int((table["area"] > 0).sum())


def _im_peaks(f: FloatArray, z: ComplexArray) -> int:
    from .starts import read_features

    return len(read_features(f, z).peaks)


def read_shape(
    f: FloatArray, z: ComplexArray, *, use_drt: bool = True, inductance_share: float = 0.0
) -> SpectrumShape:
    """Read a checked spectrum (any frequency order) for the circuits to try.

    ``inductance_share`` is passed on to the result (see :class:`SpectrumShape`).
    """
    order = np.argsort(f)
    ff = np.asarray(f, dtype=np.float64)[order]
    zz = np.asarray(z, dtype=np.complex128)[order]
    peaks = _drt_peaks(ff, zz) if use_drt else None
    source = "drt"
    if peaks is None:
        peaks, source = _im_peaks(ff, zz), "-Im Z"
    top = zz[-min(3, zz.size) :]
    share = top.imag / np.abs(top)
    # all of the top points above the axis, or the last well above it: noise
    # alone puts single points there
    inductive = bool(np.all(share > 0) and np.mean(share) > _INDUCTIVE_SHARE or share[-1] > 4 * _INDUCTIVE_SHARE)
    k = min(4, zz.size)
    low = zz[:k]
    phase = float(np.degrees(np.mean(np.angle(low))))
    rising = float(-low[0].imag) > float(-low[-1].imag)  # -Im still growing towards low f
    if phase < _BLOCKING_PHASE:
        tail = "blocking"
    elif phase < _DIFFUSION_PHASE and rising:
        tail = "diffusion"
    else:
        tail = "closed"
    share_l = float(inductance_share) if math.isfinite(inductance_share) else 0.0
    return SpectrumShape(max(1, peaks), inductive, tail, phase, source, share_l)


def _arcs(first: int, count: int, cap: str) -> list[str]:
    return [f"(R{i},{cap}{i})" for i in range(first, first + count)]


def _series(parts: Sequence[str]) -> str:
    return "-".join(parts)


def _voigt(n: int, cap: str, tail: str = "") -> str:
    """``R0`` and ``n`` arcs in series, and a tail element after them."""
    parts = ["R0", *_arcs(1, n, cap)]
    if tail:
        parts.append(f"{tail}{n + 1}")
    return _series(parts)


def _randles(n: int, warburg: str) -> str:
    """``n`` CPE arcs, the slowest with a Warburg in its resistive branch."""
    parts = ["R0", *_arcs(1, n - 1, "CPE"), f"(R{n}-{warburg}{n},CPE{n})"]
    return _series(parts)


def _nested(n: int, cap: str) -> str:
    """The ladder ``R0-(C1,R1-(C2,R2-...))`` of ``n`` arcs."""
    inner = f"R{n}"
    for i in range(n, 0, -1):
        inner = f"({cap}{i},{inner})" if i == n else f"({cap}{i},R{i}-{inner})"
    return f"R0-{inner}"


# Series tails tried after the arcs, and Warburgs in the slowest arc's
# resistive branch: diffusion of every kind always (a weak Warburg hides in
# the arcs' return to the axis), a capacitor and transmission lines where the
# low end stays open, a Gerischer where it closes.
_ALWAYS = ("W", "Wo", "Ws", "CPE")
_TAILS = {"blocking": ("C", "TLMQ"), "diffusion": ("TLMQ",), "closed": ("G", "Gs")}
_RANDLES = ("W", "Wo", "Ws")
# Tails go on at most this many arcs (they are slow to fit and rarely needed).
_TAILED_ARCS = 2


def _arc_counts(shape: SpectrumShape) -> list[int]:
    """Arc counts to try: up to one more than the peaks, at most MAX_ARCS.

    Fewer are always tried: a peak count is an upper bound more often than
    not (noise and diffusion tails add peaks to a DRT), while arcs that
    overlap show as one peak.
    """
    return list(range(1, min(shape.peaks + 1, MAX_ARCS) + 1))


def _closed_and_tailed(shape: SpectrumShape, counts: list[int]) -> list[str]:
    out: list[str] = []
    for n in counts:
        out += [_voigt(n, "C"), _voigt(n, "CPE")]
        if n >= 2:
            out += [_nested(n, "CPE"), _nested(n, "C")]
        if n > _TAILED_ARCS:
            continue
        out += [_voigt(n, "CPE", tail) for tail in _ALWAYS + _TAILS[shape.tail]]
        out += [_randles(n, w) for w in _RANDLES]
        if shape.tail == "blocking":
            out.append(_voigt(n, "C", "C"))
    return out


def candidate_circuits(shape: SpectrumShape) -> list[str]:
    """The notations worth fitting to a spectrum of this shape, simplest first.

    Every notation is distinct; those that can only differ in a series
    inductance come with ``L0-`` in front when the top of the band is
    inductive (and without it otherwise, where an inductance would be
    undetermined).
    """
    counts = _arc_counts(shape)
    out = _closed_and_tailed(shape, counts)
    if shape.tail == "closed" and shape.peaks <= 2:
        out += ["R0-G1", "R0-(R1,CPE1)-G2" if 1 in counts else "R0-G1"]
    if shape.tail != "closed" and shape.peaks <= 2:
        out += ["R0-TLMQ1", "R0-T1"]
    if not shape.inductive and shape.inductance_share > _MAYBE_INDUCTIVE:
        # an inductance the top of the band hints at: the plain arcs with one
        out += [f"L0-{_voigt(n, cap)}" for n in counts if n <= _TAILED_ARCS for cap in ("C", "CPE")]
    if shape.inductive:
        out = [f"L0-{c}" for c in out] + [f"La0-{_voigt(n, 'CPE')}" for n in counts if n <= _TAILED_ARCS]
    return sorted(dict.fromkeys(out), key=_size)


@functools.lru_cache(maxsize=512)
def _size(notation: str) -> tuple[int, int]:
    """Sort key: the number of parameters, then the notation's length."""
    return (len(zetrion.Circuit(notation).param_names()), len(notation))
