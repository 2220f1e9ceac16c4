"""Which circuit? Ranked circuit suggestions for a spectrum.

:func:`suggest_circuits` reads the spectrum (:mod:`.suggest_library`), fits
every candidate circuit with :func:`zetrion_tools.fit` from no starting
values (the starts it reads from the data), on all cores, and ranks the fits
by an information criterion:

``BIC = chi2 / s^2 + k ln(2N)`` and ``AIC = chi2 / s^2 + 2k``

for ``k`` free parameters, ``2N`` real numbers and ``chi2`` the sum of the
squared modulus-weighted residuals. ``s`` is the noise level of the data
(the relative noise of each real and imaginary part): estimated from the
residuals of the linear Kramers-Kronig fit (:func:`zetrion_tools.linkk`),
which follows any valid spectrum down to its noise, and never taken above
the smallest reduced chi-square among the candidates. A parameter must then
lower ``chi2`` by about ``ln(2N) s^2`` (BIC) to earn its place, so a smaller
circuit that fits as well ranks above a larger one.

Every row carries its fit's own verdict (``ConstrainedFit.quality``: what
the data cannot determine, values at a bound, implausible or outside the
band, a misfit); the flags do not move a fit in the ranking (a redundant
parameter costs its penalty already), they say what to make of it.
Candidates that reproduce each other's impedance within a small fraction of
the noise with as many parameters (``R0-(R1,C1)-(R2,C2)`` and
``R0-(C1,R1-(C2,R2))``, a K element and an R-C arc) are the same fit to the
data: only the first of them keeps a place in the ranking, the others are
listed after all distinct circuits, with ``equivalent_to`` naming it.
"""

from __future__ import annotations

import math
import time
import warnings
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

import zetrion

from .batch import thread_count
from .checks import check_spectrum
from .fitting import ConstrainedFit, FitSetupError, fit
from .suggest_library import SpectrumShape, candidate_circuits, read_shape

__all__ = ["COLUMNS", "SuggestResult", "suggest_circuits"]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

COLUMNS = [
    "rank",
    "notation",
    "n_params",
    "chi_square",
    "reduced_chi_square",
    "aic",
    "bic",
    "delta",
    "weight",
    "flags",
    "equivalent_to",
    "params",
    "stderr",
    "success",
    "seconds",
]
# Fits count as one when their impedances differ by less than this share of
# the noise (root mean square over the points) with no fewer parameters.
_SAME_FIT = 0.05
# Starts and solver budget (evaluations per parameter and one) of each
# candidate's fit: a candidate too large for the data wanders over its flat
# valley for as long as it is let, and a fit that needs more to settle ranks
# low in any case.
_STARTS = 6
_NFEV_PER_PARAM = 60


@dataclass(frozen=True)
class SuggestResult:
    """Outcome of :func:`suggest_circuits`.

    Attributes
    ----------
    table : pandas.DataFrame
        One row per candidate, best first (columns :data:`COLUMNS`): rank,
        notation, number of parameters, chi-square and reduced chi-square
        (modulus weighting), AIC, BIC, ``delta`` (the ranking criterion
        minus the best one's), Akaike-style ``weight`` ``exp(-delta/2)``
        normalised over the distinct candidates, ``flags`` (the fit's verdict
        in short form, ``;``-separated, e.g. ``undetermined(R2.r,C2.c)``,
        or ``failed: ...`` for a candidate that could not be fitted),
        ``equivalent_to``, fitted ``params`` and their
        ``stderr`` (dicts), ``success`` and the seconds the fit took.
    fits : dict of str to ConstrainedFit
        The fit of every candidate that could be fitted, by notation.
    noise : float
        The noise level ``s`` used (relative, per real or imaginary part).
    noise_source : str
        ``"lin-kk"``, or ``"best fit"`` where the best candidate's reduced
        chi-square was lower than the Lin-KK estimate.
    shape : SpectrumShape or None
        What the spectrum showed (None when only given candidates were tried).
    criterion : str
        ``"bic"`` or ``"aic"``.
    seconds : float
        Wall time of the whole suggestion.
    """

    table: pd.DataFrame
    fits: dict[str, ConstrainedFit]
    noise: float
    noise_source: str
    shape: SpectrumShape | None
    criterion: str
    seconds: float
    frequencies: FloatArray = field(repr=False, default_factory=lambda: np.zeros(0))
    impedance: ComplexArray = field(repr=False, default_factory=lambda: np.zeros(0, dtype=np.complex128))

    @property
    def best(self) -> ConstrainedFit:
        """The fit ranked first."""
        best: ConstrainedFit = self.fits[str(self.table["notation"].iloc[0])]
        return best

    def top(self, n: int = 3) -> list[str]:
        """The notations of the first ``n`` distinct candidates."""
        distinct = self.table[self.table["equivalent_to"] == ""]
        return [str(v) for v in distinct["notation"].head(n)]

    def plot(self, n: int = 3, **options: Any) -> Any:
        """A figure of the data and the first ``n`` fits (see :func:`plot_suggestions`)."""
        from .suggest_cli import plot_suggestions

        return plot_suggestions(self, n=n, **options)

    def __repr__(self) -> str:
        first = self.top(1)
        return (
            f"SuggestResult({len(self.table)} candidates, best {first[0] if first else None!r}, "
            f"noise={self.noise:.3g}, criterion={self.criterion!r})"
        )

    def __str__(self) -> str:
        shown = self.table[["rank", "notation", "n_params", "reduced_chi_square", self.criterion, "delta", "flags"]]
        head = (
            f"SuggestResult: {len(self.table)} candidates in {self.seconds:.2f} s, noise {self.noise:.3g} "
            f"({self.noise_source}), ranked by {self.criterion.upper()}"
        )
        with pd.option_context("display.width", 160, "display.max_colwidth", 60):
            body: str = shown.head(10).to_string(index=False)
        return head + "\n" + body


def _read_linkk(f: FloatArray, z: ComplexArray) -> tuple[float, float]:
    """From the Lin-KK fit: the relative noise of each part (from its residuals)
    and its series inductance's reactance at the top of the band over ``|Z|``
    there; NaN where the fit fails."""
    from .validation import linkk

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            # the quick classic test: the impedance and its series inductance are
            # what is read here, and the residual level only needs to be rough
            kk = linkk(f, z, mode="impedance.py")
    except (ValueError, ArithmeticError):
        return math.nan, math.nan
    top = int(np.argmax(f))
    share = 2 * math.pi * float(f[top]) * kk.inductance / float(abs(z[top]))
    res = np.concatenate([kk.residuals_real, kk.residuals_imag])
    dof = res.size - kk.M - 3
    return (math.sqrt(float(res @ res) / dof) if dof > 0 else math.nan), share


def _fit_one(notation: str, f: FloatArray, z: ComplexArray, fit_options: dict[str, Any]) -> tuple[Any, float]:
    """The fit of one candidate, or the reason it failed; and the seconds it took."""
    t0 = time.perf_counter()
    options = dict(fit_options)
    options.setdefault("n_starts", _STARTS)
    if "max_nfev" not in options:
        options["max_nfev"] = _NFEV_PER_PARAM * (len(zetrion.Circuit(notation).param_names()) + 1)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out: Any = fit(notation, f, z, check_sign=False, **options)
    except (ValueError, ArithmeticError) as exc:  # FitSetupError, DataError, EngineError
        out = str(exc) or type(exc).__name__
    return out, time.perf_counter() - t0


def _row(notation: str, outcome: Any, seconds: float) -> dict[str, Any]:
    if isinstance(outcome, str):
        n = len(zetrion.Circuit(notation).param_names())
        return {
            "notation": notation,
            "n_params": n,
            "chi_square": math.nan,
            "reduced_chi_square": math.nan,
            "flags": f"failed: {outcome}",
            "params": {},
            "stderr": {},
            "success": False,
            "seconds": seconds,
        }
    r: ConstrainedFit = outcome
    return {
        "notation": notation,
        "n_params": len(r.free),
        "chi_square": r.chi_square,
        "reduced_chi_square": r.reduced_chi_square,
        "flags": "; ".join(r.quality.codes),  # the fit's own verdict
        "params": dict(r.params),
        "stderr": dict(r.stderr),
        "success": r.success,
        "seconds": seconds,
    }


def _score(rows: list[dict[str, Any]], noise: float, points: int) -> None:
    """AIC and BIC of every row, in place."""
    var = noise * noise
    for row in rows:
        k, chi2 = row["n_params"], row["chi_square"]
        row["aic"] = chi2 / var + 2 * k if math.isfinite(chi2) else math.inf
        row["bic"] = chi2 / var + k * math.log(2 * points) if math.isfinite(chi2) else math.inf


def _same_fit(a: ConstrainedFit, b: ConstrainedFit, noise: float) -> bool:
    """Whether two fits give the same impedance, within a share of the noise."""
    rel = (a.z_fit - b.z_fit) / np.abs(a.impedance)
    rms = math.sqrt(float(np.mean(rel.real**2 + rel.imag**2) / 2))
    return rms < _SAME_FIT * noise


def _order(rows: list[dict[str, Any]], fits: dict[str, ConstrainedFit], criterion: str, noise: float) -> list[dict[str, Any]]:
    """Rows ranked by the criterion (fewer parameters first on a tie); a fit
    that repeats one ranked above it, with no fewer parameters, goes last."""

    def key(row: dict[str, Any]) -> tuple[float, int]:
        return (row[criterion], row["n_params"])

    ranked = sorted(rows, key=key)
    distinct: list[dict[str, Any]] = []
    repeats: list[dict[str, Any]] = []
    for row in ranked:
        row["equivalent_to"] = ""
        mine = fits.get(row["notation"])
        for kept in distinct:
            other = fits.get(kept["notation"])
            if mine is None or other is None:
                continue
            if kept["n_params"] <= row["n_params"] and _same_fit(mine, other, noise):
                row["equivalent_to"] = kept["notation"]
                break
        (repeats if row["equivalent_to"] else distinct).append(row)
    return distinct + repeats


def _table(rows: list[dict[str, Any]], criterion: str) -> pd.DataFrame:
    distinct = [r for r in rows if not r["equivalent_to"]]
    best = min((r[criterion] for r in distinct), default=math.nan)
    for i, row in enumerate(rows, start=1):
        row["rank"] = i
        row["delta"] = row[criterion] - best
        row["weight"] = math.exp(-0.5 * row["delta"]) if not row["equivalent_to"] and math.isfinite(row["delta"]) else 0.0
    total = sum(r["weight"] for r in rows) or 1.0
    for row in rows:
        row["weight"] /= total
    return pd.DataFrame(rows, columns=COLUMNS)


def _candidates(candidates: Sequence[str] | str | None, shape: SpectrumShape | None, extra: Sequence[str]) -> list[str]:
    if isinstance(candidates, str):
        candidates = [candidates]
    given = list(candidates) if candidates is not None else candidate_circuits(shape) if shape else []
    given += list(extra)
    out: list[str] = []
    for c in given:
        if not isinstance(c, str):
            raise TypeError(f"candidates must be notation strings, not {type(c).__name__}")
        text = c.strip()
        try:
            zetrion.Circuit(text)
        except ValueError as exc:
            raise ValueError(f"candidate {c!r} is not a circuit notation: {exc}") from None
        if text not in out:
            out.append(text)
    if not out:
        raise ValueError("no candidate circuit to fit")
    return out


def _bar(total: int, progress: bool) -> Any:
    if not progress:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return tqdm(total=total, disable=None, desc="fitting candidates", unit="circuits", leave=False)


def _fit_all(
    notations: list[str], f: FloatArray, z: ComplexArray, threads: int, fit_options: dict[str, Any], progress: bool
) -> list[tuple[str, Any, float]]:
    """Every candidate fitted, on ``threads`` threads, largest first (they take longest)."""
    order = sorted(notations, key=lambda n: -len(zetrion.Circuit(n).param_names()))
    bar = _bar(len(order), progress)
    results: dict[str, tuple[Any, float]] = {}
    with ThreadPoolExecutor(max_workers=threads) as pool:
        futures = {pool.submit(_fit_one, n, f, z, fit_options): n for n in order}
        for fut, n in futures.items():
            results[n] = fut.result()
            if bar is not None:
                bar.update(1)
    if bar is not None:
        bar.close()
    return [(n, *results[n]) for n in notations]


def suggest_circuits(
    f: Any,
    z: Any,
    candidates: Sequence[str] | str | None = None,
    *,
    top: int | None = None,
    extra: Sequence[str] = (),
    criterion: Literal["bic", "aic"] = "bic",
    noise: float | None = None,
    threads: int | None = None,
    use_drt: bool = True,
    progress: bool = False,
    **fit_options: Any,
) -> SuggestResult:
    """Rank circuits for a spectrum, best first.

    Parameters
    ----------
    f : array_like of float
        Frequencies in Hz.
    z : array_like of complex
        Impedances in ohm (capacitive: negative imaginary part).
    candidates : sequence of str, optional
        The notations to try. By default a library of common topologies,
        narrowed by what the spectrum shows (:mod:`.suggest_library`).
    top : int, optional
        Keep only the first ``top`` rows of the table.
    extra : sequence of str
        Notations tried besides the candidates (your own circuits next to
        the library's).
    criterion : str
        Rank by ``"bic"`` (default; the stricter penalty, favours smaller
        circuits) or ``"aic"``.
    noise : float, optional
        The relative noise of each real and imaginary part, when known
        (for 1 % noise on ``|Z|``, split evenly: 0.01 / sqrt(2)); estimated
        from the data otherwise.
    threads : int, optional
        Threads fitting candidates side by side (default: one per core).
    use_drt : bool
        Count the relaxations with the DRT (default) or, quicker and
        rougher, from the peaks of ``-Im Z``.
    progress : bool
        Show a progress bar.
    **fit_options
        Handed to :func:`zetrion_tools.fit` for every candidate (``n_starts``,
        ``max_nfev``, ...).

    Returns
    -------
    SuggestResult

    Raises
    ------
    zetrion_tools.checks.DataError
        A spectrum that cannot be fitted (a ``ValueError``).
    ValueError
        A candidate that is not a notation, an unknown criterion, a bad
        noise level.
    """
    t0 = time.perf_counter()
    if criterion not in ("bic", "aic"):
        raise ValueError(f"criterion must be 'bic' or 'aic', not {criterion!r}")
    if noise is not None and not (math.isfinite(noise) and noise > 0):
        raise ValueError(f"noise must be a positive number, not {noise!r}")
    if top is not None and top < 1:
        raise ValueError("top must be at least 1")
    freq, imp = check_spectrum(f, z, n_params=4, check_sign=False)
    kk_noise, kk_inductance = _read_linkk(freq, imp)
    shape = read_shape(freq, imp, use_drt=use_drt, inductance_share=kk_inductance) if candidates is None else None
    notations = _candidates(candidates, shape, extra)
    fitted = _fit_all(notations, freq, imp, thread_count(threads), fit_options, progress)
    rows = [_row(n, out, sec) for n, out, sec in fitted]
    fits = {n: out for n, out, _ in fitted if isinstance(out, ConstrainedFit)}
    if not fits:
        raise ValueError(f"no candidate circuit could be fitted; the first said: {rows[0]['flags']}")
    level, source = _noise_level(noise, kk_noise, rows)
    _score(rows, level, freq.size)
    table = _table(_order(rows, fits, criterion, level), criterion)
    if top is not None:
        table = table.head(top)
    return SuggestResult(table, fits, level, source, shape, criterion, time.perf_counter() - t0, freq, imp)


def _noise_level(noise: float | None, kk: float, rows: list[dict[str, Any]]) -> tuple[float, str]:
    """The noise level: given, or Lin-KK's capped by the best reduced chi-square."""
    if noise is not None:
        return float(noise), "given"
    best = min((r["reduced_chi_square"] for r in rows if math.isfinite(r["reduced_chi_square"])), default=math.nan)
    fit_level = math.sqrt(best) if best > 0 else math.nan
    if math.isfinite(kk) and kk > 0 and not kk > fit_level:
        return kk, "lin-kk"
    if math.isfinite(fit_level) and fit_level > 0:
        return fit_level, "best fit"
    return (kk if math.isfinite(kk) and kk > 0 else 1e-3), "lin-kk"
