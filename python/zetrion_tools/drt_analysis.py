"""Distribution of relaxation times (DRT) of an impedance spectrum.

The spectrum is written as a series resistance, an optional series
inductance and a continuum of relaxations,

    Z(w) = R_inf + i w L + integral gamma(ln tau) / (1 + i w tau) d ln tau,

and gamma is recovered by Tikhonov regularisation on a radial-basis
discretisation (one basis function per measured frequency, centred at
tau = 1 / (2 pi f)): the coefficients minimise the squared misfit plus
``lam`` times the integral of the squared first or second derivative of
gamma, either with every coefficient non-negative or, for spectra with a
low-frequency inductive loop, without that constraint (a signed DRT).
``lam`` is given, or chosen by generalised cross-validation (GCV), modified
or robust GCV, the corner of the L-curve, or cross-validation between the
real and imaginary parts. The numerics run in the compiled core; one
spectrum of 81 points takes a few milliseconds.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from . import _engine
from .checks import check_spectrum

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

__all__ = [
    "BASES",
    "centre_shift",
    "complex_pairs",
    "LAMBDA_RULES",
    "DrtResult",
    "detect_inductive_loop",
    "resolve_signed",
    "drt",
    "load_drt",
]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

BASES = (
    "gaussian",
    "c0_matern",
    "c2_matern",
    "c4_matern",
    "c6_matern",
    "inverse_quadratic",
    "inverse_quadric",
    "cauchy",
    "piecewise_linear",
)
"""The radial basis functions a DRT can be built on."""

LAMBDA_RULES = ("gcv", "mgcv", "rgcv", "lcurve", "re_im")
"""The automatic choices of the regularisation parameter."""

# A low-frequency inductive loop is taken as real when this many
# consecutive points below the capacitive maximum have an imaginary part
# above this share of |Z| (1 % noise crosses it on a point in about 7 %
# of draws, three in a row about once in 3000).
LOOP_SHARE = 0.015
LOOP_RUN = 3


@dataclass(frozen=True)
class DrtResult:
    """Outcome of :func:`drt`.

    Attributes
    ----------
    tau, gamma : ndarray
        gamma(tau) in ohm on a fine grid spanning the measured time constants
        (half a decade beyond each end by default).
    tau_centres, coefficients : ndarray
        The basis centres (s) and their coefficients (ohm).
    basis : str
        The basis function; ``epsilon`` its shape factor (1 / ln-tau units).
    r_inf, inductance : float
        The series resistance (ohm) and inductance (H; 0 when not fitted).
    polarisation : float
        The area under gamma over ln tau (ohm): the resistance the DRT
        accounts for between R_inf and the lowest frequency's limit.
    frequencies, impedance : ndarray
        The spectrum deconvolved.
    z_fit : ndarray of complex128
        The impedance of the DRT (with R_inf and L) at ``frequencies``.
    residuals : ndarray of complex128
        ``(z_fit - impedance) / |impedance|``.
    lam : float
        The regularisation parameter of the final solution.
    rule_lam : float
        The one the rule chose (or the one given); ``lam`` is three times
        it when a rule chose it and the smoothing is adaptive.
    lambda_rule : str
        ``"given"`` or the rule that chose ``lam``.
    lambda_scan : tuple of ndarray
        ``(lambdas, scores)`` of the rule's criterion over its scan (empty
        when ``lam`` was given); the rule minimises the score.
    signed : bool
        Whether gamma was allowed to go negative.
    signed_reason : str
        ``"given"``, ``"inductive loop detected"`` or ``"no inductive loop"``.
    settings : dict
        Every setting used, as :func:`drt` takes them.
    """

    tau: FloatArray
    gamma: FloatArray
    tau_centres: FloatArray
    coefficients: FloatArray
    basis: str
    epsilon: float
    r_inf: float
    inductance: float
    polarisation: float
    frequencies: FloatArray
    impedance: ComplexArray
    z_fit: ComplexArray
    residuals: ComplexArray
    lam: float
    rule_lam: float
    lambda_rule: str
    lambda_scan: tuple[FloatArray, FloatArray]
    signed: bool
    signed_reason: str
    settings: dict[str, Any] = field(default_factory=dict)

    @property
    def frequency(self) -> FloatArray:
        """``1 / (2 pi tau)`` of the fine grid (Hz)."""
        return np.asarray(1.0 / (2.0 * math.pi * self.tau), dtype=np.float64)

    def gamma_at(self, tau: npt.ArrayLike) -> FloatArray:
        """gamma (ohm) at any time constants (s), from the basis expansion."""
        t = np.atleast_1d(np.asarray(tau, dtype=np.float64))
        if t.ndim != 1 or not np.all(t > 0):
            raise ValueError("tau must be a 1-D array of values > 0")
        out = _engine.drt_gamma(self.basis, self.epsilon, self.tau_centres.tolist(), self.coefficients.tolist(), t.tolist())
        return np.asarray(out, dtype=np.float64)

    def peaks(self, **options: Any) -> pd.DataFrame:
        """The peaks of gamma as a table; see :func:`zetrion_tools.drt_peaks.find_peaks`."""
        from .drt_peaks import find_peaks

        return find_peaks(self, **options)

    def plot(self, **options: Any) -> Any:
        """gamma against tau or frequency; see :func:`zetrion_tools.drt_plot.plot_drt`."""
        from .drt_plot import plot_drt

        return plot_drt(self, **options)

    def to_dict(self) -> dict[str, Any]:
        """Plain JSON-ready data (complex values as [re, im] pairs)."""
        return {
            "kind": "zetrion_tools.drt",
            "version": 1,
            "tau": self.tau.tolist(),
            "gamma": self.gamma.tolist(),
            "tau_centres": self.tau_centres.tolist(),
            "coefficients": self.coefficients.tolist(),
            "basis": self.basis,
            "epsilon": self.epsilon,
            "r_inf": self.r_inf,
            "inductance": self.inductance,
            "polarisation": self.polarisation,
            "frequencies": self.frequencies.tolist(),
            "impedance": complex_pairs(self.impedance),
            "z_fit": complex_pairs(self.z_fit),
            "lam": self.lam,
            "rule_lam": self.rule_lam,
            "lambda_rule": self.lambda_rule,
            "lambda_scan": [self.lambda_scan[0].tolist(), self.lambda_scan[1].tolist()],
            "signed": self.signed,
            "signed_reason": self.signed_reason,
            "settings": self.settings,
        }

    def save(self, path: str) -> None:
        """Writes :meth:`to_dict` as JSON (non-finite numbers as null)."""
        text = json.dumps(_finite(self.to_dict()), indent=1, allow_nan=False)
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(text)


def complex_pairs(z: ComplexArray) -> list[list[float]]:
    """Complex values as [re, im] pairs."""
    return [[float(v.real), float(v.imag)] for v in z]


def _number(v: Any) -> float:
    return math.nan if v is None else float(v)


def _floats(v: Any) -> FloatArray:
    return np.asarray([_number(x) for x in v], dtype=np.float64)


def _complexes(v: Any) -> ComplexArray:
    return np.asarray([complex(_number(a), _number(b)) for a, b in v], dtype=np.complex128)


def _finite(o: Any) -> Any:
    if isinstance(o, float):
        return o if math.isfinite(o) else None
    if isinstance(o, dict):
        return {k: _finite(v) for k, v in o.items()}
    if isinstance(o, list):
        return [_finite(v) for v in o]
    return o


def load_drt(source: str | dict[str, Any]) -> DrtResult:
    """A :class:`DrtResult` from :meth:`DrtResult.save`'s file or :meth:`DrtResult.to_dict`'s data."""
    if isinstance(source, dict):
        d = source
    else:
        with open(source, encoding="utf-8") as fh:
            d = json.load(fh)
    if not isinstance(d, dict) or d.get("kind") != "zetrion_tools.drt":
        raise ValueError("not a DRT record")
    num, arr, cpl = _number, _floats, _complexes
    z, z_fit = cpl(d["impedance"]), cpl(d["z_fit"])
    return DrtResult(
        tau=arr(d["tau"]),
        gamma=arr(d["gamma"]),
        tau_centres=arr(d["tau_centres"]),
        coefficients=arr(d["coefficients"]),
        basis=str(d["basis"]),
        epsilon=num(d["epsilon"]),
        r_inf=num(d["r_inf"]),
        inductance=num(d["inductance"]),
        polarisation=num(d["polarisation"]),
        frequencies=arr(d["frequencies"]),
        impedance=z,
        z_fit=z_fit,
        residuals=(z_fit - z) / np.abs(z),
        lam=num(d["lam"]),
        rule_lam=num(d.get("rule_lam", d["lam"])),
        lambda_rule=str(d["lambda_rule"]),
        lambda_scan=(arr(d["lambda_scan"][0]), arr(d["lambda_scan"][1])),
        signed=bool(d["signed"]),
        signed_reason=str(d["signed_reason"]),
        settings=dict(d.get("settings", {})),
    )


def detect_inductive_loop(f: npt.ArrayLike, z: npt.ArrayLike) -> bool:
    """Whether the spectrum has a low-frequency inductive loop.

    True when, below the frequency of the largest capacitive (negative)
    imaginary part, at least three consecutive points have a positive
    imaginary part above 1.5 % of |Z|: such points have no place in a
    non-negative DRT.
    """
    fa = np.asarray(f, dtype=np.float64)
    za = np.asarray(z, dtype=np.complex128)
    order = np.argsort(fa)
    fa, za = fa[order], za[order]
    if za.size < LOOP_RUN + 1 or not np.any(za.imag < 0):
        return False
    peak = int(np.argmin(za.imag))
    low = za[:peak]
    above = low.imag > LOOP_SHARE * np.abs(low)
    run = 0
    for flag in above:
        run = run + 1 if flag else 0
        if run >= LOOP_RUN:
            return True
    return False


def drt(
    f: npt.ArrayLike,
    z: npt.ArrayLike,
    *,
    lam: float | None = None,
    rule: Literal["gcv", "mgcv", "rgcv", "lcurve", "re_im"] = "gcv",
    basis: str = "gaussian",
    fwhm_coeff: float = 0.5,
    shape_factor: float | None = None,
    derivative: int = 1,
    data: Literal["both", "real", "imag"] = "both",
    inductance: bool = True,
    signed: bool | Literal["auto"] = "auto",
    weighting: Literal["none", "modulus"] = "none",
    lambda_range: tuple[float, float] = (1e-8, 10.0),
    noise_floor: float = 5e-5,
    adaptive: bool | int = 2,
    adaptive_floor: float = 0.005,
    density: int = 1,
    centres: Literal["omega", "f"] = "omega",
    points_per_decade: int = 40,
    extend_decades: float = 0.5,
    check_sign: bool = True,
) -> DrtResult:
    """The distribution of relaxation times of a spectrum.

    Parameters
    ----------
    f, z : array_like
        Frequencies (Hz) and impedances (ohm), checked as a fit checks them
        (``DataError`` for NaN, infinite, mismatched or too few values).
    lam : float, optional
        The regularisation parameter; by default ``rule`` chooses it.
    rule : str
        ``"gcv"`` (default), ``"mgcv"``, ``"rgcv"`` (modified, robust GCV),
        ``"lcurve"`` or ``"re_im"`` (re/im cross-validation).
    basis : str
        One of :data:`BASES`; ``"gaussian"`` by default.
    fwhm_coeff : float
        The basis width: its full width at half maximum is the mean spacing
        of ln tau divided by this (0.5: twice the spacing).
    shape_factor : float, optional
        The basis shape factor eps itself, instead of ``fwhm_coeff``.
    derivative : int
        The derivative penalised, 1 (default) or 2.
    data : str
        Fit ``"both"`` parts, only the ``"real"`` or the ``"imag"`` part.
    inductance : bool
        Fit a series inductance.
    signed : bool or "auto"
        Let gamma go negative; ``"auto"`` when :func:`detect_inductive_loop`
        finds a low-frequency inductive loop.
    weighting : str
        ``"none"`` (default) or ``"modulus"`` (relative misfit).
    lambda_range : (float, float)
        Where the rule looks.
    noise_floor : float
        For the GCV rules: the largest lambda whose score stays below the
        minimum plus the variance of this relative noise level is taken, so
        that clean data do not drive lambda to the bottom of its range
        (docs/drt.md). 0 gives plain GCV.
    adaptive : bool or int
        Re-solves with locally adapted smoothing (default 2, as ``True``;
        0 or ``False`` gives plain Tikhonov regularisation): the penalty on each stretch of ln tau is
        weighted by ``(1 + adaptive_floor) / (|gamma| / max |gamma| +
        adaptive_floor)`` from the previous solution, so that peaks keep
        their height while the background between them is smoothed more.
        With a rule, these solves use three times the lambda it chose
        (``DrtResult.lam``; the rule's own is ``DrtResult.rule_lam``).
    adaptive_floor : float
        The relative level of gamma below which the smoothing stops
        growing (0 < value <= 1).
    density : int
        Basis centres per point spacing (1 to 8; cost grows as its cube).
    centres : str
        Centres at ``tau = 1 / (2 pi f)`` (``"omega"``) or at ``1 / f``
        (``"f"``, as DRTtools places them).
    points_per_decade, extend_decades : int, float
        The density and reach of the fine grid ``DrtResult.tau``.
    check_sign : bool
        Warn when the imaginary sign looks flipped.
    """
    settings: dict[str, Any] = {k: v for k, v in locals().items() if k not in ("f", "z", "check_sign")}
    settings["rule"] = "given" if lam is not None else rule
    settings["lambda_range"] = [float(lambda_range[0]), float(lambda_range[1])]
    freq, imp = check_spectrum(f, z, n_params=4, check_sign=check_sign)
    if basis not in BASES:
        raise ValueError(f"unknown basis {basis!r}; choose one of {', '.join(BASES)}")
    if lam is None and rule not in LAMBDA_RULES:
        raise ValueError(f"unknown rule {rule!r}; choose one of {', '.join(LAMBDA_RULES)}")
    is_signed, reason = resolve_signed(signed, freq, imp)
    raw = _run(freq, imp, settings, is_signed)
    return _result(freq, imp, raw, settings, is_signed, reason)


def centre_shift(centres: str) -> float:
    """The shift in ln tau of the basis centres from ``1 / (2 pi f)``."""
    if centres == "omega":
        return 0.0
    if centres == "f":
        return math.log(2 * math.pi)
    raise ValueError("centres must be 'omega' or 'f'")


def resolve_signed(signed: Any, freq: FloatArray, imp: ComplexArray) -> tuple[bool, str]:
    """Whether the DRT is signed, and why."""
    if isinstance(signed, str) and signed == "auto":
        loop = detect_inductive_loop(freq, imp)
        return loop, "inductive loop detected" if loop else "no inductive loop"
    if isinstance(signed, bool):
        return signed, "given"
    raise ValueError("signed must be True, False or 'auto'")


def _run(freq: FloatArray, imp: ComplexArray, s: dict[str, Any], is_signed: bool) -> dict[str, Any]:
    lam = s["lam"]
    try:
        out: dict[str, Any] = _engine.drt(
            freq,
            imp,
            basis=s["basis"],
            fwhm_coeff=float(s["fwhm_coeff"]),
            shape_factor=None if s["shape_factor"] is None else float(s["shape_factor"]),
            derivative=s["derivative"],
            data=s["data"],
            inductance=bool(s["inductance"]),
            signed=is_signed,
            rule=s["rule"],
            lam=1e-3 if lam is None else float(lam),
            lambda_min=float(s["lambda_range"][0]),
            lambda_max=float(s["lambda_range"][1]),
            weighting=s["weighting"],
            fine_per_decade=s["points_per_decade"],
            fine_extension=float(s["extend_decades"]),
            noise_floor=float(s["noise_floor"]),
            density=int(s["density"]),
            centre_shift=centre_shift(s["centres"]),
            adapt_iterations=_count(s["adaptive"], "adaptive"),
            adapt_floor=float(s["adaptive_floor"]),
        )
        return out
    except _engine.EngineError as exc:
        raise ValueError(str(exc)) from None


def _count(v: Any, name: str) -> int:
    if isinstance(v, bool):  # True: the default number of re-solves
        return 2 if v else 0
    if not isinstance(v, (int, np.integer)) or not 0 <= v <= 20:
        raise ValueError(f"{name} must be an integer from 0 to 20")
    return int(v)


def _array(data: bytes, dtype: type[np.generic] = np.float64) -> Any:
    """A writable array of the engine's native-order bytes."""
    return np.frombuffer(data, dtype=dtype).copy()


def _result(
    freq: FloatArray, imp: ComplexArray, raw: dict[str, Any], settings: dict[str, Any], is_signed: bool, reason: str
) -> DrtResult:
    z_fit = _array(raw["z_fit"], np.complex128)
    grid = np.power(10.0, _array(raw["lambda_grid"]))
    return DrtResult(
        tau=_array(raw["tau_fine"]),
        gamma=_array(raw["gamma_fine"]),
        tau_centres=_array(raw["tau"]),
        coefficients=_array(raw["coeffs"]),
        basis=settings["basis"],
        epsilon=float(raw["epsilon"]),
        r_inf=float(raw["r_inf"]),
        inductance=float(raw["inductance"]),
        polarisation=float(raw["polarisation"]),
        frequencies=freq,
        impedance=imp,
        z_fit=z_fit,
        residuals=(z_fit - imp) / np.abs(imp),
        lam=float(raw["lambda"]),
        rule_lam=float(raw["rule_lambda"]),
        lambda_rule=str(raw["rule"]),
        lambda_scan=(grid, _array(raw["score_grid"])),
        signed=is_signed,
        signed_reason=reason,
        settings=settings,
    )
