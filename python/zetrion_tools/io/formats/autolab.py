"""Metrohm Autolab: the Z60W text export of its FRA software, or NOVA's column export."""

from __future__ import annotations

from pathlib import Path

from ..spectrum import Spectrum
from ..text import Source
from .delimited import read_delimited_lines
from .zview import is_legacy, read_legacy_zview

__all__ = ["read_autolab"]


def read_autolab(src: Source, path: Path) -> list[Spectrum]:
    first = next((line for line in src.lines if line.strip()), "")
    if is_legacy(first):
        return read_legacy_zview(src, path, "autolab")
    # NOVA column export: named columns, handled by the delimited reader
    return [
        Spectrum(s.frequencies, s.impedance, s.metadata, "autolab", path)
        for s in read_delimited_lines(src, path, negative_imag=None)
    ]
