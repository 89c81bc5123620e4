"""Rank-weighted average treatment effect (RATE) and the targeting operator characteristic.

For a randomised comparison of one treatment with control: with ê the share
of treated rows among the rows of the two groups, each row scores

    Γ_i = y_i * (W_i / ê - (1 - W_i) / (1 - ê))      (W_i = 1 treated, 0 control)

whose mean over any set of rows chosen by the scores alone is an unbiased
estimate of the set's average treatment effect. Rows ranked by score
(highest first) give TOC(k/n) = mean Γ over the top k rows - mean Γ over
all n rows, and

    AUTOC = (1/n) * sum_{k=1..n} TOC(k/n)
    QINI  = (1/n) * sum_{k=1..n} (k/n) * TOC(k/n)

Tied scores form one group whose rows all take the group's mean Γ, so no
result depends on the order of tied rows. Outcomes may be any real numbers.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _convert, metrics

kTargets = ("AUTOC", "QINI")


def outcomes(y_true: Any) -> np.ndarray:
    """The outcomes as float64, as every metric converts them (finite numbers)."""
    return _convert.outcome_values(y_true, name="y_true", kind=_convert.REAL)


def scores_of(uplift: Any, n: int) -> np.ndarray:
    """The scores as float64, refused unless one per row and free of NaN."""
    scores = np.asarray(uplift, dtype=np.float64)
    if scores.ndim != 1 or len(scores) != n:
        raise ValueError(f"uplift must be one-dimensional with one score per row ({n}), "
                         f"not of shape {scores.shape}")
    if np.isnan(scores).any():
        raise ValueError("uplift holds NaN")
    return scores


def _counted(y_true: Any, uplift: Any, treatment: Any, treated: Any,
             control: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Outcomes, scores and the treated mask of the rows of the two groups."""
    y = outcomes(y_true)
    scores = scores_of(uplift, len(y))
    labels = np.asarray(treatment)
    if labels.ndim != 1 or len(labels) != len(y):
        raise ValueError(f"treatment must be one-dimensional with one label per row "
                         f"({len(y)}), not of shape {labels.shape}")
    is_treated = metrics._equals(labels, treated)
    keep = is_treated | metrics._equals(labels, control)
    if not is_treated.any():
        raise ValueError(f"no row has the treated label {treated!r}")
    if is_treated[keep].all():
        raise ValueError(f"no row has the control label {control!r}")
    return y[keep], scores[keep], is_treated[keep]


def _check_target(target: Any) -> str:
    if target not in kTargets:
        raise ValueError(f"target must be 'AUTOC' or 'QINI', not {target!r}")
    return str(target)


def _cumulative(y: np.ndarray, scores: np.ndarray,
                is_treated: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Rows k and sum of Γ among the top k rows, k at each tie-group end."""
    order = np.argsort(-scores, kind="stable")
    ends = metrics._tie_ends(scores[order])
    share = is_treated.mean()
    gamma = y * np.where(is_treated, 1.0 / share, -1.0 / (1.0 - share))
    return (ends + 1).astype(np.float64), np.cumsum(gamma[order])[ends]


def steps(a: np.ndarray) -> np.ndarray:
    """Differences along the last axis from an implicit 0 before the first entry."""
    out = np.empty_like(a)
    out[..., 0] = a[..., 0]
    np.subtract(a[..., 1:], a[..., :-1], out=out[..., 1:])
    return out


def rate_from_cumulative(k: np.ndarray, s: np.ndarray, n: int, target: str) -> np.ndarray:
    """RATE from the rows k and Γ sums s of the top rows at tie-group ends (last axis).

    Works on one curve (1-D) or on many at once (2-D, one per row), such as
    the resamples of a bootstrap, where a tie group may hold no row (its
    end repeats the previous one). A tie group of m rows after k0 rows with
    sum s0 has mean Γ g = (s - s0) / m, and the sum over its top rows grows
    by g per row, so with H the harmonic numbers its terms add up to

        AUTOC: sum_{j=1..m} (s0 + j g) / (k0 + j) = (s - k g)(H(k) - H(k0)) + m g
        QINI:  sum_{j=1..m} (s0 + j g)            = m s0 + (s - s0)(m + 1) / 2

    (k = k0 + m, s = s0 + m g), and m g summed over the groups is s(n).
    """
    k = np.asarray(k).astype(np.int64, copy=False)
    m = steps(k)
    step = steps(s)
    mean_all = s[..., -1] / n
    if target == "QINI":
        total = (np.sum(m * (s - step), axis=-1)
                 + (np.sum(step * m, axis=-1) + s[..., -1]) / 2.0)
        return total / n / n - mean_all * (n + 1.0) / (2.0 * n)
    harmonic = np.r_[0.0, np.cumsum(1.0 / np.arange(1, n + 1))]
    g = step / np.maximum(m, 1)  # an empty group has step 0
    total = np.sum((s - k * g) * steps(harmonic[k]), axis=-1)
    return (total + s[..., -1]) / n - mean_all


def rate_score(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1, control: Any = 0,
               target: str = "AUTOC") -> float:
    """Rank-weighted average treatment effect of the ranking by `uplift` (randomised data).

    With ê the share of treated rows among the rows of the two groups (rows
    of other groups are ignored) and Γ_i = y_i (W_i / ê - (1 - W_i) / (1 - ê)),
    TOC(k/n) is the mean Γ over the k top-ranked rows minus the mean Γ over
    all n rows, and

        target "AUTOC":  (1/n) sum_{k=1..n} TOC(k/n)
        target "QINI":   (1/n) sum_{k=1..n} (k/n) TOC(k/n)

    Tied scores share their group's mean Γ. `y_true` may hold any real
    outcomes (0/1 conversions, revenue). The value is in the outcome's unit
    (an uplift rate for 0/1 outcomes). Baselines: a random ranking scores 0
    in expectation (values either side of 0 are noise), a higher value
    means the top of the ranking gains more than the average row; the
    perfect ranking, by Γ itself, scores the data's maximum, which depends
    on the data. `bootstrap(rate_score, ...)` gives its standard error and
    interval; `toc_curve` the curve itself.
    """
    target = _check_target(target)
    y, scores, is_treated = _counted(y_true, uplift, treatment, treated, control)
    k, s = _cumulative(y, scores, is_treated)
    return float(rate_from_cumulative(k, s, len(y), target))


def toc_curve(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
              control: Any = 0) -> tuple[np.ndarray, np.ndarray]:
    """Targeting operator characteristic: TOC(q) at each tie-group end q = k/n.

    TOC(k/n) = mean Γ over the top k rows - mean Γ over all rows, with Γ as
    in `rate_score`; it ends at TOC(1) = 0. Returns (q, toc), two float64
    arrays with one point per tie group, q increasing to 1.
    """
    y, scores, is_treated = _counted(y_true, uplift, treatment, treated, control)
    k, s = _cumulative(y, scores, is_treated)
    return k / len(y), s / k - s[-1] / len(y)
