"""Gain against spend when several priced treatments are targeted on a budget.

Each row can stay in control (no cost) or get one treatment j at its cost
c_j, for a predicted gain of value * uplift[i, j]. For a budget B per row the
policy maximises the predicted gain of all rows within n * B: a
multiple-choice knapsack, of which the curve follows the linear-programming
relaxation, solved exactly by a greedy on incremental efficiencies:

1. per row, the options as points (cost, predicted gain), control at
   (0, 0); of treatments with equal cost only the better one counts;
2. the upper concave hull of those points, from (0, 0) to the most
   expensive option: options under it are never worth their cost, whatever
   the budget;
3. each hull segment is an upgrade of the row (from one option to the next
   dearer one) with efficiency = extra predicted gain / extra cost, and a
   row's efficiencies decrease along its hull;
4. all upgrades of all rows, in decreasing efficiency, are bought one after
   the other as the budget grows; upgrades of equal efficiency form one
   group, and the curve is evaluated at the end of each group (between
   those, the relaxation buys a share of the group: a straight segment).

The gain of each such policy π is estimated from the randomised groups by
inverse-propensity weighting on the held-out rows: with p_o the share of
rows in group o (among control and the given treatments),

    gain(π) = value / n * sum_i y_i * (1{T_i = π(i)} / p_{T_i} - 1{T_i = control} / p_control)

the estimated extra outcome value per row over leaving every row in control.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from . import _rate, metrics


def _check_positive(name: str, number: Any) -> float:
    if (isinstance(number, bool) or not isinstance(number, (int, float, np.integer, np.floating))
            or not 0.0 < float(number) < np.inf):
        raise ValueError(f"{name} must be a positive finite number, not {number!r}")
    return float(number)


def _columns(treatments: Sequence[Any] | None, costs: Any, width: int) -> tuple[list[Any],
                                                                              np.ndarray]:
    """The treatment label of each uplift column and its cost."""
    if not isinstance(costs, Mapping) or not costs:
        raise ValueError(f"costs must map each treatment label to its cost per row, "
                         f"not {costs!r}")
    if treatments is None:
        try:
            labels = sorted(costs)
        except TypeError:
            raise ValueError("the labels of costs cannot be sorted; give treatments, the "
                             "label of each uplift column in order") from None
    else:
        labels = list(np.asarray(treatments).tolist())
        missing = [label for label in labels if label not in costs]
        if missing:
            raise ValueError(f"costs has no cost for the treatments {missing}")
        extra = [label for label in costs if label not in labels]
        if extra:
            raise ValueError(f"costs names labels that are not among the treatments "
                             f"{labels}: {extra}")
    if len(set(labels)) != len(labels):
        raise ValueError(f"treatments holds a label twice: {labels}")
    if len(labels) != width:
        raise ValueError(f"uplift has {width} columns but there are {len(labels)} treatments "
                         f"{labels}: give one column per treatment, in the order of treatments")
    return labels, np.array([_check_positive(f"the cost of {label!r}", costs[label])
                             for label in labels])


def _hull(levels: np.ndarray, gains: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per row, the points of the upper concave hull of (levels[j], gains[:, j]).

    `levels` are increasing costs with levels[0] = 0, `gains` rows x levels.
    Returns the hull's point indices (rows x levels, valid up to the count)
    and each row's count of points. Andrew's monotone chain, one point at a
    time for all rows at once: a point on or under the line from the one
    before it to the new point is dropped.
    """
    rows, width = gains.shape
    stack = np.zeros((rows, width), dtype=np.int64)
    size = np.ones(rows, dtype=np.int64)
    every = np.arange(rows)
    for j in range(1, width):
        while True:
            popping = size >= 2
            a = stack[every, np.maximum(size - 2, 0)]
            b = stack[every, size - 1]
            cross = ((levels[b] - levels[a]) * (gains[:, j] - gains[every, a])
                     - (gains[every, b] - gains[every, a]) * (levels[j] - levels[a]))
            popping &= cross >= 0.0
            if not popping.any():
                break
            size[popping] -= 1
        stack[every, size] = j
        size += 1
    return stack, size


def cost_curve(y_true: Any, uplift: Any, treatment: Any, *, control: Any = 0,
               costs: Mapping[Any, float], treatments: Sequence[Any] | None = None,
               value: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
    """Estimated gain against spend per row when priced treatments are targeted by `uplift`.

    `uplift` holds the predicted uplift of each row (rows x treatments, or
    one-dimensional for one treatment), its columns in the order of
    `treatments` (the labels, as the estimator's `treatments_`; None: the
    labels of `costs`, sorted, which is that order when `costs` names every
    treatment). `costs` maps each treatment label to its cost per treated
    row (positive), `value` is the worth of one unit of outcome. Rows whose
    label is neither `control` nor one of the treatments are ignored;
    `y_true` may hold any real outcomes.

    For each budget the policy gives each row the treatment with the best
    predicted net value per cost while the budget lasts: the greedy on
    incremental efficiencies that solves the linear relaxation of the
    multiple-choice knapsack exactly (see the module's notes). Its gain is
    estimated on these rows from the randomised groups, with inverse-propensity
    weights: value / n * sum_i y_i (1{T_i = π(i)} / p_{T_i} - 1{T_i = control} /
    p_control), p the groups' shares of the rows. The curve runs until every
    row gets its most expensive option; the net value (gain - spend) peaks
    where the efficiencies fall below 1.

    Returns (spend, gain): float64 arrays starting at (0, 0), spend the
    cost per row and gain the estimated extra value per row, one point per
    group of equally efficient upgrades. With one treatment of cost 1 and
    value 1, spend is k/N for the top k rows and N_t * gain is
    y_t(k) - y_c(k) * N_t / N_c: the Qini curve's q(k) with the control
    positives scaled by the ratio of the whole groups instead of the top
    k rows' ratio n_t(k) / n_c(k), so the two agree at k = N and wherever
    the top k rows hold the groups in their overall proportion.
    """
    value = _check_positive("value", value)
    y = _rate.outcomes(y_true)
    scores = np.asarray(uplift, dtype=np.float64)
    if scores.ndim == 1:
        scores = scores[:, np.newaxis]
    if scores.ndim != 2 or len(scores) != len(y):
        raise ValueError(f"uplift must hold one row per outcome ({len(y)}), one column per "
                         f"treatment, not shape {scores.shape}")
    if np.isnan(scores).any():
        raise ValueError("uplift holds NaN")
    labels, prices = _columns(treatments, costs, scores.shape[1])
    names = np.asarray(treatment)
    if names.ndim != 1 or len(names) != len(y):
        raise ValueError(f"treatment must be one-dimensional with one label per row "
                         f"({len(y)}), not of shape {names.shape}")
    # group[i]: 0 for control, j + 1 for the treatment of column j, -1 otherwise.
    group = np.where(metrics._equals(names, control), 0, -1)
    for j, label in enumerate(labels):
        group[metrics._equals(names, label) & (group < 0)] = j + 1
    keep = group >= 0
    y, scores, group = y[keep], scores[keep], group[keep]
    counts = np.bincount(group, minlength=len(labels) + 1)
    if not counts.all():
        empty = ([control] + labels)[int(np.flatnonzero(counts == 0)[0])]
        raise ValueError(f"no row has the label {empty!r}: the gain of each option is "
                         f"estimated from its own group's rows")
    n = len(y)

    # Cost levels: control, then each distinct cost; of equal-cost treatments
    # each row takes the one it is predicted to gain most from.
    levels, level_of = np.unique(prices, return_inverse=True)
    option = np.zeros((n, len(levels) + 1), dtype=np.int64)  # 0 control, j + 1 column j
    gains = np.zeros((n, len(levels) + 1))
    for level in range(len(levels)):
        members = np.flatnonzero(level_of == level)
        best = members[np.argmax(scores[:, members], axis=1)]
        option[:, level + 1] = best + 1
        gains[:, level + 1] = value * scores[np.arange(n), best]
    levels = np.r_[0.0, levels]

    stack, size = _hull(levels, gains)
    every = np.arange(n)[:, np.newaxis]
    start, end = stack[:, :-1], stack[:, 1:]
    valid = np.arange(len(levels) - 1) < (size - 1)[:, np.newaxis]
    spend = levels[end] - levels[start]
    efficiency = np.where(valid, (gains[every, end] - gains[every, start])
                          / np.where(valid, spend, 1.0), -np.inf)
    # Concave in exact arithmetic; rounding must not let a row's later
    # upgrade come before an earlier one.
    efficiency = np.minimum.accumulate(efficiency, axis=1)

    # Inverse-propensity contribution of each row under each option.
    weight = n / counts.astype(np.float64)
    observed = y * weight[group]

    def contribution(options: np.ndarray) -> np.ndarray:
        return np.where(options == group[:, np.newaxis], observed[:, np.newaxis], 0.0)

    gain_step = (contribution(option[every, end]) - contribution(option[every, start]))[valid]
    spend_step, efficiency = spend[valid], efficiency[valid]
    order = np.argsort(-efficiency, kind="stable")
    ends = metrics._tie_ends(efficiency[order])
    total_spend = np.cumsum(spend_step[order])[ends] / n
    total_gain = np.cumsum(gain_step[order])[ends] * value / n
    return np.r_[0.0, total_spend], np.r_[0.0, total_gain]
