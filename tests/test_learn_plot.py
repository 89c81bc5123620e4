import sys

import numpy as np
import pytest

from corvane_learn import metrics, plot

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

RNG = np.random.default_rng(4)
T = RNG.integers(0, 2, 500)
Y = RNG.integers(0, 2, 500)
SCORE = RNG.random(500)


def test_plot_qini_draws_the_curve():
    ax = plot.plot_qini(Y, SCORE, T)
    x, q = metrics.qini_curve(Y, SCORE, T)
    model, random, _ = ax.get_lines()
    assert np.array_equal(model.get_xdata(), x) and np.array_equal(model.get_ydata(), q)
    assert list(random.get_ydata()) == [0.0, q[-1]]
    plt.close(ax.figure)


def test_plot_uplift_by_decile_uses_given_axes():
    fig, ax = plt.subplots()
    assert plot.plot_uplift_by_decile(Y, SCORE, T, ax=ax) is ax
    table = metrics.uplift_by_decile(Y, SCORE, T)
    heights = [bar.get_height() for bar in ax.patches]
    assert np.allclose(heights, np.asarray(table["uplift"]), equal_nan=True)
    plt.close(fig)


def test_missing_matplotlib_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install corvane\[plot\]"):
        plot.plot_qini(Y, SCORE, T)
