import sys

import pytest

from conftest import mixed_frame
from corvane_learn import UpliftForestClassifier


def small_fit(verbose):
    frame, treatment, y = mixed_frame(600, seed=2)
    est = UpliftForestClassifier(n_estimators=3, min_samples_leaf=30, control="control",
                                 verbose=verbose)
    return est.fit(frame, y, treatment=treatment)


def test_quiet_by_default_and_stdout_untouched(capsys):
    before = sys.stdout
    small_fit(0)
    assert sys.stdout is before
    out, err = capsys.readouterr()
    assert out == "" and err == ""


def test_fit_works_without_stdout_or_stderr(monkeypatch):
    monkeypatch.setattr(sys, "stdout", None)
    monkeypatch.setattr(sys, "stderr", None)
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    assert small_fit(1).predict(mixed_frame(10, seed=3)[0]).shape == (10, 2)


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
