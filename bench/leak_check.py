#!/usr/bin/env python3
"""Memory-leak check for the zetrion extension.

Runs a mix of every kind of call -- construction from notation, presets,
builders and element objects; impedance below and above the worker-pool
cut-off; residuals and Jacobians; fits with every method and guesses from
built-in and external weights; and every error path of the Python layer,
each raised and caught (hostile input included: lying lengths, conversions
that raise KeyboardInterrupt or MemoryError, refused weight files, results
too large to hold, a fit stopped by a signal) -- many times in a loop, printing the resident set
size (from /proc/self/statm) at intervals. Exits with status 1 when the RSS
grows by more than --limit-mb after the warm-up, or when a call that should
fail does not raise the expected exception type.

    python3 bench/leak_check.py [--iterations N] [--warmup N] [--limit-mb MB]
"""

import argparse
import gc
import os
import signal
import tempfile
import sys
import time

import warnings

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = os.sysconf("SC_PAGE_SIZE")
# The slow error paths (a fit stopped by a signal costs one poll interval of
# about 10 ms, a Jacobian refused for a 200 000-point spectrum reads it all)
# run on every 25th iteration only, with the four slower fit methods.
RARE_EVERY = 25


def rss_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


def import_zetrion(python_build):
    try:
        import zetrion  # noqa: F401
    except ImportError:
        sys.path.insert(0, python_build)
        import zetrion  # noqa: F401
    return sys.modules["zetrion"]


PRESETS = ["rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l",
           "randles", "sei_randles", "sei_randles_wo"]

# One constructor argument list per element kind, in the kinds' order.
ELEMENT_ARGS = [
    ("R", (10.0,)), ("C", (1e-6,)), ("L", (1e-7,)), ("La", (1e-6, 0.8)), ("Cpe", (1e-4, 0.85)),
    ("W", (12.0,)), ("Wo", (30.0, 2.0)), ("Ws", (30.0, 2.0)), ("G", (5.0, 0.1)), ("Gs", (5.0, 0.1, 2.0)),
    ("K", (20.0, 1e-3)), ("Zarc", (20.0, 1e-3, 0.9)), ("Tlmq", (8.0, 1e-3, 0.8)), ("T", (1.0, 2.0, 0.5, 1e-2)),
]


class Liar:
    """A sequence that reports an absurd length and has no readable items."""

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        raise RuntimeError("no items")


class Raises:
    """A number whose conversions raise the given exception type."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc()

    def __complex__(self):
        raise self.exc()


class Alarm(Exception):
    pass


def on_alarm(signum, frame):
    raise Alarm()


def weight_files(z, tmp):
    """A good external weight file and bad ones of every kind the loader refuses."""
    from zetrion_tools.training import eisnn

    meta, tensors = eisnn.random_model("R0-(R1,C1)", z.Circuit("R0-(R1,C1)").param_names())
    good = os.path.join(tmp, "good.eisnn")
    with open(good, "wb") as fh:
        fh.write(eisnn.write_eisnn(meta, tensors))
    nan = os.path.join(tmp, "nan.eisnn")
    bias = tensors["w.stem.bias"].copy()
    bias[0] = np.nan
    with open(nan, "wb") as fh:
        fh.write(eisnn.write_eisnn(meta, dict(tensors, **{"w.stem.bias": bias})))
    big = os.path.join(tmp, "big.eisnn")
    with open(big, "wb") as fh:
        fh.truncate((64 << 20) + 1)  # sparse
    fifo = os.path.join(tmp, "fifo.eisnn")
    os.mkfifo(fifo)
    return good, [nan, big, fifo, "/dev/zero", tmp, os.path.join(tmp, "absent.eisnn")]


def make_workload(z, tmp):
    f_small = np.logspace(-2, 5, 40)
    f_big = np.logspace(-3, 6, 1200)  # above the pool cut-off
    f_list = f_small.tolist()
    randles = z.Circuit("R0-(R1-W1,CPE1)").with_values([15.0, 120.0, 30.0, 3e-5, 0.88])
    meas = randles.impedance(f_small)
    meas_list = meas.tolist()
    p = randles.param_values()
    frame = {"frequency_hertz": f_list, "real_impedance_ohm": meas.real.tolist(),
             "imaginary_impedance_ohm": meas.imag.tolist()}
    polar = {"Frequency / Hz": f_list, "Absolute Impedance / ohm": np.abs(meas).tolist(),
             "Phase / deg": np.degrees(np.angle(meas)).tolist()}
    names = randles.param_names()
    warnings.simplefilter("error", UserWarning)  # the no-model warning is raised and caught

    def good(i):
        out = []
        # notation, presets, inspection
        c = z.Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)-p(Gs3,TLMQ3)-T4-Zarc5-K6-La7-G8-Ws9-C9")
        out += [repr(c), c.param_names(), c.param_units(), c.param_bounds(), c.param_values()]
        for name in PRESETS:
            out.append(z.Circuit(name).param_values())
        # element objects and builders
        els = [getattr(z, k)(*a) for k, a in ELEMENT_ARGS]
        for e, (_, a) in zip(els, ELEMENT_ARGS):
            out.append(repr(e))
            out.append([getattr(e, n) for n in type(e).__match_args__])
        built = z.Series([els[0], z.Parallel([els[1], z.Series(els[2:6])]), c, z.Parallel([z.Circuit("R20-(R21,C21)"), els[6]]), els[0]])
        out += [built.param_names(), repr(built), z.Series([]).impedance(f_list), z.Parallel([]).impedance(f_list)]
        # values
        v = c.with_values(c.param_values())
        nv = randles.with_named_values(dict(zip(names, p)))
        # impedance: small (caller's thread) and large (pool), array, list, frame
        out += [v.impedance(f_small), built.impedance(f_big), nv.impedance(f_list), randles.impedance(frame)]
        # residuals and Jacobian: two-argument form, frames, both weightings
        out.append(randles.residuals(p, f_small, meas))
        out.append(randles.residuals(p, frame, weight="unit"))
        out.append(randles.jacobian(p, f_list, meas_list))
        out.append(randles.jacobian(p, polar, None, "modulus"))
        # fits and their results, learned guesses
        r = randles.fit(f_small, meas, max_iterations=5)
        out += [repr(r), r.params, r.stderr, r.circuit, r.cost, r.iterations]
        rc = z.Circuit("rc")
        rc_z = rc.with_values([10.0, 100.0, 1e-5]).impedance(f_small)
        out += [rc.guess(f_small, rc_z), z.Circuit.ml_circuits()]
        out.append(randles.fit(f_small, meas, method="nelder_mead", nelder_mead_iterations=20, max_iterations=2).cost)
        if i % RARE_EVERY == 0:  # the other four methods, at small budgets
            for method, budget in GLOBAL_BUDGETS.items():
                out.append(randles.fit(f_small, meas, method=method, max_iterations=2, seed=1, **budget).cost)
        # an external weight file, read once and then cached
        out.append(z.Circuit("R0-(R1,C1)").guess(f_small, rc_z, weights=good_weights))
        return out

    good_weights, bad_weights = weight_files(z, tmp)
    GLOBAL_BUDGETS = {"particle_swarm": {"num_particles": 5, "generations": 3},
                      "simulated_annealing": {"sa_iterations": 20}, "basin_hopping": {"basin_hopping_hops": 1},
                      "differential_evolution": {"de_evaluations": 50}}
    f_huge = np.geomspace(1e5, 1e-2, 200_000)
    z_huge = np.ones_like(f_huge, dtype=complex)
    f_zero = np.concatenate([[0.0], f_small[1:]])
    f_inf = np.concatenate([f_small[:-1], [np.inf]])
    rc_meas = z.Circuit("rc").with_values([10.0, 100.0, 1e-5]).impedance(f_small)

    deep = "(" * 300 + "R0" + ")" * 300
    bad_frames = [
        {"real_impedance_ohm": [1.0]},  # no frequency column
        {"frequency_hertz": [1.0, 2.0], "real_impedance_ohm": [1.0], "imaginary_impedance_ohm": [1.0, 2.0]},
        {"frequency_hertz": [1.0], "absolute_impedance_ohm": [1.0, 2.0], "phase_degree": [1.0]},
        {"frequency_hertz": [1.0, 2.0]},  # no impedance columns
        {"frequency_hertz": [1.0, 2.0, 3.0], "real_impedance_ohm": [1.0, 2.0], "imaginary_impedance_ohm": [1.0, 2.0]},
        {"frequency_hertz": [0.0, -1.0], "real_impedance_ohm": [1.0, 2.0], "imaginary_impedance_ohm": [1.0, 2.0]},
        {"frequency_hertz": [], "real_impedance_ohm": [], "imaginary_impedance_ohm": []},
        {"frequency_hertz": "12", "real_impedance_ohm": [1.0], "imaginary_impedance_ohm": [1.0]},  # not numeric
        {"frequency_hertz": [1.0], "real_impedance_ohm": [1.0], "imaginary_impedance_ohm": [1.0],
         "Phase / deg": ["x"]},  # non-numeric phase column
    ]

    errors = [
        # notation: every parse-error kind, nesting limit, wrong type
        (ValueError, lambda: z.Circuit("")),
        (ValueError, lambda: z.Circuit("R0-")),
        (ValueError, lambda: z.Circuit("R")),
        (ValueError, lambda: z.Circuit("R0--R1")),
        (ValueError, lambda: z.Circuit("R0-(R1;C1)")),
        (ValueError, lambda: z.Circuit("R0,R1")),
        (ValueError, lambda: z.Circuit("R0-Q1")),
        (ValueError, lambda: z.Circuit("R0-(R1,X\u00e91)")),
        (ValueError, lambda: z.Circuit("R1-(R1,C1)")),
        (ValueError, lambda: z.Circuit(" R0-C1")),
        (ValueError, lambda: z.Circuit(deep)),
        (TypeError, lambda: z.Circuit(5)),
        (TypeError, lambda: z.Circuit()),
        # values
        (ValueError, lambda: randles.with_values([1.0, 2.0])),
        (TypeError, lambda: randles.with_values("12345")),
        (TypeError, lambda: randles.with_values(5)),
        (TypeError, lambda: randles.with_values([1.0, "x", 3.0, 4.0, 5.0])),
        (OverflowError, lambda: randles.with_values([10**400, 1.0, 1.0, 1.0, 1.0])),
        (ValueError, lambda: randles.with_named_values({"R0.r": 1.0, "R1.r": 2.0, "W1.aw": 3.0, "CPE1.q": 4.0,
                                                         "CPE1.alhpa": 5.0})),
        (ValueError, lambda: randles.with_named_values({"R0.r": 1.0})),
        (ValueError, lambda: randles.with_named_values({"nonsense_name_that_is_long": 1.0})),
        (TypeError, lambda: randles.with_named_values([("R0.r", 1.0)])),
        (TypeError, lambda: randles.with_named_values({1: 2.0})),
        (TypeError, lambda: randles.with_named_values({"R0.r": "x"})),
        # fits and guesses
        (TypeError, lambda: randles.fit(f_small, meas, weight=None)),
        (OverflowError, lambda: randles.fit(f_small, meas, max_iterations=-1)),
        (ValueError, lambda: randles.fit(f_small, meas, method="LM")),
        (ValueError, lambda: randles.fit(f_small, meas, ftol=-1.0)),
        (UserWarning, lambda: z.Circuit("R0-T1").fit(f_small, meas)),
        (ValueError, lambda: z.Circuit("R0-T1").guess(f_small, meas)),
        (ValueError, lambda: z.Circuit("rc").guess([1.0], [1j])),
        (ValueError, lambda: z.Circuit("rc").guess(f_small, meas, weights="/nonexistent.eisnn")),
        (TypeError, lambda: z.FitResult()),
        # impedance
        (ValueError, lambda: randles.impedance(5)),
        (ValueError, lambda: randles.impedance("123")),
        (ValueError, lambda: randles.impedance({"frequency_hertz": ["a"]})),
        (ValueError, lambda: randles.impedance({"f": [1.0]})),
        (TypeError, lambda: randles.impedance()),
        # elements and builders
        (TypeError, lambda: z.Element()),
        (TypeError, lambda: z.R()),
        (TypeError, lambda: z.R("x")),
        (TypeError, lambda: z.Cpe(1.0, 2.0, 3.0)),
        (TypeError, lambda: z.Wo(z0=1.0, tau=2.0, bogus=3.0)),
        (TypeError, lambda: z.Series("R0")),
        (TypeError, lambda: z.Series(5)),
        (TypeError, lambda: z.Parallel([randles, 5])),
        # residuals / Jacobian
        (ValueError, lambda: randles.residuals(p, f_small, meas, weight="abs")),
        (TypeError, lambda: randles.residuals(p, f_small, meas, weight=None)),
        (ValueError, lambda: randles.residuals([1.0], f_small, meas)),  # too few parameters
        (ValueError, lambda: randles.jacobian([1.0, 2.0], f_small, meas)),
        (TypeError, lambda: randles.residuals("abc", f_small, meas)),
        (ValueError, lambda: randles.residuals(p, [1.0, 2.0], [1j])),
        (TypeError, lambda: randles.residuals(p, "12", [1j, 2j])),
        (TypeError, lambda: randles.residuals(p, [1.0, 2.0], "12")),
        (TypeError, lambda: randles.residuals(p, [1.0, 2.0], 5)),
        (TypeError, lambda: randles.jacobian(p, [1.0, 2.0], [1j, "x"])),
        (ValueError, lambda: randles.residuals(p, f_list)),  # a list is not a frame
        # hostile input: unusable frequencies for a guess, lying lengths,
        # errors that must pass unchanged, results too large to hold,
        # duplicate labels from the builders
        (ValueError, lambda: z.Circuit("rc").guess(f_zero, rc_meas)),
        (ValueError, lambda: z.Circuit("rc").fit(f_inf, rc_meas)),
        (ValueError, lambda: randles.impedance(Liar())),
        (ValueError, lambda: randles.impedance(range(10**12))),
        (ValueError, lambda: randles.residuals(Liar(), f_small, meas)),
        (ValueError, lambda: randles.with_values(range(10**12))),
        (ValueError, lambda: randles.fit(Liar(), meas)),
        (ValueError, lambda: randles.impedance([1.0, None])),
        (KeyboardInterrupt, lambda: randles.impedance([1.0, Raises(KeyboardInterrupt)])),
        (MemoryError, lambda: randles.impedance({"frequency_hertz": [1.0, Raises(MemoryError)]})),
        (KeyboardInterrupt, lambda: randles.fit(f_small, [1j, Raises(KeyboardInterrupt)])),
        (ValueError, lambda: z.Series([z.Circuit("R0"), z.Circuit("R0")])),
        (ValueError, lambda: z.Parallel([z.Circuit("R0-C1"), z.Circuit("C1")])),
    ] + [(ValueError, (lambda w: lambda: z.Circuit("rc").guess(f_small, rc_meas, weights=w))(w))
         for w in bad_weights]
    errors += [(ValueError, (lambda fr: lambda: randles.residuals(p, fr))(fr)) for fr in bad_frames]
    errors += [(ValueError, (lambda fr: lambda: randles.jacobian(p, fr))(fr)) for fr in bad_frames[:3]]

    def interrupted_fit():
        # A signal handler that raises stops a long fit: the cancellation path.
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        try:
            randles.fit(f_small, meas, method="differential_evolution", de_evaluations=10**8)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)

    # Slow error paths (a long spectrum read, a fit stopped by a signal).
    rare = [
        (MemoryError, lambda: randles.jacobian(np.ones(10**6), f_huge, z_huge)),
        (ValueError, lambda: randles.jacobian([1.0], f_huge, z_huge)),
        (Alarm, interrupted_fit),
    ]

    def bad(i):
        todo = errors + rare if i % RARE_EVERY == 0 else errors
        for expected, fn in todo:
            try:
                fn()
            except expected:
                continue
            except Exception as exc:  # wrong type: report it
                raise SystemExit(f"expected {expected.__name__}, got {type(exc).__name__}: {exc}") from None
            raise SystemExit(f"expected {expected.__name__}, nothing raised ({fn})")

    return good, bad, len(errors) + len(rare)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--iterations", type=int, default=100_000)
    ap.add_argument("--warmup", type=int, default=2_000)
    ap.add_argument("--report-every", type=int, default=10_000)
    ap.add_argument("--limit-mb", type=float, default=1.0)
    ap.add_argument("--python-build", default=os.path.join(REPO, "_build"))
    args = ap.parse_args()

    z = import_zetrion(args.python_build)
    signal.signal(signal.SIGALRM, on_alarm)
    with tempfile.TemporaryDirectory() as tmp:
        return run(z, tmp, args)


def run(z, tmp, args):
    good, bad, n_errors = make_workload(z, tmp)
    print(f"{n_errors} error paths and one full set of calls per iteration, the slow ones every "
          f"{RARE_EVERY}th; {args.iterations} iterations")

    t0 = time.perf_counter()
    base = None
    peak_growth = 0.0
    for i in range(1, args.iterations + 1):
        good(i)
        bad(i)
        if i == args.warmup:
            gc.collect()
            base = rss_bytes()
            print(f"iteration {i:>7}: rss {base / 2**20:8.2f} MiB (baseline after warm-up)", flush=True)
        elif i % args.report_every == 0 or i == args.iterations:
            gc.collect()
            rss = rss_bytes()
            growth = (rss - base) / 2**20 if base is not None else float("nan")
            if base is not None:
                peak_growth = max(peak_growth, growth)
            print(f"iteration {i:>7}: rss {rss / 2**20:8.2f} MiB  growth {growth:+7.2f} MiB  "
                  f"({time.perf_counter() - t0:6.1f} s)", flush=True)
    if base is None:
        print("warm-up longer than the run: nothing to compare")
        return 1
    final = (rss_bytes() - base) / 2**20
    print(f"growth after warm-up: final {final:+.2f} MiB, largest seen {peak_growth:+.2f} MiB "
          f"(limit {args.limit_mb} MiB)")
    if final > args.limit_mb or peak_growth > args.limit_mb:
        print("LEAK: memory grew past the limit")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
