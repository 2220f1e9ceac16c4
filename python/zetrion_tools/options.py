"""The settings of a fit, as one object shared by single, batch and distributed fits.

``FitOptions`` carries what ``Circuit.fit`` takes besides the spectrum: the
method and its numeric options, the weighting and the start rule. The same
object goes to :func:`zetrion_tools.fit`, :func:`zetrion_tools.fit_many` and
:func:`zetrion_tools.fit_distributed`, so a batch and a single fit of one
spectrum are set up alike. Every name is checked against the core's own
tables when the object is made.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from .engine import fit_keywords, fit_methods, weightings

__all__ = ["FitOptions", "resolve_options"]

# The options FitOptions carries as fields; the other keywords of
# Circuit.fit (a method's numeric settings) go in method_options.
_FIELDS = ("guess_init", "weights", "weight", "max_iterations", "ftol", "xtol", "seed")


@dataclass(frozen=True)
class FitOptions:
    """Settings of a fit, checked when made.

    Attributes
    ----------
    method : str
        A method of ``Circuit.fit`` (``zetrion_tools.engine.fit_methods()``).
    weight : str
        A weighting: ``"modulus"`` or ``"unit"`` as ``Circuit.fit`` has
        them, or ``"proportional"`` or ``"boukamp"``, which the companion's
        fits apply (a batch with one of them fits through
        :func:`zetrion_tools.fit`).
    guess_init : bool, optional
        The start rule, as in ``Circuit.fit``.
    weights : str, optional
        A ``.eisnn`` weight file for the learned guess.
    max_iterations : int, optional
        The Levenberg-Marquardt budget per start (evaluations per parameter
        and one); the core's default when ``None``.
    ftol, xtol : float
        The solver's tolerances.
    seed : int, optional
        Seed of the global methods.
    method_options : mapping
        A method's own numeric settings (``num_particles``, ...), by the
        names ``Circuit.fit`` takes.
    """

    method: str = "levenberg_marquardt"
    weight: str = "modulus"
    guess_init: bool | None = None
    weights: str | None = None
    max_iterations: int | None = None
    ftol: float = 1e-8
    xtol: float = 1e-8
    seed: int | None = None
    method_options: Mapping[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.method not in fit_methods():
            raise ValueError(f"unknown fit method {self.method!r}; expected one of {', '.join(fit_methods())}")
        if self.weight not in weightings():
            raise ValueError(f"unknown weight {self.weight!r}; expected one of {', '.join(weightings())}")
        allowed = fit_keywords() - set(_FIELDS)
        unknown = sorted(set(self.method_options) - allowed)
        if unknown:
            raise TypeError(f"unknown method option(s) {', '.join(unknown)}; expected some of {', '.join(sorted(allowed))}")

    def core_kwargs(self) -> dict[str, Any]:
        """The keyword arguments of ``Circuit.fit`` besides the spectrum and the method."""
        out: dict[str, Any] = {"weight": self.weight, "ftol": self.ftol, "xtol": self.xtol}
        for name in ("guess_init", "weights", "max_iterations", "seed"):
            value = getattr(self, name)
            if value is not None:
                out[name] = value
        out.update(self.method_options)
        return out

    @classmethod
    def from_keywords(cls, method: str, kwargs: Mapping[str, Any]) -> FitOptions:
        """The options a method name and ``Circuit.fit`` keywords describe."""
        unknown = sorted(set(kwargs) - fit_keywords())
        if unknown:
            raise TypeError(
                f"unknown fit option(s) {', '.join(unknown)}; Circuit.fit accepts {', '.join(sorted(fit_keywords()))}"
            )
        own = {k: v for k, v in kwargs.items() if k in _FIELDS}
        rest = {k: v for k, v in kwargs.items() if k not in _FIELDS}
        return cls(method=method, method_options=rest, **own)


def resolve_options(
    options: FitOptions | None, method: str, fit_kwargs: Mapping[str, Any], default_method: str = "levenberg_marquardt"
) -> tuple[str, dict[str, Any]]:
    """The method and ``Circuit.fit`` keywords of a call given options or keywords, not both."""
    if options is None:
        return method, dict(fit_kwargs)
    if fit_kwargs or method != default_method:
        raise TypeError("give the fit settings either as options=FitOptions(...) or as keywords, not both")
    return options.method, options.core_kwargs()
