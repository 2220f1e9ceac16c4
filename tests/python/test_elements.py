import math

import pytest

import zetrion
from zetrion import Circuit, Element, Parallel, Series

from conftest import close, hz

# Default values at 100 rad/s, to six significant digits.
AT_100 = {
    "R0": 1 + 0j,
    "C0": -10j,
    "L0": 0.0001j,
    "La0": 0.000194977 + 0.000600076j,
    "CPE0": 7.76216 - 23.8895j,
    "W0": 0.1 - 0.1j,
    "Wo0": 0.0223607 - 0.0223607j,
    "Ws0": 0.0223607 - 0.0223607j,
    "G0": 0.0710616 - 0.0703545j,
    "Gs0": 0.0710615 - 0.0703546j,
    "K0": 0.990099 - 0.0990099j,
    "Zarc0": 0.934025 - 0.134214j,
    "TLMQ0": 8.09521 - 23.8903j,
    "T0": 0.0710677 - 0.0705184j,
}


@pytest.mark.parametrize("code,expected", AT_100.items())
def test_default_impedance_at_100_rad_per_s(code, expected):
    z = complex(Circuit(code).impedance([hz(100.0)])[0])
    assert math.isclose(z.real, expected.real, rel_tol=5e-6, abs_tol=1e-12)
    assert math.isclose(z.imag, expected.imag, rel_tol=5e-6, abs_tol=1e-12)


def test_element_identities():
    f = [1e-3, 0.5, 10.0, 1e5]
    cpe = Circuit("CPE0").with_values([3e-5, 1.0]).impedance(f)
    cap = Circuit("C0").with_values([3e-5]).impedance(f)
    assert list(cpe) == list(cap)
    zarc = Circuit("Zarc0").with_values([7.0, 2e-3, 1.0]).impedance(f)
    k = Circuit("K0").with_values([7.0, 2e-3]).impedance(f)
    assert list(zarc) == list(k)
    la = complex(Circuit("La0").with_values([1.0, 0.5]).impedance([hz(4.0)])[0])
    assert close(la, complex(math.sqrt(2), math.sqrt(2)), 1e-12)
    w = complex(Circuit("W0").with_values([2.0]).impedance([hz(1.0)])[0])
    assert close(w, 2 - 2j, 1e-12)
    z = Circuit("C0").impedance([0.0])[0]
    assert not math.isfinite(z.imag) or math.isnan(z.real)


def test_variant_classes():
    assert Element.Cpe is zetrion.Cpe and Element.Cpe.__name__ == "Element_Cpe"
    cpe = zetrion.Cpe(0.001, 0.8)
    assert type(cpe).__name__ == "Element_Cpe"
    assert isinstance(cpe, Element)
    assert (cpe.q, cpe.alpha) == (0.001, 0.8)
    r = zetrion.R(3)
    assert type(r.r) is float and r.r == 3.0
    assert zetrion.R(r=True).r == 1.0
    assert zetrion.Zarc(gamma=0.5, r=1, tau_k=2).tau_k == 2.0
    assert zetrion.Cpe.__match_args__ == ("q", "alpha")
    assert zetrion.T.__match_args__ == ("a", "b", "k_tau", "tau")
    assert zetrion.R(1) != zetrion.R(1)
    assert hash(r) == hash(r)
    assert math.isnan(zetrion.R(math.nan).r)
    assert zetrion.R(-5).r == -5.0


def test_structural_pattern_matching():
    match zetrion.K(5.0, 2e-3):
        case zetrion.K(r, tau):
            assert (r, tau) == (5.0, 2e-3)
        case _:
            raise AssertionError("no match")


def test_element_constructor_errors():
    with pytest.raises(TypeError):
        Element()
    with pytest.raises(TypeError, match="missing required argument 'alpha'"):
        zetrion.La(1.0)
    with pytest.raises(TypeError):
        zetrion.R(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        zetrion.R(x=1)
    with pytest.raises(TypeError, match="multiple values for argument 'r'"):
        zetrion.R(1, r=2)
    with pytest.raises(TypeError, match="^argument 'tau': "):
        zetrion.Wo(1, "x")


@pytest.mark.parametrize(
    "element,text",
    [
        (zetrion.Cpe(0.001, 0.8), "Element.Cpe(q=0.001, alpha=0.8)"),
        (zetrion.Wo(1, 10), "Element.Wo(z0=1.0, tau=10.0)"),
        (zetrion.C(1e-16), "Element.C(c=1e-16)"),
        (zetrion.R(2e16), "Element.R(r=2e16)"),
        (zetrion.R(math.nan), "Element.R(r=NaN)"),
        (zetrion.R(-math.inf), "Element.R(r=-inf)"),
        (zetrion.La(1e-6, 0.8), "Element.La(l=1e-6, alpha=0.8)"),
        (zetrion.W(1.5e-5), "Element.W(aw=1.5e-5)"),
        (zetrion.T(-0.0, 123456.789, 1e15, -2.5e20), "Element.T(a=-0.0, b=123456.789, k_tau=1000000000000000.0, tau=-2.5e20)"),
    ],
)
def test_element_repr(element, text):
    assert repr(element) == text


def test_builders_splice_and_label():
    c = Series([zetrion.R(10), Parallel([zetrion.R(100), zetrion.C(1e-6)])])
    assert c.param_names() == ["R0.r", "R1.r", "C0.c"]
    assert c.param_values() == [10.0, 100.0, 1e-6]
    assert Series([zetrion.R(1), zetrion.R(2), zetrion.Cpe(1, 0.5)]).param_names() == [
        "R0.r",
        "R1.r",
        "Cpe0.q",
        "Cpe0.alpha",
    ]
    s = Series([Circuit("R0-(R1,C1)"), zetrion.W(5)])
    assert s.param_names() == ["R0.r", "R1.r", "C1.c", "W0.aw"]
    p = Parallel((Circuit("R0-C0"), zetrion.L(1e-6)))
    assert p.param_names() == ["R0.r", "C0.c", "L0.l"]
    # Spliced, not wrapped: the same impedance as the notation.
    f = [0.1, 10.0, 1e4]
    values = [10.0, 100.0, 1e-6]
    assert list(c.impedance(f)) == list(Circuit("R0-(R1,C0)").with_values(values).impedance(f))


def test_builders_copy_their_parts():
    inner = Circuit("R0-C1")
    outer = Series([inner, zetrion.R(3)])
    assert inner.param_names() == ["R0.r", "C1.c"]
    assert outer.with_values([1, 2, 3]).param_values() == [1.0, 2.0, 3.0]
    assert inner.param_values() == [1.0, 0.001]


def test_empty_builders():
    assert Series([]).param_names() == []
    assert list(Series([]).impedance([1.0, 2.0])) == [0j, 0j]
    z = Parallel([]).impedance([1.0])[0]
    assert math.isnan(z.real) and math.isnan(z.imag)


def test_builder_errors():
    with pytest.raises(TypeError, match="^argument 'parts': Can't extract `str` to `Vec`$"):
        Series("R0")
    with pytest.raises(TypeError, match="^argument 'parts': 'int' object cannot be converted to 'Sequence'$"):
        Parallel(5)
    with pytest.raises(TypeError, match="^argument 'parts': item 1 is neither an Element nor a Circuit"):
        Series([Circuit("R0"), 5])
    with pytest.raises(TypeError):
        Series()
    assert Series(parts=[zetrion.R(1)]).param_values() == [1.0]


def test_builder_nesting_is_bounded():
    c = Circuit("R0")
    for _ in range(200):
        c = Parallel([c])
    assert c.param_names() == ["R0.r"]
    with pytest.raises(ValueError, match="nested deeper than 200 levels"):
        Parallel([c])
    with pytest.raises(ValueError, match='duplicate element label "R0"'):
        Series([c, c])
