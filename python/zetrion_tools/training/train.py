"""Train a guesser network for one circuit topology and export it as EISNN001.

Training runs for a wall-clock budget, saves a checkpoint every minute and
at the end, and resumes from it: a run stopped (or finished) at 10 minutes
and started again with ``minutes=25`` continues with the same optimiser
state and step count for the 15 minutes left. PyTorch is imported only when
training starts.
"""

from __future__ import annotations

import math
import pathlib
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

import zetrion

from . import eisnn
from . import features as feat
from . import spectra

FloatArray = npt.NDArray[np.float64]

# The eleven built-in models: name -> (notation, channels).
_CHANNELS = {"rc": 16, "sei_randles": 64, "sei_randles_wo": 64}
MODELS: dict[str, tuple[str, int]] = {name: (notation, _CHANNELS.get(name, 32)) for name, notation in spectra.PRESETS.items()}
N_GRID, KERNEL, GROUPS, DILATIONS = 64, 5, 8, (1, 2, 4, 8)
ALPHA_MIN, ALPHA_MAX = 0.05, 1.0
TRAIN_SEED = 1000  # held-out evaluation uses seeds from 900000 on


@dataclass
class TrainResult:
    """What a training run produced."""

    weights: pathlib.Path
    checkpoint: pathlib.Path
    steps: int
    minutes: float
    resumed_from_step: int
    final_loss: float


def dataset(
    notation: str, count: int, seed: int, distribution: str = "standard", cache_dir: pathlib.Path | None = None
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32], FloatArray]:
    """Features, global features and raw targets of `count` spectra (cached when `cache_dir` is set).

    A distribution written "a+b" draws equal shares from each rule, with
    its own seed per share.
    """
    parts = distribution.split("+")
    if len(parts) > 1:
        shares = [count // len(parts) + (k < count % len(parts)) for k in range(len(parts))]
        sets = [dataset(notation, n, seed + k, d, cache_dir) for k, (n, d) in enumerate(zip(shares, parts))]
        return (np.concatenate([s[0] for s in sets]), np.concatenate([s[1] for s in sets]), np.concatenate([s[2] for s in sets]))
    names = zetrion.Circuit(notation).param_names()
    cache = None
    if cache_dir is not None:
        tag = "".join(ch if ch.isalnum() else "_" for ch in notation)
        cache = cache_dir / f"{tag}_{distribution}_{seed}_{count}.npz"
        if cache.exists():
            d = np.load(cache)
            return d["x"], d["e"], d["y"]
    scaling, logs = eisnn.scaling_rows(names)
    xs = np.empty((count, 3, N_GRID), np.float32)
    es = np.empty((count, 2), np.float32)
    ys = np.empty((count, len(names)), np.float64)
    for i, s in enumerate(spectra.draw(notation, count, seed, distribution=distribution)):
        fmap, e, r, omega = feat.features(s.f, s.z, N_GRID)
        xs[i], es[i] = fmap, e
        ys[i] = feat.raw_targets(s.truth, scaling, logs, r, omega)
    if cache is not None:
        cache.parent.mkdir(parents=True, exist_ok=True)
        np.savez(cache, x=xs, e=es, y=ys)
    return xs, es, ys


def export(notation: str, net: Any, mean: FloatArray, std: FloatArray, out: pathlib.Path) -> pathlib.Path:
    """Write the network and its target statistics as an EISNN001 file."""
    names = zetrion.Circuit(notation).param_names()
    scaling, logs = eisnn.scaling_rows(names)
    tensors: dict[str, Any] = {"w." + k: v.detach().double().numpy() for k, v in net.state_dict().items()}
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
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(eisnn.write_eisnn(meta, tensors))
    return out


def default_channels(notation: str) -> int:
    """Wider networks for circuits with more parameters."""
    p = len(zetrion.Circuit(notation).param_names())
    return 16 if p <= 3 else 32 if p <= 8 else 64


def _check_distribution(distribution: str) -> None:
    for part in distribution.split("+"):
        if part not in spectra.DISTRIBUTIONS:
            raise ValueError(f"distribution must be one of {spectra.DISTRIBUTIONS} or two joined by '+', got {distribution!r}")


def _read_checkpoint(
    torch: Any, ckpt: pathlib.Path, notation: str, distribution: str, channels: int | None
) -> tuple[dict[str, Any], int | None]:
    """A saved run to resume, checked against the asked one, and its width."""
    saved: dict[str, Any] = torch.load(ckpt, weights_only=False)
    # Checkpoints of older versions of this tool carry no notation or statistics.
    if saved.get("notation", notation) != notation:
        raise ValueError(f"checkpoint {ckpt} was trained for {saved.get('notation')!r}, not {notation!r}; pass another --checkpoint-dir or --no-resume")
    # The data set may grow on resume (the normalisation stays the checkpoint's).
    for key, asked in (("distribution", distribution), ("channels", channels)):
        # A resumed run continues the same experiment; a silent change of
        # the data or the network would mix two.
        if key in saved and asked is not None and saved[key] != asked:
            raise ValueError(f"checkpoint {ckpt} was made with {key}={saved[key]!r}, not {asked!r}; pass the same value, another checkpoint directory or no resume")
    return saved, int(saved.get("channels", channels or 0)) or channels


def _read_init(init: str | pathlib.Path, names: list[str], channels: int | None) -> tuple[dict[str, FloatArray], int]:
    """The tensors of an EISNN001 file to fine-tune, and its width."""
    meta, tensors = eisnn.read_eisnn(pathlib.Path(init).read_bytes())
    if meta.get("param_names") != ",".join(names):
        raise ValueError(f"{init} was written for parameters {meta.get('param_names')!r}, not {','.join(names)!r}")
    init_channels = int(meta["channels"])
    if channels is not None and channels != init_channels:
        raise ValueError(f"{init} has {init_channels} channels, not {channels}")
    return tensors, init_channels


@dataclass
class _Data:
    """Training tensors, with targets normalised by `mean` and `std`."""

    x: Any
    e: Any
    y: Any
    mean: FloatArray
    std: FloatArray

    @property
    def n_params(self) -> int:
        return int(self.y.shape[1])


def _prepare_data(
    torch: Any,
    notation: str,
    train_size: int,
    distribution: str,
    cache_dir: str | pathlib.Path | None,
    saved: dict[str, Any] | None,
    start: dict[str, FloatArray] | None,
    log: Callable[[str], None],
    stem: str,
) -> _Data:
    """Draw (or read from the cache) the training set and normalise its targets.

    The target statistics are a resumed checkpoint's, else a fine-tuned
    file's, else those of the drawn set.
    """
    t_data = time.time()
    x, e, y = dataset(notation, train_size, TRAIN_SEED, distribution, pathlib.Path(cache_dir) if cache_dir else None)
    log(f"{stem}: {train_size} training spectra ready in {time.time() - t_data:.0f} s")
    if saved is not None and "mean" in saved:
        mean, std = np.asarray(saved["mean"]), np.asarray(saved["std"])
    elif start is not None:
        mean, std = np.asarray(start["target_mean"]), np.asarray(start["target_std"])
    else:
        mean = y.mean(axis=0)
        std = y.std(axis=0)
        std[std < 1e-6] = 1.0
    yt = torch.tensor((y - mean) / std, dtype=torch.float32)
    xt, et = torch.tensor(x), torch.tensor(e)
    return _Data(xt, et, yt, mean, std)


@dataclass
class _Run:
    """The network, its optimiser and the training state, and where they are saved."""

    torch: Any
    net: Any
    opt: Any
    state: dict[str, Any]
    ckpt: pathlib.Path
    experiment: dict[str, Any]  # what a resumed run must match, and the target statistics

    def save(self) -> None:
        """Write the checkpoint; a run killed while saving keeps the previous one."""
        self.ckpt.parent.mkdir(parents=True, exist_ok=True)
        blob = {"net": self.net.state_dict(), "opt": self.opt.state_dict(), "state": self.state, **self.experiment}
        tmp = self.ckpt.with_suffix(".tmp")
        self.torch.save(blob, tmp)
        tmp.replace(self.ckpt)


def _set_up(
    torch: Any,
    data: _Data,
    channels: int,
    lr: float,
    saved: dict[str, Any] | None,
    start: dict[str, FloatArray] | None,
    init: str | pathlib.Path | None,
    log: Callable[[str], None],
    stem: str,
) -> tuple[Any, Any, dict[str, Any]]:
    """Network, optimiser and state: fresh, resumed from a checkpoint or started from a file."""
    from .model import GuesserNet

    net = GuesserNet(data.n_params, channels, KERNEL, DILATIONS, GROUPS)
    opt = torch.optim.AdamW(net.parameters(), lr=lr, weight_decay=1e-4)
    state: dict[str, Any] = {"elapsed": 0.0, "step": 0, "loss": float("nan")}
    if saved is not None:
        net.load_state_dict(saved["net"])
        opt.load_state_dict(saved["opt"])
        state = dict(saved["state"])
        log(f"{stem}: resuming at {state['elapsed'] / 60:.1f} min, step {state['step']}")
    elif start is not None:
        net.load_state_dict({k[2:]: torch.tensor(v, dtype=torch.float32) for k, v in start.items() if k.startswith("w.")})
        log(f"{stem}: starting from the network in {init}")
    return net, opt, state


@dataclass
class _Clock:
    """The wall-clock budget (counting earlier runs) and the step limit."""

    t0: float
    budget: float
    max_steps: int | None
    last_save: float

    def done(self, state: dict[str, Any]) -> bool:
        return time.time() - self.t0 >= self.budget or (self.max_steps is not None and state["step"] >= self.max_steps)

    def fraction(self) -> float:
        """Share of the budget spent, for the learning-rate schedule."""
        return min((time.time() - self.t0) / self.budget, 1.0) if self.budget > 0 else 1.0


def _step(run: _Run, data: _Data, idx: Any, lr: float, frac: float) -> float:
    """One optimiser step on the rows `idx` with a cosine-decayed rate; returns the loss."""
    for g in run.opt.param_groups:
        g["lr"] = lr * 0.5 * (1 + math.cos(math.pi * frac)) + 1e-5
    pred = run.net(data.x[idx], data.e[idx])[:, : data.n_params]
    loss = run.torch.nn.functional.smooth_l1_loss(pred, data.y[idx], beta=0.5)
    run.opt.zero_grad()
    loss.backward()
    run.opt.step()
    return float(loss.item())


def _epoch(
    run: _Run, data: _Data, perm: Any, batch: int, lr: float, clock: _Clock, log: Callable[[str], None], stem: str
) -> None:
    """One pass over the permutation `perm` in batches, saving a checkpoint
    every minute; stops early when the budget or the step limit is reached."""
    state = run.state
    for b in range(max(len(data.x) // batch, 1)):
        frac = clock.fraction()
        loss = _step(run, data, perm[b * batch : (b + 1) * batch], lr, frac)
        state["step"] += 1
        state["loss"] = loss
        if state["step"] % 200 == 0:
            log(f"{stem}: {(time.time() - clock.t0) / 60:5.1f} min step {state['step']} loss {state['loss']:.4f}")
        if time.time() - clock.last_save > 60:
            state["elapsed"] = time.time() - clock.t0
            run.save()
            clock.last_save = time.time()
        if clock.done(state):
            break


def _run_epochs(
    run: _Run, data: _Data, batch: int, lr: float, minutes: float, max_steps: int | None, log: Callable[[str], None], stem: str
) -> float:
    """Train until the budget or the step limit; returns the clock's start.

    Ctrl-C saves the checkpoint before it stops the run.
    """
    state = run.state
    rng = np.random.default_rng(int(state["step"]))
    last_save = time.time()
    clock = _Clock(time.time() - float(state["elapsed"]), minutes * 60.0, max_steps, last_save)
    try:
        while not clock.done(state):
            _epoch(run, data, run.torch.from_numpy(rng.permutation(len(data.x))), batch, lr, clock, log, stem)
    except KeyboardInterrupt:
        state["elapsed"] = time.time() - clock.t0
        run.save()
        log(f"{stem}: interrupted at {state['elapsed'] / 60:.1f} min, step {state['step']}; checkpoint saved in {run.ckpt}, run again to resume")
        raise
    return clock.t0


def train(
    notation: str,
    out: str | pathlib.Path,
    *,
    minutes: float = 20.0,
    train_size: int = 120000,
    channels: int | None = None,
    checkpoint_dir: str | pathlib.Path = "checkpoints",
    resume: bool = True,
    distribution: str = "standard",
    threads: int | None = None,
    max_steps: int | None = None,
    batch: int = 256,
    lr: float = 2e-3,
    cache_dir: str | pathlib.Path | None = None,
    init: str | pathlib.Path | None = None,
    log: Callable[[str], None] = print,
) -> TrainResult:
    """Train a guesser for `notation` and write it to `out`.

    Parameters
    ----------
    notation : str
        Any circuit notation the parser accepts.
    out : path
        The weight file to write (EISNN001), usable as ``Circuit.guess(f, z, weights=out)``.
    minutes : float
        Total training budget in wall-clock minutes, counting earlier runs of
        the same checkpoint.
    train_size : int
        Number of drawn training spectra.
    channels : int, optional
        Width of the network (16, 32 or 64 by parameter count when omitted).
    checkpoint_dir : path
        Where ``<out stem>.pt`` is kept; an existing one is resumed unless `resume` is false.
    distribution : {"standard", "wide", "legacy"} or "a+b"
        The drawing rule of the training spectra (see `spectra`); "legacy+wide"
        mixes two rules in equal shares.
    threads : int, optional
        PyTorch threads (``torch.set_num_threads``).
    max_steps : int, optional
        Stop after this many optimiser steps in total, whatever the budget.
    init : path, optional
        An EISNN001 file written for the same notation and width whose network
        starts a fresh run (fine-tuning); its target statistics are kept.
        Ignored when a checkpoint is resumed.

    A run interrupted with Ctrl-C saves its checkpoint before stopping.
    """
    from ._torch import require_torch

    torch = require_torch()
    _check_distribution(distribution)
    notation = spectra.resolve(notation)
    names = zetrion.Circuit(notation).param_names()  # raises on a malformed notation
    eisnn.scaling_rows(names)  # every parameter has a scaling rule
    out = pathlib.Path(out)
    ckpt = pathlib.Path(checkpoint_dir) / f"{out.stem}.pt"
    if threads:
        torch.set_num_threads(threads)
    torch.manual_seed(0)

    saved = None
    if resume and ckpt.exists():
        saved, channels = _read_checkpoint(torch, ckpt, notation, distribution, channels)
    start: dict[str, FloatArray] | None = None
    if saved is None and init is not None:
        start, channels = _read_init(init, names, channels)
    channels = channels or default_channels(notation)

    data = _prepare_data(torch, notation, train_size, distribution, cache_dir, saved, start, log, out.stem)
    net, opt, state = _set_up(torch, data, channels, lr, saved, start, init, log, out.stem)
    start_step = int(state["step"])
    experiment = {"notation": notation, "channels": channels, "distribution": distribution,
                  "train_size": train_size, "mean": data.mean, "std": data.std}
    run = _Run(torch, net, opt, state, ckpt, experiment)
    t0 = _run_epochs(run, data, batch, lr, minutes, max_steps, log, out.stem)
    state["elapsed"] = time.time() - t0
    run.save()
    export(notation, net, data.mean, data.std, out)
    log(f"{out.stem}: trained {state['elapsed'] / 60:.1f} min, {state['step']} steps, wrote {out}")
    return TrainResult(out, ckpt, int(state["step"]), float(state["elapsed"]) / 60.0, start_step, float(state["loss"]))
