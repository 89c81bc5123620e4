"""Plots of uplift metrics (needs matplotlib: ``pip install corvane[plot]``).

Called like the functions of `corvane_learn.metrics`, plus an optional
matplotlib `ax` to draw into; each returns the Axes drawn on.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import metrics

__all__ = ["plot_cost_curve", "plot_qini", "plot_toc", "plot_uplift_by_decile",
           "plot_uplift_curve"]


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("corvane_learn.plot needs matplotlib: pip install corvane[plot]") from None
    return plt.subplots()[1]


def _perfect_scores(y_true: Any, treatment: Any, treated: Any) -> np.ndarray:
    # The perfect ranking of `metrics.qini_score`: treated positives first,
    # control positives last.
    is_treated = metrics._equals(np.asarray(treatment), treated)
    return np.where(is_treated, 1.0, -1.0) * (np.asarray(y_true) == 1)


def _perfect_uplift_scores(y_true: Any, treatment: Any, treated: Any) -> np.ndarray:
    # The perfect ranking of `metrics.auuc_score`: treated positives and
    # control negatives first, then treated negatives, control positives last.
    is_treated = metrics._equals(np.asarray(treatment), treated)
    positive = np.asarray(y_true) == 1
    return 2.0 * (positive == is_treated) + (~positive & is_treated)


def _plot_curve(curve: Any, score: Any, label: str, title: str, y_true: Any, uplift: Any,
                treatment: Any, treated: Any, control: Any, ax: Any, perfect: bool,
                perfect_scores: Any = _perfect_scores) -> Any:
    """A gain curve of `uplift` with its score, the random line and the perfect model's curve."""
    ax = _axes(ax)
    x, v = curve(y_true, uplift, treatment, treated=treated, control=control)
    value = score(y_true, uplift, treatment, treated=treated, control=control)
    ax.plot(x, v, label=label.format(value))
    ax.plot([0, x[-1]], [0, v[-1]], linestyle="--", color="grey", label="random")
    if perfect:
        best = perfect_scores(y_true, treatment, treated)
        xp, vp = curve(y_true, best, treatment, treated=treated, control=control)
        ax.plot(xp, vp, linestyle=":", color="black", label="perfect")
    ax.set_xlabel("rows targeted (highest predicted uplift first)")
    ax.set_ylabel("incremental positive outcomes")
    ax.set_title(f"{title}: {treated} vs {control}")
    ax.legend(loc="best")
    return ax


def plot_qini(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1, control: Any = 0,
              ax: Any = None, perfect: bool = True) -> Any:
    """Draws the Qini curve of `uplift` with the random line (and the perfect model's curve).

    The legend gives the Qini coefficient (`metrics.qini_score`); `perfect`
    False leaves out the perfect model's curve, whose height can dwarf the
    model's. Returns the Axes.
    """
    return _plot_curve(metrics.qini_curve, metrics.qini_score, "model (Qini coefficient {:.3f})",
                       "Qini curve", y_true, uplift, treatment, treated, control, ax, perfect)


def plot_uplift_curve(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                      control: Any = 0, ax: Any = None, perfect: bool = True) -> Any:
    """Draws the uplift curve of `uplift` with the random line (and the perfect model's curve).

    The curve is `metrics.uplift_curve` (incremental positives when the top
    k rows are targeted); the legend gives `metrics.auuc_score`. The
    perfect model is that of `metrics.auuc_score` (treated positives and
    control negatives first, control positives last); `perfect` False
    leaves it out. Returns the Axes.
    """
    return _plot_curve(metrics.uplift_curve, metrics.auuc_score, "model (AUUC {:.4f})",
                       "Uplift curve", y_true, uplift, treatment, treated, control, ax, perfect,
                       _perfect_uplift_scores)


def plot_uplift_by_decile(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                          control: Any = 0, ax: Any = None, bins: int = 10) -> Any:
    """Bars of the observed uplift per predicted-uplift decile, with the mean prediction.

    Bins as in `metrics.uplift_by_decile` (1 = highest scores; `bins` 10 for
    deciles), one bar each. A bin without an observed uplift gets no bar but
    a grey "x" on the zero line and a label saying why: "empty" when tied
    scores sent all its rows to a neighbouring bin, "no treated" or "no
    control" when it lacks one group. Returns the Axes.
    """
    ax = _axes(ax)
    table = metrics.uplift_by_decile(y_true, uplift, treatment, treated=treated,
                                     control=control, bins=bins)
    decile = np.asarray(table["decile"])
    observed = np.asarray(table["uplift"], dtype=float)
    ax.bar(decile, observed, color="tab:blue", label="observed uplift")
    ax.plot(decile, np.asarray(table["predicted_uplift"], dtype=float), "o-",
            color="tab:orange", label="mean predicted uplift")
    n_t, n_c = np.asarray(table["n_treated"]), np.asarray(table["n_control"])
    missing = np.isnan(observed)
    if missing.any():
        ax.plot(decile[missing], np.zeros(missing.sum()), "x", color="grey", linestyle="none",
                label="no observed uplift")
        for d, rows_t, rows_c in zip(decile[missing], n_t[missing], n_c[missing]):
            reason = ("empty" if rows_t + rows_c == 0
                      else "no treated" if rows_t == 0 else "no control")
            ax.annotate(reason, (d, 0.0), xytext=(0, 6), textcoords="offset points",
                        rotation=90, ha="center", va="bottom", color="grey", fontsize="small")
    ax.axhline(0.0, color="grey", linewidth=0.8)
    ax.set_xticks(decile)
    ax.set_xlabel("decile of predicted uplift (1 = highest)" if len(decile) == 10
                  else f"bin of predicted uplift, {len(decile)} bins (1 = highest)")
    ax.set_ylabel("uplift (treated rate - control rate)")
    ax.set_title(f"Uplift by decile: {treated} vs {control}" if len(decile) == 10
                 else f"Uplift by bin: {treated} vs {control}")
    ax.legend(loc="best")
    return ax


def plot_toc(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1, control: Any = 0,
             target: str = "AUTOC", ax: Any = None) -> Any:
    """Draws the targeting operator characteristic (TOC) of `uplift`, with the zero line.

    The curve is `metrics.toc_curve`: at each share q of rows targeted
    (highest predicted uplift first), the mean effect among them minus the
    mean effect of all rows; the legend gives `metrics.rate_score` with
    `target` ("AUTOC" or "QINI"). Returns the Axes.
    """
    ax = _axes(ax)
    q, toc = metrics.toc_curve(y_true, uplift, treatment, treated=treated, control=control)
    rate = metrics.rate_score(y_true, uplift, treatment, treated=treated, control=control,
                              target=target)
    ax.plot(q, toc, label=f"model ({target} {rate:.4f})")
    ax.axhline(0.0, linestyle="--", color="grey", label="random")
    ax.set_xlabel("share of rows targeted (highest predicted uplift first)")
    ax.set_ylabel("effect among them minus the average effect")
    ax.set_title(f"TOC: {treated} vs {control}")
    ax.legend(loc="best")
    return ax


def plot_cost_curve(y_true: Any, uplift: Any, treatment: Any, *, control: Any = 0,
                    costs: Any, treatments: Any = None, value: float = 1.0,
                    ax: Any = None) -> Any:
    """Draws `metrics.cost_curve`: estimated gain against spend per row, on a budget.

    Also draws the break-even line (gain = spend) and marks the budget with
    the highest net value (gain - spend), which the legend gives. Arguments
    as in `metrics.cost_curve`; returns the Axes.
    """
    ax = _axes(ax)
    spend, gain = metrics.cost_curve(y_true, uplift, treatment, control=control, costs=costs,
                                     treatments=treatments, value=value)
    ax.plot(spend, gain, label="targeted by the model")
    ax.plot([0.0, spend[-1]], [0.0, spend[-1]], linestyle="--", color="grey",
            label="break-even (gain = spend)")
    best = int(np.argmax(gain - spend))
    ax.plot([spend[best]], [gain[best]], "o", color="tab:red",
            label=f"best net value {gain[best] - spend[best]:.4g} per row "
                  f"at spend {spend[best]:.4g}")
    ax.set_xlabel("spend per row")
    ax.set_ylabel("estimated gain per row")
    ax.set_title("Gain against spend")
    ax.legend(loc="best")
    return ax
