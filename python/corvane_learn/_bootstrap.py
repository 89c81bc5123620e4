"""Bootstrap standard errors and intervals of uplift metrics, and paired model comparison.

Resampling is stratified by group: each resample draws, with replacement,
as many treated rows from the treated rows and as many control rows from the
control rows as the data hold, so the group sizes (and the treated share)
stay those of the experiment. Rows of other groups are left out first: every
metric of the signature ``f(y_true, uplift, treatment, *, treated, control)``
ignores them.

A resample is drawn as row indices, per group from a stream of its own, so
the same seed gives the same resampled rows whatever the scores: `compare`
scores both models on the same rows, and `bootstrap` with one seed resamples
the rows `compare` uses with that seed.

`qini_score`, `auuc_score` and `rate_score` are evaluated without a call per
resample: the rows are ranked once, each drawn row is counted into its tie
group (duplicated rows share a score, so they fall into the same group), and
cumulative sums over the tie groups give each resample's curve, many
resamples at a time. Any other metric, or those with arguments this path
does not handle, is called once per resample on the resampled rows.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, NamedTuple

import numpy as np

from . import _rate, metrics
from ._estimator import seed_of

# Cells (resamples x rows) evaluated at once: about 16 MB per float64 array.
kChunkCells = 1 << 21


class ConfidenceInterval(NamedTuple):
    """Lower and upper end of a two-sided percentile bootstrap interval."""

    low: float
    high: float


@dataclass(frozen=True, kw_only=True)
class _Resampled:
    """What every bootstrap result holds of the resampled values."""

    standard_error: float
    confidence_interval: ConfidenceInterval
    bootstrap_distribution: np.ndarray = field(repr=False)
    confidence_level: float
    method: str = "percentile"


@dataclass(frozen=True, kw_only=True)
class BootstrapResult(_Resampled):
    """What `bootstrap` returns.

    estimate: the metric on the data themselves; standard_error: the
    standard deviation of the resampled values (ddof 1);
    confidence_interval: the percentile interval (the (1 - level)/2 and
    (1 + level)/2 quantiles of the resampled values, numpy's default linear
    interpolation), method "percentile"; bootstrap_distribution: the
    metric on each resample (NaN where it was undefined; those resamples
    are left out of the standard error and the interval).
    """

    estimate: float


@dataclass(frozen=True, kw_only=True)
class ComparisonResult(_Resampled):
    """What `compare` returns.

    difference: metric(uplift_a) - metric(uplift_b) on the data;
    estimate_a, estimate_b: the two metrics; standard_error and
    confidence_interval (percentile, as in `BootstrapResult`) of the
    difference over paired resamples; pvalue: two-sided, for "no
    difference" (see `compare`); bootstrap_distribution: the resampled
    differences.
    """

    difference: float
    estimate_a: float
    estimate_b: float
    pvalue: float


def _check_settings(metric: Any, n_resamples: Any, confidence_level: Any) -> int:
    if not callable(metric):
        raise TypeError(f"metric must be a function called like the uplift metrics, "
                        f"not {metric!r}")
    if (isinstance(n_resamples, bool) or not isinstance(n_resamples, (int, np.integer))
            or n_resamples < 2):
        raise ValueError(f"n_resamples must be a whole number, at least 2, not {n_resamples!r}")
    if (isinstance(confidence_level, bool)
            or not isinstance(confidence_level, (int, float, np.integer, np.floating))
            or not 0.0 < confidence_level < 1.0):
        raise ValueError(f"confidence_level must be a number between 0 and 1, "
                         f"not {confidence_level!r}")
    return int(n_resamples)


class _Groups:
    """The treated and control rows of the data, and the streams that resample them."""

    def __init__(self, treatment: Any, n: int, treated: Any, control: Any,
                 random_state: Any) -> None:
        labels = np.asarray(treatment)
        if labels.ndim != 1 or len(labels) != n:
            raise ValueError(f"treatment must be one-dimensional with one label per row "
                             f"({n}), not of shape {labels.shape}")
        is_treated = metrics._equals(labels, treated)
        is_control = metrics._equals(labels, control) & ~is_treated
        self.rows_t = np.flatnonzero(is_treated)
        self.rows_c = np.flatnonzero(is_control)
        if not len(self.rows_t):
            raise ValueError(f"no row has the treated label {treated!r}")
        if not len(self.rows_c):
            raise ValueError(f"no row has the control label {control!r}")
        streams = np.random.SeedSequence(seed_of(random_state)).spawn(2)
        self._streams = [np.random.default_rng(s) for s in streams]

    def draws(self, n_resamples: int) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        """Blocks of resamples: per group, indices into that group's rows (resamples x rows)."""
        sizes = (len(self.rows_t), len(self.rows_c))
        block = max(1, kChunkCells // sum(sizes))
        for start in range(0, n_resamples, block):
            count = min(block, n_resamples - start)
            # Each stream is read in order, so the draws do not depend on the block size.
            yield tuple(rng.integers(0, m, size=(count, m),
                                     dtype=np.int32 if m < 2**31 else np.int64)
                        for rng, m in zip(self._streams, sizes))


class _Ranking:
    """One model's tie groups over the treated and control rows, for counting resamples."""

    def __init__(self, scores: np.ndarray, groups: _Groups) -> None:
        rows = np.r_[groups.rows_t, groups.rows_c]
        counted = scores[rows]
        order = np.argsort(-counted, kind="stable")
        ends = metrics._tie_ends(counted[order])
        group = np.empty(len(rows), dtype=np.int64)
        group[order] = np.repeat(np.arange(len(ends)), np.diff(np.r_[-1, ends]))
        self.group_t = group[:len(groups.rows_t)]
        self.group_c = group[len(groups.rows_t):]
        self.size = len(ends)

    def cumulative(self, draw_t: np.ndarray, draw_c: np.ndarray, y_t: np.ndarray,
                   y_c: np.ndarray) -> SimpleNamespace:
        """Cumulative counts and outcome sums at tie-group ends, one row per resample."""
        n_t, y_t_sum = self._sums(self.group_t, draw_t, y_t)
        n_c, y_c_sum = self._sums(self.group_c, draw_c, y_c)
        return SimpleNamespace(n_t=n_t, y_t=y_t_sum, n_c=n_c, y_c=y_c_sum)

    def _sums(self, group: np.ndarray, draw: np.ndarray,
              y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        resamples = len(draw)
        cells = resamples * self.size
        offset = (np.arange(resamples) * self.size)[:, np.newaxis]
        if y.dtype == np.int64:
            # 0/1 outcomes: one count of (resample, tie group, outcome), and
            # integer running sums, several times faster than float ones.
            key = (group + y * cells).take(draw)
            key += offset
            counts = np.bincount(key.ravel(), minlength=2 * cells)
            positives = counts[cells:].reshape(resamples, self.size)
            rows = counts[:cells].reshape(resamples, self.size)
            rows += positives
            return np.cumsum(rows, axis=1, out=rows), np.cumsum(positives, axis=1, out=positives)
        key = group.take(draw)
        key += offset
        rows = np.bincount(key.ravel(), minlength=cells).reshape(resamples, self.size)
        total = np.bincount(key.ravel(), weights=y.take(draw).ravel(), minlength=cells)
        return (np.cumsum(rows, axis=1, out=rows),
                np.cumsum(total.reshape(resamples, self.size), axis=1))


def _areas(x: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Trapezoidal areas under curves from (0, 0) through (x, v), one per row."""
    dx = _rate.steps(x).astype(np.float64, copy=False)
    return (np.einsum("ij,ij->i", dx, v) + np.einsum("ij,ij->i", dx[:, 1:], v[:, :-1])) / 2.0


def _ratio(model: np.ndarray, best: np.ndarray) -> np.ndarray:
    return np.divide(model, best, out=np.full_like(model, np.nan), where=best > 0)


# Counts arrive as int64 (and 0/1 outcome sums too); the curves are those of
# `metrics.qini_curve` and `metrics.uplift_curve` on each resample.


def _qini_values(c: SimpleNamespace) -> np.ndarray:
    # While no control row is counted no control outcome is either, so
    # dividing by at least 1 gives the scaled term's 0 there.
    q = c.y_c * c.n_t / np.maximum(c.n_c, 1)
    return np.subtract(c.y_t, q, out=q)


def _qini_resampled(c: SimpleNamespace, normalize: str = "perfect",
                    perfect: SimpleNamespace | None = None) -> np.ndarray:
    n = c.n_t[:, -1] + c.n_c[:, -1]
    q = _qini_values(c)
    random = n * q[:, -1] / 2.0
    model = _areas(c.n_t + c.n_c, q) - random
    if normalize == "rows":
        return model / n / n
    if perfect is not None:
        # Real-valued outcomes: the perfect ranking's own counts, on the same resamples.
        best = _areas(perfect.n_t + perfect.n_c, _qini_values(perfect))
        return _ratio(model, best - random)
    # The perfect ranking of `qini_score` for 0/1 outcomes: a treated
    # positives (q rises to a), then the rows without a positive outcome (q
    # stays at a), then the b control positives (q falls to q(N)).
    a, b = c.y_t[:, -1], c.y_c[:, -1]
    best = a * a / 2.0 + (n - a - b) * a + b * (a + q[:, -1]) / 2.0
    return _ratio(model, best - random)


def _auuc_resampled(c: SimpleNamespace, normalize: str = "rows") -> np.ndarray:
    n = c.n_t[:, -1] + c.n_c[:, -1]
    x = c.n_t + c.n_c
    u = c.y_t / np.maximum(c.n_t, 1) - c.y_c / np.maximum(c.n_c, 1)
    u *= x
    u[(c.n_t == 0) | (c.n_c == 0)] = 0.0  # no uplift while a group is missing
    random = n * u[:, -1] / 2.0
    model = _areas(x, u) - random
    if normalize == "rows":
        return model / n / n
    # The perfect ranking of `auuc_score`: the a treated positives and the
    # control negatives first (u rises to their count k0 when both are
    # present, else stays 0), then the treated negatives (u ends at
    # a / N_t * k1 if a control row came before, else 0), then the control
    # positives (u goes to u(N)).
    a, n_t = c.y_t[:, -1], c.n_t[:, -1]
    negatives_c = c.n_c[:, -1] - c.y_c[:, -1]
    k0 = a + negatives_c
    k1 = k0 + n_t - a
    u0 = np.where((a > 0) & (negatives_c > 0), k0, 0.0)
    u1 = np.where(negatives_c > 0, a / n_t * k1, 0.0)
    perfect = k0 * u0 / 2.0 + (k1 - k0) * (u0 + u1) / 2.0 + (n - k1) * (u1 + u[:, -1]) / 2.0
    return _ratio(model, perfect - random)


def _rate_resampled(c: SimpleNamespace, target: str = "AUTOC") -> np.ndarray:
    target = _rate._check_target(target)
    n_t, n_c = c.n_t[0, -1], c.n_c[0, -1]
    share = n_t / (n_t + n_c)
    s = c.y_t / share - c.y_c / (1.0 - share)
    return _rate.rate_from_cumulative(c.n_t + c.n_c, s, int(n_t + n_c), target)


def _fast_path(metric: Callable[..., float], kwargs: dict[str, Any],
               ) -> Callable[..., np.ndarray] | None:
    """The resample-at-once evaluation of `metric` with `kwargs`, if there is one.

    It takes one model's counts and, where `_needs_perfect` says so, those
    of the perfect ranking on the same resamples.
    """
    paths = {metrics.qini_score: (_qini_resampled, "normalize"),
             metrics.auuc_score: (_auuc_resampled, "normalize"),
             _rate.rate_score: (_rate_resampled, "target")}
    if metric not in paths:
        return None
    path, option = paths[metric]
    if set(kwargs) - {option}:
        return None
    return lambda c, perfect=None: path(c, **kwargs) if perfect is None else \
        path(c, perfect=perfect, **kwargs)


def _needs_perfect(metric: Callable[..., float], kwargs: dict[str, Any], binary: bool) -> bool:
    """Whether the fast path needs the perfect ranking counted: the Qini
    coefficient of real-valued outcomes, whose perfect area has no closed form."""
    return metric is metrics.qini_score and kwargs.get("normalize", "perfect") == "perfect" \
        and not binary


class _Resampler:
    """The data of one bootstrap: rows, groups and how each model is evaluated."""

    def __init__(self, metric: Callable[..., float], y_true: Any, treatment: Any,
                 treated: Any, control: Any, kwargs: dict[str, Any], random_state: Any) -> None:
        self.y = np.asarray(y_true)
        if self.y.ndim != 1:
            raise ValueError("y_true must be one-dimensional")
        self.labels = np.asarray(treatment)
        self.groups = _Groups(self.labels, len(self.y), treated, control, random_state)
        self.metric = metric
        self.kwargs = kwargs
        self.call = dict(kwargs, treated=treated, control=control)
        self.fast = _fast_path(metric, kwargs)

    def scores(self, uplift: Any) -> np.ndarray:
        scores = np.asarray(uplift)
        if scores.ndim != 1 or len(scores) != len(self.y):
            raise ValueError(f"uplift must be one-dimensional with one score per row "
                             f"({len(self.y)}), not of shape {scores.shape}")
        return scores

    def estimate(self, uplift: Any) -> float:
        return float(self.metric(self.y, uplift, self.labels, **self.call))

    def values(self, models: list[np.ndarray], n_resamples: int) -> list[np.ndarray]:
        """Each model's metric on each resample: one array of n_resamples per model."""
        out: list[list[np.ndarray]] = [[] for _ in models]
        if self.fast is not None:
            # The metric has accepted these outcomes and scores (the estimates
            # come first), so both are numbers.
            rankings = [_Ranking(m.astype(np.float64), self.groups) for m in models]
            y = self.y.astype(np.float64)
            binary = bool(((y == 0.0) | (y == 1.0)).all())
            if binary:
                y = y.astype(np.int64)
            y_t, y_c = y[self.groups.rows_t], y[self.groups.rows_c]
            perfect = None
            if _needs_perfect(self.metric, self.kwargs, binary):
                # `qini_score`'s perfect ranking: treated rows by outcome, control
                # rows by the outcome negated; a resample's is its rows' share of it.
                best = np.zeros(len(y))
                best[self.groups.rows_t], best[self.groups.rows_c] = y_t, -y_c
                perfect = _Ranking(best, self.groups)
        for draw_t, draw_c in self.groups.draws(n_resamples):
            if self.fast is not None:
                best_counts = None if perfect is None else \
                    perfect.cumulative(draw_t, draw_c, y_t, y_c)
                for values, ranking in zip(out, rankings):
                    values.append(self.fast(ranking.cumulative(draw_t, draw_c, y_t, y_c),
                                            best_counts))
                continue
            for r in range(len(draw_t)):
                rows = np.r_[self.groups.rows_t[draw_t[r]], self.groups.rows_c[draw_c[r]]]
                for values, scores in zip(out, models):
                    values.append(np.array([self.metric(self.y[rows], scores[rows],
                                                        self.labels[rows], **self.call)],
                                           dtype=np.float64))
        return [np.concatenate(v) for v in out]


def _summary(values: np.ndarray, confidence_level: float,
             what: str) -> tuple[float, ConfidenceInterval]:
    finite = values[~np.isnan(values)]
    if len(finite) < len(values):
        warnings.warn(f"{what} is undefined (NaN) on {len(values) - len(finite)} of "
                      f"{len(values)} resamples, which the standard error and the interval "
                      f"leave out", RuntimeWarning, stacklevel=3)
    if len(finite) < 2:
        return math.nan, ConfidenceInterval(math.nan, math.nan)
    tail = (1.0 - confidence_level) / 2.0
    low, high = np.quantile(finite, [tail, 1.0 - tail])
    return float(np.std(finite, ddof=1)), ConfidenceInterval(float(low), float(high))


def bootstrap(metric: Callable[..., float], y_true: Any, uplift: Any, treatment: Any, *,
              treated: Any = 1, control: Any = 0, n_resamples: int = 1000,
              confidence_level: float = 0.95, random_state: Any = None,
              **metric_kwargs: Any) -> BootstrapResult:
    """Standard error and confidence interval of an uplift metric by the bootstrap.

    `metric` is any metric of `corvane_learn.metrics` or a function called
    like them, ``metric(y_true, uplift, treatment, *, treated, control,
    **metric_kwargs)`` returning a number. Each of the `n_resamples`
    resamples draws, with replacement, as many treated rows from the treated
    rows and as many control rows from the control rows as the data hold
    (stratified: group sizes are kept; rows of other groups are left out),
    and the metric is computed on it.

    The interval is the percentile interval: the (1 - confidence_level)/2
    and (1 + confidence_level)/2 quantiles of the resampled values. It is
    not bias-corrected (BCa would need a jackknife, one metric per left-out
    row). The standard error is the standard deviation of the resampled
    values. Resamples on which the metric is NaN are left out of both, with
    a RuntimeWarning saying how many.

    `random_state` (None, an int, a numpy Generator or RandomState) seeds
    the draws: an int gives the same result every time, and the same rows
    for every metric and model. `qini_score`, `auuc_score` and `rate_score`
    evaluate all resamples without a Python call per resample (1,000
    resamples of 100,000 rows take a few seconds); other metrics are called
    once per resample.

    Returns a `BootstrapResult` (estimate, standard_error,
    confidence_interval.low/.high, bootstrap_distribution).
    """
    n_resamples = _check_settings(metric, n_resamples, confidence_level)
    data = _Resampler(metric, y_true, treatment, treated, control, metric_kwargs, random_state)
    scores = data.scores(uplift)
    estimate = data.estimate(uplift)
    (values,) = data.values([scores], n_resamples)
    name = getattr(metric, "__name__", "the metric")
    error, interval = _summary(values, confidence_level, name)
    return BootstrapResult(estimate=estimate, standard_error=error, confidence_interval=interval,
                           bootstrap_distribution=values,
                           confidence_level=float(confidence_level))


def compare(metric: Callable[..., float], y_true: Any, uplift_a: Any, uplift_b: Any,
            treatment: Any, *, treated: Any = 1, control: Any = 0, n_resamples: int = 1000,
            confidence_level: float = 0.95, random_state: Any = None,
            **metric_kwargs: Any) -> ComparisonResult:
    """Whether model A's scores beat model B's on a metric: a paired bootstrap.

    Both models are scored on the same rows and on the same resampled rows
    (drawn as in `bootstrap`), so what the two have in common (which rows
    happened to respond) cancels from their difference. `difference` is
    metric(uplift_a) - metric(uplift_b) on the data; the standard error and
    the percentile interval are those of the resampled differences.

    The two-sided p-value for "no difference" is the one the percentile
    interval inverts: with R finite resampled differences, of which
    n_below are at or below 0 and n_above at or above 0,

        pvalue = min(1, 2 * (min(n_below, n_above) + 1) / (R + 1))

    (the +1 keeps it above 0 with finitely many resamples); 0 lies outside
    the (1 - alpha) interval roughly when pvalue < alpha. A model compared
    with itself gives difference 0 and pvalue 1.

    Arguments as in `bootstrap`; returns a `ComparisonResult`.
    """
    n_resamples = _check_settings(metric, n_resamples, confidence_level)
    data = _Resampler(metric, y_true, treatment, treated, control, metric_kwargs, random_state)
    scores = [data.scores(uplift_a), data.scores(uplift_b)]
    estimate_a, estimate_b = data.estimate(uplift_a), data.estimate(uplift_b)
    values_a, values_b = data.values(scores, n_resamples)
    differences = values_a - values_b
    name = getattr(metric, "__name__", "the metric")
    error, interval = _summary(differences, confidence_level, f"the difference of {name}")
    finite = differences[~np.isnan(differences)]
    tail = min(np.count_nonzero(finite <= 0.0), np.count_nonzero(finite >= 0.0))
    pvalue = min(1.0, 2.0 * (tail + 1) / (len(finite) + 1)) if len(finite) else math.nan
    return ComparisonResult(difference=estimate_a - estimate_b, estimate_a=estimate_a,
                            estimate_b=estimate_b, standard_error=error,
                            confidence_interval=interval, pvalue=float(pvalue),
                            bootstrap_distribution=differences,
                            confidence_level=float(confidence_level))
