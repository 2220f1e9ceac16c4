import math

import numpy as np
import pytest

import zetrion
from zetrion import Circuit

INF = math.inf


def test_catalogue_of_a_parsed_circuit():
    c = Circuit("R0-(R1,CPE1)")
    assert c.param_names() == ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
    assert c.param_units() == ["ohm", "ohm", "ohm^-1*s^alpha", "-"]
    assert c.param_bounds() == [(1e-12, INF), (1e-12, INF), (1e-12, INF), (0.0, 1.0)]
    assert c.param_values() == [1.0, 1.0, 0.001, 0.8]
    assert all(type(b) is tuple and type(b[0]) is float for b in c.param_bounds())

    wo = Circuit("R0-Wo1")
    assert wo.param_names() == ["R0.r", "Wo1.z0", "Wo1.tau"]
    assert wo.param_values() == [1.0, 1.0, 10.0]

    every = Circuit("La0-Gs1-Zarc2-TLMQ3-T4")
    bounds = dict(zip(every.param_names(), every.param_bounds()))
    assert bounds["La0.alpha"] == (0.0, 1.0)
    assert bounds["Zarc2.gamma"] == (0.0, 1.0)
    assert bounds["TLMQ3.gamma"] == (0.0, 1.0)
    assert bounds["Gs1.phi"] == (1e-12, INF)
    assert bounds["T4.k_tau"] == (1e-12, INF)
    assert every.param_units()[-4:] == ["ohm*m^2", "ohm*m^2", "-", "s"]


def test_results_are_fresh_lists():
    c = Circuit("R0")
    a = c.param_values()
    a.append(5)
    assert c.param_values() == [1.0]


def test_with_values():
    c = Circuit("R0-(R1,C1)")
    with pytest.raises(ValueError, match=r"^expected 3 values, got 2$"):
        c.with_values([1, 2])
    with pytest.raises(ValueError, match=r"^expected 3 values, got 4$"):
        c.with_values(np.ones(4))
    d = c.with_values((5, np.float32(2.5), np.float64(1e-6)))
    assert d.param_values() == [5.0, 2.5, 1e-6]
    assert c.param_values() == [1.0, 1.0, 0.001]
    assert d is not c
    assert Circuit("R0").with_values(np.array([7.0])).param_values() == [7.0]
    nan = Circuit("R0").with_values([math.nan]).param_values()[0]
    assert math.isnan(nan)
    assert zetrion.Series([]).with_values([]).param_names() == []


@pytest.mark.parametrize(
    "arg,message",
    [
        ("123", "argument 'values': Can't extract `str` to `Vec`"),
        (5, "argument 'values': 'int' object cannot be converted to 'Sequence'"),
        ({1: 2}, "argument 'values': 'dict' object cannot be converted to 'Sequence'"),
        ([1, "x", 3], "argument 'values': must be real number, not str"),
    ],
)
def test_with_values_type_errors(arg, message):
    with pytest.raises(TypeError) as info:
        Circuit("R0-(R1,C1)").with_values(arg)
    assert str(info.value) == message


def test_with_values_other_conversion_errors_pass_unchanged():
    class Bad:
        def __float__(self):
            raise OverflowError("too big")

    with pytest.raises(OverflowError, match="^too big$"):
        Circuit("R0").with_values([Bad()])
    with pytest.raises(OverflowError):
        Circuit("R0").with_values([10**400])


def test_with_named_values():
    c = Circuit("R0-(R1,C1)")
    d = c.with_named_values({"C1.c": 3, "R0.r": 1, "R1.r": np.float64(2)})
    assert d.param_values() == [1.0, 2.0, 3.0]
    assert c.with_named_values(values={"R0.r": 1, "R1.r": 2, "C1.c": 3}).param_values() == [1.0, 2.0, 3.0]


def test_with_named_values_report():
    c = Circuit("R0-(R1,C1)")
    with pytest.raises(ValueError) as info:
        c.with_named_values({"R0.r": 1, "R1.r": 2, "C1.x": 3})
    assert str(info.value) == (
        'unknown parameter "C1.x" (did you mean "C1.c"?)\n'
        'missing parameter(s): ["C1.c"]\n'
        "valid parameters for this circuit:\n"
        "  R0.r  [ohm]  bounds (1e-12, inf)\n"
        "  R1.r  [ohm]  bounds (1e-12, inf)\n"
        "  C1.c  [F]  bounds (1e-12, inf)"
    )


def test_with_named_values_report_variants():
    c = Circuit("R0-(R1,CPE1)")
    with pytest.raises(ValueError) as info:
        c.with_named_values({"R0.r": 1, "R1.r": 1, "CPE1.q": 1, "CPE1.alpha": 0.5, "R2.r": 1, 'we"ird\n': 1})
    lines = str(info.value).split("\n")
    assert lines[0] == 'unknown parameter "R2.r" (did you mean "R0.r"?)'
    assert lines[1] == 'unknown parameter "we\\"ird\\n"'
    assert lines[2] == "valid parameters for this circuit:"
    assert lines[3:] == [
        "  R0.r        [ohm]  bounds (1e-12, inf)",
        "  R1.r        [ohm]  bounds (1e-12, inf)",
        "  CPE1.q      [ohm^-1*s^alpha]  bounds (1e-12, inf)",
        "  CPE1.alpha  [-]  bounds (0, 1)",
    ]
    with pytest.raises(ValueError) as info:
        c.with_named_values({})
    assert str(info.value).split("\n")[0] == 'missing parameter(s): ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]'


def test_with_named_values_type_errors():
    c = Circuit("R0")
    with pytest.raises(TypeError, match=r"^argument 'values': 'list' object cannot be converted to 'PyDict'$"):
        c.with_named_values([("R0.r", 1)])
    with pytest.raises(TypeError, match=r"^argument 'values': 'int' object cannot be converted to 'PyString'$"):
        c.with_named_values({1: 2})
    with pytest.raises(TypeError, match=r"^argument 'values': must be real number, not str$"):
        c.with_named_values({"R0.r": "x"})
    with pytest.raises(TypeError):
        c.with_named_values()
    with pytest.raises(TypeError):
        c.param_names(1)


def test_builders_never_name_two_parameters_alike():
    # Automatic labels of element parts skip the numbers explicit labels of
    # the same kind already use, wherever those stand in the result.
    assert zetrion.Series([zetrion.R(1), Circuit("R0")]).param_names() == ["R1.r", "R0.r"]
    assert zetrion.Series([Circuit("R0-R2"), zetrion.R(1), zetrion.R(2), zetrion.R(3)]).param_names() == [
        "R0.r", "R2.r", "R1.r", "R3.r", "R4.r"]
    assert zetrion.Parallel([zetrion.Cpe(1e-5, 0.8), Circuit("CPE0-Cpe1")]).param_names() == [
        "Cpe2.q", "Cpe2.alpha", "CPE0.q", "CPE0.alpha", "Cpe1.q", "Cpe1.alpha"]
    # Kinds count separately; element-only circuits keep the plain numbering.
    assert zetrion.Series([zetrion.C(1), Circuit("R0"), zetrion.R(2)]).param_names() == ["C0.c", "R0.r", "R1.r"]
    assert zetrion.Series([zetrion.R(1), zetrion.R(2), zetrion.Cpe(1, 0.5)]).param_names() == [
        "R0.r", "R1.r", "Cpe0.q", "Cpe0.alpha"]
    # Two explicit leaves with one label are refused with the parser's text.
    for build in (zetrion.Series, zetrion.Parallel):
        with pytest.raises(ValueError, match=r'^duplicate element label "R0"$'):
            build([Circuit("R0"), Circuit("R0")])
    sub = Circuit("(R1,CPE1)").with_values([0.02, 1, 0.8])
    with pytest.raises(ValueError, match=r'^duplicate element label "R1"$'):
        zetrion.Series([Circuit("R0").with_values([0.02]), sub, sub])


def test_fit_of_built_circuit_keeps_every_value():
    f = np.geomspace(1e4, 1e-1, 30)
    truth = zetrion.Series([zetrion.R(0.02), Circuit("(R1,CPE1)").with_values([0.05, 0.5, 0.8]), zetrion.R(0.01),
                            zetrion.Parallel([zetrion.R(0.03), zetrion.Cpe(0.1, 0.9)])])
    z = truth.impedance(f)
    names = truth.param_names()
    assert len(set(names)) == len(names) == 8
    result = truth.fit(f, z, guess_init=False)
    assert list(result.params) == names


def test_method_on_foreign_object_is_a_type_error():
    with pytest.raises(TypeError):
        Circuit.param_names(5)
    with pytest.raises(TypeError):
        Circuit.impedance("R0", [1.0])
