"""Uplift metrics for one treatment against control.

Every function is called as ``f(y_true, uplift, treatment, *, treated=1, control=0)``:
`y_true` the 0/1 outcomes, `uplift` the predicted uplift scores (for
instance one column of `UpliftForestClassifier.predict`), `treatment` the
treatment label of each row. Only rows whose label is `treated` or `control`
count; rows of other groups are ignored.

Common notation: rows are ranked by `uplift`, highest first. Rows with equal
scores form a tie group and are always taken together, so curves are
evaluated only at the ends of tie groups and no result depends on the order
of tied rows. For the top k rows (k at a tie-group end), n_t(k) and n_c(k)
count the treated and control rows and y_t(k), y_c(k) their positive
outcomes; N = N_t + N_c is the number of rows counted.
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["auuc_score", "qini_curve", "qini_score", "uplift_by_decile", "uplift_curve"]


class _Ranked:
    """Counted rows ranked by score, with cumulative counts at tie-group ends."""

    def __init__(self, y_true: Any, uplift: Any, treatment: Any, treated: Any,
                 control: Any) -> None:
        y = np.asarray(y_true)
        scores = np.asarray(uplift, dtype=np.float64)
        labels = np.asarray(treatment)
        if not (y.ndim == scores.ndim == labels.ndim == 1):
            raise ValueError("y_true, uplift and treatment must be one-dimensional")
        if not len(y) == len(scores) == len(labels):
            raise ValueError(f"y_true, uplift and treatment differ in length "
                             f"({len(y)}, {len(scores)}, {len(labels)})")
        is_treated = _equals(labels, treated)
        keep = is_treated | _equals(labels, control)
        y, scores, is_treated = y[keep], scores[keep], is_treated[keep]
        if not is_treated.any():
            raise ValueError(f"no row has the treated label {treated!r}")
        if is_treated.all():
            raise ValueError(f"no row has the control label {control!r}")
        if np.isnan(scores).any():
            raise ValueError("uplift holds NaN")
        if y.dtype.kind not in "biuf" or ((y != 0) & (y != 1)).any():
            raise ValueError("y_true must hold only 0 and 1")
        self.scores = scores
        self.y = y.astype(np.int64)
        self.is_treated = is_treated
        self.order = np.argsort(-scores, kind="stable")
        ranked = scores[self.order]
        self.ends = np.flatnonzero(np.r_[ranked[1:] != ranked[:-1], True])
        t = is_treated[self.order]
        yr = self.y[self.order]
        self.n_t = np.cumsum(t)[self.ends].astype(np.float64)
        self.y_t = np.cumsum(yr * t)[self.ends].astype(np.float64)
        self.n_c = (self.ends + 1) - self.n_t
        self.y_c = np.cumsum(yr * ~t)[self.ends].astype(np.float64)
        self.n = len(scores)


def _equals(labels: np.ndarray, value: Any) -> np.ndarray:
    # A string never matches a number, whatever numpy would make of the comparison.
    if labels.dtype.kind in "US" and not isinstance(value, str):
        return np.zeros(len(labels), dtype=bool)
    if labels.dtype.kind in "biuf" and isinstance(value, str):
        return np.zeros(len(labels), dtype=bool)
    return np.asarray(labels == value, dtype=bool)


def _with_origin(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return np.r_[0, x].astype(np.int64), np.r_[0.0, y]


def _area(x: np.ndarray, y: np.ndarray) -> float:
    return float(np.sum((x[1:] - x[:-1]) * (y[1:] + y[:-1])) / 2.0)


def _uplift_values(r: _Ranked) -> np.ndarray:
    both = (r.n_t > 0) & (r.n_c > 0)
    rate_t = np.divide(r.y_t, r.n_t, out=np.zeros_like(r.y_t), where=both)
    rate_c = np.divide(r.y_c, r.n_c, out=np.zeros_like(r.y_c), where=both)
    return (rate_t - rate_c) * (r.n_t + r.n_c)


def _qini_values(r: _Ranked) -> np.ndarray:
    scaled = np.divide(r.y_c * r.n_t, r.n_c, out=np.zeros_like(r.y_c), where=r.n_c > 0)
    return r.y_t - scaled


def uplift_curve(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                 control: Any = 0) -> tuple[np.ndarray, np.ndarray]:
    """Uplift curve: incremental positive outcomes when the top k rows are targeted.

    u(k) = (y_t(k)/n_t(k) - y_c(k)/n_c(k)) * (n_t(k) + n_c(k)), and u(k) = 0
    while either group is still empty among the top k rows.

    Returns (x, u): x the numbers of rows targeted (0 and then each tie-group
    end, up to N), u the curve there, starting at (0, 0).
    """
    r = _Ranked(y_true, uplift, treatment, treated, control)
    return _with_origin(r.ends + 1, _uplift_values(r))


def qini_curve(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
               control: Any = 0) -> tuple[np.ndarray, np.ndarray]:
    """Qini curve: treated positives minus control positives scaled to the treated count.

    q(k) = y_t(k) - y_c(k) * n_t(k) / n_c(k), with the scaled term 0 while
    no control row is among the top k.

    Returns (x, q) as `uplift_curve` does, starting at (0, 0).
    """
    r = _Ranked(y_true, uplift, treatment, treated, control)
    return _with_origin(r.ends + 1, _qini_values(r))


def auuc_score(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
               control: Any = 0) -> float:
    """Area between the uplift curve and the random-targeting line, per row squared.

    With both axes divided by N (targeted share f = k/N, incremental
    positives per row u(k)/N), the score is the trapezoidal area under the
    curve minus the area under the straight line from (0, 0) to
    (1, u(N)/N), which is what targeting at random gives:

        auuc = sum over segments of (f_i - f_{i-1}) * (u_i + u_{i-1}) / (2 N) - u(N) / (2 N)

    Positive when the ranking beats random targeting, 0 for no better, negative for worse;
    its scale is an uplift rate (at most 0.5 in absolute value).
    """
    r = _Ranked(y_true, uplift, treatment, treated, control)
    x, u = _with_origin(r.ends + 1, _uplift_values(r))
    return _area(x / r.n, u / r.n) - u[-1] / r.n / 2.0


def qini_score(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
               control: Any = 0) -> float:
    """Qini coefficient: the model's area over random, relative to a perfect model's.

        qini = (A(model) - A(random)) / (A(perfect) - A(random))

    A is the trapezoidal area under a Qini curve (x in rows); the random
    line runs straight from (0, 0) to (N, q(N)), so A(random) = N q(N) / 2;
    the perfect model scores treated positives 1, control positives -1 and
    every other row 0 (treated responders first, control responders last).
    1 is perfect, 0 random, negative worse than random; NaN when the perfect
    model is no better than random (for instance without positive outcomes).
    """
    r = _Ranked(y_true, uplift, treatment, treated, control)
    x, q = _with_origin(r.ends + 1, _qini_values(r))
    random_area = r.n * q[-1] / 2.0
    perfect_scores = r.y * (np.where(r.is_treated, 1, -1))
    p = _Ranked(r.y, perfect_scores, r.is_treated, True, False)
    xp, qp = _with_origin(p.ends + 1, _qini_values(p))
    best = _area(xp, qp) - random_area
    if best <= 0.0:
        return float("nan")
    return (_area(x, q) - random_area) / best


def uplift_by_decile(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                     control: Any = 0) -> Any:
    """Observed and predicted uplift per decile of the predicted uplift.

    Decile 1 holds the highest scores. Each tie group goes whole to the
    decile of its mean rank: decile = floor(10 * mean_rank / N) + 1 with
    ranks 0..N-1, so deciles hold about N/10 rows each and tied rows never
    straddle two deciles. Per decile: `n_treated`, `n_control`, the positive
    rates `response_rate_treated` and `response_rate_control`, the observed
    `uplift` (their difference; NaN when a group is empty) and the
    `predicted_uplift` (mean score of the decile's rows).

    Returns a pandas DataFrame with a `decile` column and those columns when
    pandas is installed, else a dict of numpy arrays under the same names.
    All ten deciles are listed; an empty one has zero counts and NaN rates.
    """
    r = _Ranked(y_true, uplift, treatment, treated, control)
    starts = np.r_[0, r.ends[:-1] + 1]
    mean_rank = (starts + r.ends) / 2.0
    group_decile = np.minimum((10 * mean_rank / r.n).astype(np.int64), 9)
    sizes = r.ends - starts + 1
    decile = np.empty(r.n, dtype=np.int64)
    decile[r.order] = np.repeat(group_decile, sizes)

    def per_decile(weights: np.ndarray) -> np.ndarray:
        return np.bincount(decile, weights=weights, minlength=10).astype(np.float64)

    t = r.is_treated.astype(np.float64)
    n_t, n_c = per_decile(t), per_decile(1.0 - t)
    y_t, y_c = per_decile(r.y * t), per_decile(r.y * (1.0 - t))
    with np.errstate(invalid="ignore", divide="ignore"):
        rate_t = np.where(n_t > 0, y_t / n_t, np.nan)
        rate_c = np.where(n_c > 0, y_c / n_c, np.nan)
        rows = n_t + n_c
        predicted = np.where(rows > 0, per_decile(r.scores) / rows, np.nan)
    table = {
        "decile": np.arange(1, 11),
        "n_treated": n_t.astype(np.int64),
        "n_control": n_c.astype(np.int64),
        "response_rate_treated": rate_t,
        "response_rate_control": rate_c,
        "uplift": rate_t - rate_c,
        "predicted_uplift": predicted,
    }
    try:
        import pandas as pd
    except ImportError:
        return table
    return pd.DataFrame(table)
