"""Dispatch for the binary instrument files: BioLogic ``.mpr`` and Zahner ``.ism``.

A binary file is recognised by its first bytes (the ``.mpr`` banner, the
``.ism`` version word) or, for a file that is not text, by its extension.
Every reader takes the file's bytes and its path; whatever goes wrong in
one on a damaged file ends in a :class:`ReadError` naming the file.
"""

from __future__ import annotations

import struct
from collections.abc import Callable
from pathlib import Path

from .ism import ISM_MAGIC, read_ism
from .mpr import MPR_MAGIC, read_mpr
from .spectrum import ReadError, Spectrum

__all__ = ["BINARY_READERS", "binary_format", "read_binary"]

BinaryReader = Callable[[bytes, Path], list[Spectrum]]

#: format name -> reader of the file's bytes
BINARY_READERS: dict[str, BinaryReader] = {
    "biologic-mpr": read_mpr,
    "zahner-ism": read_ism,
}

_BY_SUFFIX = {".mpr": "biologic-mpr", ".ism": "zahner-ism"}


def binary_format(raw: bytes, suffix: str = "") -> str | None:
    """The binary format of a file's bytes, or None for anything else."""
    if raw.startswith(MPR_MAGIC):
        return "biologic-mpr"
    if raw.startswith(ISM_MAGIC):
        return "zahner-ism"
    hint = _BY_SUFFIX.get(suffix.lower())
    if hint is not None and b"\x00" in raw[:4096]:
        return hint
    return None


def read_binary(fmt: str, raw: bytes, path: Path) -> list[Spectrum]:
    """Read ``raw`` with the reader of ``fmt``; damage surfaces as ReadError only."""
    try:
        return BINARY_READERS[fmt](raw, path)
    except ReadError:
        raise
    except (IndexError, KeyError, ValueError, OverflowError, struct.error, MemoryError) as exc:
        raise ReadError(f"{path.name}: not a readable {fmt} file ({exc})") from exc
