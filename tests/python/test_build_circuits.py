import pytest

import zetrion
from zetrion import Circuit
from zetrion_tools.engine import presets

# The presets as the core's table has them (read once, through the companion's engine).
PRESETS = presets()


ELEMENT_LINES = """available elements (code, parameters, [units]):
  R     r [ohm]
  C     c [F]
  L     l [H]
  La    l [H*s], alpha [-]
  CPE   q [ohm^-1*s^alpha], alpha [-]
  W     aw [ohm*s^-0.5]
  Wo    z0 [ohm], tau [s]
  Ws    z0 [ohm], tau [s]
  G     rg [ohm], tg [s]
  Gs    rg [ohm], tg [s], phi [-]
  K     r [ohm], tau_k [s]
  Zarc  r [ohm], tau_k [s], gamma [-]
  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]
  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]"""

SYNTAX = """syntax:
  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"
  - connect elements in series with '-', e.g. "R0-C1"
  - connect elements in parallel with '(...)' or 'p(...)', e.g. "R0-(R1,C1)" or "R0-p(R1,C1)"
"""


def parse_error(text):
    with pytest.raises(ValueError) as info:
        Circuit(text)
    return str(info.value)


@pytest.mark.parametrize("name,notation", PRESETS.items())
def test_presets_stand_for_their_notation(name, notation):
    for spelling in (name, name.upper(), f"  {name}\t\n", name.title()):
        c = Circuit(spelling)
        assert c.param_names() == Circuit(notation).param_names()
        assert repr(c) == repr(Circuit(notation))


def test_preset_match_is_on_the_trimmed_text_only():
    # Non-ASCII case folding is not applied; whitespace around notation reaches the parser.
    assert "position 0" in parse_error(" R0-C1").splitlines()[0]
    assert parse_error("randles_").startswith("unexpected character at position 7")
    assert parse_error("ＲANDLES").startswith("unexpected character at position 0")


@pytest.mark.parametrize(
    "text,first",
    [
        ("", "unexpected end of input"),
        ("R0-", "unexpected end of input"),
        ("R", "unexpected character at position 1"),
        ("R-C1", "unexpected character at position 1"),
        ("0R", "unexpected character at position 0"),
        ("R0--R1", "unexpected character at position 3"),
        ("R0-(R1,C1", "unexpected end of input"),
        ("R0-(R1;C1)", "unexpected character at position 6"),
        ("()", "unexpected character at position 1"),
        ("R0 - R1", "unexpected trailing input at position 2"),
        ("R0,R1", "unexpected trailing input at position 2"),
        ("R0-Q1", 'unknown element code "Q" at position 3'),
        ("cpe1", 'unknown element code "cpe" at position 0'),
        ("R1-(R1,C1)", 'duplicate element label "R1"'),
        ("R0 ", "unexpected trailing input at position 2"),
    ],
)
def test_parse_error_first_line(text, first):
    assert parse_error(text).split("\n")[0] == first


def test_positioned_message_layout():
    m = parse_error("R0-(R1,X1)")
    lines = m.split("\n")
    assert lines[:6] == ['unknown element code "X" at position 7', "", "  R0-(R1,X1)", "         ^", "", "syntax:"]
    assert m == 'unknown element code "X" at position 7\n\n  R0-(R1,X1)\n         ^\n\n' + SYNTAX + "\n" + ELEMENT_LINES


@pytest.mark.parametrize("text", ["R0-", "R1-(R1,C1)"])
def test_unpositioned_message_layout(text):
    m = parse_error(text)
    first = m.split("\n")[0]
    assert m == first + "\n\n" + SYNTAX + "\n" + ELEMENT_LINES


def test_caret_counts_code_points():
    m = parse_error("Ω0-R1")
    assert m.split("\n")[2:4] == ["  Ω0-R1", "  ^"]
    m = parse_error("R0-é1")
    assert m.split("\n")[0] == "unexpected character at position 3"
    assert m.split("\n")[3] == "     ^"


def test_odd_strings_give_clean_errors():
    assert parse_error("\ud800").startswith("unexpected character at position 0")
    assert parse_error("R0\x00").startswith("unexpected trailing input at position 2")


def test_deep_nesting_is_an_error_not_a_crash():
    m = parse_error("p(" * 100_000)
    assert m.split("\n")[0] == "parallel groups nested deeper than 200 levels at position 400"
    ok = "(" * 200 + "R0" + ")" * 200
    assert Circuit(ok).param_names() == ["R0.r"]


def test_constructor_argument_errors():
    with pytest.raises(TypeError, match="^argument 's': "):
        Circuit(5)
    with pytest.raises(TypeError):
        Circuit()
    with pytest.raises(TypeError):
        Circuit("R0", "R1")
    assert Circuit(s="R0").param_names() == ["R0.r"]


def test_repr():
    assert repr(Circuit("R0-(R1,C1)")) == (
        "Circuit (3 parameters)\n"
        "  R0.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  C1.c = 0.001      [F]  bounds (1e-12, inf)"
    )
    assert repr(Circuit("R0")).startswith("Circuit (1 parameter)\n")
    assert repr(zetrion.Series([])) == "Circuit (0 parameters)\n"
    c = Circuit("R0-CPE1").with_values([2.5e6, 1.25e-5, float("nan")])
    assert repr(c).split("\n")[1:] == [
        "  R0.r       = 2.5e6      [ohm]  bounds (1e-12, inf)",
        "  CPE1.q     = 1.25e-5    [ohm^-1*s^alpha]  bounds (1e-12, inf)",
        "  CPE1.alpha = NaN        [-]  bounds (0, 1)",
    ]
    c = Circuit("R0-R1-R2").with_values([-0.0, float("-inf"), 123456.7890123])
    assert [line.split("=")[1].split("[")[0] for line in repr(c).split("\n")[1:]] == [
        " -0         ",
        " -inf       ",
        " 123456.7890123 ",
    ]
