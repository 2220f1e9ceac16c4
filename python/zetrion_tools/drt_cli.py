"""``zetrion drt FILES``: the DRT of every file, one row per peak."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from .cli_format import add_format_option, chosen_format

__all__ = ["add_drt_parser", "run_drt"]

EPILOG = """\
examples:
  zetrion drt cell.DTA
  zetrion drt data/ --out peaks.csv --plots figs/ --json drt/
  zetrion drt data/*.mpt --derivative 2 --rule rgcv --signed auto

Every file gives one row per peak of its DRT (tau, frequency, height, area,
width) with R_inf, the polarisation resistance and the lambda used; a file
that could not be read or deconvolved gives one row with the reason.

exit status: 0 ran, 1 some file failed and --strict was given, 2 usage error.
"""


def add_drt_parser(sub: Any) -> None:
    """Adds the ``drt`` subcommand to the command line's subparsers."""
    p = sub.add_parser(
        "drt",
        help="distribution of relaxation times of every file, one row per peak",
        description="Deconvolve every spectrum file into a distribution of relaxation times; list its peaks.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("files", nargs="+", metavar="FILE", help="files, directories or glob patterns")
    p.add_argument("--lam", type=float, default=None, help="regularisation parameter (default: chosen by --rule)")
    p.add_argument("--rule", default="gcv", choices=("gcv", "mgcv", "rgcv", "lcurve", "re_im"))
    p.add_argument("--derivative", type=int, default=1, choices=(1, 2), help="derivative penalised (default 1)")
    p.add_argument("--plain", action="store_true", help="plain Tikhonov regularisation, no locally adapted smoothing")
    p.add_argument("--basis", default="gaussian", help="radial basis (default gaussian)")
    p.add_argument("--signed", default="auto", choices=("auto", "yes", "no"), help="allow negative gamma")
    p.add_argument("--no-inductance", action="store_true", help="fit no series inductance")
    p.add_argument("--separate", action="store_true", help="separate overlapping peaks by fitting ZARC shapes")
    p.add_argument("--out", "-o", default="-", metavar="CSV", help="CSV file for the peaks (default: standard output)")
    p.add_argument("--plots", metavar="DIR", help="write a figure (spectrum, residuals, DRT) per file")
    p.add_argument("--json", metavar="DIR", help="write each DRT as a JSON record")
    p.add_argument("--threads", "-j", type=int, default=None, metavar="N", help="threads (default: one per core)")
    p.add_argument("--strict", action="store_true", help="exit with status 1 when any file failed")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar on stderr")
    add_format_option(p)


def drt_options(args: argparse.Namespace) -> dict[str, Any]:
    """The settings of :func:`zetrion_tools.drt` the arguments ask for."""
    signed: Any = {"auto": "auto", "yes": True, "no": False}[args.signed]
    return {
        "lam": args.lam,
        "rule": args.rule,
        "derivative": args.derivative,
        "basis": args.basis,
        "signed": signed,
        "inductance": not args.no_inductance,
        "adaptive": not args.plain,
    }


def write_extras(args: argparse.Namespace, spectra: list[Any], options: dict[str, Any]) -> None:
    """Figures and JSON records of the files that deconvolve."""
    from .drt_analysis import drt

    for sid, f, z in spectra:
        stem = Path(str(sid)).stem
        try:
            r = drt(f, z, **options)
        except ValueError:
            continue  # its row already says why
        if args.json:
            r.save(str(Path(args.json) / f"{stem}.drt.json"))
        if args.plots:
            from .drt_plot import plot_drt_summary, pyplot

            fig = plot_drt_summary(r, separate=args.separate)
            fig.savefig(Path(args.plots) / f"{stem}_drt.png", dpi=110)
            pyplot().close(fig)


def run_drt(args: argparse.Namespace) -> int:
    """Runs ``zetrion drt``; returns the exit status."""
    from .cli import expand_inputs
    from .drt_batch import drt_many
    from .io import read

    paths = expand_inputs(args.files)
    if not paths:
        print("zetrion drt: error: no input file found", file=sys.stderr)
        return 2
    for folder in (args.plots, args.json):
        if folder:
            Path(folder).mkdir(parents=True, exist_ok=True)
    spectra: list[Any] = []
    failed: list[tuple[str, str]] = []
    for path in paths:
        try:
            s = read(path, chosen_format(args))
            spectra.append((str(path), s.frequencies, s.impedance))
        except Exception as e:  # an unreadable file is a row, not a crash
            failed.append((str(path), str(e) or type(e).__name__))
    options = drt_options(args)
    try:
        frame = drt_many(
            spectra, threads=args.threads, progress=not args.quiet, separate=args.separate, **options
        )
    except ValueError as e:
        print(f"zetrion drt: error: {e}", file=sys.stderr)
        return 2
    if failed:
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        rows = pd.DataFrame([{"id": p, "peak": 0, "message": m, "signed": False} for p, m in failed])
        frame = pd.concat([frame, rows.reindex(columns=frame.columns)], ignore_index=True)
    write_extras(args, spectra, options)
    if args.out == "-":
        frame.to_csv(sys.stdout, index=False)
    else:
        frame.to_csv(args.out, index=False)
    bad = frame.loc[frame["peak"] == 0, "message"].ne("no peak").sum()
    return 1 if args.strict and bad else 0
