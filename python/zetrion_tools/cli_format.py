"""The ``--format`` option of the commands that read spectrum files.

The readers recognise a file by its content; ``--format`` forces one reader
for every file of the run, as ``read(path, format=...)`` does (for example
``--format delimited`` for a CSV export whose header line happens to look
like an instrument's).
"""

from __future__ import annotations

import argparse
from typing import Any

__all__ = ["add_format_option", "chosen_format"]

AUTO = "auto"


def add_format_option(parser: argparse.ArgumentParser | Any) -> None:
    """Add ``--format`` (``auto`` or one of the readers' formats) to a subcommand's parser."""
    from .io import FORMATS

    parser.add_argument(
        "--format",
        default=AUTO,
        choices=(AUTO, *FORMATS),
        metavar="FORMAT",
        help=f"read every file as this format: {', '.join(FORMATS)} (default {AUTO}: recognised by content)",
    )


def chosen_format(args: argparse.Namespace) -> str | None:
    """The format to pass to ``read``: None when the files are to be recognised."""
    fmt = getattr(args, "format", AUTO)
    return None if fmt in (None, AUTO) else str(fmt)
