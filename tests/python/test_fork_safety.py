"""A process forked after the worker pool started (multiprocessing's default
on Linux) evaluates long sweeps, guesses and fits, and leaves no work
behind, also when another thread was sweeping at the moment of the fork."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork semantics of Linux")

PRELUDE = """
import os, sys, threading, time
import numpy as np
import zetrion

c = zetrion.Circuit("R0-(R1,CPE1)-(R2,C2)").with_values([1, 10, 1e-4, 0.9, 5, 1e-2])
LONG = np.geomspace(1e6, 1e-3, 100_000)
REF = c.impedance(LONG)

def reap(pids, deadline):
    # Returns (ok, failed, hung); hung children are killed.
    ok = failed = 0
    pending = set(pids)
    while pending and time.monotonic() < deadline:
        for pid in list(pending):
            got, status = os.waitpid(pid, os.WNOHANG)
            if got:
                pending.discard(pid)
                if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
                    ok += 1
                else:
                    failed += 1
        time.sleep(0.002)
    for pid in pending:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    return ok, failed, len(pending)
"""


def run(code, timeout=240):
    r = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                       timeout=timeout)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


def test_children_forked_after_sweeps_finish_their_own():
    out = run("""
        oks = 0
        for i in range(200):
            c.impedance(LONG)                  # the pool is busy right up to the fork
            pid = os.fork()
            if pid == 0:
                z = c.impedance(LONG)
                os._exit(0 if np.array_equal(z, REF) else 3)
            ok, failed, hung = reap([pid], time.monotonic() + 10)
            assert (failed, hung) == (0, 0), (i, failed, hung)
            oks += ok
        print(oks)
    """)
    assert out.split() == ["200"]


# GCC 12's AddressSanitizer runtime is not fork-safe: a child forked while
# another thread is inside ASan's allocator can hang on the allocator's own
# lock before it runs a line of ours, and no report is produced. Under the
# sanitizers this test could only fail for the runtime's sake; the children
# forked between sweeps above still run there.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator lock is not fork-safe while another thread allocates")
def test_children_forked_while_another_thread_sweeps():
    out = run("""
        stop = threading.Event()
        def sweeper():
            while not stop.is_set():
                c.impedance(LONG)
        threads = [threading.Thread(target=sweeper) for _ in range(2)]
        for t in threads:
            t.start()
        f = np.geomspace(1e4, 1e-1, 40)
        z = c.impedance(f)
        totals = [0, 0, 0]
        for i in range(60):
            time.sleep(0.003)
            pid = os.fork()
            if pid == 0:
                good = np.array_equal(c.impedance(LONG), REF)
                good = good and len(zetrion.Circuit("R0-(R1,CPE1)").guess(f, z)) == 4
                r = zetrion.Circuit("R0-(R1,CPE1)").fit(f, zetrion.Circuit("R0-(R1,CPE1)").with_values([1, 10, 1e-4, 0.9]).impedance(f))
                good = good and r.chi_square < 1e-10
                os._exit(0 if good else 3)
            for k, v in enumerate(reap([pid], time.monotonic() + 20)):
                totals[k] += v
        stop.set()
        for t in threads:
            t.join()
        print(*totals)
    """)
    assert out.split() == ["60", "0", "0"]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine holds freed memory, so resident size grows anyway")
def test_a_child_leaves_no_queued_work_behind():
    out = run("""
        def rss_kib():
            with open("/proc/self/status") as fh:
                for line in fh:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        c.impedance(LONG)
        pid = os.fork()
        if pid == 0:
            f = np.geomspace(1e5, 1e-2, 1000)   # long enough for the worker pool
            for _ in range(2000):
                c.impedance(f)
            before = rss_kib()
            for _ in range(40_000):
                c.impedance(f)
            grew = rss_kib() - before
            os._exit(0 if grew < 2048 else 3)
        print(*reap([pid], time.monotonic() + 120))
    """)
    assert out.split() == ["1", "0", "0"]
