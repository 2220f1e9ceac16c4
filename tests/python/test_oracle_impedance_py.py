# Element and circuit impedances checked against impedance.py (PyPI package
# `impedance`), an independent implementation of the same element formulas.
#
# Kinds that agree and are compared over the whole range: R, C, L, La, CPE, W,
# Wo, Ws, G, Gs, K, Zarc, TLMQ (same parameters in the same order, same
# formula; impedance.py also uses 2*pi*f).
#
# Kind that differs: T. Both evaluate A*coth(beta)/beta + B*csch(beta)/beta
# with beta = sqrt(k_tau + j*w*tau), but the large-argument handling differs:
#   - zetrion clamps once |Re beta| > 20: coth = +-1 and csch = 0 exactly, so
#     Z = a/beta and the b term vanishes;
#   - impedance.py keeps the full formula (A/(beta*tanh(beta)) +
#     B/(beta*sinh(beta))) and only replaces sinh(beta) by the real constant
#     1e10 when `beta < 100` is false under NumPy's lexicographic complex
#     ordering (Re beta > 100, or Re beta == 100 and Im beta >= 0); it never
#     drops the b term.
#   Between Re beta = 20 and 100 the two differ by about 2*|b/a|*exp(-Re beta)
#   relative (4e-9*|b/a| at Re beta = 20), beyond 100 by about |b/a|*1e-10
#   relative. T is therefore compared with the full formula only where
#   Re beta <= 20, and above that only with impedance.py's b = 0 value.

import warnings

import numpy as np
import pytest

import zetrion

elements = pytest.importorskip("impedance.models.circuits.elements")
CustomCircuit = pytest.importorskip("impedance.models.circuits").CustomCircuit

RTOL = 1e-9
TWO_PI = 6.283185307179586
DRAWS = 25

# Wide sweep, plus irregular frequencies so that nothing relies on the grid.
FREQS = np.concatenate(
    [np.logspace(-3, 6, 181), 10.0 ** np.random.default_rng(7).uniform(-3, 6, 40)]
)


def loguniform(rng, lo, hi):
    return float(10.0 ** rng.uniform(np.log10(lo), np.log10(hi)))


def exponent(rng):
    return float(rng.uniform(0.3, 1.0))


# zetrion code -> (impedance.py element name, parameter samplers in the
# kind's parameter order). Magnitudes span several decades each.
R_ = (1e-3, 1e5)
Q_ = (1e-9, 1e-1)
TAU_ = (1e-6, 1e3)
KINDS = {
    "R": ("R", [R_]),
    "C": ("C", [Q_]),
    "L": ("L", [(1e-9, 1e-3)]),
    "La": ("La", [(1e-9, 1e-3), "exp"]),
    "CPE": ("CPE", [Q_, "exp"]),
    "W": ("W", [R_]),
    "Wo": ("Wo", [R_, TAU_]),
    "Ws": ("Ws", [R_, TAU_]),
    "G": ("G", [R_, TAU_]),
    "Gs": ("Gs", [R_, TAU_, (1e-2, 1e2)]),
    "K": ("K", [R_, TAU_]),
    "Zarc": ("Zarc", [R_, TAU_, "exp"]),
    "TLMQ": ("TLMQ", [R_, Q_, "exp"]),
}

# Exponents 1 and 0.5 take exact shortcuts in the complex power; 0.3..1 the
# polar form. Both routes are compared.
SHORTCUT_EXPONENTS = (1.0, 0.5)


def draw(rng, samplers):
    return [exponent(rng) if s == "exp" else loguniform(rng, *s) for s in samplers]


def parameter_sets(code, samplers):
    rng = np.random.default_rng(sum(map(ord, code)))
    sets = [draw(rng, samplers) for _ in range(DRAWS)]
    if "exp" in samplers:
        i = samplers.index("exp")
        for e in SHORTCUT_EXPONENTS:
            p = draw(rng, samplers)
            p[i] = e
            sets.append(p)
    return sets


def zetrion_element(code, params, freqs):
    return zetrion.Circuit(code + "0").with_values(params).impedance(freqs)


def reference_element(name, params, freqs):
    return getattr(elements, name)([float(x) for x in params], freqs)


def assert_close(actual, expected, context):
    assert actual.dtype == np.complex128
    assert actual.shape == expected.shape
    assert np.all(np.isfinite(actual)), context
    np.testing.assert_allclose(actual, expected, rtol=RTOL, atol=0, err_msg=context)


# Element classes for the codes whose class-side name differs.
CLASS_NAMES = {"CPE": "Cpe", "TLMQ": "Tlmq"}


@pytest.mark.parametrize("code", sorted(KINDS))
def test_element_matches_impedance_py(code):
    name, samplers = KINDS[code]
    element_class = getattr(zetrion, CLASS_NAMES.get(code, code))
    for params in parameter_sets(code, samplers):
        expected = reference_element(name, params, FREQS)
        assert_close(zetrion_element(code, params, FREQS), expected, f"{code} {params}")
        # The same element built from an element object (constructor
        # arguments in parameter order).
        built = zetrion.Series([element_class(*params)])
        assert_close(built.impedance(FREQS), expected, f"{code} object {params}")


def t_parameter_sets():
    rng = np.random.default_rng(1313)
    return [
        draw(rng, [R_, R_, (1e-3, 1e2), (1e-5, 1e2)]) for _ in range(DRAWS)
    ]


def t_beta(params, freqs):
    _, _, k_tau, tau = params
    return np.sqrt(k_tau + 1j * (freqs * TWO_PI) * tau)


def test_t_matches_impedance_py_below_clamp():
    compared = 0
    for params in t_parameter_sets():
        below = t_beta(params, FREQS).real <= 20.0 - 1e-6
        if not below.any():
            continue
        f = FREQS[below]
        assert_close(zetrion_element("T", params, f), reference_element("T", params, f), f"T {params}")
        compared += below.sum()
    assert compared > 1000


def test_t_above_clamp_is_the_coth_term_alone():
    # Past the clamp the csch term is dropped: compare with impedance.py's
    # value for the same element with b = 0.
    compared = 0
    for params in t_parameter_sets():
        above = t_beta(params, FREQS).real > 20.0 + 1e-6
        if not above.any():
            continue
        f = FREQS[above]
        a, _, k_tau, tau = params
        assert_close(
            zetrion_element("T", params, f),
            reference_element("T", [a, 0.0, k_tau, tau], f),
            f"T {params}",
        )
        compared += above.sum()
    assert compared > 500


# zetrion notation, impedance.py notation, parameter samplers in leaf order.
CIRCUITS = [
    ("R0-(R1-W1,CPE1)", "R0-p(R1-W1,CPE1)", [R_, R_, R_, Q_, "exp"]),
    (
        "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
        "R0-p(R1,CPE1)-p(R2-Wo2,CPE2)",
        [R_, R_, Q_, "exp", R_, R_, TAU_, Q_, "exp"],
    ),
    ("L0-R0-(R1,C1)-(R2,C2)", "L0-R0-p(R1,C1)-p(R2,C2)", [(1e-9, 1e-3), R_, R_, Q_, R_, Q_]),
    # Nested groups and the remaining kinds in one tree.
    (
        "R0-(R1-(R2,CPE2)-Zarc2,C1-G1)-Gs1-TLMQ1-(Ws1,La1)",
        "R0-p(R1-p(R2,CPE2)-Zarc2,C1-G1)-Gs1-TLMQ1-p(Ws1,La1)",
        [R_, R_, R_, Q_, "exp", R_, TAU_, "exp", Q_, R_, TAU_, R_, TAU_, (1e-2, 1e2),
         R_, Q_, "exp", R_, TAU_, (1e-9, 1e-3), "exp"],
    ),
]


def reference_circuit(notation, params, freqs):
    model = CustomCircuit(notation, initial_guess=[float(x) for x in params])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # "Simulating circuit based on initial parameters"
        return model.predict(freqs)


@pytest.mark.parametrize("ours,theirs,samplers", CIRCUITS, ids=[c[0] for c in CIRCUITS])
def test_circuit_matches_impedance_py(ours, theirs, samplers):
    rng = np.random.default_rng(sum(map(ord, ours)))
    circuit = zetrion.Circuit(ours)
    assert len(circuit.param_names()) == len(samplers)
    # 2000 frequencies go through the worker pool, 221 stay on the caller.
    many = np.logspace(-3, 6, 2000)
    for _ in range(8):
        params = draw(rng, samplers)
        c = circuit.with_values(params)
        for f in (FREQS, many):
            assert_close(c.impedance(f), reference_circuit(theirs, params, f), f"{ours} {params}")
