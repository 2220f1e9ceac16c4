"""The companion package's layout: small modules, short functions, no private names across modules."""

from __future__ import annotations

import ast
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
PACKAGE = ROOT / "python" / "zetrion_tools"
SOURCES = sorted(PACKAGE.rglob("*.py"))

MAX_MODULE_LINES = 800
MAX_FUNCTION_LINES = 80


def code_lines(node: ast.FunctionDef | ast.AsyncFunctionDef) -> int:
    """Lines of a function from its first statement after the docstring to its end."""
    body = node.body
    first = body[0]
    if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(first.value.value, str):
        if len(body) == 1:
            return 0
        first = body[1]
    return node.end_lineno - first.lineno + 1  # type: ignore[operator]


def test_sources_found():
    names = {p.relative_to(PACKAGE).as_posix() for p in SOURCES}
    assert {"fitting.py", "engine.py", "starts.py", "io/__init__.py"} <= names


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.relative_to(PACKAGE).as_posix())
def test_module_size_and_function_length(path):
    text = path.read_text()
    assert text.count("\n") <= MAX_MODULE_LINES, f"{path.name} has {text.count(chr(10))} lines"
    long = [
        f"{node.name} ({code_lines(node)} lines)"
        for node in ast.walk(ast.parse(text))
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and code_lines(node) > MAX_FUNCTION_LINES
    ]
    assert not long, f"functions over {MAX_FUNCTION_LINES} lines of code: {', '.join(long)}"


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.relative_to(PACKAGE).as_posix())
def test_no_private_name_from_a_sibling_module(path):
    """Relative imports take public names only (the compiled engine module aside)."""
    bad = [
        f"{node.module}.{alias.name}"
        for node in ast.walk(ast.parse(path.read_text()))
        if isinstance(node, ast.ImportFrom) and node.level >= 1
        for alias in node.names
        if alias.name.startswith("_") and alias.name != "_engine"
    ]
    assert not bad, f"private names imported: {', '.join(bad)}"


def test_exports_are_listed_once():
    """The package's public names live in __init__.pyi; __init__.py only attaches them."""
    init = (PACKAGE / "__init__.py").read_text()
    stub = ast.parse((PACKAGE / "__init__.pyi").read_text())
    assert "attach_stub" in init and "__all__ = [" not in init
    names = [a.asname or a.name for node in stub.body if isinstance(node, ast.ImportFrom) for a in node.names]
    assert len(names) == len(set(names))
    import zetrion_tools

    assert sorted(zetrion_tools.__all__) == sorted(names)
    for name in names:
        assert getattr(zetrion_tools, name) is not None
