"""Checks on a spectrum before it is fitted.

A fit given NaN, a zero frequency, a zero impedance or impedances whose imaginary sign was
flipped by the exporting program either fails obscurely or converges quietly
to nonsense. :func:`check_spectrum` catches these up front and says what to
do about each.
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine

__all__ = ["DataError", "DataWarning", "check_spectrum", "inspect_spectrum", "looks_flipped"]


class DataError(ValueError):
    """The data cannot be fitted as they are."""


class DataWarning(UserWarning):
    """The data can be fitted but probably should not be, as they are."""


# Share of sign-carrying points that must be inductive before a flip is
# suspected (overall and in the lowest-frequency quarter).
_FLIP_SHARE = 0.75
# Imaginary parts smaller than this fraction of |Z| are treated as resistive
# and carry no sign information.
_SIGN_FLOOR = 1e-3
# Below this many sign-carrying points the heuristic stays silent.
_FLIP_MIN_POINTS = 6


def _where(mask: NDArray[np.bool_], limit: int = 5) -> str:
    idx = np.flatnonzero(mask)
    shown = ", ".join(str(int(i)) for i in idx[:limit])
    more = f", ... ({idx.size} in all)" if idx.size > limit else ""
    return f"index {shown}{more}" if idx.size == 1 else f"indices {shown}{more}"


def _refuse_overflow(fa: NDArray[np.float64], za: NDArray[np.complex128]) -> None:
    """Refuse finite values whose angular frequency or modulus overflows a double.

    The fit works with 2*pi*f and the weights with |Z|; past about 1.8e308
    those are infinite and every residual becomes NaN.
    """
    # the usual case, decided without a floating-point state change: every
    # value far below the range where 2*pi*f or |Z| could overflow
    if fa.max() < 1e307 and max(float(np.abs(za.real).max()), float(np.abs(za.imag).max())) < 1e307:
        return
    with np.errstate(over="ignore"):
        huge_f = ~np.isfinite(2 * np.pi * fa)
        huge_z = ~np.isfinite(np.abs(za))
    if huge_f.any():
        raise DataError(
            f"frequency {fa[huge_f][0]:g} Hz at {_where(huge_f)} is too large to compute with "
            "(2*pi*f overflows a double); check the column read as frequency and drop the point"
        )
    if huge_z.any():
        raise DataError(
            f"impedance {za[huge_z][0]:g} at {_where(huge_z)} is too large to compute with (|Z| "
            "overflows a double); check the columns read as impedance and drop the point"
        )


def looks_flipped(f: NDArray[np.float64], z: NDArray[np.complex128]) -> str | None:
    """Describe why the imaginary sign looks flipped, or return None.

    The test is deliberately conservative. A spectrum is suspected only when
    all three hold:

    1. at least 75 % of the points whose imaginary part is not negligible
       (more than 0.1 % of ``|Z|``) have a positive imaginary part;
    2. so do at least 75 % of such points in the lowest-frequency quarter,
       where electrode capacitances (double layer, diffusion) dominate and
       a real measurement is capacitive;
    3. the largest positive imaginary part does not lie in the
       highest-frequency quarter. Cable and cell inductance grows with
       frequency and peaks there, so a genuinely inductive measurement (a
       battery above a few kHz, a coil) fails this condition, while a flipped
       arc or capacitive tail peaks at middle or low frequency.

    Real low-frequency inductive loops (corrosion, batteries, fuel cells)
    sit beside capacitive arcs and fail condition 1.
    """
    z = np.asarray(z)
    f = np.asarray(f)
    # the usual capacitive spectrum is settled at once: too few inductive
    # points to reach the share, whatever counts as sign-carrying
    if np.count_nonzero(z.imag > 0) < _FLIP_MIN_POINTS:
        return None
    mag = np.abs(z)
    signed = np.abs(z.imag) > _SIGN_FLOOR * mag
    if np.count_nonzero(signed) < _FLIP_MIN_POINTS:
        return None
    share = float(np.mean(z.imag[signed] > 0))
    if share < _FLIP_SHARE:
        return None
    order = np.argsort(f, kind="stable")
    quarter = max(2, order.size // 4)
    low = order[:quarter]
    high = order[-quarter:]
    low_signed = low[signed[low]]
    if low_signed.size == 0:
        return None
    low_share = float(np.mean(z.imag[low_signed] > 0))
    if low_share < _FLIP_SHARE:
        return None
    peak = int(np.argmax(z.imag))
    if peak in set(high.tolist()):
        return None
    return (
        f"the imaginary part is positive (inductive) at {share:.0%} of the points and "
        f"{low_share:.0%} of the lowest-frequency quarter, peaking at "
        f"{f[peak]:.4g} Hz rather than at the highest frequencies; the sign looks "
        "flipped (many programs export -Z'')"
    )


def check_spectrum(
    f: ArrayLike | Any,
    z: ArrayLike | None = None,
    n_params: int | None = None,
    *,
    check_sign: bool = True,
) -> tuple[NDArray[np.float64], NDArray[np.complex128]]:
    """Check a spectrum before fitting and return it as clean arrays.

    Parameters
    ----------
    f : array_like
        Frequencies in Hz; or, with ``z`` left out, one spectrum by column
        name (a data frame such as ``Circuit.fit`` takes, a dict of columns,
        a :class:`~zetrion_tools.io.Spectrum`), its columns recognised as a
        delimited file's are (:func:`zetrion_tools.io.read_delimited`).
    z : array_like, optional
        Complex impedances in ohm (capacitive = negative imaginary part).
    n_params : int, optional
        Number of free parameters of the model to be fitted; at least as
        many points are required.
    check_sign : bool, optional
        Warn when the imaginary sign looks flipped (default ``True``; see
        Notes).

    Returns
    -------
    f : ndarray of float64
        A contiguous copy of the frequencies.
    z : ndarray of complex128
        A contiguous copy of the impedances.

    Raises
    ------
    DataError
        Values that are not numbers, arrays that are not 1-D or differ in
        length, no points, NaN or infinite values, frequencies that are not
        positive or that repeat, impedances of exactly zero, values so large
        that ``2*pi*f`` or ``|Z|`` overflows, fewer points than parameters.

    Warns
    -----
    DataWarning
        An imaginary part whose sign looks flipped.

    Notes
    -----
    The flipped-sign rule is conservative. Ignoring points whose imaginary
    part is below 0.1 % of ``|Z|`` (and staying silent with fewer than six
    others), it warns only when at least 75 % of all points and 75 % of the
    lowest-frequency quarter are inductive (positive imaginary part), and the
    largest positive imaginary part is not in the highest-frequency quarter,
    where cable and cell inductance would put it. Genuine inductive loops
    beside a capacitive arc, and spectra dominated by a series inductance,
    pass without a warning.
    """
    fa, za, notes = inspect_spectrum(f, z, n_params, check_sign=check_sign)
    for note in notes:
        warnings.warn(note, DataWarning, stacklevel=2)
    return fa, za


def _as_arrays(f: Any, z: Any) -> tuple[NDArray[np.float64], NDArray[np.complex128]]:
    """Copies of the spectrum as 1-D float64 and complex128 arrays of one length.

    With ``z`` None, ``f`` is one spectrum by column name (a data frame, a
    dict of columns, a Spectrum), read as a delimited file's columns are.
    """
    if z is None:
        from .io.frames import is_table, spectrum_arrays

        if not is_table(f):
            raise DataError(
                "no impedances: pass the frequencies and the impedances, or one data frame "
                "(or Spectrum) holding both"
            )
        try:
            f, z = spectrum_arrays(f)
        except ValueError as exc:
            raise DataError(str(exc)) from exc
    if np.iscomplexobj(f):
        raise DataError("frequencies are complex; pass the frequencies in Hz as real numbers")
    try:
        fa = np.array(f, dtype=np.float64, copy=True)
    except (TypeError, ValueError) as exc:
        raise DataError(
            f"frequencies must be real numbers ({exc}); pass a 1-D array of Hz values"
        ) from exc
    try:
        za = np.array(z, dtype=np.complex128, copy=True)
    except (TypeError, ValueError) as exc:
        raise DataError(
            f"impedances must be numbers ({exc}); pass a 1-D complex array, e.g. "
            "z_real + 1j * z_imag"
        ) from exc
    if fa.ndim != 1 or za.ndim != 1:
        raise DataError(
            f"frequencies and impedances must be 1-D, got shapes {fa.shape} and {za.shape}; "
            "flatten them or pass one spectrum at a time"
        )
    if fa.size != za.size:
        raise DataError(
            f"{fa.size} frequencies but {za.size} impedances; each frequency needs "
            "exactly one impedance"
        )
    return fa, za


def inspect_spectrum(
    f: ArrayLike | Any,
    z: ArrayLike | None = None,
    n_params: int | None = None,
    *,
    check_sign: bool = True,
) -> tuple[NDArray[np.float64], NDArray[np.complex128], list[str]]:
    """Like `check_spectrum`, but return the warnings' texts instead of
    issuing them.

    Batch code uses this: recording Python warnings per spectrum needs
    ``warnings.catch_warnings``, which is slow and not safe from several
    threads at once.
    """
    fa, za = _as_arrays(f, z)
    inductive = _engine.plain_spectrum(fa, za)
    if inductive is not None:
        # plainly sound (checked in one pass): only the caller's questions remain
        _check_count(fa.size, n_params)
        flipped = looks_flipped(fa, za) if check_sign and inductive >= _FLIP_MIN_POINTS else None
        return fa, za, _flip_notes(flipped)
    if fa.size == 0:
        raise DataError("the spectrum is empty")

    if not (np.isfinite(fa).all() and np.isfinite(za).all()):
        bad_f = ~np.isfinite(fa)
        bad_z = ~np.isfinite(za)
        parts = []
        if bad_f.any():
            parts.append(f"{np.count_nonzero(bad_f)} frequencies ({_where(bad_f)})")
        if bad_z.any():
            parts.append(f"{np.count_nonzero(bad_z)} impedances ({_where(bad_z)})")
        raise DataError(
            f"NaN or infinite values in {' and '.join(parts)}; drop those points, e.g. "
            "keep = np.isfinite(f) & np.isfinite(z); f, z = f[keep], z[keep]"
        )
    if not (fa > 0).all():
        nonpos = fa <= 0
        raise DataError(
            f"{np.count_nonzero(nonpos)} frequencies are zero or negative ({_where(nonpos)}, "
            f"first value {fa[nonpos][0]:g}); impedance is defined at positive frequencies: "
            "drop those rows (often a DC record before the sweep), e.g. keep = f > 0"
        )
    _refuse_overflow(fa, za)
    if not za.all():
        zero = za == 0
        first = f"{'the first ' if np.count_nonzero(zero) > 1 else ''}at {fa[zero][0]:g} Hz"
        raise DataError(
            f"impedance is exactly zero at {_where(zero)} ({first}); a short circuit "
            "or a missing value? Neither the learned guess (it works on log |Z|) nor a fit weighted by "
            "|Z| can use such a point: drop it, e.g. keep = z != 0; f, z = f[keep], z[keep]"
        )
    order = np.argsort(fa, kind="stable")
    same = fa[order[1:]] == fa[order[:-1]]
    if same.any():
        rep = np.zeros(fa.size, dtype=bool)
        rep[order[1:][same]] = True
        rep[order[:-1][same]] = True
        first = fa[order[1:][same][0]]
        raise DataError(
            f"{np.unique(fa[rep]).size} frequencies occur more than once "
            f"({_where(rep)}; e.g. {first:g} Hz); average the repeated measurements or keep "
            "one sweep (files with several cycles hold one sweep per cycle)"
        )
    _check_count(fa.size, n_params)
    flipped = looks_flipped(fa, za) if check_sign else None
    return np.ascontiguousarray(fa), np.ascontiguousarray(za), _flip_notes(flipped)


def _check_count(size: int, n_params: int | None) -> None:
    if n_params is None:
        return
    if isinstance(n_params, bool) or not isinstance(n_params, (int, np.integer)):
        raise TypeError(f"n_params must be an int, got {type(n_params).__name__}")
    if n_params < 0:
        raise ValueError(f"n_params must not be negative, got {n_params}")
    if size < n_params:
        raise DataError(
            f"{size} points for {n_params} parameters; the fit is underdetermined: "
            "measure more frequencies, fix some parameters or choose a smaller circuit"
        )


def _flip_notes(verdict: str | None) -> list[str]:
    if verdict is None:
        return []
    return [
        f"{verdict}. If so, use z.conjugate() (or read the file with "
        "negative_imag=True); if the inductive response is real, pass "
        "check_sign=False"
    ]

