"""The estimator inside scikit-learn's own tools, with the treatment routed as metadata."""
import numpy as np
import pytest

from conftest import mixed_frame
from corvane_learn import UpliftForestClassifier
from corvane_learn.metrics import make_uplift_scorer, qini_score

sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone, is_classifier  # noqa: E402
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402

SMALL = dict(n_estimators=5, min_samples_leaf=50, control="control", random_state=0, n_jobs=2)


@pytest.fixture(scope="module")
def data():
    # Three groups with string labels: "sms" works where num > 0.5.
    return mixed_frame(3000, seed=3)


@pytest.fixture
def routing():
    with sklearn.config_context(enable_metadata_routing=True):
        yield


def test_score_is_the_mean_qini_over_treatments(data):
    X, t, y = data
    est = UpliftForestClassifier(**SMALL).fit(X, y, treatment=t)
    uplift = est.predict(X)
    by_hand = np.mean([qini_score(y, uplift[:, i], t, treated=label, control="control")
                       for i, label in enumerate(["email", "sms"])])
    assert est.score(X, y, treatment=t) == pytest.approx(by_hand, abs=1e-15)
    with pytest.raises(TypeError, match="needs the treatment"):
        est.score(X, y)


def test_grid_search_and_cross_val_score_route_the_treatment(data, routing):
    X, t, y = data
    est = UpliftForestClassifier(**SMALL)
    search = GridSearchCV(est, {"max_depth": [3, 5]}, cv=3).fit(X, y, treatment=t)
    assert search.best_params_["max_depth"] in (3, 5)
    assert list(search.best_estimator_.treatments_) == ["email", "sms"]
    folds = KFold(3)
    scores = cross_val_score(est, X, y, params={"treatment": t}, cv=folds)
    # Each fold's score is the estimator fitted on the other folds, scored by hand.
    for score, (train, test) in zip(scores, folds.split(X)):
        fold = clone(est).fit(X.iloc[train], y[train], treatment=t[train])
        assert score == pytest.approx(fold.score(X.iloc[test], y[test], treatment=t[test]))
    scorer = make_uplift_scorer("qini")
    assert np.allclose(cross_val_score(est, X, y, params={"treatment": t}, cv=folds,
                                       scoring=scorer), scores)
    piped = cross_val_score(make_pipeline(est), X, y, params={"treatment": t}, cv=folds)
    assert np.allclose(piped, scores)


def test_an_estimator_in_scikit_learns_terms():
    est = UpliftForestClassifier(max_depth=4)
    assert is_classifier(est)
    tags = est.__sklearn_tags__()
    assert tags.input_tags.allow_nan and tags.input_tags.categorical
    assert clone(est).get_params() == est.get_params()
    assert "max_depth=4" in est._repr_html_()
    assert est.get_metadata_routing().fit.requests["treatment"] is True
