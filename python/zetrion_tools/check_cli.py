"""The Kramers-Kronig part of ``zetrion check``: its options, its row of the table, the files it skips."""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["EPILOG", "SKIPPED", "add_check_options", "check_options", "is_side_file", "kk_columns"]

EPILOG = """\
examples:
  zetrion check cell.DTA
  zetrion check data/ --strict --out checks.csv
  zetrion check cell.DTA --representation impedance --add-cap on
  zetrion check cell.DTA --mode impedance.py       (impedance.py's linKK)

For each file: the data checks (NaN, non-positive or repeated frequencies,
a flipped imaginary sign) and the linear Kramers-Kronig test. By default the
test fits the impedance and the admittance, with and without the series
capacitance and inductance, and chooses the number of RC elements M where
the fit stops improving; see the documentation of zetrion_tools.linkk.
Verdicts: ok (every relative residual within --max-residual); warning (a
data warning, or a few points that stand out while the rest is valid: see
the message); kk-fail (the spectrum is not Kramers-Kronig consistent: the
message says where and what to do); error (file unreadable or data
unusable); skipped (a licence, read-me or notes file beside the data).

exit status: 0 ran, 1 some file had kk-fail or error and --strict was given,
2 usage error.
"""

# Verdict of a file that is not a spectrum but travels with them.
SKIPPED = "skipped"

# Names of the files that accompany data sets: licences, read-mes, notes.
_SIDE_STEMS = ("license", "licence", "copying", "readme", "sources", "notice", "changelog", "authors")
_SIDE_SUFFIXES = frozenset({".md", ".rst", ".html", ".pdf", ".json", ".yaml", ".yml"})

_SWITCH = {"auto": "auto", "on": True, "off": False}


def is_side_file(path: Path) -> bool:
    """Whether a file is a licence, a read-me or a notes file rather than data."""
    name = path.name.lower()
    return path.suffix.lower() in _SIDE_SUFFIXES or name.startswith(_SIDE_STEMS)


def add_check_options(p: argparse.ArgumentParser) -> None:
    """The Kramers-Kronig options of ``zetrion check``."""
    p.add_argument(
        "--max-residual", type=float, default=0.015,
        help="largest relative residual taken as valid (default 0.015, i.e. 1.5 %%)",
    )
    p.add_argument(
        "--representation", default="auto", choices=("auto", "impedance", "admittance"),
        help="test the impedance, the admittance, or both keeping the better (default auto)",
    )
    p.add_argument("--add-cap", default="auto", choices=("auto", "on", "off"),
                   help="capacitance in the test circuit (default auto: as the data need it)")
    p.add_argument("--add-inductance", default="auto", choices=("auto", "on", "off"),
                   help="inductance in the test circuit (default auto)")
    p.add_argument("--rule", default="auto", choices=("auto", "mu"),
                   help="choice of M: where the fit stops improving (auto), or the smallest M with mu <= c")
    p.add_argument("--c", type=float, default=0.85, help="mu threshold of --rule mu (default 0.85)")
    p.add_argument("--max-M", type=int, default=50, help="largest number of RC elements (default 50)")
    p.add_argument("--fit-type", default="complex", choices=("complex", "real", "imag"),
                   help="parts of the data fitted (default complex)")
    p.add_argument("--mode", default="auto", choices=("auto", "impedance.py"),
                   help="impedance.py: reproduce impedance.py's linKK (impedance, mu rule, "
                        "no series capacitance unless --add-cap on)")
    p.add_argument("--outlier-sigma", type=float, default=5.0,
                   help="flag points beyond this many robust standard deviations (default 5)")
    p.add_argument("--outlier-floor", type=float, default=0.0075,
                   help="never flag residuals below this (default 0.0075, i.e. 0.75 %%)")


def check_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of :func:`zetrion_tools.linkk` the command line asks for.

    Raises ValueError with a message for the user on an unusable value.
    """
    if not 0 < args.c <= 1:
        raise ValueError("--c must lie in (0, 1]")
    if not (math.isfinite(args.max_residual) and args.max_residual > 0):
        raise ValueError("--max-residual must be positive")
    if args.max_M < 1:
        raise ValueError("--max-M must be at least 1")
    if not (args.outlier_sigma > 0 and args.outlier_floor >= 0):
        raise ValueError("--outlier-sigma must be positive and --outlier-floor not negative")
    return {
        "c": args.c,
        "max_M": args.max_M,
        "fit_type": args.fit_type,
        "add_cap": _SWITCH[args.add_cap],
        "add_inductance": _SWITCH[args.add_inductance],
        "representation": args.representation,
        "rule": args.rule,
        "mode": args.mode,
        "outlier_sigma": args.outlier_sigma,
        "outlier_floor": args.outlier_floor,
        "max_residual": args.max_residual,
    }


def kk_columns(f: Any, z: Any, options: dict[str, Any]) -> tuple[dict[str, Any], str, str]:
    """The test's columns of a file's row, its verdict and its message.

    Verdicts: ``ok``, ``warning`` (valid apart from a few points), ``kk-fail``.
    """
    from .validation import linkk

    kk = linkk(f, z, **options)
    columns = {
        "M": int(kk.M),
        "mu": float(kk.mu),
        "max_residual": kk.max_residual,
        "representation": kk.representation,
        "n_flagged": int(np.count_nonzero(kk.outliers)),
    }
    status = {"valid": "ok", "outliers": "warning"}.get(kk.verdict, "kk-fail")
    message = "" if kk.verdict == "valid" and not columns["n_flagged"] else f"Kramers-Kronig: {kk.advice}"
    return columns, status, message
