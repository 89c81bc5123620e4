"""`make_uplift_scorer` inside scikit-learn's model selection, with metadata routing."""

import numpy as np
import pytest

from corvane_learn import metrics

sklearn = pytest.importorskip("sklearn")
from sklearn.base import BaseEstimator  # noqa: E402
from sklearn.model_selection import (  # noqa: E402
    GridSearchCV,
    KFold,
    cross_val_score,
    cross_validate,
)
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import FunctionTransformer  # noqa: E402
from sklearn.utils.metadata_routing import get_routing_for_object  # noqa: E402


class FakeUplift(BaseEstimator):
    """Learns only the labels; predicts `sign` times feature j for treatment j."""

    __metadata_request__fit = {"treatment": True}

    def __init__(self, *, control="none", sign=1.0):
        self.control = control
        self.sign = sign

    def fit(self, X, y, *, treatment):
        self.treatments_ = np.array(sorted(set(np.asarray(treatment).tolist()) - {self.control}))
        return self

    def predict(self, X):
        return self.sign * np.asarray(X, dtype=float)[:, :len(self.treatments_)]


@pytest.fixture
def routing():
    with sklearn.config_context(enable_metadata_routing=True):
        yield


# Eight rows; feature 0 scores "email", feature 1 scores "sms".
HX = np.column_stack([[0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2],
                      [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8]])
HT = np.array(["email", "none", "email", "none", "sms", "sms", "none", "email"])
HY = np.array([1, 0, 0, 1, 1, 0, 0, 1])


@pytest.mark.parametrize("treated, greater_is_better, expected", [
    # email vs none by feature 0: the top 2 are an email positive and a none
    # negative: 1/1 - 0/1 = 1. sms vs none by feature 1: the top 2 are a none
    # negative (0.7) and an sms negative (0.6): 0 - 0 = 0. Mean: 0.5.
    (None, True, 0.5),
    ("email", True, 1.0),
    ("sms", True, 0.0),
    (None, False, -0.5),
])
def test_scorer_by_hand(treated, greater_is_better, expected):
    est = FakeUplift().fit(HX, HY, treatment=HT)
    scorer = metrics.make_uplift_scorer("uplift_at_k", treated=treated, k=2,
                                        greater_is_better=greater_is_better)
    assert scorer(est, HX, HY, treatment=HT) == pytest.approx(expected)


rng = np.random.default_rng(3)
N = 150
X = rng.random((N, 2))
T = rng.choice(["none", "email", "sms"], N)
Y = (rng.random(N) < 0.2 + 0.4 * X[:, 0] * (T == "email") + 0.4 * X[:, 1] * (T == "sms")).astype(int)


def by_fold(metric, columns, sign=1.0, **kwargs):
    """The metric on each test fold of KFold(3), averaged over the given treatment columns."""
    labels = ["email", "sms"]
    return [np.mean([metric(Y[test], sign * X[test, j], T[test], treated=labels[j],
                            control="none", **kwargs) for j in columns])
            for _, test in KFold(3).split(X)]


@pytest.mark.parametrize("name, treated, kwargs, metric", [
    ("uplift_at_k", "email", {"k": 0.3}, metrics.uplift_at_k),
    ("uplift_at_k", None, {"k": 5, "strategy": "by_group"}, metrics.uplift_at_k),
    ("qini", None, {}, metrics.qini_score),
    ("auuc", "sms", {}, metrics.auuc_score),
    ("weighted_average_uplift", None, {"bins": 5}, metrics.weighted_average_uplift),
])
@pytest.mark.parametrize("pipeline", [False, True])
def test_cross_val_score_routes_treatment(routing, name, treated, kwargs, metric, pipeline):
    est = make_pipeline(FunctionTransformer(), FakeUplift()) if pipeline else FakeUplift()
    scorer = metrics.make_uplift_scorer(name, treated=treated, **kwargs)
    scores = cross_val_score(est, X, Y, params={"treatment": T}, cv=3, scoring=scorer,
                             error_score="raise")
    columns = [0, 1] if treated is None else [["email", "sms"].index(treated)]
    assert np.allclose(scores, by_fold(metric, columns, **kwargs))


def test_grid_search_and_cross_validate(routing):
    search = GridSearchCV(FakeUplift(), {"sign": [-1.0, 1.0]}, cv=3,
                          scoring=metrics.make_uplift_scorer("qini"))
    search.fit(X, Y, treatment=T)
    for i, sign in enumerate([-1.0, 1.0]):
        expected = by_fold(metrics.qini_score, [0, 1], sign=sign)
        got = [search.cv_results_[f"split{f}_test_score"][i] for f in range(3)]
        assert np.allclose(got, expected)
    assert search.best_params_ == {"sign": 1.0}
    scoring = {"qini": metrics.make_uplift_scorer("qini"),
               "top": metrics.make_uplift_scorer("uplift_at_k", treated="sms", k=0.5)}
    result = cross_validate(FakeUplift(), X, Y, params={"treatment": T}, cv=3, scoring=scoring)
    assert np.allclose(result["test_qini"], by_fold(metrics.qini_score, [0, 1]))
    assert np.allclose(result["test_top"], by_fold(metrics.uplift_at_k, [1], k=0.5))


def test_treatment_is_requested_by_default_and_can_be_aliased(routing):
    scorer = metrics.make_uplift_scorer("qini")
    assert get_routing_for_object(scorer).score.requests == {"treatment": True}
    assert scorer.set_score_request(treatment="group") is scorer
    assert get_routing_for_object(scorer).score.requests == {"treatment": "group"}
    assert repr(metrics.make_uplift_scorer("uplift_at_k", treated="sms", k=0.3)) == \
        "make_uplift_scorer('uplift_at_k', treated='sms', k=0.3)"


def test_callable_metric_gets_the_keyword_arguments():
    def share_treated_on_top(y_true, uplift, treatment, *, treated, control, rows):
        top = np.argsort(-uplift)[:rows]
        return float(np.mean(np.asarray(treatment)[top] == treated))

    est = FakeUplift().fit(HX, HY, treatment=HT)
    scorer = metrics.make_uplift_scorer(share_treated_on_top, treated="email", rows=4)
    # Feature 0's top four rows: email, none, email, none.
    assert scorer(est, HX, HY, treatment=HT) == 0.5


@pytest.mark.parametrize("call, message", [
    (lambda: metrics.make_uplift_scorer("gain"), "metric 'gain' is not one of"),
    (lambda: metrics.make_uplift_scorer("qini", k=0.3), "cannot take the arguments"),
    (lambda: metrics.make_uplift_scorer("qini", control="none"), "control is not an argument"),
    (lambda: metrics.make_uplift_scorer("qini")(FakeUplift().fit(HX, HY, treatment=HT), HX, HY),
     "needs treatment"),
    (lambda: metrics.make_uplift_scorer("qini", treated="push")(
        FakeUplift().fit(HX, HY, treatment=HT), HX, HY, treatment=HT), "treated='push' is not"),
    (lambda: metrics.make_uplift_scorer("qini")(FakeUplift(), HX, HY, treatment=HT),
     "has no treatments_"),
])
def test_scorer_errors_say_what_is_wrong(call, message):
    with pytest.raises(ValueError, match=message):
        call()
