"""``zetrion-train``: train, evaluate and export a guesser for one circuit.

Examples
--------
::

    zetrion-train "R0-(R1,C1)-(R2-Wo1,C2)" --minutes 20 --out battery.eisnn
    zetrion-train "R0-(R1,C1)-(R2-Wo1,C2)" --minutes 30 --out battery.eisnn   # 10 more minutes
    zetrion-train "R0-(R1,C1)-(R2-Wo1,C2)" --evaluate-only --out battery.eisnn --eval-count 500
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from collections.abc import Sequence

import zetrion

from . import evaluate as ev
from . import spectra


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="zetrion-train",
        description="Train a learned initial guess for a circuit topology and write an EISNN001 weight file "
        "for Circuit.guess(f, z, weights=...) and Circuit.fit(f, z, weights=...).",
    )
    ap.add_argument("notation", help='circuit notation, e.g. "R0-(R1,CPE1)-(R2-Wo2,CPE2)"')
    ap.add_argument("--out", "-o", type=pathlib.Path, help="weight file to write (default: <checkpoint-dir>/<name>.eisnn)")
    ap.add_argument("--minutes", type=float, default=20.0, help="training budget in minutes, counting resumed time (default 20)")
    ap.add_argument("--max-steps", type=int, help="stop after this many optimiser steps in total")
    ap.add_argument("--train-size", type=int, default=120000, help="number of drawn training spectra (default 120000)")
    ap.add_argument("--channels", type=int, choices=(16, 32, 64), help="network width (default: by parameter count)")
    ap.add_argument("--checkpoint-dir", type=pathlib.Path, default=pathlib.Path("checkpoints"), help="where checkpoints are kept (default ./checkpoints)")
    ap.add_argument("--no-resume", action="store_true", help="start afresh even if a checkpoint exists")
    ap.add_argument("--cache-dir", type=pathlib.Path, help="keep the drawn training set here and reuse it")
    ap.add_argument("--distribution", choices=("standard", "wide"), default="standard", help="drawing rule of the spectra (default standard)")
    ap.add_argument("--threads", type=int, default=1, help="PyTorch threads (default 1)")
    ap.add_argument("--eval-count", type=int, default=200, help="held-out spectra to evaluate on (0 to skip; default 200)")
    ap.add_argument("--evaluate-only", action="store_true", help="only evaluate an existing --out file")
    ap.add_argument("--quiet", "-q", action="store_true", help="print only the final summary")
    return ap


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        zetrion.Circuit(args.notation)
    except Exception as exc:  # the parser's own message says what is wrong
        print(f"zetrion-train: {exc}", file=sys.stderr)
        return 2
    args.notation = spectra.resolve(args.notation)  # a preset name trains its notation
    name = "".join(ch if ch.isalnum() else "_" for ch in args.notation).strip("_")
    out: pathlib.Path = args.out or args.checkpoint_dir / f"{name}.eisnn"

    def log(msg: str) -> None:
        if not args.quiet:
            print(msg, flush=True)

    if not args.evaluate_only:
        try:
            from .train import train
            from ._torch import require_torch

            require_torch()
        except ImportError as exc:
            print(f"zetrion-train: {exc}", file=sys.stderr)
            return 3
        try:
            result = train(
                args.notation,
                out,
                minutes=args.minutes,
                train_size=args.train_size,
                channels=args.channels,
                checkpoint_dir=args.checkpoint_dir,
                resume=not args.no_resume,
                distribution=args.distribution,
                threads=args.threads,
                max_steps=args.max_steps,
                cache_dir=args.cache_dir,
                log=log,
            )
        except ValueError as exc:
            print(f"zetrion-train: {exc}", file=sys.stderr)
            return 2
        print(f"trained {result.minutes:.1f} min, {result.steps} steps (resumed at step {result.resumed_from_step}); wrote {result.weights}")
    elif not out.exists():
        print(f"zetrion-train: no weight file {out} to evaluate", file=sys.stderr)
        return 2
    if args.eval_count > 0:
        def progress(i: int, n: int) -> None:
            if not args.quiet and (i % 50 == 0 or i == n):
                print(f"evaluated {i}/{n}", flush=True)

        res = ev.evaluate(args.notation, str(out), args.eval_count, distribution=args.distribution, progress=progress)
        print(res.report())
    return 0

