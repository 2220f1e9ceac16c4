"""PyTorch is optional: the training tool needs it, nothing else does."""

from __future__ import annotations

import importlib
from types import ModuleType

INSTALL_HINT = "training needs PyTorch, an optional dependency: pip install '.[train]' (or pip install torch)"


def require_torch() -> ModuleType:
    """The `torch` module, or an ImportError that says how to install it."""
    try:
        return importlib.import_module("torch")
    except ImportError as exc:
        raise ImportError(INSTALL_HINT) from exc
