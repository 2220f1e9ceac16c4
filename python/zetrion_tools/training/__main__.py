"""``python -m zetrion_tools.training``: the same as ``zetrion-train``."""

from __future__ import annotations

import sys

from .cli import main

sys.exit(main())
