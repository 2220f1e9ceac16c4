"""Delimited text with named columns (CSV, TSV, semicolons or blanks).

The header is the first line naming a frequency column and either real and
imaginary or modulus and phase columns; see :func:`zetrion_tools.io.read_delimited`
for the names understood. Header recognition runs on untrusted text, so
every step below is linear in the length of the line (no backtracking
patterns over user text).
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..spectrum import ReadError, Spectrum
from ..text import Source, Table, columns, require_points, split_fields, warn, warn_truncated

__all__ = ["ColumnRoles", "assign_roles", "classify", "columns_to_spectrum", "find_header", "read_delimited_lines", "split_unit"]

_OHM = r"(?:ohms?|Ω|ω)"
_UNIT_WORDS = re.compile(
    r"(?:[mkMG]?hz|hertz|rad/s|1/s|[mkM]?" + _OHM + r".*|deg|degrees?|°|rad|radians?)", re.I
)
# units that may trail a name after '_' or a blank: 'frequency_hertz',
# 'real_impedance_ohm', 'phase_degree', 'Zmod ohm'
_SUFFIX_UNITS = {
    "hz", "hertz", "khz", "kilohertz", "ohm", "ohms", "kohm", "mohm", "deg", "degree",
    "degrees", "rad", "radian", "radians", "ω",
}
_FREQUENCY_UNITS = {
    "hz": 1.0, "hertz": 1.0, "khz": 1e3, "kilohertz": 1e3, "mHz": 1e-3, "millihertz": 1e-3,
    "MHz": 1e6, "megahertz": 1e6, "GHz": 1e9, "ghz": 1e9, "rad/s": 1.0 / (2.0 * math.pi),
}


def _is_unit(unit: str) -> bool:
    return _UNIT_WORDS.fullmatch(unit.replace(" ", "")) is not None


def split_unit(name: str) -> tuple[str, str]:
    """Split ``'Frequency (Hz)'``, ``'Re(Z)/Ohm'``, ``"Z' [kΩ]"`` or ``'phase_degree'``.

    Returns the quantity and the unit ('' when the name carries none).
    """
    n = name.strip().strip('"').strip()
    if n.endswith((")", "]")):
        # the unit is the bracket that closes the name: from the first
        # opening bracket after the last closing one before the end
        body = n[:-1]
        after = max(body.rfind(")"), body.rfind("]")) + 1
        opens = [i for i in (body.find("(", after), body.find("[", after)) if i >= 0]
        if opens:
            o = min(opens)
            unit = body[o + 1 :].strip()
            if _is_unit(unit):
                return body[:o].rstrip(), unit
    if "/" in n:
        q, _, u = n.partition("/")
        if _is_unit(u.strip()):
            return q, u.strip()
    cut = max(n.rfind("_"), n.rfind(" "))
    if cut > 0 and n[cut + 1 :].lower() in _SUFFIX_UNITS and n[:cut].strip("_ "):
        return n[:cut].rstrip("_ "), n[cut + 1 :]
    return n, ""


_PRIMES = str.maketrans({"″": "''", "’": "'", "”": "''", '"': "''"})
_DROP = str.maketrans("", "", " \t_-.\x0b\x0c")


def _norm(quantity: str) -> str:
    """Lower-case a quantity name, unify primes and drop spacing; keep a leading minus."""
    q = quantity.strip().lower().translate(_PRIMES)
    negated = q.startswith("-")
    body = (q[1:] if negated else q).translate(_DROP)
    return ("-" if negated else "") + body


_ROLE_NAMES: dict[str, set[str]] = {
    "freq": {"f", "freq", "frequency", "fhz", "frequencyhz"},
    "omega": {"omega", "w", "ω", "angularfrequency"},
    "real": {
        "z'", "zre", "zreal", "re(z)", "rez", "real", "realz", "zr", "z'(a)", "re", "zrealpart",
        "realimpedance", "impedancereal", "realpart",
    },
    "imag": {
        "z''", "zim", "zimag", "zimg", "im(z)", "imz", "imag", "imaginary", "imagz", "zi",
        "z''(b)", "im", "imaginaryimpedance", "impedanceimaginary", "imagimpedance",
        "imaginarypart",
    },
    "mod": {
        "|z|", "zmod", "mod(z)", "modulus", "magnitude", "absz", "abs(z)", "z", "zabs",
        "absoluteimpedance", "impedancemodulus", "impedancemagnitude", "modz", "|z|(ω)",
    },
    "phase": {
        "phase", "phase(z)", "zphz", "phi", "theta", "phaseangle", "phz", "zphase", "φ",
        "impedancephase", "phaseimpedance",
    },
}


def classify(name: str) -> tuple[str, bool, str] | None:
    """Role of a column name, whether it is negated, and its unit."""
    quantity, unit = split_unit(name)
    q = _norm(quantity)
    negated = q.startswith("-")
    q = q.lstrip("-")
    for role, names in _ROLE_NAMES.items():
        if q in names:
            if negated and role not in ("imag", "phase"):
                return None
            return role, negated, unit
    return None


_RUN = re.compile(r"\S+")
_GAP = re.compile(r"\s*")


def _blank_separated(line: str) -> list[str]:
    """Names separated by blanks, keeping ``Frequency (Hz)`` together.

    A name is a run of non-blanks, extended over blanks by a following
    opening bracket up to the first closing bracket after it. The position
    of the next closing bracket is cached, so that a line of many unclosed
    brackets is still scanned once.
    """
    names: list[str] = []
    n = len(line)
    # per closing bracket: searched from, found at (n: none)
    cache = {")": [n + 1, n], "]": [n + 1, n]}

    def closer_after(p: int) -> int:
        best = n
        for ch, entry in cache.items():
            if not entry[0] <= p <= entry[1]:
                hit = line.find(ch, p)
                entry[0], entry[1] = p, hit if hit >= 0 else n
            best = min(best, entry[1])
        return best

    m = _RUN.search(line)
    while m is not None:
        start, pos = m.start(), m.end()
        k = _GAP.match(line, pos).end()  # type: ignore[union-attr]
        if pos < k < n and line[k] in "([":
            c = closer_after(k + 1)
            if c < n:
                pos = c + 1
        names.append(line[start:pos])
        m = _RUN.search(line, pos)
    return names


def find_header(lines: Sequence[str]) -> tuple[int, str, list[str]] | None:
    """Index, separator and names of the first line naming frequency and Z columns."""
    for k, raw in enumerate(lines[:200]):
        line = raw.strip().lstrip("#").strip()
        if not line:
            continue
        for sep in ("\t", ";", ",", None):
            if sep is not None and sep not in line:
                continue
            if sep is None:
                names = _blank_separated(line)
            else:
                names = [n.strip() for n in line.split(sep)]
            if assign_roles(names) is not None:
                return k, sep if sep is not None else " ", names
    return None


def _ohm_scale(unit: str, path: Path, column: str) -> tuple[float, str]:
    u = unit.replace(" ", "").replace("·", "").replace("*", "")
    if not u:
        return 1.0, "ohm"
    m = re.fullmatch(r"([mkM]?)(?i:ohms?|Ω|ω)(.*)", u)
    if m is None:
        raise ReadError(f"{path.name}: column {column!r} has unit {unit!r}, not an impedance unit")
    scale = {"": 1.0, "m": 1e-3, "k": 1e3, "M": 1e6}[m.group(1)]
    rest = m.group(2).lower().replace("^", "").replace("²", "2")
    if rest in ("", "s"):
        return scale, "ohm"
    if rest in ("cm2", "scm2"):
        return scale, "ohm cm^2"
    if rest in ("m2", "sm2"):
        return scale, "ohm m^2"
    raise ReadError(f"{path.name}: column {column!r} has unit {unit!r}, not an impedance unit")


def _frequency_scale(role: str, unit: str, path: Path) -> float:
    if role == "omega":
        if unit and unit.replace(" ", "").lower() not in ("rad/s", "1/s"):
            raise ReadError(f"{path.name}: angular frequency unit {unit!r}; expected rad/s")
        return 1.0 / (2.0 * math.pi)
    u = unit.replace(" ", "")
    if not u:
        return 1.0
    for key in (u, u.lower()):
        if key in _FREQUENCY_UNITS:
            return _FREQUENCY_UNITS[key]
    raise ReadError(
        f"{path.name}: frequency unit {unit!r} not understood (Hz, mHz, kHz, MHz, rad/s)"
    )


def _impedance(
    roles: dict[str, tuple[int, bool, str]],
    names: list[str],
    a: NDArray[np.float64],
    b: NDArray[np.float64],
    path: Path,
) -> tuple[NDArray[np.complex128], bool, str]:
    """Complex impedance from the two columns, whether negated, and the unit."""
    if "real" in roles and "imag" in roles:
        rs, ru = _ohm_scale(roles["real"][2], path, names[roles["real"][0]])
        is_, iu = _ohm_scale(roles["imag"][2], path, names[roles["imag"][0]])
        if ru != iu:
            raise ReadError(f"{path.name}: real and imaginary columns in different units ({ru}, {iu})")
        parts = np.asarray(rs * a + 1j * (is_ * b), dtype=np.complex128)
        return parts, roles["imag"][1], ru
    ms, unit = _ohm_scale(roles["mod"][2], path, names[roles["mod"][0]])
    pu = roles["phase"][2].replace(" ", "").lower()
    if pu in ("", "deg", "degree", "degrees", "°"):
        phase = np.radians(b)
    elif pu in ("rad", "radian", "radians"):
        phase = b
    else:
        raise ReadError(f"{path.name}: phase unit {roles['phase'][2]!r} not understood (deg, rad)")
    z = np.asarray((ms * a) * np.exp(1j * phase), dtype=np.complex128)
    return z, roles["phase"][1], unit


#: role -> (column position, negated, unit), the first column of each role
ColumnRoles = dict[str, tuple[int, bool, str]]


def assign_roles(names: Sequence[str]) -> tuple[ColumnRoles, list[int]] | None:
    """The roles of a table's columns and the positions of the three it is read from.

    Returns None unless the names include a frequency column and either real
    and imaginary or modulus and phase columns; the positions are those of
    the frequency and of the real and imaginary (or modulus and phase)
    columns, in that order.
    """
    roles: ColumnRoles = {}
    for k, name in enumerate(names):
        r = classify(str(name))
        if r is not None and r[0] not in roles:
            roles[r[0]] = (k, r[1], r[2])
    fkey = "freq" if "freq" in roles else "omega" if "omega" in roles else None
    # a bare 'Z' beside real and imaginary columns is the modulus; ignore it
    if "real" in roles and "imag" in roles:
        keys = ["real", "imag"]
    elif "mod" in roles and "phase" in roles:
        keys = ["mod", "phase"]
    else:
        return None
    if fkey is None:
        return None
    return roles, [roles[k][0] for k in (fkey, *keys)]


def columns_to_spectrum(
    roles: ColumnRoles,
    names: Sequence[str],
    f: NDArray[np.float64],
    a: NDArray[np.float64],
    b: NDArray[np.float64],
    path: Path,
) -> tuple[NDArray[np.float64], NDArray[np.complex128], bool, str]:
    """Frequencies in Hz and impedances in ohm from the three columns as written.

    Returns them with whether the imaginary (or phase) column is named as
    negated (``-Z''``), not yet applied, and the impedance unit (``"ohm"`` or
    an area-specific one). Units are converted as :func:`read_delimited`
    describes; ``path`` names the source in errors.
    """
    fkey = "freq" if "freq" in roles else "omega"
    fscale = _frequency_scale(fkey, roles[fkey][2], path)
    z, negated, unit = _impedance(roles, [str(n) for n in names], a, b, path)
    return (f * fscale if fscale != 1.0 else f), z, negated, unit


def read_delimited_lines(src: Source, path: Path, *, negative_imag: bool | None) -> list[Spectrum]:
    """Read delimited text already split into lines."""
    found = find_header(src.lines)
    if found is None:
        raise ReadError(
            f"{path.name}: no header line naming a frequency column and either real "
            "and imaginary or modulus and phase columns (e.g. 'freq,Re(Z),Im(Z)' or "
            "'Frequency (Hz);|Z| (ohm);Phase (deg)')"
        )
    head, sep, names = found
    assigned = assign_roles(names)
    assert assigned is not None  # find_header accepts only such a line
    roles, idx = assigned

    splitter: Callable[[str], list[str]]
    if sep == " ":
        splitter = str.split
        width = len(names)
    else:
        def splitter(s: str) -> list[str]:
            return split_fields(s, sep)

        width = len(split_fields(sep.join(names), sep))
    table = Table(
        names, src, head + 1, len(src.lines), splitter,
        decimal_comma=sep != ",", width=width, comments=True,
    )
    (f, a, b), truncated = columns(table, idx, [names[i] for i in idx], path)
    require_points(path, f)
    if truncated:
        warn_truncated(path, f.size)
    f, z, stated_negative, unit = columns_to_spectrum(roles, names, f, a, b, path)
    flip = stated_negative if negative_imag is None else bool(negative_imag)
    if flip:
        z = np.conj(z)
    meta: dict[str, Any] = {"columns": names, "imag_column_negated": flip}
    if unit != "ohm":
        meta["impedance_unit"] = unit
    if negative_imag is None and not stated_negative:
        from ...checks import looks_flipped

        verdict = looks_flipped(f, z)
        if verdict is not None:
            warn(
                f"{path.name}: {verdict}; the header does not say the imaginary column "
                "is negated: if it holds -Z'', read it with negative_imag=True"
            )
    return [Spectrum(f, z, meta, "delimited", path)]
