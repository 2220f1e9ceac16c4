"""The real instrument exports copied into the test data, for the tools' tests."""

from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / "data" / "instrument-files"

# every export that holds a full spectrum (not the one that lacks a column)
INSTRUMENT_FILES = sorted(
    p.name
    for p in DATA.iterdir()
    if p.suffix.lower() in (".dta", ".mpt", ".txt", ".par", ".z")
    and not p.name.startswith("LICENSE")
    and "Missing" not in p.name
)
