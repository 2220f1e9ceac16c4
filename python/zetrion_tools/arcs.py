"""One order for the parts of a circuit that can swap places.

Blocks in series add, so two blocks of the same make-up (two R-C pairs, two
Zarcs, two ``(R-W, CPE)`` branches) can exchange their values without
changing the impedance: a fit may return the slower arc as arc 1 in one
spectrum and as arc 2 in the next. The companion puts such blocks in one
order, **ascending time constant**: the first block of a kind is the fastest
(the high-frequency arc), the last the slowest.

A block's time constant is ``1 / (2 pi f_peak)``, with ``f_peak`` the
frequency where its own ``-Im Z`` peaks (``R C`` for an R-C pair, ``(R
Q)^(1/alpha)`` for an R-CPE pair, ``tau_k`` for a Zarc). Blocks whose ``-Im
Z`` has no peak inside 1e-12 .. 1e12 Hz (plain resistors in series, an
arc shorted by a huge capacitance) come after the others, in their order;
blocks with a parameter held fixed or bounded differently stay where they
are.
The structure comes from the engine (``_engine.structure``); values,
standard errors and covariances are permuted together.
"""

from __future__ import annotations

import ast
import dataclasses
import functools
import math
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import zetrion

from . import _engine
from .engine import element_kinds

if TYPE_CHECKING:
    from .fitting import ConstrainedFit

__all__ = [
    "arc_permutation",
    "interchangeable_blocks",
    "order_fit",
    "parallel_blocks",
    "permute_names",
    "time_constant",
]

# Frequencies a block's -Im Z is searched over for its peak: 1e-12 to 1e12 Hz.
_GRID = np.logspace(-12.0, 12.0, 24 * 12 + 1)
# (notation of the block alone, first parameter, parameter count)
Block = tuple[str, int, int]


@functools.cache
def _param_counts() -> dict[str, int]:
    return {k.code: len(k.params) for k in element_kinds()}


def _shape(item: Any, counts: Mapping[str, int], labels: list[int]) -> tuple[str, int, int]:
    """Notation, first parameter and parameter count of one series item."""
    if isinstance(item, tuple):
        code, first = str(item[0]), int(item[1])
        labels[0] += 1
        return f"{code}{labels[0]}", first, counts[code]
    branches = []
    starts: list[int] = []
    end = 0
    for branch in item:
        parts = [_shape(x, counts, labels) for x in branch]
        branches.append("-".join(p[0] for p in parts))
        for _, lo, n in parts:
            starts.append(lo)
            end = max(end, lo + n)
    first = min(starts)
    return "(" + ",".join(branches) + ")", first, end - first


def _parallel_blocks(series: Sequence[Any], counts: Mapping[str, int], out: list[Block]) -> None:
    for item in series:
        if isinstance(item, list):
            out.append(_shape(item, counts, [0]))
            for branch in item:
                _parallel_blocks(branch, counts, out)


@functools.lru_cache(maxsize=256)
def _arcs_of(structure: str) -> tuple[Block, ...]:
    out: list[Block] = []
    _parallel_blocks(ast.literal_eval(structure), _param_counts(), out)
    return tuple(out)


def parallel_blocks(circuit: zetrion.Circuit) -> tuple[Block, ...]:
    """Every parallel group of the circuit (the arcs), outermost first, as
    ``(notation, first, count)``."""
    return _arcs_of(repr(_engine.structure(circuit)))


def _series_groups(series: Sequence[Any], counts: Mapping[str, int], out: list[tuple[Block, ...]]) -> None:
    """Blocks of one series list that share a make-up, then those of nested lists."""
    by_shape: dict[str, list[Block]] = {}
    for item in series:
        notation, first, n = _shape(item, counts, [0])
        by_shape.setdefault(notation, []).append((notation, first, n))
        if isinstance(item, list):
            for branch in item:
                _series_groups(branch, counts, out)
    out.extend(tuple(blocks) for blocks in by_shape.values() if len(blocks) > 1)


@functools.lru_cache(maxsize=256)
def _blocks_of(structure: str) -> tuple[tuple[Block, ...], ...]:
    out: list[tuple[Block, ...]] = []
    _series_groups(ast.literal_eval(structure), _param_counts(), out)
    return tuple(out)


def interchangeable_blocks(circuit: zetrion.Circuit | str) -> tuple[tuple[Block, ...], ...]:
    """Groups of series blocks that can swap values without changing the impedance.

    Each group lists its blocks as ``(notation, first, count)``: the block's
    notation on its own, the index of its first parameter in the circuit's
    flat order, and its number of parameters.
    """
    if isinstance(circuit, str):
        circuit = zetrion.Circuit(circuit)
    # the engine's structure is plain tuples, lists, strings and integers:
    # its text is a key for the cache
    return _blocks_of(repr(_engine.structure(circuit)))


@functools.lru_cache(maxsize=256)
def _block_circuit(notation: str) -> zetrion.Circuit:
    return zetrion.Circuit(notation)


def time_constant(notation: str, values: Sequence[float]) -> float:
    """Time constant of a block (``1 / (2 pi f)`` at the peak of its ``-Im Z``).

    NaN when ``-Im Z`` has no peak inside 1e-12 .. 1e12 Hz.
    """
    z = _block_circuit(notation).with_values(list(values)).impedance(_GRID)
    y = -np.asarray(z).imag
    k = int(np.argmax(y))
    if not 0 < k < y.size - 1 or not np.isfinite(y[k]) or y[k] <= 0:
        return math.nan
    # refine the peak on a parabola through three points in log f
    a, b, c = y[k - 1], y[k], y[k + 1]
    denom = a - 2 * b + c
    shift = 0.5 * (a - c) / denom if denom != 0 else 0.0
    step = math.log10(_GRID[1] / _GRID[0])
    f_peak = 10 ** (math.log10(_GRID[k]) + max(-0.5, min(0.5, shift)) * step)
    return 1.0 / (2 * math.pi * f_peak)


def arc_permutation(
    circuit: zetrion.Circuit,
    values: Sequence[float],
    locked: Sequence[bool] | None = None,
) -> list[int] | None:
    """The reordering that puts interchangeable blocks in ascending time constant.

    Returns ``perm`` with ``new[i] = old[perm[i]]`` over the flat parameter
    list, or ``None`` when the order is already right. Blocks holding a
    ``locked`` parameter (held fixed, or bounded differently) stay put.
    """
    n = len(values)
    perm = list(range(n))
    for group in interchangeable_blocks(circuit):
        free = [b for b in group if not (locked and any(locked[b[1] : b[1] + b[2]]))]
        if len(free) < 2:
            continue
        taus = [time_constant(b[0], values[b[1] : b[1] + b[2]]) for b in free]
        # blocks without a peak (a shorted or vanishing arc) go last
        order = sorted(range(len(free)), key=lambda i: (math.isnan(taus[i]), 0.0 if math.isnan(taus[i]) else taus[i]))
        for slot, src in zip(free, (free[i] for i in order)):
            for k in range(slot[2]):
                perm[slot[1] + k] = src[1] + k
    return None if perm == list(range(n)) else perm


def permute_names(names: Sequence[str], perm: Sequence[int]) -> dict[str, str]:
    """Where each parameter's value goes: old name to new name."""
    return {names[src]: names[dst] for dst, src in enumerate(perm)}


def _renamed(combo: Mapping[str, float], moves: Mapping[str, str]) -> dict[str, float]:
    return {moves.get(name, name): weight for name, weight in combo.items()}


def order_fit(result: ConstrainedFit) -> ConstrainedFit:
    """A companion fit with its interchangeable blocks in ascending time constant.

    Values, standard errors, covariance and correlation, the starting
    values and the undetermined combinations move together; the impedance,
    residuals and statistics are those of the same fit. A parameter held
    fixed or given its own range locks its block in place.
    """
    if not interchangeable_blocks(result.circuit):
        return result
    names = list(result.params)
    validity = dict(zip(names, result.circuit.param_bounds()))
    locked = [n in result.fixed or tuple(result.bounds.get(n, ())) != tuple(validity[n]) for n in names]
    values = [result.params[n] for n in names]
    perm = arc_permutation(result.circuit, values, locked)
    if perm is None:
        return result
    moves = permute_names(names, perm)
    new_values = [values[j] for j in perm]
    free = list(result.free)
    # free parameters stay free (locked blocks never move): reindex the matrices
    at = [free.index(names[perm[names.index(n)]]) for n in free]
    return dataclasses.replace(
        result,
        circuit=result.circuit.with_values(new_values),
        params=dict(zip(names, new_values)),
        stderr={n: result.stderr[names[j]] for n, j in zip(names, perm)},
        covariance=result.covariance[np.ix_(at, at)],
        correlation=result.correlation[np.ix_(at, at)],
        start={n: result.start[names[j]] for n, j in zip(names, perm)} if result.start else {},
        undetermined=tuple(_renamed(c, moves) for c in result.undetermined),
    )
