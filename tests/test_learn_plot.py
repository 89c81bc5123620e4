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


def test_plot_uplift_curve_draws_the_curve():
    ax = plot.plot_uplift_curve(Y, SCORE, T, perfect=False)
    x, u = metrics.uplift_curve(Y, SCORE, T)
    model, random = ax.get_lines()
    assert np.array_equal(model.get_xdata(), x) and np.array_equal(model.get_ydata(), u)
    assert list(random.get_xdata()) == [0, x[-1]] and list(random.get_ydata()) == [0.0, u[-1]]
    assert f"{metrics.auuc_score(Y, SCORE, T):.4f}" in model.get_label()
    plt.close(ax.figure)


def test_plot_uplift_by_decile_marks_bins_without_uplift():
    # Five bins of ten rows: the six tied rows fill bin 2 and leave bin 3
    # empty; bin 1 (one treated row) and bin 4 (one control row) lack a group.
    score = [0.9] + [0.5] * 6 + [0.2, 0.1, 0.0]
    t = [1, 0, 1, 0, 1, 0, 1, 0, 1, 0]
    y = [1, 0, 1, 1, 0, 0, 0, 1, 1, 0]
    ax = plot.plot_uplift_by_decile(y, score, t, bins=5)
    assert len(ax.patches) == 5
    marks = {text.xy[0]: text.get_text() for text in ax.texts}
    assert marks == {1: "no control", 3: "empty", 4: "no treated"}
    crosses = [line for line in ax.get_lines() if line.get_marker() == "x"]
    assert len(crosses) == 1 and list(crosses[0].get_xdata()) == [1, 3, 4]
    plt.close(ax.figure)


def test_missing_matplotlib_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install corvane\[plot\]"):
        plot.plot_qini(Y, SCORE, T)


def test_plot_toc_draws_the_curve_and_its_rate():
    ax = plot.plot_toc(Y, SCORE, T, target="QINI")
    q, toc = metrics.toc_curve(Y, SCORE, T)
    model, zero = ax.get_lines()
    assert np.array_equal(model.get_xdata(), q) and np.array_equal(model.get_ydata(), toc)
    assert f"QINI {metrics.rate_score(Y, SCORE, T, target='QINI'):.4f}" in model.get_label()
    assert list(zero.get_ydata()) == [0.0, 0.0]
    plt.close(ax.figure)


def test_plot_cost_curve_marks_the_best_net_value():
    # Two rows of each group; the treated ones respond: with cost 0.1 the
    # net value peaks once both treated-row scores are bought.
    y, t = [1, 1, 0, 0], [1, 1, 0, 0]
    ax = plot.plot_cost_curve(y, [0.9, 0.8, 0.1, 0.0], t, costs={1: 0.1})
    spend, gain = metrics.cost_curve(y, [0.9, 0.8, 0.1, 0.0], t, costs={1: 0.1})
    curve, even, best = ax.get_lines()
    assert np.array_equal(curve.get_xdata(), spend) and np.array_equal(curve.get_ydata(), gain)
    assert best.get_xdata()[0] == pytest.approx(0.05) and best.get_ydata()[0] == pytest.approx(1.0)
    assert list(even.get_ydata()) == [0.0, spend[-1]]
    plt.close(ax.figure)


def test_real_outcomes_are_drawn_as_sums():
    spend = Y * RNG.gamma(2.0, 20.0, 500)
    ax = plot.plot_qini(spend, SCORE, T)
    _, _, perfect = ax.get_lines()
    # The perfect ranking of qini_score: treated rows by outcome, control rows by it negated.
    best = np.where(T == 1, spend, -spend)
    assert np.array_equal(perfect.get_ydata(), metrics.qini_curve(spend, best, T)[1])
    assert ax.get_ylabel() == "incremental outcome (sum over the rows)"
    # No perfect uplift curve exists for real outcomes (auuc_score refuses one).
    assert len(plot.plot_uplift_curve(spend, SCORE, T).get_lines()) == 2
    assert "mean" in plot.plot_uplift_by_decile(spend, SCORE, T).get_ylabel()
    plt.close("all")
