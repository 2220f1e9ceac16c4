"""Tools around the ``zetrion`` fitting core.

Instrument-file readers, data checks, Kramers-Kronig validation, fits with
fixed parameters and user bounds, plots, records, batch and distributed
fitting, the command line and the guesser training tool. Everything here is
built on the public API of ``zetrion``; submodules are imported on first use
so that ``import zetrion_tools`` stays cheap.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # what type checkers see of the lazily imported names
    from .checks import DataError, DataWarning, check_spectrum
    from .fitting import ConstrainedFit, fit
    from .io import ReadError, Spectrum, read, read_delimited
    from .plotting import bode, nyquist, plot_fit, plot_residuals
    from .records import FitRecord, load_record, make_record, records_to_frame, save_record
    from .validation import LinKKResult, linkk

__all__ = [
    "read",
    "read_delimited",
    "Spectrum",
    "ReadError",
    "check_spectrum",
    "DataError",
    "DataWarning",
    "linkk",
    "LinKKResult",
    "fit",
    "ConstrainedFit",
    "plot_fit",
    "nyquist",
    "bode",
    "plot_residuals",
    "FitRecord",
    "make_record",
    "save_record",
    "load_record",
    "records_to_frame",
    "fit_many",
    "FitInterrupted",
    "fit_distributed",
]

# public name -> submodule that defines it
_LAZY = {
    "read": "io",
    "read_delimited": "io",
    "Spectrum": "io",
    "ReadError": "io",
    "check_spectrum": "checks",
    "DataError": "checks",
    "DataWarning": "checks",
    "linkk": "validation",
    "LinKKResult": "validation",
    "fit": "fitting",
    "ConstrainedFit": "fitting",
    "plot_fit": "plotting",
    "nyquist": "plotting",
    "bode": "plotting",
    "plot_residuals": "plotting",
    "FitRecord": "records",
    "make_record": "records",
    "save_record": "records",
    "load_record": "records",
    "records_to_frame": "records",
    "fit_many": "batch",
    "FitInterrupted": "batch",
    "fit_distributed": "distributed",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'zetrion_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f"zetrion_tools.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
