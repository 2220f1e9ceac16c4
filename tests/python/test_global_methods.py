# Spectra on which the Levenberg-Marquardt fit from the element defaults ends
# in a local minimum (found with bench/find_local_minima.py), and the global
# methods that reach the optimum on them.
import math
import warnings

import numpy as np
import pytest

from zetrion import Circuit

F = np.geomspace(1e5, 1e-2, 50)
TWO_RQ_A = ("R0-(R1,CPE1)-(R2,CPE2)", [563.0, 84.9, 1.66e-06, 0.734, 13.0, 8.93e-06, 0.921])
TWO_RQ_B = ("R0-(R1,CPE1)-(R2,CPE2)", [17.2, 22.8, 3.8e-07, 0.674, 439.0, 2.39e-07, 0.757])
TWO_RQ_C = ("R0-(R1,CPE1)-(R2,CPE2)", [1120.0, 2650.0, 0.000343, 0.664, 1190.0, 6.45e-07, 0.736])
TWO_RC = ("R0-(R1,C1)-(R2,C2)", [45.9, 379.0, 4.88e-05, 2.38, 1.21e-07])
RANDLES = ("R0-(R1-W1,CPE1)", [10.7, 15.4, 1500.0, 6.12e-06, 0.793])


def case(notation, truth):
    c = Circuit(notation)
    return c, c.with_values(truth).impedance(F)


@pytest.fixture(autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


@pytest.mark.parametrize(
    "method,data",
    [
        ("particle_swarm", TWO_RQ_A),
        ("particle_swarm", TWO_RC),
        ("nelder_mead", TWO_RQ_A),
        ("simulated_annealing", TWO_RQ_C),
        ("differential_evolution", TWO_RC),
        ("basin_hopping", TWO_RC),
        ("basin_hopping", RANDLES),
    ],
)
def test_global_methods_escape_a_local_minimum(method, data):
    c, z = case(*data)
    assert c.fit(F, z, guess_init=False).cost > 1e-7  # the local fit alone is stuck
    r = c.fit(F, z, guess_init=False, method=method, seed=3)
    assert r.cost < 1e-20
    assert r.success


@pytest.mark.parametrize("method", ["particle_swarm", "simulated_annealing", "basin_hopping"])
def test_same_seed_same_result(method):
    c, z = case(*TWO_RQ_B)
    zn = z * (1 + 0.01 * np.sin(np.arange(len(z))))
    kw = dict(guess_init=False, method=method, num_particles=20, generations=30, sa_iterations=300, basin_hopping_hops=3)
    a = c.fit(F, zn, seed=11, **kw)
    b = c.fit(F, zn, seed=11, **kw)
    assert a.params == b.params and a.impedance_evals == b.impedance_evals


@pytest.mark.parametrize("method,kw", [("particle_swarm", dict(num_particles=10, generations=3)), ("simulated_annealing", dict(sa_iterations=30)), ("differential_evolution", dict(de_evaluations=300, seed=5))])
def test_results_vary_without_seed(method, kw):
    c, z = case(*TWO_RQ_B)
    zn = z * (1 + 0.02 * np.cos(np.arange(len(z))))
    runs = {tuple(sorted(c.fit(F, zn, guess_init=False, method=method, max_iterations=1, **kw).params.items())) for _ in range(4)}
    assert len(runs) > 1


@pytest.mark.parametrize("method", ["particle_swarm", "nelder_mead", "simulated_annealing", "differential_evolution", "basin_hopping"])
def test_every_result_lies_within_its_bounds(method):
    c, z = case(*RANDLES)
    zn = z * (1 + 0.05 * np.sin(np.arange(len(z))))
    r = c.fit(F, zn, guess_init=False, method=method, seed=1, num_particles=30, generations=50, sa_iterations=500,
              sa_initial_temperature=50.0, de_evaluations=500, basin_hopping_step_size=3.0)
    for name, (lo, hi) in zip(c.param_names(), c.param_bounds()):
        assert lo <= r.params[name] <= hi


def test_counts_and_settings():
    c, z = case(*TWO_RC)
    n = len(c.param_names())
    bh = c.fit(F, z, guess_init=False, method="basin_hopping", basin_hopping_hops=2, seed=1)
    assert bh.impedance_evals == 1 + 2 * n
    zero = c.fit(F, z, guess_init=False, method="basin_hopping", basin_hopping_hops=0)
    lm = c.fit(F, z, guess_init=False)
    assert zero.success and zero.params == lm.params and zero.iterations == lm.iterations
    pso = c.fit(F, z, guess_init=False, method="particle_swarm", num_particles=20, generations=10, seed=2)
    assert pso.impedance_evals > 20 * 11
    with pytest.raises(ValueError, match="^solver error: Invalid parameter: `SimulatedAnnealing`: Initial temperature must be > 0.$"):
        c.fit(F, z, guess_init=False, method="simulated_annealing", sa_initial_temperature=0.0)
    with pytest.raises(ValueError, match="^solver error: Invalid parameter"):
        c.fit(F, z, guess_init=False, method="simulated_annealing", sa_initial_temperature=-1.0)
    with pytest.raises(ValueError, match="^solver error: basin hopping step size"):
        c.fit(F, z, guess_init=False, method="basin_hopping", basin_hopping_step_size=math.nan)
    with pytest.raises(ValueError, match="^solver error: num_particles is too large"):
        c.fit(F, z, guess_init=False, method="particle_swarm", num_particles=2**63)
