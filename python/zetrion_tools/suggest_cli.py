"""``zetrion suggest FILE``: ranked circuit suggestions for a spectrum file,
and the figure of the first fits."""

from __future__ import annotations

import argparse
import math
import sys
from typing import TYPE_CHECKING, Any

import numpy as np

from .cli_format import add_format_option, chosen_format

if TYPE_CHECKING:
    from .suggest import SuggestResult

__all__ = ["add_suggest_parser", "plot_suggestions", "run_suggest"]

EPILOG = """\
examples:
  zetrion suggest cell.mpt
  zetrion suggest cell.DTA --top 5 --plot top3.png --out ranking.csv
  zetrion suggest cell.z --candidates "R0-(R1,CPE1)" "R0-(R1-W1,CPE1)" --criterion aic
  zetrion suggest cell.csv --extra "L0-R0-(R1,CPE1)-(R2,CPE2)-W3"

Prints the candidates best first: notation, parameters, reduced chi-square,
the criterion, its distance from the best and the flags (undetermined
parameters, values at a bound, implausible values). A file of several sweeps
is ranked on its first.

exit status: 0 ran, 1 the file could not be read or fitted, 2 usage error.
"""

_SHOWN = ["rank", "notation", "n_params", "reduced_chi_square", "delta", "weight", "flags"]


def add_suggest_parser(sub: Any) -> None:
    """Adds the ``suggest`` subcommand to the command line's subparsers."""
    p = sub.add_parser(
        "suggest",
        help="rank candidate circuits for a spectrum file",
        description="Fit a library of common circuits (or your own) to a spectrum and rank them.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("file", metavar="FILE", help="a spectrum file")
    p.add_argument("--top", type=int, default=10, help="rows to show (default 10)")
    p.add_argument("--candidates", nargs="+", metavar="NOTATION", help="try only these circuits")
    p.add_argument("--extra", nargs="+", default=[], metavar="NOTATION", help="try these besides the library")
    p.add_argument("--criterion", default="bic", choices=("bic", "aic"), help="ranking criterion (default bic)")
    p.add_argument("--noise", type=float, default=None, help="relative noise per part, if known")
    p.add_argument("--plot", metavar="PATH", help="write a figure of the data and the first three fits")
    p.add_argument("--out", "-o", metavar="CSV", help="also write the whole ranking to this CSV file")
    p.add_argument("--threads", "-j", type=int, default=None, metavar="N", help="threads (default: one per core)")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar on stderr")
    add_format_option(p)


def _fail(message: str, status: int = 1) -> int:
    print(f"zetrion suggest: error: {message}", file=sys.stderr)
    return status


def run_suggest(args: argparse.Namespace) -> int:
    """Runs ``zetrion suggest``; returns the exit status."""
    import warnings

    from .io import SweepsWarning, read
    from .suggest import suggest_circuits

    if args.top < 1 or (args.noise is not None and not args.noise > 0):
        return _fail("--top and --noise must be positive", 2)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            s = read(args.file, chosen_format(args))
    except Exception as e:  # an unreadable file is a message, not a crash
        return _fail(f"{args.file}: {e or type(e).__name__}")
    for w in caught:
        if issubclass(w.category, SweepsWarning):
            print(f"zetrion suggest: note: {w.message}", file=sys.stderr)
    try:
        result = suggest_circuits(
            s.frequencies,
            s.impedance,
            args.candidates,
            extra=args.extra,
            criterion=args.criterion,
            noise=args.noise,
            threads=args.threads,
            progress=not args.quiet,
        )
    except (ValueError, TypeError) as e:
        return _fail(str(e), 2 if "notation" in str(e) else 1)
    _print(result, args.top)
    if args.out:
        frame = result.table.copy()
        frame["params"] = frame["params"].map(repr)
        frame["stderr"] = frame["stderr"].map(repr)
        frame.to_csv(args.out, index=False)
    if args.plot:
        from .drt_plot import pyplot

        fig = plot_suggestions(result, n=3)
        fig.savefig(args.plot, dpi=110)
        pyplot().close(fig)
    return 0


def _print(result: SuggestResult, top: int) -> None:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    shape = result.shape
    seen = "" if shape is None else (
        f"; spectrum: {shape.peaks} relaxation(s), {shape.tail} low end"
        + (", inductive top" if shape.inductive else "")
    )
    print(
        f"{len(result.table)} candidates in {result.seconds:.2f} s; noise {result.noise:.3g} "
        f"({result.noise_source}); ranked by {result.criterion.upper()}{seen}"
    )
    shown = result.table[_SHOWN].head(top).copy()
    shown["flags"] = shown["flags"].map(lambda s: s if len(s) <= 60 else s[:57] + "...")
    with pd.option_context("display.width", 200, "display.max_colwidth", 70):
        print(shown.to_string(index=False, float_format=lambda v: f"{v:.4g}"))
    best = result.best
    print(f"\nbest: {result.table['notation'].iloc[0]}")
    for name, value in best.params.items():
        err = best.stderr.get(name, math.nan)
        print(f"  {name:<14} = {value:<12.6g} +- {err:.3g}")


def plot_suggestions(result: SuggestResult, *, n: int = 3, fig: Any = None) -> Any:
    """The data and the first ``n`` distinct fits: Nyquist plot, |Z| and phase.

    Returns the matplotlib figure.
    """
    from .drt_plot import pyplot

    plt = pyplot()
    if fig is None:
        fig = plt.figure(figsize=(11.0, 4.6), layout="constrained")
    ax_ny, ax_mag, ax_ph = fig.subplots(1, 3)
    f, z = result.frequencies, result.impedance
    order = np.argsort(f)
    f, z = f[order], z[order]
    ax_ny.plot(z.real, -z.imag, "o", ms=3.5, color="0.3", label="data")
    ax_mag.loglog(f, np.abs(z), "o", ms=3.5, color="0.3")
    ax_ph.semilogx(f, -np.degrees(np.angle(z)), "o", ms=3.5, color="0.3")
    for i, notation in enumerate(result.top(n)):
        zf = result.fits[notation].z_fit[order]
        label = f"{i + 1}. {notation}"
        ax_ny.plot(zf.real, -zf.imag, "-", lw=1.4, label=label)
        ax_mag.loglog(f, np.abs(zf), "-", lw=1.4)
        ax_ph.semilogx(f, -np.degrees(np.angle(zf)), "-", lw=1.4)
    ax_ny.set_xlabel("Re Z / ohm")
    ax_ny.set_ylabel("-Im Z / ohm")
    ax_ny.set_aspect("equal", adjustable="datalim")
    ax_ny.legend(fontsize=8)
    ax_mag.set_xlabel("f / Hz")
    ax_mag.set_ylabel("|Z| / ohm")
    ax_ph.set_xlabel("f / Hz")
    ax_ph.set_ylabel("-phase / degree")
    fig.suptitle(f"circuits ranked by {result.criterion.upper()}")
    return fig
