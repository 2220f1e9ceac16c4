"""The ``zetrion fit`` options for the weighting and for held and bounded parameters.

``--weight NAME`` picks the weighting (those of :func:`zetrion_tools.fit`),
``--fix NAME=VALUE`` holds a parameter at a value and ``--bound NAME=LO:HI``
narrows its range (an empty side is open: ``--bound CPE1.alpha=0.7:``). Each
may be given several times. The names are checked against the circuit before
any file is read.
"""

from __future__ import annotations

import argparse
import math
from typing import Any

import zetrion

from .engine import weightings

__all__ = ["add_fit_options", "fit_constraints"]


def _number(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what}: {text!r} is not a number") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError(f"{what}: NaN is not a value")
    return value


def _split(text: str, example: str) -> tuple[str, str]:
    name, sep, rest = text.partition("=")
    if not sep or not name.strip() or not rest.strip():
        raise argparse.ArgumentTypeError(f"expected {example}, got {text!r}")
    return name.strip(), rest.strip()


def parse_fix(text: str) -> tuple[str, float]:
    """``NAME=VALUE`` as a name and a finite number."""
    name, rest = _split(text, "NAME=VALUE, e.g. R0.r=0.02")
    value = _number(rest, name)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{name}: a held value must be finite")
    return name, value


def parse_bound(text: str) -> tuple[str, tuple[float, float]]:
    """``NAME=LO:HI`` as a name and a range; an empty side is open."""
    name, rest = _split(text, "NAME=LO:HI, e.g. CPE1.alpha=0.7:1")
    lo_text, sep, hi_text = rest.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"{name}: expected LO:HI, got {rest!r}")
    lo = _number(lo_text, name) if lo_text.strip() else -math.inf
    hi = _number(hi_text, name) if hi_text.strip() else math.inf
    if not lo < hi:
        raise argparse.ArgumentTypeError(f"{name}: the range {rest} is empty (LO must be below HI)")
    return name, (lo, hi)


def add_fit_options(fit: argparse.ArgumentParser) -> None:
    """Add ``--weight``, ``--fix`` and ``--bound`` to the fit subcommand's parser."""
    fit.add_argument(
        "--weight",
        default="modulus",
        choices=weightings(),
        metavar="NAME",
        help=f"residual weighting: {', '.join(weightings())} (default modulus; see the fitting guide)",
    )
    fit.add_argument(
        "--fix",
        action="append",
        type=parse_fix,
        default=[],
        metavar="NAME=VALUE",
        help="hold a parameter at a value, e.g. --fix R0.r=0.02 (repeatable)",
    )
    fit.add_argument(
        "--bound",
        action="append",
        type=parse_bound,
        default=[],
        metavar="NAME=LO:HI",
        help="confine a parameter to a range, e.g. --bound CPE1.alpha=0.7:1; an empty side is open (repeatable)",
    )


def fit_constraints(args: argparse.Namespace, circuit: zetrion.Circuit) -> dict[str, Any]:
    """The ``fixed`` and ``bounds`` arguments of ``fit_many`` the options ask for.

    Raises
    ------
    ValueError
        A name the circuit does not have, one given twice, a range outside
        the parameter's valid one, or a held value outside its range.
    """
    names = circuit.param_names()
    valid = dict(zip(names, circuit.param_bounds()))
    fixed: dict[str, float] = {}
    bounds: dict[str, tuple[float, float]] = {}
    for option, pairs, target in (("--fix", args.fix, fixed), ("--bound", args.bound, bounds)):
        for name, value in pairs:
            if name not in valid:
                raise ValueError(f"{option} {name}: the circuit has no such parameter; it has {', '.join(names)}")
            if name in target:
                raise ValueError(f"{option} {name} is given twice")
            target[name] = value
    for name, (lo, hi) in bounds.items():
        v_lo, v_hi = valid[name]
        if max(lo, v_lo) >= min(hi, v_hi):
            raise ValueError(f"--bound {name}={lo:g}:{hi:g} lies outside its valid range {v_lo:g} .. {v_hi:g}")
    for name, value in fixed.items():
        lo, hi = bounds.get(name, valid[name])
        v_lo, v_hi = valid[name]
        if not max(lo, v_lo) <= value <= min(hi, v_hi):
            raise ValueError(f"--fix {name}={value:g} lies outside its range {max(lo, v_lo):g} .. {min(hi, v_hi):g}")
    out: dict[str, Any] = {}
    if fixed:
        out["fixed"] = fixed
    if bounds:
        out["bounds"] = bounds
    return out
