"""Tools around the ``zetrion`` fitting core.

Instrument-file readers, data checks, Kramers-Kronig validation, fits with
fixed parameters and user bounds, plots, records, batch and distributed
fitting, the command line and the guesser training tool. Its numerics run in
a private compiled engine built from the same C++ core as ``zetrion``.
Submodules are imported on first use so that ``import zetrion_tools`` stays
cheap; the public names are listed once, in ``__init__.pyi``, which type
checkers read and the lazy loader follows.
"""

import lazy_loader  # type: ignore[import-untyped]

__getattr__, __dir__, __all__ = lazy_loader.attach_stub(__name__, __file__)
