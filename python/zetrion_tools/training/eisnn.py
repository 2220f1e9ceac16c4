"""The "EISNN001" weight format and a NumPy reference of the guesser network.

`write_eisnn` serialises a model; `read_eisnn` parses one; `predict` runs the
network in double precision exactly as the C++ module does (the same
features, layer order and decoding), so that trained or hand-made models can
be checked against `zetrion.Circuit.guess`.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..engine import element_kinds

FloatArray = npt.NDArray[np.float64]

MAGIC = b"EISNN001"
META_ORDER = ["circuit", "param_names", "estimator", "n_grid", "channels", "kernel", "groups", "dilations", "alpha_min", "alpha_max"]
SMALL = ("target_mean", "target_std", "scaling", "log_params")

# Notation spellings -> the element kind's class-side name, from the core's table.
KIND_ALIASES = {k.code: k.class_name for k in element_kinds() if k.code != k.class_name}

# Per element kind and parameter: (r_exp, w_exp, w_alpha_exp, exponent parameter
# of the same element or None, log-predicted). The network predicts
# v / (R^r_exp * Omega^(w_exp + w_alpha_exp * exponent)), in log10 when the
# last field is set; R and Omega are the spectrum's impedance and angular
# frequency scales, so every target is free of the spectrum's absolute units.
SCALING: dict[str, dict[str, tuple[float, float, float, str | None, bool]]] = {
    "R": {"r": (1.0, 0.0, 0.0, None, True)},
    "C": {"c": (-1.0, -1.0, 0.0, None, True)},
    "L": {"l": (1.0, -1.0, 0.0, None, True)},
    # (j w l)^alpha ~ R needs l ~ R^(1/alpha) / w, which a fixed power of R
    # cannot express: the network learns the remaining (1/alpha - 1) log R
    # from the feature map, so La.l is the least precise guess of all kinds.
    "La": {"l": (1.0, -1.0, 0.0, None, True), "alpha": (0.0, 0.0, 0.0, None, False)},
    "Cpe": {"q": (-1.0, 0.0, -1.0, "alpha", True), "alpha": (0.0, 0.0, 0.0, None, False)},
    "W": {"aw": (1.0, 0.5, 0.0, None, True)},
    "Wo": {"z0": (1.0, 0.0, 0.0, None, True), "tau": (0.0, -1.0, 0.0, None, True)},
    "Ws": {"z0": (1.0, 0.0, 0.0, None, True), "tau": (0.0, -1.0, 0.0, None, True)},
    "G": {"rg": (1.0, 0.0, 0.0, None, True), "tg": (0.0, -1.0, 0.0, None, True)},
    "Gs": {"rg": (1.0, 0.0, 0.0, None, True), "tg": (0.0, -1.0, 0.0, None, True), "phi": (0.0, 0.0, 0.0, None, True)},
    "K": {"r": (1.0, 0.0, 0.0, None, True), "tau_k": (0.0, -1.0, 0.0, None, True)},
    "Zarc": {"r": (1.0, 0.0, 0.0, None, True), "tau_k": (0.0, -1.0, 0.0, None, True), "gamma": (0.0, 0.0, 0.0, None, False)},
    "Tlmq": {"r_ion": (1.0, 0.0, 0.0, None, True), "qs": (-1.0, 0.0, -1.0, "gamma", True), "gamma": (0.0, 0.0, 0.0, None, False)},
    "T": {
        "a": (1.0, 0.0, 0.0, None, True),
        "b": (1.0, 0.0, 0.0, None, True),
        "k_tau": (0.0, 0.0, 0.0, None, True),
        "tau": (0.0, -1.0, 0.0, None, True),
    },
}


def kind_of(label: str) -> str:
    """The element kind (class-side name) of a label such as "CPE1"."""
    letters = label.rstrip("0123456789")
    return KIND_ALIASES.get(letters, letters)


def scaling_rows(param_names: Sequence[str]) -> tuple[FloatArray, FloatArray]:
    """The scaling table and log flags for a list of "label.param" names."""
    names = list(param_names)
    rows, logs = [], []
    for full in names:
        label, name = full.rsplit(".", 1)
        try:
            r_exp, w_exp, wa_exp, exponent, is_log = SCALING[kind_of(label)][name]
        except KeyError:
            raise ValueError(f"no scaling rule for parameter {full!r}") from None
        alpha_index = names.index(label + "." + exponent) if exponent else -1
        rows.append([r_exp, w_exp, wa_exp, float(alpha_index)])
        logs.append(1.0 if is_log else 0.0)
    return np.array(rows, dtype=np.float64).reshape(-1, 4), np.array(logs, dtype=np.float64)


def _string(b: bytes) -> bytes:
    return struct.pack("<I", len(b)) + b


def write_eisnn(meta: Mapping[str, Any], tensors: Mapping[str, Any], encodings: Mapping[str, int] | None = None) -> bytes:
    """Serialise metadata (text values) and tensors (name -> array).

    Network tensors are written in half precision and the four small ones in
    single precision unless `encodings` (name -> 0, 1 or 2) says otherwise.
    """
    encodings = encodings or {}
    out = bytearray(MAGIC)
    keys = [k for k in META_ORDER if k in meta] + [k for k in meta if k not in META_ORDER]
    out += struct.pack("<I", len(keys))
    for k in keys:
        out += _string(k.encode()) + _string(str(meta[k]).encode())
    out += struct.pack("<I", len(tensors))
    for name, value in tensors.items():
        a = np.asarray(value, dtype=np.float64)
        enc = encodings.get(name, 0 if name in SMALL else 1)
        out += _string(name.encode()) + struct.pack("<BB", enc, a.ndim)
        out += b"".join(struct.pack("<I", d) for d in a.shape)
        flat = a.reshape(-1) if a.size else np.zeros(1)
        if enc == 0:
            out += flat.astype("<f4").tobytes()
        elif enc == 1:
            out += flat.astype("<f2").tobytes()
        else:
            scale = float(np.max(np.abs(flat)) / 127.0) or 1.0
            out += struct.pack("<f", scale) + np.clip(np.round(flat / scale), -128, 127).astype("i1").tobytes()
    return bytes(out)


def read_eisnn(blob: bytes) -> tuple[dict[str, str], dict[str, FloatArray]]:
    """Parse a blob into (metadata dict, tensors dict of float64 arrays).

    Only for files this package wrote: the module's own loader is the one
    that validates untrusted files.
    """
    pos = 8
    if blob[:8] != MAGIC:
        raise ValueError("not an EISNN001 weight file")

    def u32() -> int:
        nonlocal pos
        (v,) = struct.unpack_from("<I", blob, pos)
        pos += 4
        return int(v)

    def string() -> str:
        nonlocal pos
        n = u32()
        s = blob[pos : pos + n].decode()
        pos += n
        return s

    meta: dict[str, str] = {}
    for _ in range(u32()):
        k = string()
        meta[k] = string()
    tensors: dict[str, FloatArray] = {}
    for _ in range(u32()):
        name = string()
        enc, rank = blob[pos], blob[pos + 1]
        pos += 2
        dims = [u32() for _ in range(rank)]
        count = max(int(np.prod(dims)) if dims else 1, 1)
        if enc == 0:
            data = np.frombuffer(blob, "<f4", count, pos).astype(np.float64)
            pos += 4 * count
        elif enc == 1:
            data = np.frombuffer(blob, "<f2", count, pos).astype(np.float64)
            pos += 2 * count
        else:
            (scale,) = struct.unpack_from("<f", blob, pos)
            data = float(np.float32(scale)) * np.frombuffer(blob, "i1", count, pos + 4).astype(np.float64)
            pos += 4 + count
        tensors[name] = data.reshape(dims) if dims and np.prod(dims) > 0 else data
    return meta, tensors


# ---- the network, in double precision ------------------------------------

TWO_PI = 6.283185307179586
PI = 3.141592653589793
HALF_PI = 1.5707963267948966


def scales(f: Sequence[float], z: Sequence[complex]) -> tuple[float, float]:
    """The "reactive_centroid" estimate: (R in ohm, Omega in rad/s)."""
    sw = sz = sf = 0.0
    for fi, zi in zip(f, z):
        m = math.hypot(zi.real, zi.imag)
        low = np.fmin(fi, m)
        if low <= 0:
            continue
        w = float(np.fmax(-zi.imag / m, 0.0)) if m != 0 else 0.0
        sw += w
        sz += w * math.log(m)
        sf += w * math.log(TWO_PI * fi)
    if sw >= 1e-9:
        return math.exp(sz / sw), math.exp(sf / sw)
    omega = math.exp(sum(math.log(TWO_PI * fi) for fi in f) / len(f))
    mags = sorted(math.hypot(zi.real, zi.imag) for zi in z)
    return mags[len(mags) // 2], omega


def interpolate(xs: Sequence[float], ys: Sequence[float], x: float) -> float:
    if x <= xs[0]:
        return ys[0]
    if x >= xs[-1]:
        return ys[-1]
    hi = int(np.searchsorted(xs, x, side="right"))
    lo = hi - 1
    if xs[hi] == xs[lo]:
        return ys[lo]
    return ys[lo] + (x - xs[lo]) * (ys[hi] - ys[lo]) / (xs[hi] - xs[lo])


def features(f: Sequence[float], z: Sequence[complex], r: float, omega: float, n_grid: int) -> tuple[FloatArray, float, float]:
    """Three channels on a log-frequency grid and the two global features."""
    order = sorted(range(len(f)), key=lambda i: f[i])
    lf = [math.log10(f[i]) for i in order]
    lm = [math.log10(math.hypot(z[i].real, z[i].imag)) for i in order]
    ph = []
    for k, i in enumerate(order):
        a = math.atan2(z[i].imag, z[i].real)
        if k == 0:
            ph.append(a)
            continue
        d = a - ph[-1]
        rr = d - TWO_PI * math.floor((d + PI) / TWO_PI)
        if rr == -PI and a > ph[-1]:
            rr = PI
        ph.append(ph[-1] + rr)
    step = (lf[-1] - lf[0]) / (n_grid - 1) if n_grid >= 2 else 0.0
    fmap = np.zeros((3, n_grid))
    log_r = math.log10(r)
    log_w = math.log10(omega / TWO_PI)
    for g in range(n_grid):
        x = lf[0] + step * g
        fmap[0, g] = interpolate(lf, lm, x) - log_r
        fmap[1, g] = interpolate(lf, ph, x) / HALF_PI
        fmap[2, g] = (x - log_w) * 0.25
    return fmap, 0.125 * (lf[-1] - lf[0]), 0.5 * math.log10(len(f))


def gelu(v: FloatArray) -> FloatArray:
    c = v * (v * (v * 0.044715))
    return (0.5 * v) * (np.tanh(0.7978845608028654 * (v + c)) + 1.0)


def conv1d(x: FloatArray, w: FloatArray, b: FloatArray, dilation: int) -> FloatArray:
    c_out, c_in, k = w.shape
    g = x.shape[1]
    pad = dilation * (k - 1) // 2
    out = np.repeat(b[:c_out, None], g, axis=1).astype(np.float64)
    for o in range(c_out):
        for c in range(c_in):
            for t in range(k):
                wv = w[o, c, t]
                if wv == 0.0:
                    continue
                shift = dilation * t - pad
                lo, hi = max(0, -shift), min(g, g - shift)
                if lo < hi:
                    out[o, lo:hi] += wv * x[c, lo + shift : hi + shift]
    return out


def group_norm(x: FloatArray, gamma: FloatArray, beta: FloatArray, groups: int) -> FloatArray:
    h, g = x.shape
    q = h // groups
    out = x.copy()
    for grp in range(groups):
        block = x[grp * q : grp * q + q]
        mu = block.sum() / (q * g)
        var = ((block - mu) ** 2).sum() / (q * g)
        inv = 1.0 / math.sqrt(var + 1e-5)
        out[grp * q : grp * q + q] = (block - mu) * inv * gamma[grp * q : grp * q + q, None] + beta[grp * q : grp * q + q, None]
    return out


def linear(x: FloatArray, w: FloatArray, b: FloatArray) -> FloatArray:
    out: FloatArray = w @ x + b
    return out


def predict(meta: Mapping[str, str], tensors: Mapping[str, FloatArray], f: Sequence[float], z: Sequence[complex]) -> list[float]:
    """Physical estimates in the order of meta["param_names"]."""
    f = [float(v) for v in f]
    z = [complex(v) for v in z]
    n_grid = int(meta["n_grid"])
    groups = int(meta["groups"])
    dilations = [int(d) for d in meta["dilations"].split(",")]
    r, omega = scales(f, z)
    fmap, e0, e1 = features(f, z, r, omega, n_grid)
    t = tensors
    x = conv1d(fmap, t["w.stem.weight"], t["w.stem.bias"], 1)
    for i, d in enumerate(dilations):
        p = f"w.blocks.{i}."
        h = conv1d(x, t[p + "conv1.weight"], t[p + "conv1.bias"], d)
        h = gelu(group_norm(h, t[p + "norm1.weight"], t[p + "norm1.bias"], groups))
        h = conv1d(h, t[p + "conv2.weight"], t[p + "conv2.bias"], d)
        h = group_norm(h, t[p + "norm2.weight"], t[p + "norm2.bias"], groups)
        x = gelu(x + h)
    pooled = np.concatenate([x.mean(axis=1), x.max(axis=1), [e0, e1]])
    v = gelu(linear(pooled, t["w.head.0.weight"], t["w.head.0.bias"]))
    v = gelu(linear(v, t["w.head.2.weight"], t["w.head.2.bias"]))
    out = linear(v, t["w.head.4.weight"], t["w.head.4.bias"])
    names = meta["param_names"].split(",")
    p_count = len(names)
    y = out[:p_count] * t["target_std"] + t["target_mean"]
    logs = t["log_params"] != 0.0
    vals = np.where(logs, 10.0 ** y, y)
    vals = np.where(logs, vals, np.clip(vals, float(meta["alpha_min"]), float(meta["alpha_max"])))
    u = vals.copy()
    for j, row in enumerate(np.asarray(t["scaling"]).reshape(-1, 4)):
        ai = int(round(row[3]))
        e = row[1] + (row[2] * u[ai] if ai >= 0 else 0.0)
        vals[j] = omega**e * (u[j] * r ** row[0])
    return list(vals)


def random_model(
    circuit: str,
    param_names: Sequence[str],
    channels: int = 16,
    dilations: Sequence[int] = (1, 2, 4, 8),
    kernel: int = 5,
    n_grid: int = 64,
    groups: int = 8,
    seed: int = 0,
    scale: float = 0.3,
) -> tuple[dict[str, Any], dict[str, FloatArray]]:
    """Metadata and random tensors of the right names and shapes (for tests)."""
    rng = np.random.default_rng(seed)
    h, p = channels, len(param_names)
    t = {
        "w.stem.weight": rng.normal(0, scale, (h, 3, kernel)),
        "w.stem.bias": rng.normal(0, scale, h),
    }
    for i in range(len(dilations)):
        for conv in ("conv1", "conv2"):
            t[f"w.blocks.{i}.{conv}.weight"] = rng.normal(0, scale / math.sqrt(h), (h, h, kernel))
            t[f"w.blocks.{i}.{conv}.bias"] = rng.normal(0, scale, h)
        for norm in ("norm1", "norm2"):
            t[f"w.blocks.{i}.{norm}.weight"] = 1.0 + rng.normal(0, 0.1, h)
            t[f"w.blocks.{i}.{norm}.bias"] = rng.normal(0, 0.1, h)
    t["w.head.0.weight"] = rng.normal(0, 1 / math.sqrt(2 * h + 2), (4 * h, 2 * h + 2))
    t["w.head.0.bias"] = rng.normal(0, 0.1, 4 * h)
    t["w.head.2.weight"] = rng.normal(0, 1 / math.sqrt(4 * h), (4 * h, 4 * h))
    t["w.head.2.bias"] = rng.normal(0, 0.1, 4 * h)
    t["w.head.4.weight"] = rng.normal(0, 1 / math.sqrt(4 * h), (2 * p, 4 * h))
    t["w.head.4.bias"] = rng.normal(0, 0.1, 2 * p)
    rows, logs = scaling_rows(param_names)
    t["target_mean"] = np.where(logs > 0, rng.normal(0, 0.5, p), 0.8)
    t["target_std"] = np.where(logs > 0, 0.5, 0.1)
    t["scaling"] = rows
    t["log_params"] = logs
    meta = {
        "circuit": circuit,
        "param_names": ",".join(param_names),
        "estimator": "reactive_centroid",
        "n_grid": n_grid,
        "channels": channels,
        "kernel": kernel,
        "groups": groups,
        "dilations": ",".join(str(d) for d in dilations),
        "alpha_min": "0.05",
        "alpha_max": "1.0",
    }
    return meta, t
