"""The test command of every wheel built in CI (cibuildwheel runs it in a
fresh environment holding the wheel and the test extra, from a copy of
scripts/, tests/, examples/, training/, docs/, python/ and mkdocs.yml).

Where NumPy 1.26 has wheels (CPython 3.11 and 3.12) the wheel, built against
NumPy 2, first fits under NumPy 1.26; then under the newest NumPy it fits
again and the Python suite runs.
"""

from __future__ import annotations

import subprocess
import sys


def run(*args: str) -> None:
    print("+ python", " ".join(args), flush=True)
    subprocess.run([sys.executable, *args], check=True)


def main() -> None:
    pip = ("-m", "pip", "install", "-q", "--only-binary", ":all:")
    if sys.version_info < (3, 13):
        run(*pip, "numpy==1.26.*")
        run("scripts/wheel_smoke.py")
        run(*pip, "--upgrade", "numpy>=2")
    run("scripts/wheel_smoke.py")
    run("-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/python")


if __name__ == "__main__":
    main()
