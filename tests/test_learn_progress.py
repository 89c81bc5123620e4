import sys
import threading

import pytest

from conftest import mixed_frame
from corvane_learn import UpliftForestClassifier, _progress


def small_fit(verbose):
    frame, treatment, y = mixed_frame(600, seed=2)
    est = UpliftForestClassifier(n_estimators=3, min_samples_leaf=30, control="control",
                                 verbose=verbose)
    return est.fit(frame, treatment, y)


def test_quiet_by_default_and_stdout_restored(capsys):
    before = sys.stdout
    small_fit(0)
    assert sys.stdout is before
    out, err = capsys.readouterr()
    assert out == "" and err == ""


def test_fit_works_without_stdout(monkeypatch):
    monkeypatch.setattr(sys, "stdout", None)
    assert small_fit(0).predict(mixed_frame(10, seed=3)[0]).shape == (10, 2)
    assert sys.stdout is None


def test_counter_without_tqdm(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    small_fit(1)
    out, err = capsys.readouterr()
    assert out == ""
    assert err == "\rtrees 0/3\rtrees 1/3\rtrees 2/3\rtrees 3/3\n"


def test_tqdm_bar(capsys):
    pytest.importorskip("tqdm")
    small_fit(1)
    out, err = capsys.readouterr()
    assert out == "" and "3/3" in err


def test_router_swallows_only_this_threads_progress(capsys):
    def other_thread():
        print("Tree [9] is finished!")

    with _progress.progress(total=2, verbose=0) as display:
        print("Start training with 4 threads...")
        print("user line")
        sys.stdout.write("Tree [5] is ")
        sys.stdout.flush()
        sys.stdout.write("finished!\nTree [6] is finished!\n")
        worker = threading.Thread(target=other_thread)
        worker.start()
        worker.join()
        sys.stdout.write("partial")
        sys.stdout.flush()
    assert display.done == 2
    assert capsys.readouterr().out == "user line\nTree [9] is finished!\npartial"
