"""Plots of uplift metrics (needs matplotlib: ``pip install corvane[plot]``).

Called like the functions of `corvane_learn.metrics`, plus an optional
matplotlib `ax` to draw into; each returns the Axes drawn on.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import metrics

__all__ = ["plot_qini", "plot_uplift_by_decile"]


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("corvane_learn.plot needs matplotlib: pip install corvane[plot]") from None
    return plt.subplots()[1]


def plot_qini(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1, control: Any = 0,
              ax: Any = None, perfect: bool = True) -> Any:
    """Draws the Qini curve of `uplift` with the random line (and the perfect model's curve).

    The legend gives the Qini coefficient (`metrics.qini_score`); `perfect`
    False leaves out the perfect model's curve, whose height can dwarf the
    model's. Returns the Axes.
    """
    ax = _axes(ax)
    x, q = metrics.qini_curve(y_true, uplift, treatment, treated=treated, control=control)
    score = metrics.qini_score(y_true, uplift, treatment, treated=treated, control=control)
    ax.plot(x, q, label=f"model (Qini coefficient {score:.3f})")
    ax.plot([0, x[-1]], [0, q[-1]], linestyle="--", color="grey", label="random")
    if perfect:
        # The perfect ranking of `qini_score`: treated positives first, control positives last.
        is_treated = metrics._equals(np.asarray(treatment), treated)
        best = np.where(is_treated, 1.0, -1.0) * (np.asarray(y_true) == 1)
        xp, qp = metrics.qini_curve(y_true, best, treatment, treated=treated, control=control)
        ax.plot(xp, qp, linestyle=":", color="black", label="perfect")
    ax.set_xlabel("rows targeted (highest predicted uplift first)")
    ax.set_ylabel("incremental positive outcomes")
    ax.set_title(f"Qini curve: {treated} vs {control}")
    ax.legend(loc="best")
    return ax


def plot_uplift_by_decile(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                          control: Any = 0, ax: Any = None) -> Any:
    """Bars of the observed uplift per predicted-uplift decile, with the mean prediction.

    Deciles as in `metrics.uplift_by_decile` (1 = highest scores). Returns the Axes.
    """
    ax = _axes(ax)
    table = metrics.uplift_by_decile(y_true, uplift, treatment, treated=treated,
                                     control=control)
    decile = np.asarray(table["decile"])
    ax.bar(decile, np.asarray(table["uplift"], dtype=float), color="tab:blue",
           label="observed uplift")
    ax.plot(decile, np.asarray(table["predicted_uplift"], dtype=float), "o-",
            color="tab:orange", label="mean predicted uplift")
    ax.axhline(0.0, color="grey", linewidth=0.8)
    ax.set_xticks(decile)
    ax.set_xlabel("decile of predicted uplift (1 = highest)")
    ax.set_ylabel("uplift (treated rate - control rate)")
    ax.set_title(f"Uplift by decile: {treated} vs {control}")
    ax.legend(loc="best")
    return ax
