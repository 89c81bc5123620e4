"""Shapley values of the uplift: additive to `predict`, equal to a brute-force
Shapley computation over every subset of features on the saved trees, and a
one-split tree's values recomputed by hand from the training rows."""
import json
import math
from itertools import combinations

import numpy as np
import pytest
import sklearn
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import FunctionTransformer, StandardScaler

from corvane_learn import UpliftForestClassifier, UpliftForestRegressor, merge_forests
from corvane_learn.inspection import UpliftExplanation, shap_values
from learn_helpers import extension_rows, saved_trees, small_leaf_data, spend_of
from model_walk import f32

pd = pytest.importorskip("pandas")


def frame(n, seed):
    """Four features (a numeric one with NaN, a categorical one with missing
    values), three groups; the uplift rests on a and c."""
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n),
                      "c": rng.choice(["x", "y", "z"], size=n).astype(object),
                      "d": rng.random(size=n)})
    X.loc[rng.random(n) < 0.1, "a"] = np.nan
    X.loc[rng.random(n) < 0.1, "c"] = None
    t = rng.integers(0, 3, size=n)
    rate = 0.2 + 0.15 * (t > 0) * (X["a"].fillna(0) > 0) + 0.15 * (X["c"] == "x") * (t == 2)
    y = (rng.random(n) < rate).astype(int)
    return X, y, t


def assert_additive(explanation, predicted):
    total = explanation.values.sum(axis=1) + explanation.base_values
    assert not np.isnan(explanation.values).any()
    np.testing.assert_allclose(total, predicted, rtol=0, atol=1e-9)


@pytest.mark.parametrize("criterion,honesty,leaf", [("ED", False, 30), ("KL", False, 30),
                                                    ("ED", True, 30), ("ED", True, 2)])
def test_values_add_up_to_predict(criterion, honesty, leaf):
    X, y, t = frame(4000, seed=0)
    forest = UpliftForestClassifier(n_estimators=15, max_depth=6, min_samples_leaf=leaf,
                                    criterion=criterion, honesty=honesty,
                                    estimation_sample_size=0.2, random_state=1)
    forest.fit(X, y, treatment=t)
    # Unseen categories and missing cells take the trees' own routes.
    test = frame(500, seed=1)[0]
    test.loc[::7, "c"] = "never seen"
    with pytest.warns(UserWarning, match="never seen in training"):
        explanation = shap_values(forest, test, n_jobs=2)
    assert explanation.values.shape == (500, 4, 2)
    assert explanation.feature_names == ["a", "b", "c", "d"]
    with pytest.warns(UserWarning):
        assert_additive(explanation, forest.predict(test))
    one = explanation.for_treatment(2)
    np.testing.assert_array_equal(one.values, explanation.values[:, :, 1])
    assert one.base_values.shape == (500,) and one.base_values[0] == explanation.base_values[1]


def cover(node):
    return node["rows"]


def tree_value(nodes, pos, row, known):
    """v(S) of one saved tree: a split on a known feature follows the row, one
    on an unknown feature both sides, weighted by their shares of the rows."""
    node = nodes[pos]
    if node["prob"]:
        return np.array(node["prob"])
    left, right = nodes[2 * pos + 1], nodes[2 * pos + 2]
    if node["col_idx"] in known:
        cell = row[node["col_idx"]]
        split = node["split_value"]
        if "Numeric" in split:
            goes_left = not isinstance(cell, str) and f32(cell) <= f32(split["Numeric"])
        else:
            goes_left = cell == split["Str"]
        return tree_value(nodes, 2 * pos + (1 if goes_left else 2), row, known)
    both = cover(left) + cover(right)
    shares = (cover(left) / both, cover(right) / both) if both else (0.0, 0.0)
    return (shares[0] * tree_value(nodes, 2 * pos + 1, row, known)
            + shares[1] * tree_value(nodes, 2 * pos + 2, row, known))


def brute_force(trees, row, n_features):
    """Shapley values by their definition, over every subset of the features."""
    def v(known):
        return sum(tree_value(nodes, 0, row, set(known)) for nodes in trees) / len(trees)

    phi = []
    for i in range(n_features):
        others = [f for f in range(n_features) if f != i]
        total = 0.0
        for size in range(n_features):
            weight = math.factorial(size) * math.factorial(n_features - size - 1) / \
                math.factorial(n_features)
            for subset in combinations(others, size):
                total = total + weight * (v(subset + (i,)) - v(subset))
        phi.append(total)
    return np.array(phi), v(())


@pytest.mark.parametrize("cls, honesty", [(UpliftForestClassifier, False),
                                          (UpliftForestClassifier, True),
                                          (UpliftForestRegressor, True)])
def test_values_equal_brute_force_shapley(cls, honesty, tmp_path):
    X, y, t = frame(3000, seed=2)
    if cls is UpliftForestRegressor:
        y = spend_of(y)  # dollars: node rows come from the real outcome's statistics
    forest = cls(n_estimators=4, max_depth=5, min_samples_leaf=40, max_features=None,
                 criterion="ED", honesty=honesty, random_state=3).fit(X, y, treatment=t)
    forest.save(tmp_path / "m.json")
    trees = saved_trees(tmp_path / "m.json")
    test = X.iloc[:25]
    explanation = shap_values(forest, test)
    for i, row in enumerate(extension_rows(test, ["a", "b", "c", "d"])):
        phi, base = brute_force(trees, row, 4)
        np.testing.assert_allclose(explanation.values[i], phi, rtol=0, atol=1e-12)
        # A single row is walked path by path rather than by leaf tables.
        alone = shap_values(forest, test.iloc[[i]]).values[0]
        np.testing.assert_allclose(alone, phi, rtol=0, atol=1e-12)
        np.testing.assert_allclose(explanation.base_values, base, rtol=0, atol=1e-12)


def test_one_split_by_hand_from_the_rows():
    rng = np.random.default_rng(4)
    n = 6000
    X = np.column_stack([rng.random(n), rng.random(n), np.full(n, 3.0)])
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.2 + 0.2 * t * (X[:, 0] > 0.6)).astype(int)
    forest = UpliftForestClassifier(n_estimators=1, max_depth=1, min_samples_leaf=100,
                                    max_features=None, criterion="ED",
                                    random_state=0).fit(X, y, treatment=t)
    tree = forest.forest_.tree(0)
    root = tree["positions"].index(0)
    feature, threshold = tree["features"][root], tree["thresholds"][root]
    assert feature >= 0
    left = X[:, feature].astype(np.float32) <= np.float32(threshold)

    def uplift(rows):
        return y[rows & (t == 1)].mean() - y[rows & (t == 0)].mean()

    values = {True: uplift(left), False: uplift(~left)}
    base = (left.sum() * values[True] + (~left).sum() * values[False]) / n
    test = rng.random((50, 3))
    explanation = shap_values(forest, test)
    side = test[:, feature].astype(np.float32) <= np.float32(threshold)
    expected = np.where(side, values[True], values[False]) - base
    np.testing.assert_allclose(explanation.base_values, [base], rtol=0, atol=1e-12)
    np.testing.assert_allclose(explanation.values[:, feature, 0], expected, rtol=0, atol=1e-12)
    # The other features decide nothing, and the constant one is never split on.
    others = [f for f in range(3) if f != feature]
    assert (explanation.values[:, others, :] == 0.0).all()


def test_pipeline_and_merged_forests():
    X, y, t = frame(3000, seed=5)
    numeric = X[["a", "b", "d"]].to_numpy()
    pipe = Pipeline([("scale", StandardScaler()),
                     ("shift", FunctionTransformer(lambda v: v * 3.0 + 1.0)),
                     ("forest", UpliftForestClassifier(n_estimators=10, max_depth=4,
                                                       min_samples_leaf=50, criterion="ED",
                                                       random_state=0))])
    with sklearn.config_context(enable_metadata_routing=True):
        pipe.fit(numeric, y, treatment=t)
    explanation = shap_values(pipe, numeric[:300])
    assert explanation.feature_names == ["x0", "x1", "x2"]
    assert_additive(explanation, pipe.predict(numeric[:300]))

    parts = [UpliftForestClassifier(n_estimators=n, max_depth=4, min_samples_leaf=50,
                                    criterion="ED", random_state=s).fit(X, y, treatment=t)
             for n, s in ((3, 0), (5, 1))]
    merged = merge_forests(parts)
    explanation = shap_values(merged, X.iloc[:300])
    assert_additive(explanation, merged.predict(X.iloc[:300]))
    # Each tree weighs one eighth: the parts' values, weighted by tree counts.
    by_part = [shap_values(p, X.iloc[:300]).values for p in parts]
    np.testing.assert_allclose(explanation.values, (3 * by_part[0] + 5 * by_part[1]) / 8,
                               rtol=0, atol=1e-12)


def test_saved_forests_and_refusals(tmp_path):
    X, y, t = frame(1000, seed=6)
    forest = UpliftForestClassifier(n_estimators=2, max_depth=2, criterion="ED",
                                    random_state=0).fit(X, y, treatment=t)
    forest.save(tmp_path / "m.json")
    loaded = UpliftForestClassifier.load(tmp_path / "m.json")
    np.testing.assert_array_equal(shap_values(loaded, X).values, shap_values(forest, X).values)
    # A plain model file of the extension keeps no row counts to weigh the sides by.
    document = json.loads((tmp_path / "m.json").read_text())
    del document["corvane_learn"]
    (tmp_path / "plain.json").write_text(json.dumps(document))
    plain = UpliftForestClassifier.load(tmp_path / "plain.json")
    with pytest.raises(ValueError, match="keeps no row counts per node"):
        shap_values(plain, np.zeros((3, 4)))
    with pytest.raises(ValueError, match="several treatments; choose one of"):
        shap_values(forest, X.iloc[:5]).for_treatment()
    with pytest.raises(TypeError, match="explains a fitted corvane_learn estimator"):
        shap_values(StandardScaler(), X)
    empty = shap_values(forest, X.iloc[:0])
    assert isinstance(empty, UpliftExplanation) and empty.values.shape == (0, 4, 2)
    np.testing.assert_allclose(empty.base_values, shap_values(forest, X.iloc[:1]).base_values)


def synthetic_explanation():
    """Three features whose mean |value| rank b, c, a; a has NaN cells, c is categorical."""
    rng = np.random.default_rng(7)
    values = np.stack([rng.normal(0, s, (200, 2)) for s in (0.1, 1.0, 0.5)], axis=1)
    data = np.column_stack([rng.random(200), rng.random(200), rng.integers(0, 3, 200)])
    data[:20, 0] = np.nan
    data[:5, 2] = np.nan  # an unseen category
    return UpliftExplanation(values=values, base_values=np.zeros(2), data=data,
                             feature_names=["a", "b", "c"], treatments=np.array(["p", "q"]),
                             categories=(None, None, ["u", "v", "w"]))


def test_plots_draw_each_row_where_its_value_lies():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from corvane_learn.plot import plot_shap_dependence, plot_shap_summary

    e = synthetic_explanation()
    ax = plot_shap_summary(e, "q", max_display=2)
    assert [t.get_text() for t in ax.get_yticklabels()] == ["c", "b"]  # most important on top
    grey_c, coloured_c, grey_b, coloured_b = ax.collections[:4]
    assert len(grey_c.get_offsets()) == 5 and len(grey_b.get_offsets()) == 0
    drawn = np.concatenate([grey_b.get_offsets(), coloured_b.get_offsets()])
    np.testing.assert_allclose(np.sort(drawn[:, 0]), np.sort(e.values[:, 1, 1]))
    assert np.abs(drawn[:, 1] - 1).max() <= 0.4 + 1e-12
    plt.close(ax.figure)

    ax = plot_shap_dependence(e, "a", "p")
    known, missing = ax.collections
    np.testing.assert_array_equal(known.get_offsets(), np.column_stack(
        [e.data[20:, 0], e.values[20:, 0, 0]]))
    assert len(missing.get_offsets()) == 20 and missing.get_offsets()[:, 0].max() < 0
    plt.close(ax.figure)
    ax = plot_shap_dependence(e, 2, "p")
    assert [t.get_text() for t in ax.get_xticklabels()] == ["unseen", "u", "v", "w"]
    plt.close(ax.figure)
    with pytest.raises(ValueError, match="no feature of the explanation"):
        plot_shap_dependence(e, "z", "p")


def test_covers_are_the_rows_each_node_reached():
    # The base value is the cover-weighted mean of the leaves, so with covers
    # the rows that reached each node it is the mean prediction over the
    # training rows, also where KL grows leaves whose values are an
    # ancestor's (their covers stay their own rows).
    X, t, y = small_leaf_data()
    est = UpliftForestClassifier(n_estimators=4, max_depth=10, min_samples_leaf=5,
                                 criterion="KL", random_state=2).fit(X, y, treatment=t)
    assert b"node_rows" in est._to_bytes()  # some leaf took an ancestor's values
    explanation = shap_values(est, X)
    np.testing.assert_allclose(explanation.base_values, est.predict(X).mean(axis=0), rtol=1e-12)
