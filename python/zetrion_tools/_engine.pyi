# The companion's private compiled engine (built from the same C++ core as zetrion).
from collections.abc import Sequence
from typing import Any

import zetrion

class EngineError(ValueError):
    kind: str

def methods() -> list[str]: ...
def weightings() -> list[str]: ...
def engine_weightings() -> list[str]: ...
def fit_keywords() -> list[str]: ...
def model_names() -> list[str]: ...
def presets() -> list[tuple[str, str]]: ...
def element_kinds() -> list[dict[str, Any]]: ...
def structure(circuit: zetrion.Circuit, /) -> list[Any]: ...
def has_model(circuit: zetrion.Circuit, /) -> bool: ...
def explicit_values(circuit: zetrion.Circuit, /) -> bool: ...
def plain_spectrum(frequencies: Any, impedances: Any, /) -> int | None: ...
def fit(
    circuit: zetrion.Circuit,
    frequencies: Any,
    impedances: Any,
    guess_init: bool | None = ...,
    weights: str | None = ...,
    weight: str = ...,
    method: str = ...,
    *,
    start: Sequence[float] | None = ...,
    fixed: Sequence[float] | None = ...,
    lower: Sequence[float] | None = ...,
    upper: Sequence[float] | None = ...,
    point_weights: Sequence[float] | None = ...,
    extra_starts: Sequence[Sequence[float]] | None = ...,
    screen: int | None = ...,
    polish: int | None = ...,
    **options: Any,
) -> dict[str, Any]: ...
def fit_shared(
    circuit: zetrion.Circuit,
    spectra: Sequence[tuple[Any, Any]],
    starts: Sequence[Sequence[float]],
    shared: Sequence[float] | None = ...,
    held: Sequence[float] | None = ...,
    lower: Sequence[float] | None = ...,
    upper: Sequence[float] | None = ...,
    weight: str = ...,
    point_weights: Sequence[Sequence[float] | None] | None = ...,
    max_iterations: int | None = ...,
    ftol: float | None = ...,
    xtol: float | None = ...,
    gtol: float | None = ...,
) -> dict[str, Any]: ...
def drt(
    frequencies: Any,
    impedances: Any,
    basis: str = ...,
    fwhm_coeff: float = ...,
    shape_factor: float | None = ...,
    derivative: int = ...,
    data: str = ...,
    inductance: bool = ...,
    signed: bool = ...,
    rule: str = ...,
    lam: float = ...,
    lambda_min: float = ...,
    lambda_max: float = ...,
    weighting: str = ...,
    fine_per_decade: int = ...,
    fine_extension: float = ...,
    noise_floor: float = ...,
    density: int = ...,
    centre_shift: float = ...,
    adapt_iterations: int = ...,
    adapt_floor: float = ...,
    adapt_scale: float = ...,
) -> dict[str, Any]: ...
def drt_gamma(
    basis: str, epsilon: float, tau: Sequence[float], coeffs: Sequence[float], tau_out: Sequence[float]
) -> list[float]: ...
