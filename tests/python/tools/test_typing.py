"""Type information: the zetrion stubs against the runtime, and mypy --strict on user code."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import zetrion
import zetrion_tools

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parents[3]

USER_SCRIPT = '''
from __future__ import annotations

import math

import numpy as np

import zetrion
import zetrion_tools
from zetrion import Circuit, Cpe, FitResult, Parallel, R, Series, W
from zetrion_tools.fitting import ConstrainedFit, fit
from zetrion_tools.plotting import plot_fit
from zetrion_tools.records import FitRecord, load_record, records_to_frame, save_record


def measured(path: str) -> tuple[np.ndarray, np.ndarray, int]:
    spectrum = zetrion_tools.read(path)
    f, z = zetrion_tools.check_spectrum(spectrum.frequencies, spectrum.impedance, n_params=5)
    kk = zetrion_tools.linkk(f, z)
    return f[~kk.outliers], z[~kk.outliers], kk.M


f = np.geomspace(1e5, 1e-2, 40)
circuit = Series([R(10), Parallel([Series([R(100.0), W(30)]), Cpe(1e-5, 0.85)])])
z = circuit.impedance(f)
names: list[str] = circuit.param_names()
bounds: list[tuple[float, float]] = circuit.param_bounds()

core: FitResult = Circuit("randles").fit(f, z, method="nelder_mead", seed=1, max_iterations=50)
chi: float = core.chi_square
errors = core.stderr
if errors is not None:
    print(max(errors.values()))
rows: list[list[float]] = core.circuit.jacobian(core.circuit.param_values(), f, z, weight="unit")

held: ConstrainedFit = fit("randles", f, z, fixed={"R0.r": 10.0}, bounds={"CPE1.alpha": (0.7, 1.0)})
same: ConstrainedFit = zetrion_tools.fit(circuit, f, z)
print(held.reduced_chi_square + math.fsum(held.residuals.tolist()), same.success)
record: FitRecord = save_record(held, "typed.json")
print(load_record("typed.json").circuit.impedance(f)[0].real, records_to_frame([record]).shape)
match R(3.0):
    case zetrion.Element.R(r):
        print(r + 1.0)
if __name__ == "__never__":
    plot_fit(f, z, held)
'''

WRONG_SCRIPT = '''
import zetrion
from zetrion_tools.fitting import fit

c = zetrion.Circuit(5)
r = c.fit([1.0], [1j], max_iterations="many")
s: str = r.chi_square
t = fit("rc", [1.0], [1j], fixed=["R0.r"])
'''


def _in_site_packages(path: pathlib.Path) -> bool:
    roots = {sysconfig.get_paths()[k] for k in ("purelib", "platlib")}
    return any(str(path).startswith(r) for r in roots)


def _mypy_env(tmp_path: pathlib.Path) -> dict[str, str]:
    """Environment under which mypy sees the stubs and the companion package.

    The installed ``zetrion-stubs`` package is what users get; when these
    tests run against a module installed without it (a development set-up),
    the working tree's stub file is put on MYPYPATH instead, as is a
    companion package imported from outside site-packages.
    """
    paths = []
    installed = pathlib.Path(sysconfig.get_paths()["purelib"]) / "zetrion-stubs" / "__init__.pyi"
    if not installed.exists():
        stub_dir = tmp_path.parent / "zetrion-stub-dir"
        stub_dir.mkdir(exist_ok=True)
        shutil.copy(ROOT / "python" / "zetrion-stubs" / "__init__.pyi", stub_dir / "zetrion.pyi")
        paths.append(str(stub_dir))
    tools_parent = pathlib.Path(zetrion_tools.__file__).resolve().parent.parent
    if not _in_site_packages(tools_parent):
        paths.append(str(tools_parent))
    env = dict(os.environ)
    env["MYPYPATH"] = os.pathsep.join(paths)
    env.pop("PYTHONPATH", None)
    return env


def _run(args: list[str], tmp_path: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=tmp_path,
        env=_mypy_env(tmp_path),
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_stubtest_reports_nothing(tmp_path):
    out = _run(["mypy.stubtest", "zetrion", "--mypy-config-file", os.devnull], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "Success" in out.stdout


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """One mypy cache for the module: NumPy and friends are analysed once."""
    return tmp_path_factory.mktemp("mypy-cache")


def test_mypy_strict_passes_on_user_code_and_catches_misuse(tmp_path, mypy_cache):
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    (tmp_path / "wrong.py").write_text(WRONG_SCRIPT)
    # errors inside imported modules are the business of the next test (and
    # are not reported for an installed package); here only the user's code
    ok = _run(
        ["mypy", "--strict", "--follow-imports=silent", "--cache-dir", str(mypy_cache), "user.py"],
        tmp_path,
    )
    assert ok.returncode == 0, ok.stdout + ok.stderr
    bad = _run(
        ["mypy", "--strict", "--follow-imports=silent", "--cache-dir", str(mypy_cache), "wrong.py"],
        tmp_path,
    )
    assert bad.returncode == 1
    # each misuse is caught: the stubs give real types, not Any
    for line in (5, 6, 7, 8):
        assert f"wrong.py:{line}: error" in bad.stdout, bad.stdout


def test_companion_modules_pass_mypy_strict(tmp_path, mypy_cache):
    package = ROOT / "python" / "zetrion_tools"
    # every module of the package's source, the training tool included
    # a module with a stub beside it is checked through its stub
    files = sorted(
        str(p) for p in [*package.rglob("*.py"), *package.rglob("*.pyi")] if not p.with_suffix(".pyi").is_file() or p.suffix == ".pyi"
    )
    names = {pathlib.Path(f).relative_to(package).as_posix() for f in files}
    assert {"batch.py", "cli.py", "distributed.py", "io/__init__.py", "io/formats/gamry.py", "training/model.py"} <= names
    out = _run(
        ["mypy", "--strict", "--follow-imports=silent", "--cache-dir", str(mypy_cache), *files],
        tmp_path,
    )
    assert out.returncode == 0, out.stdout + out.stderr
    # mypy names how many files it checked: all of them, none skipped
    assert f"in {len(files)} source files" in out.stdout, out.stdout


def test_stub_names_cover_the_module():
    stub = (ROOT / "python" / "zetrion-stubs" / "__init__.pyi").read_text()
    public = [n for n in dir(zetrion) if not n.startswith("_")]
    for name in public:
        assert f"\n{name} = " in stub or f"class {name}" in stub or f"def {name}(" in stub, name


def test_stub_literals_are_the_cores_names():
    """The stubs' method and weight literals list exactly the names the core accepts, in its order."""
    import ast

    from zetrion_tools.engine import circuit_weightings, fit_methods

    tree = ast.parse((ROOT / "python" / "zetrion-stubs" / "__init__.pyi").read_text())
    literals = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and isinstance(node.value, ast.Subscript):
            if getattr(node.value.value, "id", None) == "Literal":
                elts = node.value.slice.elts if isinstance(node.value.slice, ast.Tuple) else [node.value.slice]
                literals[node.target.id] = tuple(e.value for e in elts)
    assert literals["_Method"] == fit_methods()
    assert literals["_Weight"] == circuit_weightings()
