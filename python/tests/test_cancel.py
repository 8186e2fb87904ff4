"""Ctrl-C during a long analysis: the engine stops within a fraction of a
second, KeyboardInterrupt reaches the caller, and the interpreter goes on
(the next analysis gives the numbers it gives in a fresh interpreter)."""

import _thread
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np

import morvenak

# A test that would run for hours: two thousand million permutations.
LONG = 2_000_000_000


def long_design():
    rng = np.random.default_rng(5)
    y = rng.poisson(3.0, size=(120, 40)).astype(float)
    return y, np.repeat(np.arange(6), 20).astype(str)


def test_an_interrupt_cancels_the_analysis_and_the_interpreter_goes_on(dune):
    species, env = dune
    before = morvenak.analyse(species, "Management", nested="Use", data=env, permutations=99)
    y, groups = long_design()
    timer = threading.Timer(0.5, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    try:
        morvenak.analyse(y, groups, permutations=LONG, task="anova")
        raise AssertionError("the analysis ran to its end")
    except KeyboardInterrupt:
        elapsed = time.monotonic() - start
    finally:
        timer.cancel()
    assert 0.4 < elapsed < 5.0
    after = morvenak.analyse(species, "Management", nested="Use", data=env, permutations=99)
    assert list(after.table["P"][:2]) == list(before.table["P"][:2])
    assert list(after.table["SS"]) == list(before.table["SS"])


CHILD = f"""
import sys, time, numpy as np, morvenak
rng = np.random.default_rng(5)
y = rng.poisson(3.0, size=(120, 40)).astype(float)
groups = np.repeat(np.arange(6), 20).astype(str)
print("started", flush=True)
start = time.monotonic()
try:
    morvenak.analyse(y, groups, permutations={LONG}, task="anova")
    print("finished")
except KeyboardInterrupt:
    print("interrupted after", round(time.monotonic() - start, 1), flush=True)
r = morvenak.analyse(y, groups, permutations=99, task="anova")
print("then", r.table["df1"].tolist(), flush=True)
"""


def test_a_real_sigint_reaches_python_through_the_engine():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    assert child.stdout.readline() == "started\n"
    time.sleep(0.5)
    os.kill(child.pid, signal.SIGINT)
    out, err = child.communicate(timeout=30)
    lines = out.splitlines()
    assert lines[0].startswith("interrupted after "), (out, err)
    assert float(lines[0].split()[-1]) < 5.0
    assert lines[1:] == ["then [5, 114, 119]"]
    assert child.returncode == 0, err


def test_a_signal_handler_that_does_not_raise_lets_the_analysis_go_on():
    # Only an exception cancels: a handler that returns leaves the test running.
    y, groups = long_design()
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda *_: seen.append(True))
    try:
        timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1))
        timer.start()
        r = morvenak.analyse(y, groups, permutations=400000, task="anova")  # about two seconds
        timer.cancel()
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert seen == [True]
    assert r.table["permutations"][0] == 400000
