"""Readers for impedance spectra exported by instrument software.

``read(path)`` recognises a file by its content (the extension is only a
hint) and returns a :class:`Spectrum`: frequencies in Hz, complex impedances
in ohm with the capacitive sign (negative imaginary part), and the metadata the
file carries (date, instrument, electrode area, ...). ``read_all(path)``
returns every sweep of a file that holds several (the cycles of an EC-Lab
loop, the segments of a VersaStudio file).

Supported native exports: Gamry Framework ``.DTA``, BioLogic EC-Lab ``.mpt``,
Metrohm Autolab (the Z60W/ZView text export and the NOVA column export), CH
Instruments text, Ametek Parstat text, Princeton Applied Research PowerSuite
text, Ametek VersaStudio ``.par``, Scribner ZPlot/ZView ``.z`` and the RelaxIS
text export; and the binary files BioLogic EC-Lab ``.mpr`` and Zahner
``.ism``, recognised by their first bytes. Anything
else with recognisable column names (frequency; real and imaginary parts or
modulus and phase; units in the header) is read as delimited text, see
:func:`read_delimited`.

Instrument files are untrusted input: only regular files of at most
:data:`MAX_BYTES` are read, every reader is linear in the size of the file,
and everything that is not understood ends in a :class:`ReadError` (a
``ValueError``) naming the file, the line and what to do. A file whose
measurement stops early (an aborted sweep, a file cut off while it was
written) is read up to its last complete point, with a :class:`ReadWarning`.

The package keeps one module per format under ``formats/`` with the
dispatch table in ``formats/__init__.py``; ``text.py`` holds the helpers they
share.
"""

from __future__ import annotations

from pathlib import Path

from .binary import BINARY_READERS, binary_format, read_binary
from .formats import FORMATS as TEXT_FORMATS
from .formats import READERS, detect_format
from .formats.delimited import read_delimited_lines
from .spectrum import ReadError, ReadWarning, Spectrum, SweepsWarning, to_frame
from .text import MAX_BYTES, decode, read_limited, recording_warnings, split_lines, warn

#: Format names accepted by ``read(..., format=...)``: the text formats, then
#: the binary ones.
FORMATS = TEXT_FORMATS + tuple(BINARY_READERS)

__all__ = [
    "FORMATS",
    "MAX_BYTES",
    "ReadError",
    "ReadWarning",
    "SweepsWarning",
    "Spectrum",
    "detect_format",
    "read",
    "read_all",
    "read_delimited",
    "to_frame",
]


def read_all(
    path: str | Path,
    format: str | None = None,
    *,
    negative_imag: bool | None = None,
    encoding: str | None = None,
) -> list[Spectrum]:
    """Read every sweep of an impedance file, one :class:`Spectrum` each.

    A file holding several sweeps (an EC-Lab ``.mpt`` or ``.mpr`` of several cycles, a
    VersaStudio ``.par`` of several impedance segments) gives one spectrum
    per sweep, in file order, each with its number in
    ``metadata["cycle"]``; any other file gives a list of one.

    Parameters and errors are those of :func:`read`.

    Returns
    -------
    list of Spectrum
    """
    p = Path(path)
    fmt = format.lower() if format is not None else None
    if fmt is not None and fmt not in FORMATS:
        raise ReadError(f"unknown format {format!r}; choose one of {', '.join(FORMATS)}")
    with recording_warnings() as said:
        spectra = _read_file(p, fmt, negative_imag, encoding)
    for s in spectra:
        if said:
            s.metadata["warnings"] = list(said)
    return spectra


def _read_file(p: Path, fmt: str | None, negative_imag: bool | None, encoding: str | None) -> list[Spectrum]:
    raw = read_limited(p, MAX_BYTES, ReadError)
    if fmt is None:
        fmt = binary_format(raw, p.suffix)
    if fmt in BINARY_READERS:
        _sign_given(fmt, negative_imag, p)
        return read_binary(fmt, raw, p)
    text = decode(raw, p.name, encoding)
    del raw
    if fmt is None:
        fmt = detect_format(text, p.suffix)
    _sign_given(fmt, negative_imag, p)
    src = split_lines(text)
    del text  # the lines are all the readers need
    try:
        if fmt == "delimited":
            return read_delimited_lines(src, p, negative_imag=negative_imag)
        return READERS[fmt](src, p)
    except ReadError:
        raise
    except (IndexError, KeyError, ValueError, OverflowError) as exc:
        # the readers raise ReadError themselves; this keeps any case they
        # miss on untrusted input a clear error naming the file
        raise ReadError(f"{p.name}: not a readable {fmt} file ({exc})") from exc


def _sign_given(fmt: str, negative_imag: bool | None, p: Path) -> None:
    if fmt != "delimited" and negative_imag is not None:
        raise ReadError(
            f"{p.name}: the {fmt} format states its own sign convention; "
            "negative_imag applies to delimited text only"
        )


def read(
    path: str | Path,
    format: str | None = None,
    *,
    negative_imag: bool | None = None,
    encoding: str | None = None,
) -> Spectrum:
    """Read an impedance spectrum from an instrument export or delimited text.

    Parameters
    ----------
    path : str or pathlib.Path
        The file.
    format : str, optional
        Force a format (one of :data:`FORMATS`) instead of recognising it.
    negative_imag : bool, optional
        Delimited text only: ``True`` if the imaginary (or phase) column holds
        -Z'' (as many programs export it), ``False`` if it holds Z''. Left out,
        a column named with a leading minus (``-Z''``, ``-Im(Z)``, ``-Phase``)
        is taken as negated and any other as Z''. The native formats state
        their convention, so passing it for them is an error.
    encoding : str, optional
        Text encoding; by default a byte-order mark decides (UTF-8, UTF-16,
        UTF-32), then UTF-8, falling back to Latin-1, which the older Windows
        programs write. Binary files (``.mpr``, ``.ism``) ignore it.

    Returns
    -------
    Spectrum
        The file's first sweep; see :func:`read_all` for files holding
        several.

    Raises
    ------
    ReadError
        Unrecognised format (``format=`` forces one; ``--format`` on the
        command line), a missing column, a cell that is not a number,
        a binary file of another kind, a damaged ``.mpr`` or ``.ism``, no
        data; a path that is not a regular file (a device or FIFO) or a file
        larger than :data:`MAX_BYTES`.
    OSError
        The file cannot be opened.

    Warns
    -----
    ReadWarning
        The measurement ended early (aborted sweep, truncated file) and only
        the measured part was read; the file holds several sweeps and only
        the first was returned; or delimited text whose imaginary sign looks
        flipped. The texts of these warnings are also kept in the spectrum's
        ``metadata["warnings"]``, so that they travel with it (``fit_many``
        puts them in its ``message`` column).
    """
    spectra = read_all(path, format, negative_imag=negative_imag, encoding=encoding)
    first = spectra[0]
    if len(spectra) > 1:
        which = f"cycle {first.metadata['cycle']}" if "cycle" in first.metadata else "the first"
        said = (
            f"{Path(path).name}: the file holds {len(spectra)} sweeps; read {which} "
            f"({len(first)} points) only; read_all() returns every sweep"
        )
        first.metadata.setdefault("warnings", []).append(said)
        warn(said, SweepsWarning)
    return first


def read_delimited(
    path: str | Path,
    *,
    negative_imag: bool | None = None,
    encoding: str | None = None,
) -> Spectrum:
    """Read delimited text (CSV, TSV, semicolon or whitespace separated).

    The first line that names a frequency column and impedance columns is the
    header (a leading ``#`` is allowed, as NumPy's ``savetxt`` writes it);
    the rows below it are the data. Recognised names, case, spacing and
    underscores ignored, with the unit after a ``/``, in brackets or as a
    last word (``frequency_hertz``, ``real_impedance_ohm``):

    - frequency: ``f``, ``freq``, ``frequency`` (Hz, mHz, kHz, MHz) or
      ``omega``/``w`` (rad/s);
    - real part: ``Z'``, ``Re(Z)``, ``Zre``, ``Zreal``, ``Z_real``, ``real``,
      ``Real Impedance``;
    - imaginary part: ``Z''``, ``Z"``, ``Im(Z)``, ``Zim``, ``Zimag``,
      ``Zimg``, ``imag``, ``Imaginary Impedance``, optionally with a
      leading minus;
    - or modulus ``|Z|``, ``Zmod``, ``modulus``, ``Absolute Impedance`` and
      phase ``phase``, ``Zphz``, ``phi`` (deg or rad).

    Impedance units ohm, mohm, kohm and Mohm (or with Ω) are converted to
    ohm; an area-specific unit (ohm cm²) is kept and recorded in
    ``metadata["impedance_unit"]``. A decimal comma is accepted when the
    separator is not a comma.

    Parameters
    ----------
    path : str or pathlib.Path
    negative_imag : bool, optional
        ``True`` if the imaginary (or phase) column holds -Z''; see
        :func:`read`.
    encoding : str, optional

    Returns
    -------
    Spectrum
        With ``format == "delimited"``.
    """
    return read(path, "delimited", negative_imag=negative_imag, encoding=encoding)
