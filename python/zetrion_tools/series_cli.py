"""``zetrion series FILES``: one circuit along a series of spectra, one row per spectrum."""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import tempfile
from pathlib import Path
from typing import Any

__all__ = ["add_series_parser", "run_series"]

EPILOG = """\
examples:
  zetrion series cycles/*.mpt --circuit "R0-(R1,CPE1)-(R2,CPE2)" --along cycle
  zetrion series bias/ --circuit "R0-(R1,C1)" --along name --plots figs/ --out bias.csv
  zetrion series T*.DTA --circuit "R0-(R1,CPE1)" --along temperature --values 25,40,60,80 \\
      --shared CPE1.alpha --out fit.json

The spectra are fitted in series order, each from the optimum of the one
before. --along names the series variable: "index" (the order of the files
and of the sweeps within them, the default), "name" (the first number in each
file's name, e.g. 050_mvdc.ism -> 50), or a metadata key of the reader
("cycle"); --values gives the values instead, one per spectrum. The spectra
are sorted by it. --shared fits the listed parameters as one value across the
whole series. The table goes to --out (.json for JSON, else CSV; default
standard output): one row per spectrum with every parameter, its standard
error, chi-square and success.

exit status: 0 ran, 1 some spectrum failed and --strict was given, 2 usage error.
"""


class SeriesUsageError(Exception):
    """A problem with the command line itself (exit status 2)."""


def add_series_parser(sub: Any) -> None:
    """Adds the ``series`` subcommand to the command line's subparsers."""
    p = sub.add_parser(
        "series",
        help="fit a circuit along a series of spectra (time, cycle, temperature, bias)",
        description="Fit one circuit to a series of spectra, each from the optimum of the one before.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("files", nargs="+", metavar="FILE", help="files, directories or glob patterns")
    p.add_argument("--circuit", "-c", required=True, help='circuit notation or preset, e.g. "R0-(R1,CPE1)"')
    p.add_argument("--along", "-a", default="index", help="series variable: index, name or a metadata key")
    p.add_argument("--values", metavar="V1,V2,...", help="the series variable's values, one per spectrum")
    p.add_argument("--shared", metavar="P1,P2", help="parameters shared across the series, e.g. CPE1.alpha")
    p.add_argument("--fixed", action="append", default=[], metavar="NAME=VALUE", help="hold a parameter (repeatable)")
    p.add_argument("--bounds", action="append", default=[], metavar="NAME=LO:HI", help="narrow a range (repeatable)")
    p.add_argument("--weight", default="modulus", choices=("modulus", "unit"), help="residual weighting")
    p.add_argument("--method", "-m", default="levenberg_marquardt", help="fit method of each spectrum")
    p.add_argument("--no-fallback", action="store_true", help="never refit a lost warm start from scratch")
    p.add_argument("--out", "-o", default="-", metavar="FILE", help="table file, .json or CSV (default: stdout)")
    p.add_argument("--plots", metavar="DIR", help="write the trajectory figure series.png there")
    p.add_argument("--strict", action="store_true", help="exit with status 1 when any spectrum failed")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar on stderr")


def _pairs(items: list[str], what: str, sep: str) -> dict[str, str]:
    out: dict[str, str] = {}
    for item in items:
        name, eq, value = item.partition(sep)
        if not eq or not name.strip():
            raise SeriesUsageError(f"{what} {item!r}: expected NAME{sep}...")
        out[name.strip()] = value
    return out


def _number(text: str, what: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise SeriesUsageError(f"{what}: {text!r} is not a number") from None


def _settings(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of fit_series the options ask for."""
    fixed = {n: _number(v, f"--fixed {n}") for n, v in _pairs(args.fixed, "--fixed", "=").items()}
    bounds: dict[str, tuple[float, float]] = {}
    for n, v in _pairs(args.bounds, "--bounds", "=").items():
        lo, colon, hi = v.partition(":")
        if not colon:
            raise SeriesUsageError(f"--bounds {n}={v}: expected NAME=LO:HI")
        bounds[n] = (_number(lo or "-inf", f"--bounds {n}"), _number(hi or "inf", f"--bounds {n}"))
    shared = [s.strip() for s in args.shared.split(",") if s.strip()] if args.shared else None
    return {"fixed": fixed or None, "bounds": bounds or None, "shared": shared, "weight": args.weight,
            "method": args.method, "fallback": not args.no_fallback}


def _name_number(path: str) -> float:
    found = re.search(r"[-+]?\d+(?:\.\d+)?", Path(path).name)
    return float(found.group()) if found else math.nan


def _read(paths: list[Path]) -> tuple[list[Any], list[tuple[str, str]]]:
    """Every sweep of every file, and the files that could not be read."""
    from .io import read_all

    spectra: list[Any] = []
    failed: list[tuple[str, str]] = []
    for path in paths:
        try:
            spectra.extend(read_all(path))
        except (OSError, ValueError) as exc:  # ReadError is a ValueError
            failed.append((str(path), str(exc) or type(exc).__name__))
    return spectra, failed


def _along(args: argparse.Namespace, spectra: list[Any]) -> tuple[str, list[Any]]:
    if args.values is not None:
        values = [_number(v, "--values") for v in args.values.split(",") if v.strip()]
        if len(values) != len(spectra):
            raise SeriesUsageError(f"--values gives {len(values)} values for {len(spectra)} spectra")
        return (args.along if args.along not in ("index", "name") else "along"), values
    if args.along == "index":
        return "index", list(range(len(spectra)))
    if args.along == "name":
        return "name", [_name_number(str(s.path)) for s in spectra]
    missing = [str(s.path) for s in spectra if args.along not in s.metadata]
    if missing:
        raise SeriesUsageError(f"--along {args.along}: not in the metadata of {missing[0]} (give --values)")
    return args.along, [s.metadata[args.along] for s in spectra]


def _sorted(spectra: list[Any], values: list[Any]) -> tuple[list[Any], list[Any]]:
    def key(i: int) -> tuple[int, Any]:
        v = values[i]
        return (0, v) if isinstance(v, (int, float)) and not math.isnan(v) else (1, i)

    try:
        order = sorted(range(len(values)), key=key)
    except TypeError:  # values of mixed kinds keep the file order
        order = list(range(len(values)))
    return [spectra[i] for i in order], [values[i] for i in order]


def _write(table: Any, target: str, info: dict[str, Any]) -> None:
    if target.lower().endswith(".json"):
        text = json.dumps({**info, "rows": json.loads(table.to_json(orient="records"))}, indent=1)
    else:
        text = table.to_csv(index=False)
    if target == "-":
        sys.stdout.write(text)
        return
    final = Path(target)
    final.parent.mkdir(parents=True, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=final.parent, prefix=f".{final.name}.", suffix=".partial")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as fh:
            fh.write(text)
        os.replace(temp, final)
    finally:
        Path(temp).unlink(missing_ok=True)


def _plot(result: Any, folder: str) -> None:
    Path(folder).mkdir(parents=True, exist_ok=True)
    fig = result.plot()
    fig.savefig(Path(folder) / "series.png", dpi=110)
    import matplotlib.pyplot as plt

    plt.close(fig)


def run_series(args: argparse.Namespace) -> int:
    """Runs ``zetrion series``; returns the exit status."""
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    import zetrion

    from .cli import expand_inputs
    from .fitting import FitSetupError
    from .series import fit_series

    try:
        try:
            circuit = zetrion.Circuit(args.circuit)
        except ValueError as exc:
            raise SeriesUsageError(f"--circuit {args.circuit!r}:\n{exc}") from exc
        settings = _settings(args)
        paths = expand_inputs(args.files)
        spectra, failed = _read(paths)
        if not spectra:
            raise SeriesUsageError("no spectrum could be read" if paths else "no input files found")
        name, values = _along(args, spectra)
        spectra, values = _sorted(spectra, values)
        try:
            result = fit_series(circuit, spectra, {name: values}, progress=False if args.quiet else None, **settings)
        except (FitSetupError, TypeError) as exc:
            raise SeriesUsageError(str(exc)) from exc
    except SeriesUsageError as exc:
        print(f"zetrion series: error: {exc}", file=sys.stderr)
        return 2
    table = result.table
    if failed:
        rows = pd.DataFrame([{"label": p, "success": False, "message": m} for p, m in failed])
        table = pd.concat([table, rows.reindex(columns=table.columns)], ignore_index=True)
    info = {"circuit": args.circuit, "along": name, "shared": list(result.shared), "global_fit": result.global_fit}
    _write(table, args.out, info)
    if args.plots:
        _plot(result, args.plots)
    bad = int((~table["success"].astype(bool)).sum())
    return 1 if args.strict and bad else 0
