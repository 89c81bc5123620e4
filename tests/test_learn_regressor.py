"""The uplift forest of a real-valued outcome: leaves are differences of
means recomputed from the rows, a planted dollar effect is found, sums stay
exact beside huge values, and the estimator round-trips and routes like the
classifier."""
import json
import math
import pickle

import numpy as np
import pytest
import sklearn
from sklearn.base import is_regressor
from sklearn.model_selection import GridSearchCV

from corvane_learn import UpliftForestClassifier, UpliftForestRegressor, merge_forests
from model_walk import cells, route


def spend_data(n=20_000, seed=0):
    rng = np.random.default_rng(seed)
    X = {"a": rng.normal(size=n), "b": rng.uniform(0, 10, size=n)}
    t = rng.choice(np.array(["control", "mail", "sms"]), size=n)
    effect = np.where(X["a"] > 0, 15.0, 0.0) * (t == "mail") + 5.0 * (t == "sms")
    # Mostly zeros and a long tail, as spend is.
    spend = np.where(rng.random(n) < 0.2, rng.gamma(2.0, 30.0, size=n), 0.0)
    spend = spend + effect * (rng.random(n) < 0.5)
    return X, spend, t


@pytest.mark.parametrize("criterion", ["ED", "CTS"])
def test_a_stumps_leaves_are_differences_of_means_of_its_rows(tmp_path, criterion):
    X, y, t = spend_data(3000)
    est = UpliftForestRegressor(n_estimators=1, max_depth=1, max_features=None, min_samples_leaf=50,
                                criterion=criterion, control="control", random_state=0)
    est.fit(X, y, treatment=t).save(tmp_path / "m.json")
    nodes = json.loads((tmp_path / "m.json").read_text())["trees"][0]["nodes"]
    assert nodes[0]["prob"] == []  # it did split
    reached = route(nodes, [cells(X["a"]), cells(X["b"])], range(len(y)))
    for pos in (1, 2):
        rows = np.array(reached[pos])
        means = [y[rows][t[rows] == g].sum() / np.sum(t[rows] == g)
                 for g in ("control", "mail", "sms")]
        assert nodes[pos]["prob"] == pytest.approx([means[1] - means[0], means[2] - means[0]],
                                                   rel=1e-12)


def test_a_planted_dollar_effect_is_found():
    X, y, t = spend_data()
    est = UpliftForestRegressor(n_estimators=30, min_samples_leaf=200, control="control",
                                random_state=0).fit(X, y, treatment=t)
    assert is_regressor(est)
    uplift = est.predict(X)
    true_mail = np.where(X["a"] > 0, 7.5, 0.0)  # 15 dollars half the time
    assert np.corrcoef(uplift[:, 0], true_mail)[0, 1] > 0.8
    assert uplift[:, 0].mean() == pytest.approx(true_mail.mean(), rel=0.1)
    assert uplift[:, 1].mean() == pytest.approx(2.5, abs=1.0)
    response = est.predict_response(X)
    assert np.allclose(response[:, 1:] - response[:, :1], uplift)


def test_sums_stay_exact_beside_huge_values(tmp_path):
    rng = np.random.default_rng(1)
    n = 4000
    t = np.arange(n) % 2
    y = rng.integers(0, 100, size=n) / 100.0  # cents
    y[::997] = 1e16  # a few huge values, where a plain double sum loses the cents
    est = UpliftForestRegressor(n_estimators=1, max_depth=1, random_state=0)
    est.fit({"x": rng.normal(size=n)}, y, treatment=t).save(tmp_path / "m.json")
    part = json.loads((tmp_path / "m.json").read_text())["corvane_learn"]
    root = part["node_stats"][0][:6]  # [n, sum, squares] of control, then of treatment
    for g in (0, 1):
        assert root[3 * g] == np.sum(t == g)
        assert root[3 * g + 1] == math.fsum(y[t == g])
        assert root[3 * g + 2] == math.fsum(y[t == g] ** 2)
    assert sum(y[t == 0]) != math.fsum(y[t == 0])  # plain summing would have lost them


def test_round_trips_and_the_other_estimators_files(tmp_path):
    X, y, t = spend_data(3000)
    est = UpliftForestRegressor(n_estimators=5, control="control", random_state=0,
                                honesty=True).fit(X, y, treatment=t)
    expected = est.predict(X)
    assert np.array_equal(pickle.loads(pickle.dumps(est)).predict(X), expected)
    est.save(tmp_path / "r.json")
    assert np.array_equal(UpliftForestRegressor.load(tmp_path / "r.json").predict(X), expected)
    with pytest.raises(ValueError, match="holds an UpliftForestRegressor .* load it with "
                                         "UpliftForestRegressor.load"):
        UpliftForestClassifier.load(tmp_path / "r.json")
    UpliftForestClassifier(n_estimators=2, control="control").fit(
        X, (y > 0).astype(int), treatment=t).save(tmp_path / "c.json")
    with pytest.raises(ValueError, match="holds an UpliftForestClassifier"):
        UpliftForestRegressor.load(tmp_path / "c.json")


@pytest.mark.parametrize("criterion", ["KL", "CHI"])
def test_rate_criteria_are_refused_saying_why(criterion):
    X, y, t = spend_data(500)
    with pytest.raises(ValueError, match=f"criterion '{criterion}' compares rates of a 0/1"):
        UpliftForestRegressor(criterion=criterion, control="control").fit(X, y, treatment=t)


def test_grid_search_routes_the_treatment():
    pd = pytest.importorskip("pandas")
    X, y, t = spend_data(6000)
    X = pd.DataFrame(X)
    with sklearn.config_context(enable_metadata_routing=True):
        search = GridSearchCV(UpliftForestRegressor(n_estimators=10, control="control",
                                                    random_state=0),
                              {"max_depth": [2, 4]}, cv=3).fit(X, y, treatment=t)
    assert search.best_score_ > 0


def test_merged_regressors_average_their_trees_and_refuse_a_classifier():
    X, y, t = spend_data(3000)
    a, b = (UpliftForestRegressor(n_estimators=k, max_depth=3, control="control",
                                  random_state=k).fit(X, y, treatment=t) for k in (3, 5))
    merged = merge_forests([a, b])
    assert isinstance(merged, UpliftForestRegressor) and merged.n_estimators == 8
    assert np.allclose(merged.predict(X), (3 * a.predict(X) + 5 * b.predict(X)) / 8, rtol=0,
                       atol=1e-12)
    rates = UpliftForestClassifier(n_estimators=2, max_depth=3, control="control").fit(
        X, (y > 0).astype(int), treatment=t)
    with pytest.raises(TypeError, match="estimator 1 is an UpliftForestClassifier but the first "
                                        "estimator an UpliftForestRegressor"):
        merge_forests([a, rates])
