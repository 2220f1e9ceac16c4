"""Does a guesser trained with `zetrion-train` help the default fit?

For each topology with no built-in model, fits held-out spectra (drawn with
seeds never used in training) twice with the default Levenberg-Marquardt
fit: started from the model's guess (``weights=``) and from the element
defaults (``guess_init=False``). A fit succeeds when its cost is at most 1.01
times the cost at the true parameters (modulus weighting).

    python3 bench/bench_custom_guesser.py [--count 500] [--distribution standard]

The weight files are in training/custom/; they were made with

    zetrion-train "R0-(R1,C1)-(R2-Wo1,C2)" --minutes 22 --train-size 200000 \
        --checkpoint-dir training/checkpoints --out training/custom/rc_rwo.eisnn
    zetrion-train "L0-R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)" --minutes 22 --train-size 200000 --channels 32 \
        --checkpoint-dir training/checkpoints --out training/custom/three_rq_l.eisnn
"""

from __future__ import annotations

import argparse
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]

from zetrion_tools.training.eisnn import read_eisnn  # noqa: E402
from zetrion_tools.training.evaluate import HELD_OUT_SEED, evaluate  # noqa: E402

TOPOLOGIES = {
    "rc_rwo": "R0-(R1,C1)-(R2-Wo1,C2)",
    "three_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=500)
    ap.add_argument("--distribution", choices=("standard", "wide"), default="standard")
    ap.add_argument("--dir", type=pathlib.Path, default=ROOT / "training" / "custom")
    ap.add_argument("--verbose", "-v", action="store_true", help="also print the per-parameter guess errors")
    args = ap.parse_args()
    rows = []
    for k, (name, notation) in enumerate(TOPOLOGIES.items()):
        path = args.dir / f"{name}.eisnn"
        if not path.exists():
            print(f"{name}: no weight file {path}; train it first (see the docstring)")
            continue
        meta, _ = read_eisnn(path.read_bytes())
        if meta["circuit"] != notation:
            raise SystemExit(f"{path} was trained for {meta['circuit']!r}, expected {notation!r}")
        seed = HELD_OUT_SEED + 500 + k + (1000 if args.distribution == "wide" else 0)
        res = evaluate(notation, str(path), args.count, seed=seed, distribution=args.distribution)
        if args.verbose:
            print(res.report())
        worst = max(res.median_error.items(), key=lambda kv: kv[1])
        rows.append((name, notation, res.success_guess, res.success_default, worst))
    print(f"\n{args.count} held-out spectra per topology ({args.distribution} distribution); default fit reaching the optimum")
    print(f"{'model':<12} {'circuit':<38} {'own model':>10} {'defaults':>10}  worst median guess error")
    for name, notation, sg, sd, (wn, wv) in rows:
        print(f"{name:<12} {notation:<38} {100 * sg:9.1f}% {100 * sd:9.1f}%  {wn} {wv:.3f}")


if __name__ == "__main__":
    main()
