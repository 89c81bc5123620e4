"""The histogram splitter and per-tree row samples, checked from the rows.

The root split of a one-level tree is recomputed by an exhaustive search over
the bin edges written here with numpy: the edges by the documented rule (the
float32 values at sorted positions floor(i * m / max_bins), NaN sorted last,
without repeats, NaN and infinities), every category, the criteria's formulas
and the regularised gain; min_samples_leaf as the estimator reads it."""

import math

import numpy as np
import pytest

from corvane_learn import UpliftForestClassifier

KL_ZERO_RATE = 19.931568569324174
CHI_ZERO_RATE = 1_000_000.0
ALPHA = 0.9
LEAF = 60


def divergence(p, q, criterion):
    with np.errstate(divide="ignore", invalid="ignore"):
        if criterion == "ED":
            return 2.0 * (p - q) ** 2
        zero = (p == 0.0) | (q == 0.0)
        if criterion == "KL":
            value = p * np.log2(p / q) + (1.0 - p) * np.log2((1.0 - p) / (1.0 - q))
            return np.where(zero, KL_ZERO_RATE, value)
        value = (p - q) ** 2 / (1.0 - q) + (p - q) ** 2 / q
        return np.where(zero, CHI_ZERO_RATE, value)


def score(n, y, criterion):
    """Score of row sets from their group counts n, y (candidates x groups)."""
    q = y[:, :1] / n[:, :1]
    treated = n[:, 1:].sum(axis=1, keepdims=True)
    return (divergence(y[:, 1:] / n[:, 1:], q, criterion) * (n[:, 1:] / treated)).sum(axis=1)


def gini(x):
    return (1.0 - x * x) - (1.0 - x) ** 2


def gains(left_n, left_y, n, y, criterion):
    """Regularised gain of every candidate (rows of left_n, left_y)."""
    right_n, right_y = n - left_n, y - left_y
    n_left, total = left_n.sum(axis=1), n.sum()
    w = n_left / total
    raw = (score(left_n, left_y, criterion) * w + score(right_n, right_y, criterion) * (1 - w)
           - score(n[None], y[None], criterion))
    r = left_n / n
    r_t = (n_left - left_n[:, 0]) / (total - n[0])
    norm = 2 * (r[:, 0] - r_t) ** 2 * gini(left_n[:, 0] / n_left) * ALPHA + 0.5
    q = left_n[:, 1:] / (left_n[:, 1:] + left_n[:, :1])
    norm += (2 * (r[:, 1:] - r[:, :1]) ** 2 * gini(q) * (1 - ALPHA)).sum(axis=1)
    norm += ((1 - r ** 2) * (left_n / n_left[:, None])).sum(axis=1)
    return raw / norm


def edges(values, max_bins):
    ordered = np.sort(values)  # NaN last
    m = len(values)
    positions = [i * m // max_bins for i in range(1, max_bins)]
    taken = ordered[[p for p in positions if p < np.count_nonzero(~np.isnan(values))]]
    return np.unique(taken[np.isfinite(taken)])


def best_split(X, categories, t, y, criterion, max_bins):
    """(feature, threshold or category, gain) of the exhaustive search."""
    groups = t.max() + 1
    n = np.bincount(t, minlength=groups).astype(float)
    pos = np.bincount(t, weights=y, minlength=groups)
    best = (None, None, -math.inf)
    for name, values in X.items():
        if name in categories:
            candidates = categories[name]
            masks = [values == c for c in candidates]
        else:
            candidates = edges(values, max_bins)
            masks = [values <= v for v in candidates]  # NaN: never left
        left_n = np.array([np.bincount(t[m], minlength=groups) for m in masks], dtype=float)
        left_y = np.array([np.bincount(t[m], weights=y[m], minlength=groups) for m in masks])
        allowed = (left_n.sum(axis=1) > LEAF) & (left_n.sum(axis=1) < len(t) - LEAF)
        with np.errstate(divide="ignore", invalid="ignore"):
            g = gains(left_n, left_y, n, pos, criterion)
        g = np.where(allowed & ~np.isnan(g), g, -np.inf)  # NaN never wins
        i = int(np.argmax(g))  # the first of equal gains
        if g[i] > best[2]:
            best = (name, candidates[i], g[i])
    return best


def data(signal, groups, rows=3000, seed=5):
    rng = np.random.default_rng(seed)
    x0 = rng.integers(0, 30, rows).astype(np.float32)
    x0[rng.random(rows) < 0.05] = np.nan
    x0[:3] = [np.inf, -np.inf, np.inf]
    x1 = rng.normal(size=rows).astype(np.float32)
    c = rng.choice(np.array(["a", "b", "c", "d", "e", "f", "g"], dtype=object), rows)
    t = rng.integers(0, groups, rows)
    lift = {"x0": (x0 > 17) | np.isnan(x0), "x1": x1 < -0.3, "c": (c == "d") | (c == "f")}[signal]
    p = 0.3 + 0.25 * lift * (t > 0) + 0.05 * (t == 2)
    y = (rng.random(rows) < p).astype(np.int64)
    return {"x0": x0, "x1": x1, "c": c}, t, y


@pytest.mark.parametrize("signal,groups,criterion,max_bins", [
    ("x0", 2, "KL", 255),  # numeric, NaN and infinities
    ("c", 2, "ED", 255),  # categorical
    ("x1", 3, "CHI", 7),  # several groups, few bins
    ("x0", 3, "ED", 12),
])
def test_hist_root_split_is_the_exhaustive_best(signal, groups, criterion, max_bins):
    X, t, y = data(signal, groups)
    est = UpliftForestClassifier(n_estimators=1, max_depth=1, max_features=None,
                                 min_samples_leaf=LEAF, criterion=criterion, max_bins=max_bins,
                                 splitter="hist", random_state=0).fit(X, y, treatment=t)
    categories = {"c": est.forest_.features()[2][1]}  # in code order: the candidates' order
    name, value, gain = best_split(X, categories, t, y.astype(float), criterion, max_bins)
    root = est.forest_.tree(0)
    assert name == signal
    assert est.feature_names_in_[root["features"][0]] == name
    if name == "c":
        assert root["thresholds"][0] == value
    else:
        assert np.float32(root["thresholds"][0]) == value
    assert root["gains"][0] == pytest.approx(gain, rel=1e-12)


def node_rows(tree, X, names):
    """Rows of the training data at every stored node, routed by the saved splits."""
    reach = {0: np.ones(len(X[names[0]]), dtype=bool)}
    for pos, feature, threshold in zip(tree["positions"], tree["features"], tree["thresholds"]):
        if feature < 0 or pos not in reach:
            continue
        values = X[names[feature]]
        left = values == threshold if isinstance(threshold, str) else values <= np.float32(threshold)
        reach[2 * pos + 1] = reach[pos] & left
        reach[2 * pos + 2] = reach[pos] & ~left
    return [int(reach[p].sum()) for p in tree["positions"]]


@pytest.mark.parametrize("splitter,wide", [("quantile", False), ("hist", False), ("hist", True)])
def test_saved_thresholds_route_the_training_rows_as_grown(tmp_path, splitter, wide):
    rows = 40_000 if wide else 4000
    X, t, y = data("x0", 3, rows=rows)
    if wide:  # too many groups for labels beside the rows, categories for kept histograms
        rng = np.random.default_rng(2)
        X["c"] = rng.integers(0, 5000, rows).astype(str).astype(object)
        t = np.where(t == 0, 0, rng.integers(1, 300, rows))
    est = UpliftForestClassifier(n_estimators=4, max_depth=6, min_samples_leaf=20,
                                 max_features=None, splitter=splitter, max_bins=40,
                                 random_state=1).fit(X, y, treatment=t)
    path = tmp_path / "model.json"
    est.save(path)
    loaded = UpliftForestClassifier.load(path)
    assert loaded.get_params()["splitter"] == splitter
    np.testing.assert_array_equal(loaded.predict(X), est.predict(X))
    names = list(est.feature_names_in_)
    for i in range(4):
        tree = loaded.forest_.tree(i)
        assert len(tree["positions"]) > 7
        assert node_rows(tree, X, names) == tree["rows"]


def test_a_default_fit_writes_no_new_parameters():
    X, t, y = data("x1", 2, rows=1000)
    est = UpliftForestClassifier(n_estimators=2, random_state=0).fit(X, y, treatment=t)
    assert b'"splitter"' not in est._to_bytes()
    est.set_params(splitter="hist", max_samples=0.5).fit(X, y, treatment=t)
    assert b'"splitter":"hist"' in est._to_bytes() and b'"max_samples":0.5' in est._to_bytes()


@pytest.mark.parametrize("splitter,honesty", [("quantile", False), ("hist", False),
                                              ("hist", True)])
def test_max_samples_fits_repeat_for_every_thread_count(splitter, honesty):
    X, t, y = data("x1", 2, rows=3000)
    fits = [UpliftForestClassifier(n_estimators=6, max_depth=5, min_samples_leaf=20,
                                   splitter=splitter, max_samples=0.3, honesty=honesty,
                                   random_state=7, n_jobs=n_jobs).fit(X, y, treatment=t)
            for n_jobs in (1, 2, 4)]
    text = fits[0].forest_.to_bytes(b"{}")
    assert all(f.forest_.to_bytes(b"{}") == text for f in fits[1:])
    roots = [fits[0].forest_.tree(i)["rows"][0] for i in range(6)]
    assert all(abs(r - (450 if honesty else 900)) <= 1 for r in roots)
    # Each tree draws its own rows: their root statistics differ.
    assert len({str(fits[0].forest_.tree(i)["counts"][0]) for i in range(6)}) > 1


@pytest.mark.parametrize("value", [0, 1.5, -0.2, "half"])
def test_max_samples_is_validated(value):
    X, t, y = data("x1", 2, rows=200)
    with pytest.raises(ValueError, match="max_samples"):
        UpliftForestClassifier(max_samples=value).fit(X, y, treatment=t)
