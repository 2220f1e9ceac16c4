"""Train, export and check the built-in guesser models.

    python3 training/train.py rc              # one model
    python3 training/train.py all             # all eleven, in table order
    python3 training/train.py rc --minutes 20 --train-size 150000

Each run resumes from training/checkpoints/<name>.pt when it exists, and on
finishing writes weights/<name>.eisnn. Data sets are cached under
training/cache/. Any circuit notation works with --circuit (the model name
is then used only for file names).
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import time

import numpy as np
import torch

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import eisnn  # noqa: E402
import features as feat  # noqa: E402
import spectra  # noqa: E402
from model import GuesserNet  # noqa: E402

import zetrion  # noqa: E402

MODELS = {
    "rc": ("R0-(R1,C1)", 16),
    "rc_l": ("L0-R0-(R1,C1)", 32),
    "rq": ("R0-(R1,CPE1)", 32),
    "rq_l": ("L0-R0-(R1,CPE1)", 32),
    "two_rc": ("R0-(R1,C1)-(R2,C2)", 32),
    "two_rc_l": ("L0-R0-(R1,C1)-(R2,C2)", 32),
    "two_rq": ("R0-(R1,CPE1)-(R2,CPE2)", 32),
    "two_rq_l": ("L0-R0-(R1,CPE1)-(R2,CPE2)", 32),
    "randles": ("R0-(R1-W1,CPE1)", 32),
    "sei_randles": ("R0-(R1,CPE1)-(R2-W2,CPE2)", 64),
    "sei_randles_wo": ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", 64),
}
N_GRID, KERNEL, GROUPS, DILATIONS = 64, 5, 8, (1, 2, 4, 8)
ALPHA_MIN, ALPHA_MAX = 0.05, 1.0
TRAIN_SEED = 1000  # held-out evaluation uses seeds from 900000 on


def dataset(name, notation, count, seed):
    """Features, global features and raw targets of `count` spectra (cached)."""
    cache = HERE / "cache" / f"{name}_{seed}_{count}.npz"
    if cache.exists():
        d = np.load(cache)
        return d["x"], d["e"], d["y"]
    names = zetrion.Circuit(notation).param_names()
    scaling, logs = eisnn.scaling_rows(names)
    xs = np.empty((count, 3, N_GRID), np.float32)
    es = np.empty((count, 2), np.float32)
    ys = np.empty((count, len(names)), np.float64)
    for i, s in enumerate(spectra.draw(notation, count, seed)):
        fmap, e, r, omega = feat.features(s.f, s.z, N_GRID)
        xs[i], es[i] = fmap, e
        ys[i] = feat.raw_targets(s.truth, scaling, logs, r, omega)
    cache.parent.mkdir(exist_ok=True)
    np.savez(cache, x=xs, e=es, y=ys)
    return xs, es, ys


def export(name, notation, net, mean, std):
    names = zetrion.Circuit(notation).param_names()
    scaling, logs = eisnn.scaling_rows(names)
    tensors = {"w." + k: v.detach().double().numpy() for k, v in net.state_dict().items()}
    tensors.update(target_mean=mean, target_std=std, scaling=scaling, log_params=logs)
    meta = {
        "circuit": notation,
        "param_names": ",".join(names),
        "estimator": "reactive_centroid",
        "n_grid": N_GRID,
        "channels": net.stem.out_channels,
        "kernel": KERNEL,
        "groups": GROUPS,
        "dilations": ",".join(map(str, DILATIONS)),
        "alpha_min": str(ALPHA_MIN),
        "alpha_max": str(ALPHA_MAX),
    }
    out = ROOT / "weights" / f"{name}.eisnn"
    out.write_bytes(eisnn.write_eisnn(meta, tensors))
    return out


def train(name, notation, channels, minutes, train_size, batch=256, lr=2e-3):
    torch.set_num_threads(2)
    torch.manual_seed(0)
    x, e, y = dataset(name, notation, train_size, TRAIN_SEED)
    logs = eisnn.scaling_rows(zetrion.Circuit(notation).param_names())[1] > 0
    mean = y.mean(axis=0)
    std = y.std(axis=0)
    std[std < 1e-6] = 1.0
    yt = torch.tensor((y - mean) / std, dtype=torch.float32)
    xt, et = torch.tensor(x), torch.tensor(e)
    p = y.shape[1]
    net = GuesserNet(p, channels, KERNEL, DILATIONS, GROUPS)
    opt = torch.optim.AdamW(net.parameters(), lr=lr, weight_decay=1e-4)
    ckpt = HERE / "checkpoints" / f"{name}.pt"
    state = {"elapsed": 0.0, "step": 0}
    if ckpt.exists():
        saved = torch.load(ckpt, weights_only=False)
        net.load_state_dict(saved["net"])
        opt.load_state_dict(saved["opt"])
        state = saved["state"]
        print(f"{name}: resuming at {state['elapsed'] / 60:.1f} min, step {state['step']}")
    budget = minutes * 60.0
    steps_per_epoch = max(len(xt) // batch, 1)
    rng = np.random.default_rng(state["step"])
    last_save = time.time()
    t0 = time.time() - state["elapsed"]
    while time.time() - t0 < budget:
        perm = torch.from_numpy(rng.permutation(len(xt)))
        for b in range(steps_per_epoch):
            frac = min((time.time() - t0) / budget, 1.0)
            for g in opt.param_groups:
                g["lr"] = lr * 0.5 * (1 + math.cos(math.pi * frac)) + 1e-5
            idx = perm[b * batch : (b + 1) * batch]
            out = net(xt[idx], et[idx])[:, :p]
            loss = torch.nn.functional.smooth_l1_loss(out, yt[idx], beta=0.5)
            opt.zero_grad()
            loss.backward()
            opt.step()
            state["step"] += 1
            if state["step"] % 200 == 0:
                print(f"{name}: {(time.time() - t0) / 60:5.1f} min step {state['step']} loss {loss.item():.4f}", flush=True)
            if time.time() - last_save > 60:
                state["elapsed"] = time.time() - t0
                ckpt.parent.mkdir(exist_ok=True)
                torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "state": state}, ckpt)
                last_save = time.time()
            if time.time() - t0 >= budget:
                break
    state["elapsed"] = time.time() - t0
    ckpt.parent.mkdir(exist_ok=True)
    torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "state": state}, ckpt)
    path = export(name, notation, net, mean, std)
    print(f"{name}: trained {state['elapsed'] / 60:.1f} min, {state['step']} steps, wrote {path}")
    return path


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("name", help="model name, or 'all'")
    ap.add_argument("--circuit", help="notation for a model outside the built-in table")
    ap.add_argument("--channels", type=int)
    ap.add_argument("--minutes", type=float, default=12.0)
    ap.add_argument("--train-size", type=int, default=120000)
    args = ap.parse_args()
    names = list(MODELS) if args.name == "all" else [args.name]
    for name in names:
        notation, channels = MODELS.get(name, (args.circuit, 32))
        if args.circuit:
            notation = args.circuit
        train(name, notation, args.channels or channels, args.minutes, args.train_size)


if __name__ == "__main__":
    main()
