"""One module per instrument format, and the table that dispatches to them.

Every reader takes the file's lines (:class:`..text.Source`) and its path
and returns the spectra the file holds, one per sweep or cycle, in file
order.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from pathlib import Path

from ..spectrum import ReadError, Spectrum
from ..text import Source, split_lines
from .autolab import read_autolab
from .biologic import read_biologic
from .chinstruments import read_chinstruments
from .delimited import find_header, read_delimited_lines
from .gamry import read_gamry
from .parstat import read_parstat
from .powersuite import read_powersuite
from .relaxis import is_relaxis, read_relaxis
from .versastudio import read_versastudio
from .zplot import read_zplot

__all__ = ["FORMATS", "READERS", "detect_format"]

Reader = Callable[[Source, Path], list[Spectrum]]

#: format name -> reader; the instrument names are the ones impedance.py's
#: ``readFile`` uses, so scripts can switch over
READERS: dict[str, Reader] = {
    "gamry": read_gamry,
    "biologic": read_biologic,
    "autolab": read_autolab,
    "chinstruments": read_chinstruments,
    "parstat": read_parstat,
    "powersuite": read_powersuite,
    "versastudio": read_versastudio,
    "zplot": read_zplot,
    "relaxis": read_relaxis,
    "delimited": lambda src, path: read_delimited_lines(src, path, negative_imag=None),
}

#: Format names accepted by ``read(..., format=...)``.
FORMATS = tuple(READERS)

_SUFFIX_HINTS = {".dta": "gamry", ".mpt": "biologic", ".z": "zplot", ".par": "versastudio"}
_GAMRY_TABLE = re.compile(r"^ZCURVE\tTABLE", re.M)
_CHI_HEADER = re.compile(r"^Freq/Hz,[ \t]*Z'/ohm", re.M)


def _by_signature(head: str, first: str) -> str | None:
    """The format a file's first line or fixed markers name, if any."""
    if first.startswith("EXPLAIN") or _GAMRY_TABLE.search(head):
        return "gamry"
    names = [c.strip() for c in first.split("\t")]
    # EC-Lab writes tab-separated columns, with or without its header block;
    # the same column names in a comma- or semicolon-separated file (a
    # script's or a spreadsheet's re-export) are delimited text
    if first.startswith("EC-Lab ASCII FILE") or {"freq/Hz", "Re(Z)/Ohm"} <= set(names):
        return "biologic"
    if first.startswith(("ZPLOT2 ASCII", "ZPlotW Data File")):
        return "zplot"
    if is_relaxis(first):
        return "relaxis"
    if first.startswith("Z60W Data File"):
        return "autolab"
    if "<Application>" in head and ("VersaStudio" in head or "<Segment" in head):
        return "versastudio"
    if _CHI_HEADER.search(head) and ("A.C. Impedance" in head or "Instrument Model" in head):
        return "chinstruments"
    if {"Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"} <= set(names):
        return "parstat"
    if names[:3] == ["Frequency", "Zre", "Zimg"]:
        return "powersuite"
    return None


def detect_format(text: str, suffix: str = "") -> str:
    """Name the format of a file's text (one of :data:`FORMATS`).

    Parameters
    ----------
    text : str
        The file's content (the first few kilobytes suffice).
    suffix : str, optional
        The file's extension, used when the content alone does not decide.

    Returns
    -------
    str

    Raises
    ------
    ReadError
        Nothing recognisable.
    """
    head = text[:20000]
    lines = split_lines(head).lines
    first = lines[0].strip().strip('"') if lines else ""
    fmt = _by_signature(head, first)
    if fmt is not None:
        return fmt
    hint = _SUFFIX_HINTS.get(suffix.lower())
    header = find_header(lines)
    if hint == "biologic" and header is not None and "\t" not in first:
        # an .mpt name on a file that is not tab-separated: EC-Lab never
        # writes one, so trust the delimited header over the extension
        return "delimited"
    if hint is not None:
        return hint
    if header is not None:
        return "delimited"
    raise ReadError(
        "unrecognised file: not a Gamry, BioLogic, Autolab, CH Instruments, Parstat, "
        "PowerSuite, VersaStudio, ZPlot or RelaxIS export, and no header line naming a "
        "frequency and impedance columns (e.g. 'freq,Re(Z),Im(Z)') was found; "
        "add such a header, or force a format with read(..., format=...) "
        "(--format on the command line)"
    )
