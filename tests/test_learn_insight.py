"""Insight into a fitted forest: importances, spread, honest leaves, group
rates, recommendations and trees, each checked against answers known from
the simulated data or recomputed from the saved file."""
import json
import math

import numpy as np
import pytest

from corvane_learn import UpliftForestClassifier, UpliftForestRegressor
from corvane_learn.inspection import export_text, permutation_importance, plot_tree
from learn_helpers import saved_trees, spend_of

# Each estimator with the outcome it is given: 0/1, or dollars (a rate of 0.1
# becomes a mean of 40 * 0.1 dollars), so that the same answers hold scaled.
ESTIMATORS = {"classifier": (UpliftForestClassifier, 1.0),
              "regressor": (UpliftForestRegressor, 40.0)}
BOTH = pytest.mark.parametrize("kind", ESTIMATORS)


def planted(n, seed):
    """Six features: x0 and x1 drive the uplift, x2 and x3 the base rate, x4 and x5 are noise."""
    rng = np.random.default_rng(seed)
    x = rng.random((n, 6))
    t = rng.integers(0, 2, n)
    base = 0.1 + 0.1 * x[:, 2] + 0.1 * x[:, 3]
    uplift = 0.1 * (x[:, 0] > 0.5) + 0.1 * (x[:, 1] > 0.5)
    y = (rng.random(n) < base + t * uplift).astype(int)
    return x, y, t


@pytest.mark.parametrize("kind, criterion", [
    ("classifier", "KL"), ("classifier", "ED"), ("classifier", "CHI"), ("regressor", "ED")])
def test_importances_find_the_uplift_features(kind, criterion, tmp_path):
    x, y, t = planted(200_000, seed=0)
    cls = ESTIMATORS[kind][0]
    y = spend_of(y) if cls is UpliftForestRegressor else y
    est = cls(criterion=criterion, random_state=0).fit(x, y, treatment=t)
    importance = est.feature_importances_
    assert set(np.argsort(-importance)[:2]) == {0, 1}, importance
    # By hand from the file: each split's gain times its node's share of the
    # tree's rows, averaged over the trees (KL and CHI leave out splits that
    # rest on a rate of exactly 0 or 1).
    path = tmp_path / "m.json"
    est.save(path)
    totals, splits = np.zeros(6), np.zeros(6)
    for nodes in saved_trees(path):
        root = nodes[0]["rows"]
        for pos, node in nodes.items():
            if node["prob"]:
                continue
            splits[node["col_idx"]] += 1
            if not node["gain"] > 0:
                continue
            family = [node["counts"], nodes[2 * pos + 1]["counts"], nodes[2 * pos + 2]["counts"]]
            if criterion in ("KL", "CHI") and any(c[g + 1] in (0, c[g]) for c in family
                                                  for g in range(0, len(c), 2)):
                continue
            totals[node["col_idx"]] += node["gain"] * node["rows"] / root
    assert np.allclose(importance, totals / totals.sum(), rtol=1e-12, atol=0)
    assert np.allclose(est.set_params(importance_type="split").feature_importances_,
                       splits / splits.sum(), rtol=1e-12, atol=0)


@BOTH
def test_permutation_importance_drops_for_the_uplift_features(kind):
    cls, scale = ESTIMATORS[kind]
    x, y, t = planted(40_000, seed=1)
    held_out = planted(20_000, seed=2)
    est = cls(n_estimators=20, random_state=0).fit(x, y * scale, treatment=t)
    result = permutation_importance(est, held_out[0], held_out[1] * scale,
                                    treatment=held_out[2], n_repeats=3, random_state=0)
    assert result.importances.shape == (6, 3)
    assert set(np.argsort(-result.importances_mean)[:2]) == {0, 1}
    assert result.importances_mean[0] > 5 * abs(result.importances_mean[4:]).max()


@BOTH
def test_spread_is_the_trees_std_and_grows_where_rows_are_sparse(kind, tmp_path):
    cls, scale = ESTIMATORS[kind]
    rng = np.random.default_rng(3)
    n = 40_000
    # Only 1 % of the rows lie above 0.9.
    x = np.where(rng.random(n) < 0.99, rng.random(n) * 0.9, 0.9 + rng.random(n) * 0.1)
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.2 + 0.2 * t * x).astype(int)
    # Honest trees estimate their leaves from rows of their own, so they
    # disagree most where few rows lie.
    est = cls(n_estimators=40, max_features=None, min_samples_leaf=50, max_depth=8,
              honesty=True, random_state=0).fit(x[:, None], y * scale, treatment=t)
    probe = np.array([[0.3], [0.5], [0.95], [0.98]])
    mean, std = est.predict(probe, return_std=True)
    assert np.array_equal(mean, est.predict(probe)) and std.shape == (4, 1)
    assert std[2:].min() > 1.5 * std[:2].max()
    # By hand: the deviation of each tree's leaf from the mean, in tree order.
    path = tmp_path / "m.json"
    est.save(path)
    trees = saved_trees(path)
    for row, m, s in zip(probe, mean[:, 0], std[:, 0]):
        leaves = [_leaf(nodes, row)[0] for nodes in trees]
        acc = 0.0
        for v in leaves:
            acc = (v - m) * (v - m) + acc
        assert s == math.sqrt(acc / len(leaves))


def _leaf(nodes, row):
    pos = 0
    while not nodes[pos]["prob"]:
        node = nodes[pos]
        left = np.float32(row[node["col_idx"]]) <= np.float32(node["split_value"]["Numeric"])
        pos = 2 * pos + (1 if left else 2)
    return nodes[pos]["prob"]


@BOTH
def test_honest_leaves_rest_on_the_estimation_rows(kind, tmp_path):
    # No uplift anywhere: adaptive leaves chase noise, honest ones do not.
    cls = ESTIMATORS[kind][0]
    rng = np.random.default_rng(4)
    n = 20_000
    x = rng.random((n, 4))
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.3).astype(int)
    if cls is UpliftForestRegressor:
        y = spend_of(y)
    params = dict(n_estimators=20, min_samples_leaf=50, max_depth=6, random_state=0)
    adaptive = cls(**params).fit(x, y, treatment=t)
    honest = cls(honesty=True, **params).fit(x, y, treatment=t)
    assert np.abs(honest.predict(x)).mean() < 0.7 * np.abs(adaptive.predict(x)).mean()
    path = tmp_path / "honest.json"
    honest.save(path)
    per_group = [np.sum(t == 0), np.sum(t == 1)]
    # Per group [n, positives], or [n, sum, squares] of a real outcome.
    width = len(saved_trees(path)[0][0]["counts"]) // 2
    for nodes in saved_trees(path):
        root = nodes[0]["counts"]
        # Half of each group's rows, rounded half up, estimate the values.
        assert [root[0], root[width]] == [int(g * 0.5 + 0.5) for g in per_group]
        for node in nodes.values():
            if node["prob"]:
                n0, y0, n1, y1 = (node["counts"][i] for i in (0, 1, width, width + 1))
                assert node["prob"] == [y1 / n1 - y0 / n0]


@BOTH
def test_group_rates_and_recommendations(kind):
    cls, scale = ESTIMATORS[kind]
    rng = np.random.default_rng(5)
    n = 30_000
    x = rng.random((n, 1))
    t = rng.choice(np.array(["none", "mail", "call"]), n)
    # Mail helps where x < 0.5, a call where x > 0.5 (and more).
    rate = 0.2 + np.where(t == "mail", 0.2 * (x[:, 0] < 0.5), 0.0) + \
        np.where(t == "call", 0.3 * (x[:, 0] > 0.5), 0.0)
    y = (rng.random(n) < rate).astype(int)
    est = cls(n_estimators=20, min_samples_leaf=200, control="none", random_state=0).fit(x, y * scale, treatment=t)
    assert est.treatments_.tolist() == ["call", "mail"]
    probe = np.array([[0.1], [0.3], [0.7], [0.9]])
    response = est.predict_response(probe)
    assert response.shape == (4, 3)
    assert np.allclose(response, scale * np.array([[0.2, 0.2, 0.4]] * 2 + [[0.2, 0.5, 0.2]] * 2),
                       atol=0.04 * scale)
    assert np.allclose(response[:, 1:] - response[:, :1], est.predict(probe), atol=1e-12 * scale)
    assert est.recommend(probe).tolist() == ["mail", "mail", "call", "call"]
    # A call costing more than the 0.3 conversions it adds is not worth it,
    # nor a mail where it adds nothing; for the regressor value 1 and costs
    # in dollars, the outcome's own units.
    assert est.recommend(probe, value=1.0, costs={"call": 0.35 * scale,
                                                  "mail": 0.05 * scale}).tolist() == [
        "mail", "mail", "none", "none"]
    assert est.recommend(probe, value=10.0, costs=[0.35 * scale, 0.0]).tolist() == [
        "mail", "mail", "call", "call"]


@BOTH
def test_export_text_and_plot_tree_show_the_tree(kind):
    cls, scale = ESTIMATORS[kind]
    rng = np.random.default_rng(6)
    n = 4000
    x = rng.random(n)
    t = np.arange(n) % 2
    y = (rng.random(n) < 0.2 + 0.4 * t * (x > 0.5)).astype(int) * scale
    est = cls(n_estimators=1, max_depth=1, max_features=None, random_state=0).fit({"age": x}, y, treatment=t)
    text = export_text(est)
    threshold = est.forest_.tree(0)["thresholds"][0]
    assert 0.45 < threshold < 0.55
    lines = text.splitlines()
    printed = lines[0].removeprefix("if age <= ").removesuffix(f":  ({n} rows)")
    # The printed threshold gives back the tree's 32-bit float exactly.
    assert np.float32(float(printed)) == np.float32(threshold) and lines[2] == "else:"
    left = x.astype(np.float32) <= np.float32(float(printed))
    leaf_labels = []
    for line, side in ((lines[1], left), (lines[3], ~left)):
        treated, control = side & (t == 1), side & (t == 0)
        uplift = y[treated].mean() - y[control].mean()
        assert line == f"|   uplift 1: {uplift:+.4f}; {side.sum()} rows"
        leaf_labels.append(f"1: {uplift:+.3f}")
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    ax = plot_tree(est)
    assert [t.get_text().split("\n")[0] for t in ax.texts] == [f"age <= {printed}",
                                                                *leaf_labels]
    with pytest.raises(IndexError, match=r"tree_index must be in \[0, 1\)"):
        export_text(est, tree_index=1)


def test_file_keeps_counts_for_the_extension_to_skip(tmp_path):
    x, y, t = planted(5000, seed=7)
    est = UpliftForestClassifier(n_estimators=3, random_state=0).fit(x, y, treatment=t)
    est.save(tmp_path / "m.json")
    document = json.loads((tmp_path / "m.json").read_text())
    assert list(document)[-1] == "corvane_learn"
    assert len(document["corvane_learn"]["node_counts"]) == 3
