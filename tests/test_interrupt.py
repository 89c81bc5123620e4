"""Ctrl-C ends a long fit with KeyboardInterrupt, promptly, and leaves a
usable model holding the trees finished so far."""
import signal
import subprocess
import sys
import time

import pytest

CHILD = r'''
import os, random, signal, sys, threading, time
import corvane
rng = random.Random(3)
n = 20000
data = {"x": [rng.random() for _ in range(n)], "c": [rng.choice("abc") for _ in range(n)],
        "t": [rng.randint(0, 1) for _ in range(n)], "y": [rng.randint(0, 1) for _ in range(n)]}
model = corvane._UpliftRandomForestModel(100000, 2, 6, 20, "KL", 10, False, False, 0.5)
if sys.argv[1] == "self":
    # Sent from inside: the signal lands while a progress line is printed.
    threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
start = time.monotonic()
try:
    model.fit(data, ["x", "c"], "t", "y", 2)
except KeyboardInterrupt:
    elapsed = time.monotonic() - start
    # The trees finished before the interrupt stay and answer.
    assert model.feature_cols() == ["x", "c"]
    assert len(model.predict([[0.5, "a"]], 2)[0]) == 1
    sys.stderr.write("interrupted after %.2f s\n" % elapsed)
    sys.exit(7)
sys.exit(1)
'''


@pytest.mark.parametrize("sender", ["outside", "self"])
def test_ctrl_c_interrupts_fit(sender):
    child = subprocess.Popen([sys.executable, "-c", CHILD, sender], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "Start training with 2 threads...\n"
    if sender == "outside":
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
    try:
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
    # 100,000 trees would take many minutes: the fit really was cut short,
    # by KeyboardInterrupt itself (not a PanicException wrapping it).
    assert child.returncode == 7, err
    assert "interrupted after" in err
    assert "PanicException" not in err
