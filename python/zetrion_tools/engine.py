"""The names the compiled core knows, read from it once.

The fit methods, weightings, presets and element kinds (with their
parameters' units, defaults and validity bounds) are defined once, in the
C++ core; this module reads them from the companion's private engine so that
nothing here spells them a second time.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import zetrion

from . import _engine

__all__ = [
    "EngineError",
    "ElementKind",
    "ParamInfo",
    "element_kinds",
    "circuit_weightings",
    "fit_keywords",
    "fit_methods",
    "has_learned_model",
    "model_names",
    "presets",
    "weightings",
]

EngineError: type[ValueError] = _engine.EngineError
"""A request the engine refuses; its ``kind`` attribute names the reason."""


@dataclass(frozen=True)
class ParamInfo:
    """One parameter of an element kind."""

    name: str
    unit: str
    default: float
    lower: float
    upper: float


@dataclass(frozen=True)
class ElementKind:
    """An element kind: its notation code(s), class name and parameters."""

    code: str
    alt_code: str
    class_name: str
    params: tuple[ParamInfo, ...]


@functools.cache
def fit_methods() -> tuple[str, ...]:
    """The fit method names ``Circuit.fit`` and :func:`zetrion_tools.fit` accept."""
    return tuple(_engine.methods())


@functools.cache
def weightings() -> tuple[str, ...]:
    """The weighting names the companion's fits take.

    Those of ``Circuit.fit`` (:func:`circuit_weightings`: ``"modulus"``,
    ``"unit"``) and the engine's further ones (``"proportional"``,
    ``"boukamp"``), which the companion applies as per-point standard
    deviations read from the data.
    """
    return (*_engine.weightings(), *_engine.engine_weightings())


@functools.cache
def circuit_weightings() -> tuple[str, ...]:
    """The weighting names ``Circuit.fit`` itself takes (``"modulus"``, ``"unit"``)."""
    return tuple(_engine.weightings())


@functools.cache
def fit_keywords() -> frozenset[str]:
    """The keyword options of ``Circuit.fit`` beyond the spectrum and the method."""
    return frozenset(_engine.fit_keywords())


@functools.cache
def presets() -> dict[str, str]:
    """Preset name to notation, in the core's order."""
    return dict(_engine.presets())


@functools.cache
def model_names() -> tuple[str, ...]:
    """The built-in learned models (one per preset)."""
    return tuple(_engine.model_names())


@functools.cache
def element_kinds() -> tuple[ElementKind, ...]:
    """The fourteen element kinds, in the core's table order."""
    return tuple(
        ElementKind(k["code"], k["alt_code"], k["class_name"], tuple(ParamInfo(*p) for p in k["params"]))
        for k in _engine.element_kinds()
    )


def has_learned_model(circuit: zetrion.Circuit | str) -> bool:
    """Whether a built-in learned model matches the circuit's topology.

    Labels, the order of series elements and of parallel branches do not
    matter, as for ``Circuit.fit``. A notation that does not parse raises
    the parser's ``ValueError``.
    """
    if isinstance(circuit, str):
        circuit = zetrion.Circuit(circuit)
    return bool(_engine.has_model(circuit))
