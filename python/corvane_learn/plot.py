"""Plots of uplift metrics and Shapley values (needs matplotlib: ``pip install corvane[plot]``).

The metric plots are called like the functions of `corvane_learn.metrics`,
the Shapley plots with what `corvane_learn.inspection.shap_values`
returns; all take an optional matplotlib `ax` to draw into and return the
Axes drawn on.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _convert, metrics

__all__ = ["plot_cost_curve", "plot_qini", "plot_shap_dependence", "plot_shap_summary",
           "plot_toc", "plot_uplift_by_decile",
           "plot_uplift_curve"]


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("corvane_learn.plot needs matplotlib: pip install corvane[plot]") from None
    return plt.subplots()[1]


def _binary(y_true: Any) -> bool:
    """Whether every outcome is 0 or 1 (else they are real-valued, summed by the curves)."""
    y = _convert.outcome_values(y_true, name="y_true", kind=_convert.REAL)
    return bool(((y == 0) | (y == 1)).all())


def _perfect_scores(y_true: Any, treatment: Any, treated: Any) -> np.ndarray:
    # The perfect ranking of `metrics.qini_score`: treated positives first,
    # control positives last (treated rows by outcome, control rows by the
    # outcome negated).
    is_treated = metrics._equals(np.asarray(treatment), treated)
    y = _convert.outcome_values(y_true, name="y_true", kind=_convert.REAL)
    return np.where(is_treated, 1.0, -1.0) * y


def _perfect_uplift_scores(y_true: Any, treatment: Any, treated: Any) -> np.ndarray | None:
    # The perfect ranking of `metrics.auuc_score`: treated positives and
    # control negatives first, then treated negatives, control positives last.
    # Real-valued outcomes have none (see `metrics.auuc_score`).
    if not _binary(y_true):
        return None
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
    best = perfect_scores(y_true, treatment, treated) if perfect else None
    if best is not None:
        xp, vp = curve(y_true, best, treatment, treated=treated, control=control)
        ax.plot(xp, vp, linestyle=":", color="black", label="perfect")
    ax.set_xlabel("rows targeted (highest predicted uplift first)")
    ax.set_ylabel("incremental positive outcomes" if _binary(y_true)
                  else "incremental outcome (sum over the rows)")
    ax.set_title(f"{title}: {treated} vs {control}")
    ax.legend(loc="best")
    return ax


def plot_qini(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1, control: Any = 0,
              ax: Any = None, perfect: bool = True) -> Any:
    """Draws the Qini curve of `uplift` with the random line (and the perfect model's curve).

    The legend gives the Qini coefficient (`metrics.qini_score`); `perfect`
    False leaves out the perfect model's curve, whose height can dwarf the
    model's. Outcomes may be real-valued (revenue): the curve then counts
    their sums, and the y axis says so. Returns the Axes.
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
    leaves it out. Real-valued outcomes have no perfect model of this
    curve (`metrics.auuc_score` refuses to normalise by one), so none is
    drawn for them. Returns the Axes.
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
    ax.set_ylabel("uplift (treated rate - control rate)" if _binary(y_true)
                  else "uplift (treated mean - control mean)")
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


def _shap_slice(explanation: Any, treatment: Any) -> tuple[np.ndarray, Any]:
    """One treatment's Shapley values (rows, features) and its label."""
    t = explanation.treatment_index(treatment)
    return explanation.values[:, :, t], explanation.treatments[t]


def _feature_index(explanation: Any, feature: Any) -> int:
    names = list(explanation.feature_names)
    if isinstance(feature, str):
        if feature not in names:
            raise ValueError(f"{feature!r} is no feature of the explanation; expected one of "
                             f"{names!r}")
        return names.index(feature)
    if isinstance(feature, (int, np.integer)) and not isinstance(feature, bool) and \
            0 <= feature < len(names):
        return int(feature)
    raise ValueError(f"feature must be a feature name or an index below {len(names)}; got "
                     f"{feature!r}")


def _colour_scale(cells: np.ndarray, categorical: bool) -> np.ndarray:
    """A feature's cells mapped to [0, 1] for the colour map (NaN stays NaN).

    Numbers are clipped to their 5th and 95th percentiles first, so that a
    few extreme values do not wash out the rest; category codes are spread
    evenly.
    """
    known = cells[~np.isnan(cells)]
    if known.size == 0:
        return cells
    if categorical:
        low, high = 0.0, float(known.max())
    else:
        low, high = np.percentile(known, [5, 95])
        if high <= low:
            low, high = float(known.min()), float(known.max())
    if high <= low:
        return np.where(np.isnan(cells), np.nan, 0.5)
    return np.clip((cells - low) / (high - low), 0.0, 1.0)


def _swarm(x: np.ndarray, bins: int = 100) -> np.ndarray:
    """Vertical offsets in [-1, 1] that pile up rows of similar x, as a beeswarm does.

    Rows falling into the same of `bins` bins of x are stacked alternately
    above and below the line, so that the height shows how many rows share
    a value; the offsets are scaled to the fullest bin.
    """
    n = len(x)
    if n == 0:
        return np.zeros(0)
    low, span = float(x.min()), float(x.max() - x.min())
    bin_of = np.zeros(n, dtype=np.int64) if span == 0 else np.minimum(
        ((x - low) / span * bins).astype(np.int64), bins - 1)
    order = np.argsort(bin_of, kind="stable")
    sorted_bins = bin_of[order]
    rank = np.arange(n) - np.searchsorted(sorted_bins, sorted_bins, side="left")
    layer = (rank + 1) // 2
    offsets = np.empty(n)
    offsets[order] = np.where(rank % 2 == 1, layer, -layer)
    top = layer.max()
    return offsets / top if top else offsets


def plot_shap_summary(explanation: Any, treatment: Any = None, *, max_display: int = 20,
                      ax: Any = None) -> Any:
    """Each row's Shapley value per feature for one treatment, features by mean |value|.

    `explanation` is what `corvane_learn.inspection.shap_values` returns;
    `treatment` a label of its treatments (None when there is only one).
    One line of points per feature, the `max_display` features with the
    largest mean absolute value on top; a point is a row, placed at the
    feature's value for that row (how much it moves the row's uplift) and
    piled up where many rows share a value. Its colour is the row's value
    of the feature, from low (blue) to high (red) within that feature
    (numbers clipped to their 5th-95th percentiles; categories by their
    order in `categories`); grey for a missing or unseen value. Returns the
    Axes.
    """
    values, label = _shap_slice(explanation, treatment)
    if isinstance(max_display, bool) or not isinstance(max_display, (int, np.integer)) or \
            max_display < 1:
        raise ValueError(f"max_display must be a positive integer; got {max_display!r}")
    shown = np.argsort(-np.abs(values).mean(axis=0), kind="stable")[:max_display]
    ax = _axes(ax)
    cmap = "coolwarm"
    points = None
    for place, f in enumerate(shown[::-1]):
        x = values[:, f]
        y = place + 0.4 * _swarm(x)
        colour = _colour_scale(explanation.data[:, f], explanation.categories[f] is not None)
        missing = np.isnan(colour)
        ax.scatter(x[missing], y[missing], s=6, color="0.65", linewidths=0)
        points = ax.scatter(x[~missing], y[~missing], s=6, c=colour[~missing], cmap=cmap,
                            vmin=0.0, vmax=1.0, linewidths=0)
    ax.axvline(0.0, color="0.4", linewidth=0.8)
    ax.set_yticks(range(len(shown)))
    ax.set_yticklabels([explanation.feature_names[f] for f in shown[::-1]])
    ax.set_ylim(-0.6, len(shown) - 0.4)
    ax.set_xlabel(f"Shapley value: effect on the uplift of {label}")
    ax.set_title(f"Shapley values of the uplift: {label}")
    if points is not None:
        bar = ax.figure.colorbar(points, ax=ax, ticks=[0.0, 1.0], aspect=40, pad=0.02)
        bar.set_ticklabels(["low", "high"])
        bar.set_label("feature value")
    return ax


def plot_shap_dependence(explanation: Any, feature: Any, treatment: Any = None, *,
                         ax: Any = None) -> Any:
    """One feature's Shapley value against its value, one point per row, for one treatment.

    `feature` is a name or an index of `explanation.feature_names`. A
    numeric feature's missing cells are drawn in grey left of the others; a
    categorical feature has one column of points per category (jittered
    sideways), unseen categories in a column of their own. Returns the Axes.
    """
    values, label = _shap_slice(explanation, treatment)
    f = _feature_index(explanation, feature)
    name = explanation.feature_names[f]
    x, y = explanation.data[:, f], values[:, f]
    missing = np.isnan(x)
    ax = _axes(ax)
    categories = explanation.categories[f]
    if categories is not None:
        jitter = np.random.default_rng(0).uniform(-0.2, 0.2, len(x))
        codes = np.where(missing, -1.0, x)
        ax.scatter(codes + jitter, y, s=6, color="tab:blue", linewidths=0)
        present = np.unique(codes).astype(int)
        ax.set_xticks(present)
        ax.set_xticklabels(["unseen" if c < 0 else str(categories[c]) for c in present],
                           rotation=30 if len(present) > 4 else 0)
    else:
        ax.scatter(x[~missing], y[~missing], s=6, color="tab:blue", linewidths=0)
        if missing.any():
            known = x[~missing]
            low, high = (float(known.min()), float(known.max())) if known.size else (0.0, 1.0)
            place = low - 0.1 * ((high - low) or 1.0)
            ax.scatter(np.full(missing.sum(), place), y[missing], s=6, color="0.6",
                       linewidths=0, label=f"missing ({missing.sum()} rows)")
            ax.legend(loc="best")
    ax.axhline(0.0, color="0.4", linewidth=0.8)
    ax.set_xlabel(name)
    ax.set_ylabel(f"Shapley value of {name}")
    ax.set_title(f"Effect of {name} on the uplift of {label}")
    return ax
