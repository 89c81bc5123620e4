"""Other Python threads keep running while predict walks the trees, and
what they may do meanwhile with the same model."""
import sys
import threading

import pytest

import corvane
from conftest import WIDE_FEATURES, make_wide_data

BORROWED = ("RuntimeError", "Already borrowed")


@pytest.fixture(scope="module")
def busy(tmp_path_factory):
    """A model whose predict spends a good while in the walk, its rows, and a
    saved copy of it."""
    data = make_wide_data(3000, seed=3)
    model = corvane._UpliftRandomForestModel(40, 6, 10, 5, "ED", 10, False, False, 0.5)
    model.fit(data, WIDE_FEATURES, "t", "y", 2)
    rows = [[data[name][i] for name in WIDE_FEATURES] for i in range(3000)] * 30
    path = tmp_path_factory.mktemp("busy") / "model.json"
    model.save(str(path))
    return model, rows, str(path)


def outcome(call):
    try:
        return call()
    except BaseException as e:  # PanicException derives from BaseException
        return (type(e).__name__, str(e))


def during_predict(model, rows, action):
    """Calls action() over and over on another thread while model.predict(rows, 1)
    runs; returns the outcomes of the calls made during a predict and that
    predict's result (retried a few times if the other thread did not get to
    run in time)."""
    seen = []
    stop = threading.Event()

    def other():
        while not stop.wait(0.001):
            seen.append(outcome(action))

    old = sys.getswitchinterval()
    # Threads now change hands only where one blocks or lets go of the lock by
    # itself: the other thread cannot run while predict holds the lock.
    sys.setswitchinterval(1000)
    thread = threading.Thread(target=other)
    try:
        thread.start()
        for _ in range(10):
            first = len(seen)
            try:
                result = model.predict(rows, 1)
            except RuntimeError as e:
                # The other thread's load (which lets go of the interpreter
                # lock while it reads) held the model as this predict began.
                if "Already mutably borrowed" not in str(e):
                    raise
                continue
            inside = seen[first:]
            if inside:
                break
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old)
    return inside, result


@pytest.mark.parametrize("action", ["count", "predict", "predict_row", "fit", "load"])
def test_other_threads_run_while_predict_walks(busy, action):
    model, rows, path = busy
    counter = []
    calls = {
        "count": lambda: counter.append(1),
        # Reading the same model is a shared use: allowed at the same time.
        "predict": lambda: model.predict(rows[:50], 2),
        "predict_row": lambda: model.predict_row(rows[7]),
        # Replacing or extending it is not.
        "fit": lambda: model.fit({}, ["x"], "t", "y", 1),
        "load": lambda: model.load(path),
    }
    inside, result = during_predict(model, rows, calls[action])
    assert inside, "no other thread ran during predict"
    expected = {"count": None, "predict": result[:50], "predict_row": result[7],
                "fit": BORROWED, "load": BORROWED}[action]
    assert all(o == expected for o in inside), inside[:3]
