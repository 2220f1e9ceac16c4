"""Accuracy and usefulness of a built-in model on held-out spectra.

    python3 training/evaluate.py rc [--count 500] [--weights PATH] [--distribution wide]
    python3 training/evaluate.py all --count 200 --distribution wide --no-fits

Held-out spectra use seeds from 900000 on (the current distribution, one
seed per model) and from 950000 on (the wide one), never used in training.
--validation draws a third set (seeds from 970000 / 980000 on) for choosing
between candidate networks, so that the held-out figures are not tuned on.
Prints, per parameter, the median absolute error of the guess (decades for
positive parameters, absolute for exponents), the same split by noise level,
and the share of fits that reach the global optimum (final cost at most 1.01
times the cost at the true parameters) from the learned guess and from the
element defaults.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))  # this checkout's package

from zetrion_tools.training.evaluate import HELD_OUT_SEED, evaluate  # noqa: E402
from zetrion_tools.training.train import MODELS  # noqa: E402

MODELS_INDEX = {n: i for i, n in enumerate(MODELS)}
# First seed of each evaluation set, by (distribution, validation); one seed per model from there.
FIRST_SEED = {("legacy", False): HELD_OUT_SEED, ("wide", False): 950000, ("legacy", True): 970000, ("wide", True): 980000}


def held_out_seed(name: str, distribution: str, validation: bool = False) -> int:
    return FIRST_SEED[distribution, validation] + MODELS_INDEX[name]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("name", help="model name, or 'all'")
    ap.add_argument("--count", type=int, default=500)
    ap.add_argument("--weights", help="an .eisnn file instead of weights/<name>.eisnn")
    ap.add_argument("--no-fits", action="store_true")
    ap.add_argument("--distribution", choices=("legacy", "wide"), default="legacy",
                    help="held-out set: 'legacy' (the current training distribution) or 'wide'")
    ap.add_argument("--validation", action="store_true",
                    help="measure on the validation set instead (for choosing between candidates)")
    args = ap.parse_args()
    names = list(MODELS) if args.name == "all" else [args.name]
    for n in names:
        # The file in weights/ rather than the copy embedded at build time, so
        # that a model just retrained is measured without reinstalling.
        weights = args.weights or str(HERE.parent / "weights" / f"{n}.eisnn")
        res = evaluate(MODELS[n][0], weights, args.count, held_out_seed(n, args.distribution, args.validation),
                       args.distribution, not args.no_fits)
        print(f"[{n}]")
        print(res.report(), flush=True)


if __name__ == "__main__":
    main()
