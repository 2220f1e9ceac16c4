"""The spectrum a reader returns, and the reader's error and warning types."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

__all__ = ["ReadError", "ReadWarning", "Spectrum", "to_frame"]


class ReadError(ValueError):
    """A file could not be read as an impedance spectrum."""


class ReadWarning(UserWarning):
    """A file was read, but not all of it or not without doubt."""


class SweepsWarning(ReadWarning):
    """The file holds several sweeps and only the first was returned (see ``read_all``)."""


@dataclass(frozen=True, eq=False)
class Spectrum:
    """One impedance spectrum read from a file.

    Attributes
    ----------
    frequencies : ndarray of float64
        Frequencies in Hz, in file order.
    impedance : ndarray of complex128
        Impedances in ohm; a capacitive response has a negative imaginary part
        whatever convention the file used.
    metadata : dict
        What the file says about the measurement. Keys used where the file
        has them: ``date``, ``time``, ``instrument``, ``serial``, ``software``,
        ``technique``, ``area_cm2``, ``columns``, ``points_expected``,
        ``aborted``, ``notes``, ``cycle`` (the cycle or sweep number of a file
        that holds several), ``warnings`` (the texts of the warnings the
        reader issued: an aborted sweep, a truncated file, ...); plus
        ``header`` (raw key/value pairs).
    format : str
        The format the file was read as (one of ``FORMATS``).
    path : pathlib.Path or None
        Where it was read from.
    """

    frequencies: NDArray[np.float64]
    impedance: NDArray[np.complex128]
    metadata: dict[str, Any] = field(default_factory=dict)
    format: str = "unknown"
    path: Path | None = None

    def __post_init__(self) -> None:
        f = np.asarray(self.frequencies, dtype=np.float64)
        z = np.asarray(self.impedance, dtype=np.complex128)
        if f.ndim != 1 or z.ndim != 1 or f.shape != z.shape:
            raise ValueError(
                f"frequencies and impedance must be 1-D of equal length, got shapes "
                f"{f.shape} and {z.shape}"
            )
        object.__setattr__(self, "frequencies", f)
        object.__setattr__(self, "impedance", z)

    def __len__(self) -> int:
        return int(self.frequencies.size)

    def __repr__(self) -> str:
        where = f", path={str(self.path)!r}" if self.path is not None else ""
        if len(self):
            span = f"{self.frequencies.min():.4g}..{self.frequencies.max():.4g} Hz"
        else:
            span = "empty"
        return f"Spectrum(format={self.format!r}, points={len(self)}, {span}{where})"

    def to_frame(self) -> pd.DataFrame:
        """Return the spectrum as a pandas DataFrame, see :func:`to_frame`."""
        return to_frame(self)


def to_frame(spectrum: Spectrum) -> pd.DataFrame:
    """Tabulate a spectrum.

    Parameters
    ----------
    spectrum : Spectrum

    Returns
    -------
    pandas.DataFrame
        Columns ``frequency_Hz``, ``z_real_ohm``, ``z_imag_ohm``,
        ``z_modulus_ohm`` and ``phase_deg`` (capacitive = negative), one row
        per point; ``attrs`` holds the format, path and metadata.
    """
    import pandas as pd

    z = spectrum.impedance
    frame = pd.DataFrame(
        {
            "frequency_Hz": spectrum.frequencies,
            "z_real_ohm": z.real,
            "z_imag_ohm": z.imag,
            "z_modulus_ohm": np.abs(z),
            "phase_deg": np.degrees(np.angle(z)),
        }
    )
    frame.attrs["format"] = spectrum.format
    frame.attrs["path"] = None if spectrum.path is None else str(spectrum.path)
    frame.attrs["metadata"] = dict(spectrum.metadata)
    return frame
