"""Uplift metrics for one treatment against control, and a scikit-learn scorer.

Every metric is called as ``f(y_true, uplift, treatment, *, treated=1, control=0)``:
`y_true` the outcomes, 0/1 (whatever `UpliftForestClassifier.fit` accepts as
y) or any finite numbers such as revenue (whatever `UpliftForestRegressor.fit`
accepts), `uplift` the predicted uplift scores (for instance one column of
`predict`), `treatment` the treatment label of each row. Only rows whose label is `treated` or `control`
count; rows of other groups are ignored. `make_uplift_scorer` turns any of
them into a scorer for `cross_val_score`, `cross_validate` and `GridSearchCV`.

Uncertainty and other evaluations: `bootstrap` gives any metric's standard
error and percentile confidence interval (resampling rows within each
group), `compare` tells whether one model's scores beat another's (a paired
bootstrap with a p-value), `rate_score` and `toc_curve` give the
rank-weighted average treatment effect (AUTOC or Qini weighting) and its
curve, and `cost_curve` the estimated gain against spend when several
priced treatments are targeted on a budget.

Common notation: rows are ranked by `uplift`, highest first. Rows with equal
scores form a tie group and are always taken together, so curves are
evaluated only at the ends of tie groups and no result depends on the order
of tied rows. For the top k rows (k at a tie-group end), n_t(k) and n_c(k)
count the treated and control rows and y_t(k), y_c(k) the sums of their
outcomes: their positive outcomes for 0/1 outcomes, their revenue, say, for
real-valued ones; N = N_t + N_c is the number of rows counted. Every
"rate" below is then a mean outcome (y/n), and every "positive" counts
as its outcome.

Real-valued outcomes. The curves, `qini_score`, `auuc_score` with
normalize "rows", `uplift_at_k`, `uplift_by_decile`,
`weighted_average_uplift`, `response_rate_by_percentile` and `rate_score`
take them as they are, on the outcome's sums (an uplift is then extra
outcome per row, in the outcome's units). Only `auuc_score` with normalize
"perfect" needs 0/1 outcomes and refuses others (its perfect ranking ties
treated positives with control negatives, which real outcomes do not
define); `qini_score`'s perfect ranking generalises (see there).

Ties in the other metrics:

- A cut after the top k rows (`uplift_at_k`) that falls inside a tie group
  takes the same share of each of the group's counts: if m of the group's g
  rows fit under the cut, m/g of its treated rows, control rows and their
  positives count (fractional counts). This is the linear interpolation of
  n_t, y_t, n_c, y_c between the tie-group ends: the counts that the orders
  the tied rows could be in give on average.
- Bins (`uplift_by_decile`, `response_rate_by_percentile`,
  `weighted_average_uplift`) take each tie group whole, in the bin of its
  mean rank: with ranks 0..n-1, bin = floor(bins * mean_rank / n) + 1, so
  bin 1 holds the highest scores, bins hold about n/bins rows each, and a
  bin whose rows all went to a neighbour with their tie group stays empty.

Baselines. Each docstring says what random targeting and a perfect model
score. A random ranking has, in expectation, the straight line from (0, 0)
to the curve's end as its uplift or Qini curve, every bin's uplift equal to
the overall uplift y_t(N)/N_t - y_c(N)/N_c, and a TOC of 0. The perfect
model ranks by the observed outcomes themselves (the best any score could
do on these rows): for the Qini curve treated positives first and control
positives last (for real outcomes: treated rows by outcome, largest first,
and control rows by outcome, largest last), for the uplift curve treated
positives and control negatives first, then treated negatives, control
positives last. Its score depends on the data, so areas are given either
per row ("rows": comparable across data sets of any size, but not bounded
by 1) or relative to it ("perfect": 1 perfect, 0 random, the normalisation
scikit-uplift documents for `uplift_auc_score` and `qini_auc_score`).
"""

from __future__ import annotations

import inspect
import math
from collections.abc import Callable
from typing import Any

import numpy as np

from ._bootstrap import BootstrapResult, ComparisonResult, ConfidenceInterval, bootstrap, compare
from ._convert import REAL, outcome_values
from ._cost_curve import cost_curve
from ._rate import rate_score, toc_curve

__all__ = ["BootstrapResult", "ComparisonResult", "ConfidenceInterval", "UpliftScorer",
           "auuc_score", "bootstrap", "compare", "cost_curve", "make_uplift_scorer",
           "qini_curve", "qini_score", "rate_score", "response_rate_by_percentile",
           "toc_curve", "uplift_at_k", "uplift_by_decile", "uplift_curve",
           "weighted_average_uplift"]


class _Ranked:
    """Counted rows ranked by score, with cumulative counts at tie-group ends."""

    def __init__(self, y_true: Any, uplift: Any, treatment: Any, treated: Any,
                 control: Any) -> None:
        # The outcomes the estimators accept, converted alike: 0/1 or any
        # finite numbers (counted as sums of outcomes).
        y = outcome_values(y_true, name="y_true", kind=REAL)
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
        self.scores = scores
        # Whether every outcome is 0 or 1 (kept exact as integers then).
        self.binary = bool(((y == 0) | (y == 1)).all())
        self.y = y.astype(np.int64) if self.binary else y
        self.is_treated = is_treated
        self.order = np.argsort(-scores, kind="stable")
        # The same rows in rank order (highest score first).
        self.sorted_scores = scores[self.order]
        self.sorted_y = self.y[self.order]
        self.sorted_t = is_treated[self.order]
        self.ends = _tie_ends(self.sorted_scores)
        t, yr = self.sorted_t, self.sorted_y
        self.n_t = np.cumsum(t)[self.ends].astype(np.float64)
        self.y_t = np.cumsum(yr * t)[self.ends].astype(np.float64)
        self.n_c = (self.ends + 1) - self.n_t
        self.y_c = np.cumsum(yr * ~t)[self.ends].astype(np.float64)
        self.n = len(scores)


def _tie_ends(sorted_scores: np.ndarray) -> np.ndarray:
    """Positions of the last row of each tie group in rows sorted by score."""
    return np.flatnonzero(np.r_[sorted_scores[1:] != sorted_scores[:-1], True])


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


def _check_normalize(normalize: Any) -> str:
    if normalize not in ("rows", "perfect"):
        raise ValueError(f"normalize must be 'rows' or 'perfect', not {normalize!r}")
    return str(normalize)


def _relative(model: float, perfect: float, random: float) -> float:
    """(model - random) / (perfect - random) for areas; NaN when perfect is no better."""
    best = perfect - random
    return (model - random) / best if best > 0.0 else float("nan")


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
    """Uplift curve: incremental outcomes (positives, or their sum) when the top k rows are targeted.

    u(k) = (y_t(k)/n_t(k) - y_c(k)/n_c(k)) * (n_t(k) + n_c(k)), and u(k) = 0
    while either group is still empty among the top k rows.

    Returns (x, u): x the numbers of rows targeted (0 and then each tie-group
    end, up to N), u the curve there, starting at (0, 0). Random targeting
    follows the line from (0, 0) to (N, u(N)) in expectation; no ranking
    rises faster than u(k) = k, which the perfect ranking of `auuc_score`
    (treated positives and control negatives first) reaches.
    """
    r = _Ranked(y_true, uplift, treatment, treated, control)
    return _with_origin(r.ends + 1, _uplift_values(r))


def qini_curve(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
               control: Any = 0) -> tuple[np.ndarray, np.ndarray]:
    """Qini curve: treated outcomes minus control outcomes scaled to the treated count.

    q(k) = y_t(k) - y_c(k) * n_t(k) / n_c(k), with the scaled term 0 while
    no control row is among the top k.

    Returns (x, q) as `uplift_curve` does, starting at (0, 0). Random
    targeting follows the line from (0, 0) to (N, q(N)) in expectation; the
    perfect ranking (treated positives first, control positives last) rises
    with slope 1 to the number of treated positives (for real outcomes, by
    the treated outcomes from the largest down, to their sum).
    """
    r = _Ranked(y_true, uplift, treatment, treated, control)
    return _with_origin(r.ends + 1, _qini_values(r))


def auuc_score(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
               control: Any = 0, normalize: str = "rows") -> float:
    """Area between the uplift curve and the random-targeting line.

    With A the trapezoidal area under an uplift curve (x in rows, see
    `uplift_curve`) and A(random) = N u(N) / 2 that of the straight line
    from (0, 0) to (N, u(N)), which is what targeting at random gives:

    normalize "rows" (the default): (A(model) - A(random)) / N^2, the area
    with both axes divided by N (targeted share f = k/N, incremental
    positives per row u(k)/N):

        auuc = sum over segments of (f_i - f_{i-1}) * (u_i + u_{i-1}) / (2 N) - u(N) / (2 N)

    Its scale is an uplift rate (at most 0.5 in absolute value): 0 for
    random targeting, positive when the ranking beats it, negative for
    worse; a perfect model scores (A(perfect) - A(random)) / N^2, which
    depends on the data.

    normalize "perfect": (A(model) - A(random)) / (A(perfect) - A(random)),
    1 for the perfect model, 0 for random, negative for worse; NaN when the
    perfect model is no better than random. The perfect model ranks the
    treated positives and the control negatives first (tied), then the
    treated negatives, then the control positives: its uplift curve rises
    with slope 1, which no ranking can exceed, as far as any can, and falls
    last where the treatment hurt. This is the normalisation scikit-uplift
    documents for its `uplift_auc_score` ("the ratio of the actual uplift
    gains curve above the diagonal to that of the optimum"). It needs 0/1
    outcomes: that ranking ties treated positives with control negatives,
    which real-valued outcomes do not define (how many dollars of a treated
    customer match a control customer's zero?), so they are refused with a
    ValueError; use normalize "rows" for them, or `qini_score`.
    """
    normalize = _check_normalize(normalize)
    r = _Ranked(y_true, uplift, treatment, treated, control)
    x, u = _with_origin(r.ends + 1, _uplift_values(r))
    if normalize == "rows":
        return _area(x / r.n, u / r.n) - u[-1] / r.n / 2.0
    if not r.binary:
        raise ValueError("auuc_score's perfect normalisation ranks positive and negative "
                         "outcomes, so it needs 0/1 outcomes; use normalize='rows' for "
                         "real-valued ones")
    # 2: treated positives and control negatives, 1: treated negatives,
    # 0: control positives.
    perfect_scores = 2.0 * ((r.y == 1) == r.is_treated) + ((r.y == 0) & r.is_treated)
    p = _Ranked(r.y, perfect_scores, r.is_treated, True, False)
    xp, up = _with_origin(p.ends + 1, _uplift_values(p))
    return _relative(_area(x, u), _area(xp, up), r.n * u[-1] / 2.0)


def qini_score(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
               control: Any = 0, normalize: str = "perfect") -> float:
    """Qini coefficient: the model's area over random, relative to a perfect model's.

    normalize "perfect" (the default), the Qini coefficient:

        qini = (A(model) - A(random)) / (A(perfect) - A(random))

    A is the trapezoidal area under a Qini curve (x in rows); the random
    line runs straight from (0, 0) to (N, q(N)), so A(random) = N q(N) / 2;
    the perfect model scores treated positives 1, control positives -1 and
    every other row 0 (treated responders first, control responders last);
    for real-valued outcomes it scores each treated row its outcome and each
    control row its outcome negated, the same rule (treated rows with the
    largest outcomes first, control rows with the largest outcomes last,
    rows with outcome 0 between them).
    1 is perfect, 0 random, negative worse than random; NaN when the perfect
    model is no better than random (for instance without positive outcomes).
    This is the normalisation scikit-uplift documents for its
    `qini_auc_score` (with its default negative_effect=True, under which the
    optimum curve holds the control responders too).

    normalize "rows": (A(model) - A(random)) / N^2, the area between the
    Qini curve and the random line with both axes divided by N, on the scale
    of `auuc_score`'s default (0 random, data-dependent for a perfect model).
    """
    normalize = _check_normalize(normalize)
    r = _Ranked(y_true, uplift, treatment, treated, control)
    x, q = _with_origin(r.ends + 1, _qini_values(r))
    random_area = r.n * q[-1] / 2.0
    if normalize == "rows":
        return (_area(x, q) - random_area) / r.n / r.n
    perfect_scores = r.y * (np.where(r.is_treated, 1, -1))
    p = _Ranked(r.y, perfect_scores, r.is_treated, True, False)
    xp, qp = _with_origin(p.ends + 1, _qini_values(p))
    return _relative(_area(x, q), _area(xp, qp), random_area)


def _check_bins(bins: Any) -> int:
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or bins < 1:
        raise ValueError(f"bins must be a whole number of bins, at least 1, not {bins!r}")
    return int(bins)


def _check_strategy(strategy: Any) -> str:
    if strategy not in ("overall", "by_group"):
        raise ValueError(f"strategy must be 'overall' or 'by_group', not {strategy!r}")
    return str(strategy)


def _bin_of_position(sorted_scores: np.ndarray, bins: int) -> np.ndarray:
    """Bin (0 = highest scores) of each row of rows sorted by score, tie groups whole."""
    n = len(sorted_scores)
    ends = _tie_ends(sorted_scores)
    starts = np.r_[0, ends[:-1] + 1]
    # floor(bins * mean_rank / n) in integers, so that a mean rank on a bin
    # boundary never lands on the wrong side by rounding.
    group_bin = (bins * (starts + ends)) // (2 * n)
    return np.repeat(group_bin, ends - starts + 1)


def _per_bin(r: _Ranked, bins: int, strategy: str, spread: bool = False) -> tuple[np.ndarray, ...]:
    """Per bin: treated rows, their outcomes' sum, control rows, their outcomes' sum (float64).

    With `spread`, also the sums of squared deviations from the bin's mean
    outcome, of the treated rows and of the control rows.
    """
    t = r.sorted_t
    if strategy == "overall":
        position_bin = _bin_of_position(r.sorted_scores, bins)
        bin_t, bin_c = position_bin[t], position_bin[~t]
    else:
        bin_t = _bin_of_position(r.sorted_scores[t], bins)
        bin_c = _bin_of_position(r.sorted_scores[~t], bins)

    def count(which: np.ndarray, weights: np.ndarray | None = None) -> np.ndarray:
        return np.bincount(which, weights=weights, minlength=bins).astype(np.float64)

    sums = (count(bin_t), count(bin_t, r.sorted_y[t]), count(bin_c),
            count(bin_c, r.sorted_y[~t]))
    if not spread:
        return sums
    # Deviations from each bin's own mean, summed: no cancellation of large squares.
    deviations = tuple(count(which, (y - _rate(total, rows)[which]) ** 2)
                       for which, y, rows, total in ((bin_t, r.sorted_y[t], *sums[:2]),
                                                     (bin_c, r.sorted_y[~t], *sums[2:])))
    return sums + deviations


def _rate(positives: np.ndarray, rows: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(rows > 0, positives / np.where(rows > 0, rows, 1), np.nan)


def uplift_by_decile(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                     control: Any = 0, bins: int = 10) -> Any:
    """Observed and predicted uplift per decile (or other bin) of the predicted uplift.

    Rows are cut into `bins` bins by score (10: deciles), bin 1 holding the
    highest scores; each tie group goes whole to the bin of its mean rank
    (see the module's notes), so bins hold about N/bins rows each and tied
    rows never straddle two bins. Per bin: `n_treated`, `n_control`, the
    positive rates `response_rate_treated` and `response_rate_control`, the
    observed `uplift` (their difference; NaN when a group is empty) and the
    `predicted_uplift` (mean score of the bin's rows). For real-valued
    outcomes the two "rates" are the groups' mean outcomes in the bin.

    Returns, when pandas is installed, a pandas DataFrame with one row per
    bin (index 0..bins-1) and the columns `decile` (the bin number 1..bins,
    under that name whatever `bins` is), `n_treated`, `n_control`,
    `response_rate_treated`, `response_rate_control`, `uplift` and
    `predicted_uplift`. Without pandas it returns a dict mapping the same
    names, in the same order, to one-dimensional numpy arrays of length
    `bins` holding the same values with the same dtypes: int64 for `decile`
    and the two counts, float64 for the rest. Either way `table["uplift"]`
    gives that column. Every bin is listed; an empty one (all its rows went
    to a neighbour with their tie group) has zero counts and NaN rates.

    Baselines: under random targeting every bin's uplift is the overall
    uplift y_t(N)/N_t - y_c(N)/N_c in expectation; a perfect model's bins
    fall from 1 (treated positives only) to -1 (control positives only),
    for real outcomes from the largest treated outcomes to the largest
    control outcomes negated.
    """
    bins = _check_bins(bins)
    r = _Ranked(y_true, uplift, treatment, treated, control)
    position_bin = _bin_of_position(r.sorted_scores, bins)
    n_t, y_t, n_c, y_c = _per_bin(r, bins, "overall")
    score_sum = np.bincount(position_bin, weights=r.sorted_scores, minlength=bins)
    rate_t, rate_c = _rate(y_t, n_t), _rate(y_c, n_c)
    table = {
        "decile": np.arange(1, bins + 1, dtype=np.int64),
        "n_treated": n_t.astype(np.int64),
        "n_control": n_c.astype(np.int64),
        "response_rate_treated": rate_t,
        "response_rate_control": rate_c,
        "uplift": rate_t - rate_c,
        "predicted_uplift": _rate(score_sum, np.bincount(position_bin, minlength=bins)),
    }
    try:
        import pandas as pd
    except ImportError:
        return table
    return pd.DataFrame(table)


def _top_rows(k: Any, n: int, rows: str) -> int:
    """The number of rows that `k` (a fraction or a count) selects out of `n`."""
    if isinstance(k, bool) or not isinstance(k, (int, float, np.integer, np.floating)):
        raise ValueError(f"k must be a fraction in (0, 1] or a number of rows, not {k!r}")
    if isinstance(k, (int, np.integer)):
        if not 1 <= k <= n:
            raise ValueError(f"k={k} rows is not between 1 and the {n} {rows} rows")
        return int(k)
    if not 0.0 < k <= 1.0:
        raise ValueError(f"k={k} is not a fraction in (0, 1]; give a whole number for a "
                         f"count of rows")
    # Rounded to 9 decimals first because k * n carries binary rounding: 0.58 * 50
    # is 28.999999999999996, and the 29 rows meant must not become 28.
    return max(1, math.floor(round(k * n, 9)))


def _top_rate(r: _Ranked, group: bool, k: Any) -> float:
    """Positive rate among the top k rows of one group ranked on its own."""
    in_group = r.sorted_t == group
    scores = r.sorted_scores[in_group]
    ends = _tie_ends(scores)
    m = _top_rows(k, len(scores), "treated" if group else "control")
    positives = np.interp(m, np.r_[0, ends + 1], np.r_[0.0, np.cumsum(r.sorted_y[in_group])[ends]])
    return float(positives / m)


def uplift_at_k(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1, control: Any = 0,
                k: float | int = 0.3, strategy: str = "overall") -> float:
    """Observed uplift among the rows with the top k predicted uplift.

    `k` is a fraction of rows in (0, 1] (a float, 1.0 meaning all rows) or
    a number of rows (an int, at least 1). A fraction selects floor(k * n)
    rows out of n (k * n rounded to 9 decimals first, so that 0.58 of 50
    rows is 29 although 0.58 * 50 computes as 28.999999999999996), and at
    least one row.

    strategy "overall": the top k of all counted rows (n = N), and the
    result is y_t/n_t - y_c/n_c over the treated and control rows among them.
    strategy "by_group": the top k of the treated rows ranked on their own
    (k a fraction of N_t, or a count of treated rows) and the top k of the
    control rows ranked on their own, and the result is the positive rate
    (mean outcome) of the first minus that of the second. For real-valued
    outcomes the result is the extra outcome per row in the outcome's
    units (dollars of extra spend per customer, say).

    A cut inside a tie group takes that group's share proportionally (see
    the module's notes): with the top 2 rows asked and the first three tied,
    each of the three counts 2/3. NaN when, under strategy "overall", the
    selected rows hold no treated or no control row. Raises ValueError when
    a count `k` exceeds the rows it is taken from.

    Baselines: random targeting gives the overall uplift
    y_t(N)/N_t - y_c(N)/N_c in expectation, whatever k; a perfect model
    gives 1 while the top k rows are treated positives and control
    negatives (for real outcomes: the largest treated outcomes' mean minus
    the smallest control outcomes' mean).
    """
    strategy = _check_strategy(strategy)
    r = _Ranked(y_true, uplift, treatment, treated, control)
    if strategy == "by_group":
        return _top_rate(r, True, k) - _top_rate(r, False, k)
    m = _top_rows(k, r.n, "counted")
    x = np.r_[0, r.ends + 1]
    n_t, y_t, n_c, y_c = (np.interp(m, x, np.r_[0.0, c]) for c in (r.n_t, r.y_t, r.n_c, r.y_c))
    if n_t == 0 or n_c == 0:
        return float("nan")
    return float(y_t / n_t - y_c / n_c)


def response_rate_by_percentile(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                                control: Any = 0, group: str = "treatment",
                                strategy: str = "overall", bins: int = 10,
                                ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Positive rate (mean outcome) of one group per percentile bin of the predicted uplift.

    `group` "treatment" reports the treated rows, "control" the control
    rows. strategy "overall" cuts all counted rows into `bins` bins by score
    and reports the group's rows within each; "by_group" ranks and cuts the
    group's rows on their own. Bins as in `uplift_by_decile`: bin 1 (index
    0) holds the highest scores, tie groups whole.

    Returns (rate, variance, n), three arrays of length `bins`: the rate
    p = positives / n of the group's rows in each bin, its variance
    p (1 - p) / n, and n the number of those rows (int64). For real-valued
    outcomes the rate is the mean outcome m = sum / n of the bin's rows and
    the variance that of the mean, s^2 / n with s^2 = sum of (y - m)^2 / n
    (which is p (1 - p) for 0/1 outcomes). Where n is 0, rate and variance
    are NaN.

    Baselines: under random targeting every bin shows the group's overall
    positive rate (mean outcome) in expectation; a perfect model puts the
    treated positives (largest treated outcomes) in the first bins and the
    control positives (largest control outcomes) in the last.
    """
    if group not in ("treatment", "control"):
        raise ValueError(f"group must be 'treatment' or 'control', not {group!r}")
    strategy, bins = _check_strategy(strategy), _check_bins(bins)
    r = _Ranked(y_true, uplift, treatment, treated, control)
    n_t, y_t, n_c, y_c, *spread = _per_bin(r, bins, strategy, spread=not r.binary)
    treated = group == "treatment"
    n, positives = (n_t, y_t) if treated else (n_c, y_c)
    rate = _rate(positives, n)
    if r.binary:
        return rate, _rate(rate * (1.0 - rate), n), n.astype(np.int64)
    return rate, _rate(_rate(spread[0 if treated else 1], n), n), n.astype(np.int64)


def weighted_average_uplift(y_true: Any, uplift: Any, treatment: Any, *, treated: Any = 1,
                            control: Any = 0, strategy: str = "overall", bins: int = 10) -> float:
    """Mean of the per-bin observed uplift, each bin weighted by its treated rows.

    Bins as in `response_rate_by_percentile` (same `strategy`, `bins` 10 by
    default): in bin b, uplift_b = y_t,b / n_t,b - y_c,b / n_c,b, and

        weighted_average_uplift = sum_b n_t,b * uplift_b / sum_b n_t,b

    over the bins holding both treated and control rows (a bin without
    either has no uplift and is left out, weight included). NaN when no bin
    holds both.

    Baselines: about the overall uplift y_t(N)/N_t - y_c(N)/N_c for any
    ranking, random or perfect, when each bin holds the two groups in their
    overall proportion (the weighted mean then sums to it exactly); it
    departs from it only through the bins' imbalance, so it does not tell a
    good ranking from a random one.
    """
    strategy, bins = _check_strategy(strategy), _check_bins(bins)
    r = _Ranked(y_true, uplift, treatment, treated, control)
    n_t, y_t, n_c, y_c = _per_bin(r, bins, strategy)
    both = (n_t > 0) & (n_c > 0)
    if not both.any():
        return float("nan")
    n_t, y_t, n_c, y_c = n_t[both], y_t[both], n_c[both], y_c[both]
    return float(np.sum(n_t * (y_t / n_t - y_c / n_c)) / np.sum(n_t))


_METRICS: dict[str, Callable[..., float]] = {
    "qini": qini_score,
    "auuc": auuc_score,
    "uplift_at_k": uplift_at_k,
    "weighted_average_uplift": weighted_average_uplift,
}


def _uplift_step(estimator: Any) -> Any:
    """The fitted uplift estimator itself, or the last step of a Pipeline ending in one."""
    from ._estimator import final_step

    step = final_step(estimator, lambda s: hasattr(s, "treatments_"))
    if step is None:
        raise ValueError(f"{type(estimator).__name__} has no treatments_: the uplift scorer "
                         f"needs a fitted uplift estimator such as UpliftForestClassifier, "
                         f"or a Pipeline ending in one")
    if not hasattr(step, "control"):
        raise ValueError(f"{type(step).__name__} has no control attribute naming the control "
                         f"label, which the uplift scorer needs")
    return step


class UpliftScorer:
    """A scikit-learn scorer of uplift estimators, made by `make_uplift_scorer`.

    Called as ``scorer(estimator, X, y_true, treatment=labels)`` it predicts
    `X` and scores the predicted uplift with its metric, against the
    estimator's `control` label: per label of `estimator.treatments_`
    (the columns of `predict`), averaged, or for the one label `treated`.
    It requests the metadata `treatment` by default: with scikit-learn's
    metadata routing enabled, ``params={"treatment": labels}`` given to
    `cross_val_score`, `cross_validate` or `GridSearchCV.fit` reaches it,
    split by fold like `X`.
    """

    def __init__(self, metric: Callable[..., float], name: str, treated: Any, sign: int,
                 kwargs: dict[str, Any]) -> None:
        self._metric = metric
        self._name = name
        self._treated = treated
        self._sign = sign
        self._kwargs = kwargs
        self._treatment_request: bool | str | None = True

    def __call__(self, estimator: Any, X: Any, y_true: Any, **metadata: Any) -> float:
        """The metric of `estimator.predict(X)` against `y_true` (times -1 for a loss).

        `treatment` (keyword) holds the treatment label of each row of `X`.
        Raises ValueError without it, when `treated` is not one of the
        estimator's treatments or when `predict` gives the wrong shape.
        """
        treatment = metadata.pop("treatment", None)
        if metadata:
            raise TypeError(f"the uplift scorer takes only the metadata treatment, not "
                            f"{', '.join(sorted(metadata))}")
        if treatment is None:
            raise ValueError(
                "the uplift scorer needs treatment, the treatment label of each row: enable "
                "scikit-learn's metadata routing (sklearn.set_config(enable_metadata_routing="
                "True)) and pass params={'treatment': labels} to cross_val_score, "
                "cross_validate or GridSearchCV.fit, or call scorer(estimator, X, y, "
                "treatment=labels)")
        step = _uplift_step(estimator)
        steps = getattr(estimator, "steps", None)
        if hasattr(step, "_state") and (step is estimator or (steps and steps[-1][1] is step)):
            # One of corvane_learn's forests, alone or last in a Pipeline: its
            # fitted state read once, so a refit by another thread meanwhile
            # never pairs one fit's predictions with another's labels.
            state = step._state()
            labels, control = state.treatments, state.control
            inner = X if step is estimator else estimator[:-1].transform(X)
            predicted = step._predict_with(state, inner)
        else:
            labels, control = np.asarray(step.treatments_), step.control
            predicted = estimator.predict(X)
        predicted = np.asarray(predicted, dtype=np.float64)
        if predicted.ndim == 1:
            predicted = predicted[:, np.newaxis]
        if predicted.ndim != 2 or predicted.shape[1] != len(labels):
            raise ValueError(f"the estimator's predict returned shape {predicted.shape}, not one "
                             f"column per label of treatments_ ({len(labels)})")
        if self._treated is None:
            columns = range(len(labels))
        else:
            found = np.flatnonzero(_equals(labels, self._treated))
            if not len(found):
                raise ValueError(f"treated={self._treated!r} is not one of the estimator's "
                                 f"treatments_ {labels.tolist()}")
            columns = found[:1]
        names = labels.tolist()
        values = [self._metric(y_true, predicted[:, j], treatment, treated=names[j],
                               control=control, **self._kwargs) for j in columns]
        return self._sign * float(np.mean(values))

    def set_score_request(self, *, treatment: bool | str | None = True) -> UpliftScorer:
        """Sets how the scorer requests `treatment` from metadata routing; returns the scorer.

        True (the default) requests it under its own name, a string under
        that alias (``set_score_request(treatment="group")`` then takes
        ``params={"group": labels}``), False or None not at all.
        """
        if not (treatment is None or isinstance(treatment, (bool, str))):
            raise ValueError(f"treatment must be True, False, None or an alias string, "
                             f"not {treatment!r}")
        self._treatment_request = treatment
        return self

    def get_metadata_routing(self) -> Any:
        """The scorer's metadata request (a scikit-learn `MetadataRequest`): `treatment`
        for `score`, as set by `set_score_request`."""
        from sklearn.utils.metadata_routing import MetadataRequest

        request = MetadataRequest(owner=self)
        request.score.add_request(param="treatment", alias=self._treatment_request)
        return request

    def _accept_sample_weight(self) -> bool:
        # scikit-learn asks this of every scorer when sample_weight is given
        # without metadata routing; the uplift metrics take no weights.
        return False

    def _routing_repr(self) -> str:
        return repr(self)

    def __repr__(self) -> str:
        arguments = [repr(self._name)]
        if self._treated is not None:
            arguments.append(f"treated={self._treated!r}")
        if self._sign < 0:
            arguments.append("greater_is_better=False")
        arguments += [f"{key}={value!r}" for key, value in self._kwargs.items()]
        return f"make_uplift_scorer({', '.join(arguments)})"


def make_uplift_scorer(metric: str | Callable[..., float], *, treated: Any = None,
                       greater_is_better: bool = True, **kwargs: Any) -> UpliftScorer:
    """A scikit-learn scorer from an uplift metric, for `scoring=` in model selection.

    `metric` is one of "qini" (`qini_score`), "auuc" (`auuc_score`),
    "uplift_at_k" and "weighted_average_uplift", or a function called like
    them, ``metric(y_true, uplift, treatment, *, treated, control, **kwargs)``,
    returning a number. `kwargs` go to the metric (for instance ``k=0.3``,
    ``strategy="by_group"``, ``bins=5``); `control` always comes from the
    estimator's `control` attribute.

    The scorer scores ``estimator.predict(X)`` column by column: by default
    the mean over every label of `estimator.treatments_` of the metric of
    that label's column against control (NaN if one of them is NaN); with
    `treated` a label, that label's column alone. `greater_is_better` False
    (for a loss) negates the result. It requests the metadata `treatment`
    by default, so with metadata routing enabled no `set_score_request`
    call is needed::

        sklearn.set_config(enable_metadata_routing=True)
        cross_val_score(forest, X, y, params={"treatment": t}, cv=3,
                        scoring=make_uplift_scorer("uplift_at_k", treated="email", k=0.3))

    Raises ValueError for an unknown metric name or keyword arguments the
    metric does not take. When scoring, a fold without rows of a scored
    treatment (or of control) makes the metric raise ValueError, which
    scikit-learn's model selection turns into its `error_score`.
    """
    if isinstance(metric, str):
        if metric not in _METRICS:
            raise ValueError(f"metric {metric!r} is not one of {', '.join(map(repr, _METRICS))}; "
                             f"a function called like them is accepted too")
        name, function = metric, _METRICS[metric]
    elif callable(metric):
        name, function = getattr(metric, "__name__", repr(metric)), metric
    else:
        raise ValueError(f"metric must be a metric name or a function, not {metric!r}")
    if "control" in kwargs:
        raise ValueError("control is not an argument of the scorer: it comes from the "
                         "estimator's control attribute")
    if not isinstance(greater_is_better, (bool, np.bool_)):
        raise ValueError(f"greater_is_better must be True or False, not {greater_is_better!r}")
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        signature = None  # a callable without a signature is checked when first called
    if signature is not None:
        try:
            signature.bind(None, None, None, treated=None, control=None, **kwargs)
        except TypeError as error:
            raise ValueError(f"metric {name} cannot take the arguments {sorted(kwargs)} "
                             f"({error})") from None
    return UpliftScorer(function, name, treated, 1 if greater_is_better else -1, dict(kwargs))
