"""Plots of uplift metrics (needs matplotlib: ``pip install corvane[plot]``).

Called like the functions of `corvane_learn.metrics`, plus an optional
matplotlib `ax` to draw into; each returns the Axes drawn on.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import metrics

__all__ = ["plot_qini", "plot_uplift_by_decile", "plot_uplift_curve"]


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


def _plot_curve(curve: Any, score: Any, label: str, title: str, y_true: Any, uplift: Any,
                treatment: Any, treated: Any, control: Any, ax: Any, perfect: bool) -> Any:
    """A gain curve of `uplift` with its score, the random line and the perfect model's curve."""
    ax = _axes(ax)
    x, v = curve(y_true, uplift, treatment, treated=treated, control=control)
    value = score(y_true, uplift, treatment, treated=treated, control=control)
    ax.plot(x, v, label=label.format(value))
    ax.plot([0, x[-1]], [0, v[-1]], linestyle="--", color="grey", label="random")
    if perfect:
        best = _perfect_scores(y_true, treatment, treated)
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
    perfect model ranks as in `plot_qini`; `perfect` False leaves it out.
    Returns the Axes.
    """
    return _plot_curve(metrics.uplift_curve, metrics.auuc_score, "model (AUUC {:.4f})",
                       "Uplift curve", y_true, uplift, treatment, treated, control, ax, perfect)


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
