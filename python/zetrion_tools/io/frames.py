"""Spectra held in memory by column name: data frames, dicts of columns.

The column names are recognised exactly as in a delimited file (see
:func:`zetrion_tools.io.read_delimited`): the names ``zetrion.Circuit.fit``
takes from a data frame (``"Frequency / Hz"``, ``"real_impedance_ohm"``,
``"Phase / deg"`` ...), their snake-case and unit-suffixed variants and the
usual instrument headers, with units converted. So a table reads the same
whether it comes from a file, a data frame, or a dict, in every function of
the package that takes one.
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .formats.delimited import assign_roles, columns_to_spectrum
from .spectrum import ReadError

__all__ = ["arrays_or_problem", "columns_by_name", "is_table", "reader_note", "spectrum_arrays"]

_WHERE = Path("data frame")


def is_table(data: Any) -> bool:
    """Whether ``data`` is a spectrum by column name (a data frame or a mapping) or a Spectrum."""
    if hasattr(data, "frequencies") and hasattr(data, "impedance"):
        return True
    return isinstance(data, Mapping) or (hasattr(data, "columns") and hasattr(data, "__getitem__"))


def _column(data: Any, name: Any) -> NDArray[np.float64]:
    try:
        values = np.asarray(data[name], dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ReadError(f"{_WHERE}: column {name!r} is not numeric ({exc})") from exc
    if values.ndim != 1:
        raise ReadError(f"{_WHERE}: column {name!r} is not one-dimensional")
    return values


def spectrum_arrays(
    data: Any, *, negative_imag: bool | None = None
) -> tuple[NDArray[np.float64], NDArray[np.complex128]]:
    """Frequencies (Hz) and impedances (ohm) of a spectrum held by column name.

    Parameters
    ----------
    data : pandas.DataFrame, mapping of name to column, or Spectrum
        One spectrum: a frequency column and either real and imaginary or
        modulus and phase columns, named as in a delimited file (for example
        ``"Frequency / Hz"``, ``"Real Impedance / ohm"``, ``"Imaginary
        Impedance / ohm"``; ``frequency_hertz``, ``real_impedance_ohm``;
        ``freq/Hz``, ``Re(Z)/Ohm``, ``-Im(Z)/Ohm``; ``Zreal``, ``Zimag``). A
        :class:`Spectrum` gives its own arrays.
    negative_imag : bool, optional
        ``True`` if the imaginary (or phase) column holds -Z''; by default
        a column named with a leading minus (``-Z''``) is taken as negated.

    Returns
    -------
    (ndarray of float64, ndarray of complex128)

    Raises
    ------
    ReadError
        No such columns (the message lists the names found), a column that
        is not numeric, columns of unequal length, or a unit that is not
        understood.
    """
    if hasattr(data, "frequencies") and hasattr(data, "impedance"):
        return (
            np.asarray(data.frequencies, dtype=np.float64),
            np.asarray(data.impedance, dtype=np.complex128),
        )
    names = list(data.columns if hasattr(data, "columns") else data.keys())
    assigned = assign_roles([str(n) for n in names])
    if assigned is None:
        shown = ", ".join(repr(str(n)) for n in names[:20])
        raise ReadError(
            f"{_WHERE}: no frequency column and real and imaginary (or modulus and phase) "
            f"columns among {shown}; name them like 'Frequency / Hz', 'Real Impedance / ohm', "
            "'Imaginary Impedance / ohm' (or frequency_hertz, real_impedance_ohm, imaginary_impedance_ohm)"
        )
    roles, idx = assigned
    f, a, b = (_column(data, names[i]) for i in idx)
    if not f.size == a.size == b.size:
        raise ReadError(f"{_WHERE}: columns of unequal length ({f.size}, {a.size}, {b.size})")
    f, z, stated_negative, _ = columns_to_spectrum(roles, [str(n) for n in names], f, a, b, _WHERE)
    if stated_negative if negative_imag is None else bool(negative_imag):
        z = np.conj(z)
    return f, z


def arrays_or_problem(data: Any) -> tuple[Any, Any, str | None]:
    """``(f, z, None)`` from :func:`spectrum_arrays`, or ``(None, None, why)`` when it cannot read ``data``."""
    try:
        f, z = spectrum_arrays(data)
    except ValueError as exc:
        return None, None, str(exc)
    return f, z, None


def reader_note(spectrum: Any) -> str:
    """What the reader said of a spectrum (its ``metadata["warnings"]``), as one text."""
    metadata = getattr(spectrum, "metadata", None)
    said = metadata.get("warnings") if isinstance(metadata, Mapping) else None
    return "; ".join(str(t) for t in said) if isinstance(said, (list, tuple)) else ""


def columns_by_name(frame: Any, skip: Any) -> tuple[Any, Any] | None:
    """:func:`spectrum_arrays` of a frame's columns other than ``skip`` (an id
    column); None when they name no frequency and impedance columns."""
    rest = frame.drop(columns=[skip])
    if rest.empty or assign_roles([str(n) for n in rest.columns]) is None:
        return None
    return spectrum_arrays(rest)
