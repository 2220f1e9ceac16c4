"""Batched screening of the RC count: mu for M = first, first + 1, ...

Trial counts are taken in batches. A batch stacks the design matrices of its
trials, zero-padded to the largest, forms all normal equations with one
batched product (a padded unknown gets a unit diagonal and solves to zero)
and solves them in one call. mu depends only on the R_k, so the one-part
fits skip what they fit afterwards (L and C for "real", R_0 for "imag").
The normal equations are accurate enough to screen; the chosen M's solution
gets one step of iterative refinement, and is re-solved by SVD when that
step shows it was inaccurate (ill-conditioned designs at large M).
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from functools import lru_cache
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .test import TINY, Design, lstsq

__all__ = ["DEFAULT_BATCHES", "ScreenInputs", "Screening", "batch_layout", "screen"]

# Trials per batch. Most spectra stop at a handful of RC elements, and a
# batch's work grows with the square of its size (every trial is padded to
# the largest), so the first batch is small; later ones are larger to keep
# the number of NumPy calls down.
DEFAULT_BATCHES = (6, 8)  # the last size repeats


@dataclass(frozen=True, eq=False)
class ScreenInputs:
    """What the screening needs: the design's columns and the stopping rule.

    The screen stops at the first M >= ``first`` with mu <= ``c`` or at
    ``max_M``; ``batches`` gives the trials per batch (the last repeats).
    """

    fit_type: str
    w: NDArray[np.float64]
    mod: NDArray[np.float64]
    b_re: NDArray[np.float64]
    b_im: NDArray[np.float64]
    col_r0: NDArray[np.float64]
    col_c: NDArray[np.float64] | None
    col_l: NDArray[np.float64] | None
    t_min: float
    t_max: float
    c: float
    first: int
    max_M: int
    mod_max: float
    batches: tuple[int, ...] = DEFAULT_BATCHES

    @classmethod
    def of(
        cls, d: Design, c: float, first: int, max_M: int, batches: tuple[int, ...] = DEFAULT_BATCHES
    ) -> ScreenInputs:
        """The inputs for screening design d."""
        return cls(
            d.fit_type, d.w, d.mod, d.b_re, d.b_im, d.col_r0, d.col_c, d.col_l,
            d.t_min, d.t_max, c, first, max_M, d.mod_max, batches,
        )

    def values(self) -> tuple[Any, ...]:
        """The fields in order (``ScreenInputs(*inputs.values())`` rebuilds it)."""
        return tuple(getattr(self, name) for name in _FIELDS)


_FIELDS = tuple(f.name for f in dataclasses.fields(ScreenInputs))


@dataclass(frozen=True, eq=False)
class Screening:
    """Outcome of :func:`screen`.

    Attributes
    ----------
    history : list of float
        mu for M = first, first + 1, ..., M.
    M : int
        The chosen count (max_M when none reached c).
    time_constants : ndarray of float64
        Its time constants.
    coef : ndarray of float64
        Its coefficients: the fixed columns (R_0, [1/C], [L] for the complex
        fit, R_0 for "real", [1/C], [L] for "imag"), then R_k.
    fitted : ndarray of float64 or None
        For the complex fit, the fitted Z / |Z| with real and imaginary parts
        interleaved; None for the one-part fits, whose design lacks a part.
    """

    history: list[float]
    M: int
    time_constants: NDArray[np.float64]
    coef: NDArray[np.float64]
    fitted: NDArray[np.float64] | None


@dataclass(frozen=True, eq=False)
class _Fixed:
    """The columns every trial shares, and the right-hand side.

    ``re_rows`` and ``im_rows`` select the rows of the RC columns' real and
    imaginary parts (None for the part a one-part fit leaves out); ``scale``
    undoes the scaling of the fixed columns on their coefficients. The rest
    are what every batch's RC columns start from.
    """

    nf: int
    rows: int
    re_rows: slice | None
    im_rows: slice | None
    fixed: NDArray[np.float64]
    scale: NDArray[np.float64]
    rhs: NDArray[np.float64]
    inv_mod: NDArray[np.float64]  # 1/|Z| as a column
    neg_w: NDArray[np.float64]  # -w
    log_min: float  # log10(t_min)
    log_span: float  # log10(t_max / t_min)


def _fixed_part(inp: ScreenInputs) -> _Fixed:
    # with -w, x * d in _batch_designs is the imaginary part itself, and x * x unchanged
    shared = ((1.0 / inp.mod)[:, None], -inp.w, np.log10(inp.t_min), np.log10(inp.t_max / inp.t_min))
    n = inp.w.size
    col_c = inp.col_c
    reactive = [col for col in (col_c, inp.col_l) if col is not None]
    # The inductance and capacitance columns span many decades; scale them
    # to at most 1/|Z| like the RC columns (undone on the coefficients).
    # |L column| * |Z| = w and |C column| * |Z| = 1/w
    col_scale = [1.0 / inp.t_max if col is col_c else inp.t_min for col in reactive]
    if inp.fit_type == "complex":
        # real and imaginary rows alternate, so that the fitted values read
        # as complex numbers
        nf, rows, re_rows, im_rows = 1 + len(reactive), 2 * n, slice(0, None, 2), slice(1, None, 2)
        fixed = np.zeros((rows, nf))
        fixed[re_rows, 0] = inp.col_r0
        for j, (col, sc) in enumerate(zip(reactive, col_scale)):
            fixed[im_rows, 1 + j] = col * sc
        rhs = np.empty(rows)
        rhs[re_rows] = inp.b_re
        rhs[im_rows] = inp.b_im
        return _Fixed(nf, rows, re_rows, im_rows, fixed, np.array([1.0] + col_scale), rhs, *shared)
    if inp.fit_type == "real":
        return _Fixed(1, n, slice(None), None, inp.col_r0[:, None], np.ones(1), inp.b_re, *shared)
    nf = len(reactive)
    fixed = np.zeros((n, nf))
    for j, (col, sc) in enumerate(zip(reactive, col_scale)):
        fixed[:, j] = col * sc
    return _Fixed(nf, n, None, slice(None), fixed, np.array(col_scale), inp.b_im, *shared)


@lru_cache(maxsize=64)
def batch_layout(
    first: int, last: int, nf: int
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], NDArray[np.float64]]:
    """Fixed parts of a batch of trials M = first..last, padded to ``last``.

    Returns positions u (tau = 10**(log10 t_min + u log10(t_max/t_min))),
    the real slots as 0/1 of shape (batch, 1, last), the masks of the slots
    that are exactly t_min and t_max, and what to add to the normal
    equations (with ``nf`` fixed columns first): a unit diagonal for every
    padded unknown, so that it solves to zero without touching the others.
    """
    counts = np.arange(first, last + 1)
    k = np.arange(last)
    with np.errstate(divide="ignore", invalid="ignore"):
        u = np.where(counts[:, None] > 1, k[None, :] / (counts[:, None] - 1), 1.0)
    valid = k[None, :] < counts[:, None]
    at_min = (k[None, :] == 0) & (counts[:, None] > 1)
    at_max = k[None, :] == counts[:, None] - 1
    u = np.where(valid, u, 0.0)
    pad = np.zeros((counts.size, nf + last, nf + last))
    diag = np.arange(nf, nf + last)
    pad[:, diag, diag] = ~valid
    validf = valid.astype(np.float64)[:, None, :]
    for arr in (u, validf, at_min, at_max, pad):
        arr.setflags(write=False)
    return u, validf, at_min, at_max, pad


@dataclass(frozen=True, eq=False)
class _Batch:
    """One batch of trials: time constants, designs, normal equations, solutions, mu."""

    taus: NDArray[np.float64]
    a: NDArray[np.float64]
    gram: NDArray[np.float64]
    sol: NDArray[np.float64]
    mus: NDArray[np.float64]


def _batch_designs(
    inp: ScreenInputs, fx: _Fixed, first: int, last: int
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Time constants, stacked design matrices and the padding of trials first..last."""
    u, validf, at_min, at_max, pad = batch_layout(first, last, fx.nf)
    batch = u.shape[0]
    taus = 10.0 ** (fx.log_min + u * fx.log_span)
    taus[at_min] = inp.t_min
    taus[at_max] = inp.t_max
    x = np.multiply.outer(taus, fx.neg_w).transpose(0, 2, 1)  # (batch, n, last)
    d = 1.0 + x * x
    np.divide(fx.inv_mod, d, out=d)  # Re of 1/(1 + j w tau) / |Z|
    d *= validf
    a = np.empty((batch, fx.rows, fx.nf + last))
    a[:, :, : fx.nf] = fx.fixed
    if fx.re_rows is not None:
        a[:, fx.re_rows, fx.nf :] = d
    if fx.im_rows is not None:
        np.multiply(x, d, out=a[:, fx.im_rows, fx.nf :])
    return taus, a, pad


def _batch_mus(sol: NDArray[np.float64], nf: int, tiny: float) -> NDArray[np.float64]:
    """mu of every trial from its solution (fixed columns first)."""
    rk = sol[:, nf:]
    rk = np.where(np.abs(rk) > tiny, rk, 0.0)
    total = np.abs(rk).sum(axis=1)
    net = rk.sum(axis=1)
    pos = total + net  # twice the positive mass
    neg = net - total  # minus twice the negative mass
    if pos.all():
        return np.asarray(1.0 + neg / pos, dtype=np.float64)
    out = np.divide(neg, pos, out=np.where(neg < 0, -np.inf, -1.0), where=pos > 0) + 1.0
    return np.asarray(out, dtype=np.float64)


def _run_batch(inp: ScreenInputs, fx: _Fixed, first: int, last: int) -> _Batch:
    taus, a, pad = _batch_designs(inp, fx, first, last)
    at = a.transpose(0, 2, 1)
    gram = at @ a
    gram += pad
    proj = at @ fx.rhs
    try:
        sol = np.linalg.solve(gram, proj[:, :, None])[:, :, 0]
    except np.linalg.LinAlgError:
        sol = np.stack([np.linalg.lstsq(g, q, rcond=None)[0] for g, q in zip(gram, proj)])
    solved = np.asarray(sol, dtype=np.float64)
    return _Batch(taus, a, gram, solved, _batch_mus(solved, fx.nf, TINY * inp.mod_max))


def _refine(fx: _Fixed, run: _Batch, b: int, m: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Coefficients of trial b (m RC elements), refined, and its design."""
    p = fx.nf + m
    a_b = run.a[b, :, :p]
    coef = run.sol[b, :p]
    try:
        step = np.linalg.solve(run.gram[b, :p, :p], a_b.T @ (fx.rhs - a_b @ coef))
        coef = coef + step
        accurate = bool(np.max(np.abs(step)) <= 1e-9 * np.max(np.abs(coef)))
    except np.linalg.LinAlgError:
        accurate = False
    if not accurate:
        coef = lstsq(a_b, fx.rhs)
    return coef, a_b


def screen(inp: ScreenInputs) -> Screening:
    """mu for M = first, first + 1, ... up to the first M with mu <= c.

    The chosen M comes back solved to least-squares accuracy (see the module
    docstring); when none reaches c, the last, max_M, is taken.
    """
    fx = _fixed_part(inp)
    history: list[float] = []
    first = inp.first
    n_batch = 0
    while True:
        size = inp.batches[min(n_batch, len(inp.batches) - 1)]
        n_batch += 1
        last = min(inp.max_M, first + size - 1)
        run = _run_batch(inp, fx, first, last)
        hit = np.flatnonzero(run.mus <= inp.c)
        if hit.size or last == inp.max_M:
            b = int(hit[0]) if hit.size else run.mus.size - 1
            history.extend(run.mus[: b + 1].tolist())
            m = first + b
            coef, a_b = _refine(fx, run, b, m)
            fitted = a_b @ coef if inp.fit_type == "complex" else None
            coef[: fx.nf] *= fx.scale
            return Screening(history, m, run.taus[b, :m].copy(), coef, fitted)
        history.extend(run.mus.tolist())
        first = last + 1
