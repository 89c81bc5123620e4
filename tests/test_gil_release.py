"""Other Python threads run while a model trains, loads or saves; a call on
the same instance meanwhile meets the in-use marker, one on another instance
is served."""
import threading
import time

import pytest

from conftest import FEATURES, fit, make_data, new_model


def trained(n_estimators, max_depth, rows, seed):
    model = new_model(n_estimators=n_estimators, max_depth=max_depth, min_sample_leaf=5)
    fit(model, make_data(rows, seed=seed))
    return model


def observe(call, same, other):
    """Runs call() on this thread while another Python thread keeps calling
    same() and other(). Returns the call's start and end, the times at which
    same() met the in-use marker, the texts of those RuntimeErrors, and the
    times at which other() answered."""
    busy, texts, served = [], set(), []
    stop = threading.Event()
    started = threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            try:
                same()
            except RuntimeError as e:
                busy.append(time.monotonic())
                texts.add(str(e))
            except TypeError:
                pass  # called without arguments: reached once the instance is free
            other()
            served.append(time.monotonic())

    thread = threading.Thread(target=spin)
    thread.start()
    started.wait()
    begin = time.monotonic()
    try:
        call()
    finally:
        end = time.monotonic()
        stop.set()
        thread.join()
    return begin, end, busy, texts, served


def in_middle(times, begin, end):
    """How many of `times` fall in the middle third of [begin, end]: while the
    call was surely busy with its native work, not converting or printing."""
    third = (end - begin) / 3
    return sum(begin + third < t < end - third for t in times)


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    path = tmp_path_factory.mktemp("large") / "m.json"
    trained(n_estimators=6, max_depth=9, rows=20000, seed=11).save(str(path))
    return str(path)


@pytest.mark.parametrize("method", ["fit", "load", "save"])
def test_other_threads_run_and_meet_the_in_use_marker(method, large, tmp_path, capsys):
    # One tree: its two progress lines come at the start and the end, so
    # nothing but the released lock lets the other thread run in between.
    model = new_model(n_estimators=1, max_depth=10, min_sample_leaf=5)
    other = trained(n_estimators=1, max_depth=2, rows=300, seed=1)
    # Called without arguments, so that nothing but the marker can refuse
    # them with a RuntimeError: predict_row uses the instance shared, load
    # exclusively.
    same, busy_text = model.predict_row, "Already mutably borrowed"
    if method == "fit":
        data = make_data(40000, seed=2)
        call = lambda: fit(model, data, n_threads=1)  # noqa: E731
    elif method == "load":
        call = lambda: [model.load(large) for _ in range(5)]  # noqa: E731
    else:
        model.load(large)
        call = lambda: [model.save(str(tmp_path / "out.json")) for _ in range(5)]  # noqa: E731
        same, busy_text = model.load, "Already borrowed"

    begin, end, busy, texts, served = observe(call, same, lambda: other.predict_row([0.5, "red"]))
    assert in_middle(busy, begin, end) > 0
    assert texts == {busy_text}
    assert in_middle(served, begin, end) > 0
    if method == "save":
        assert (tmp_path / "out.json").read_bytes() == open(large, "rb").read()
    else:
        assert model.feature_cols() == FEATURES
    capsys.readouterr()
