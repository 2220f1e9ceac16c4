"""Train, export and check the built-in guesser models.

    python3 training/train.py rc              # one model
    python3 training/train.py all             # all eleven, in table order
    python3 training/train.py rc --minutes 20 --train-size 150000
    python3 training/train.py rc --distribution wide --minutes 20
    python3 training/train.py two_rq --distribution legacy+wide --init builtin --lr 1e-3

Each run resumes from training/checkpoints/<name>.pt when it exists, and on
finishing writes weights/<name>.eisnn. Data sets are cached under
training/cache/. Any circuit notation works with --circuit (the model name
is then used only for file names); `zetrion-train` is the installed tool for
circuits of your own. The pipeline lives in python/zetrion_tools/training/.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "python"))  # this checkout's package, not an older installed one

from zetrion_tools.training.train import MODELS, train  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("name", help="model name, or 'all'")
    ap.add_argument("--circuit", help="notation for a model outside the built-in table")
    ap.add_argument("--channels", type=int)
    ap.add_argument("--minutes", type=float, default=12.0)
    ap.add_argument("--train-size", type=int, default=120000)
    ap.add_argument("--distribution", choices=("legacy", "wide", "standard", "legacy+wide"), default="legacy",
                    help="training spectra: 'legacy' (the rule of the first built-in models), 'wide', or both in equal shares")
    ap.add_argument("--init", help="start from this .eisnn file ('builtin': weights/<name>.eisnn) instead of random weights")
    ap.add_argument("--lr", type=float, default=2e-3, help="peak learning rate of the cosine schedule")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--out-dir", type=pathlib.Path, default=ROOT / "weights",
                    help="where <name>.eisnn is written (default weights/, which the module embeds at build time)")
    args = ap.parse_args()
    names = list(MODELS) if args.name == "all" else [args.name]
    for name in names:
        if name not in MODELS and not args.circuit:
            ap.error(f"unknown model {name!r}: give its notation with --circuit")
        notation, channels = MODELS.get(name, (args.circuit or "", 32))
        if args.circuit:
            notation = args.circuit
        # Checkpoints of the wide distribution are kept apart from the current ones.
        ckpt_dir = HERE / "checkpoints" / ("" if args.distribution == "legacy" else args.distribution)
        init = ROOT / "weights" / f"{name}.eisnn" if args.init == "builtin" else args.init
        train(notation, args.out_dir / f"{name}.eisnn", minutes=args.minutes, train_size=args.train_size,
              channels=args.channels or channels, checkpoint_dir=ckpt_dir, distribution=args.distribution,
              threads=args.threads, cache_dir=HERE / "cache", init=init, lr=args.lr)


if __name__ == "__main__":
    main()
