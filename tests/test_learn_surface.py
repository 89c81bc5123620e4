"""The estimator's newest surface keeps its word: costs are read by label,
every call reads one fit, fit, score and the metrics take the same outcomes,
numbers of every kind are numbers, whatever fits also saves, pipelines work
in permutation importance, and warnings, merge errors and printed trees say
what is true. The README's snippets run on their own."""
import copy
import datetime
import decimal
import os
import pathlib
import pickle
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest
import sklearn
from sklearn.base import clone
from sklearn.model_selection import cross_validate
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import FunctionTransformer

from conftest import mixed_frame
from corvane_learn import UpliftForestClassifier, UpliftForestRegressor, merge_forests
from corvane_learn.inspection import export_text, permutation_importance
from corvane_learn.metrics import make_uplift_scorer, qini_score

pd = pytest.importorskip("pandas")

SMALL = dict(n_estimators=4, max_depth=3, min_samples_leaf=40, n_jobs=2, random_state=0)


@pytest.fixture(scope="module")
def fitted():
    X, t, y = mixed_frame(3000, seed=5)
    return UpliftForestClassifier(control="control", **SMALL).fit(X, y, treatment=t), X, y, t


@pytest.mark.parametrize("costs", [{"sms": 0.3, "email": 0.0}, pd.Series({"sms": 0.3, "email": 0.0}),
                                   [0.0, 0.3]], ids=["mapping", "Series", "sequence"])
def test_costs_are_read_by_label(fitted, costs):
    est, X, _, _ = fitted
    net = est.predict(X) - np.array([0.0, 0.3])  # treatments_ is email, sms
    by_hand = np.where(net.max(axis=1) > 0, np.array(["email", "sms"])[net.argmax(axis=1)],
                       "control")
    assert {"email", "sms", "control"} == set(by_hand)
    assert est.recommend(X, costs=costs).tolist() == by_hand.tolist()


@pytest.mark.parametrize("costs, message", [
    ({"email": 1.0, "post": 2.0}, r"labels that are no treatment: 'post' \(treatments_: 'email', "
                                  r"'sms'\)"),
    (pd.Series([1.0, 2.0]), "labels that are no treatment: 0, 1"),
    ([1.0, 2.0, 3.0], r"one cost per treatment.*got shape \(3,\)"),
    ({"sms": "1"}, "the cost of treatment 'sms' must be a finite number"),
])
def test_costs_that_cannot_be_read_are_refused(fitted, costs, message):
    with pytest.raises(ValueError, match=message):
        fitted[0].recommend(fitted[1], costs=costs)


@pytest.mark.parametrize("call", ["predict", "recommend", "score", "permutation_importance",
                                  "scorer"])
def test_a_refit_between_two_steps_never_mixes_two_fits(fitted, monkeypatch, call):
    est, X, y, t = fitted
    est = copy.deepcopy(est)  # shares the fitted state, not the attributes
    relabelled = np.array(["c", "p", "q", "r"])[np.arange(len(t)) % 4]
    other = UpliftForestClassifier(control="c", **SMALL).fit(X, y, treatment=relabelled)
    run = {"predict": lambda: est.predict(X),
           "recommend": lambda: est.recommend(X, costs={"email": 0.01}),
           "score": lambda: est.score(X, y, treatment=t),
           "permutation_importance": lambda: permutation_importance(
               est, X, y, treatment=t, n_repeats=1, random_state=0).importances,
           "scorer": lambda: make_uplift_scorer("qini")(est, X, y, treatment=t)}[call]
    expected = run()
    read = UpliftForestClassifier._state

    def refit_meanwhile(self):
        # Another thread's refit lands right after the call read the fitted state.
        state = read(self)
        est.__dict__.update({k: v for k, v in vars(other).items() if k.endswith("_") or
                             k == "_fitted"})
        return state

    monkeypatch.setattr(UpliftForestClassifier, "_state", refit_meanwhile)
    assert np.array_equal(run(), expected)


@pytest.mark.parametrize("given", [
    lambda y: pd.DataFrame({"y": y, "s": "x"}).to_numpy()[:, 0],  # object dtype
    lambda y: y.astype(bool).tolist(),
    lambda y: np.array([decimal.Decimal(int(v)) for v in y], dtype=object),
    lambda y: pd.Series(y, dtype="Int8"),
], ids=["object", "bools", "Decimal", "Int8"])
def test_fit_score_and_metrics_take_the_same_outcomes(fitted, given):
    est, X, y, t = fitted
    other = given(y)
    refit = clone(est).fit(X, other, treatment=t)
    assert np.array_equal(refit.predict(X), est.predict(X))
    assert refit.score(X, other, treatment=t) == est.score(X, y, treatment=t)
    score = X["num"].fillna(0).to_numpy()
    assert qini_score(other, score, t, treated="sms", control="control") == \
        qini_score(y, score, t, treated="sms", control="control")


@pytest.mark.parametrize("bad, message", [
    (lambda y: y.astype(str), r"\(outcomes\); found text \('[01]'\)"),
    (lambda y: np.array([np.complex128(v + 1j) for v in y], dtype=object),
     "found complex numbers"),
    (lambda y: np.where(np.arange(len(y)) == 5, None, y), "holds missing values"),
], ids=["text", "complex", "missing"])
def test_fit_score_and_metrics_refuse_the_same_outcomes(fitted, bad, message):
    est, X, y, t = fitted
    y = bad(y)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # and no ComplexWarning on the way
        for call in (lambda: clone(est).fit(X, y, treatment=t),
                     lambda: est.score(X, y, treatment=t),
                     lambda: qini_score(y, np.zeros(len(y)), t, treated="sms", control="control")):
            with pytest.raises(ValueError, match=message):
                call()


def test_decimal_columns_are_numbers_and_complex_ones_are_refused(fitted):
    est, X, y, t = fitted
    prices = [decimal.Decimal(f"{v:.2f}") for v in X["num"] * 20]
    as_decimal = clone(est).fit(X.assign(num=prices), y, treatment=t)
    as_float = clone(est).fit(X.assign(num=[float(p) for p in prices]), y, treatment=t)
    assert as_decimal.feature_kinds_[0] == "numeric"
    assert np.array_equal(as_decimal.predict(X.assign(num=prices)),
                          as_float.predict(X.assign(num=[float(p) for p in prices])))
    for column in (X["num"] + 1j, (X["num"] + 1j).astype(object)):
        with pytest.raises(ValueError, match="column 'num' holds complex numbers"):
            clone(est).fit(X.assign(num=column), y, treatment=t)


@pytest.mark.parametrize("control, treated, message", [
    (datetime.date(2020, 1, 1), datetime.date(2020, 1, 2),
     r"label datetime.date\(2020, 1, 1\) \(date\) cannot be kept in a model file"),
    (np.datetime64("2020-01-01"), np.datetime64("2020-01-02"), r"\(datetime64\) cannot be kept"),
    (b"c", b"x", r"label b'c' \(bytes\) cannot be kept"),
    ("c", "\ud800", r"label '\\ud800' is not valid text"),
    (0.0, float("inf"), "label inf cannot be kept"),
], ids=["date", "datetime64", "bytes", "surrogate", "inf"])
def test_labels_a_model_file_cannot_keep_are_refused_at_fit(fitted, control, treated, message):
    _, X, y, t = fitted
    labels = np.where(t == "control", control, treated)
    with pytest.raises(ValueError, match=message):
        UpliftForestClassifier(control=control, **SMALL).fit(X, y, treatment=labels)


def test_labels_come_back_themselves_through_pickle_save_and_cross_validate(fitted, tmp_path):
    _, X, y, t = fitted
    top = 2**64 - 1
    labels = np.where(t == "control", 0, top).astype(np.uint64)
    est = UpliftForestClassifier(control=0, **SMALL).fit(X, y, treatment=labels)
    est.save(tmp_path / "m.json")
    for copy_ in (est, pickle.loads(pickle.dumps(est)), UpliftForestClassifier.load(tmp_path /
                                                                                    "m.json")):
        everyone = copy_.recommend(X, costs=[-1.0])
        assert everyone.dtype == np.uint64 and set(everyone.tolist()) == {top}
        assert copy_.recommend(X, costs=[1.0]).tolist() == [0] * len(X)
    with sklearn.config_context(enable_metadata_routing=True):
        result = cross_validate(est, X, y, params={"treatment": labels}, cv=2, n_jobs=2,
                                return_estimator=True)
    assert [e.treatments_.tolist() for e in result["estimator"]] == [[top], [top]]


def test_permutation_importance_through_a_pipeline(fitted):
    est, X, y, t = fitted
    pipeline = Pipeline([("same", FunctionTransformer()), ("forest", est)])
    through = permutation_importance(pipeline, X, y, treatment=t, n_repeats=2, random_state=0)
    direct = permutation_importance(est, X, y, treatment=t, n_repeats=2, random_state=0)
    assert np.array_equal(through.importances, direct.importances)
    # The first shuffle by hand, through the public score.
    order = np.random.default_rng(0).permutation(len(X))
    shuffled = X.assign(num=X["num"].to_numpy()[order])
    assert direct.importances[0, 0] == pytest.approx(
        est.score(X, y, treatment=t) - est.score(shuffled, y, treatment=t), abs=1e-12)
    assert direct.importances_mean[0] > 0.05
    with pytest.raises(TypeError, match="Pipeline ending in one"):
        permutation_importance(FunctionTransformer(), X, y, treatment=t)


@pytest.mark.parametrize("cls, outcome, labels, message", [
    (UpliftForestClassifier, lambda y, t: np.ones_like(y), lambda t: t,
     "every outcome is 1, so no split can change any group's rate"),
    (UpliftForestClassifier, lambda y, t: y,
     lambda t: np.array([np.str_("rare")] + [np.str_(v) for v in t[1:]], dtype=object),
     "the smallest group, 'rare', has 1 row"),
    (UpliftForestRegressor, lambda y, t: np.full(len(y), 2.5),
     lambda t: t, "every outcome is 2.5, so no split can change any group's mean outcome"),
    (UpliftForestRegressor, lambda y, t: np.where(t == "control", 1.5, 7.25), lambda t: t,
     "each group has one outcome in all its rows ('control': 1.5, 'email': 7.25, 'sms': "
     "7.25), so no split can change any group's mean outcome"),
], ids=["all ones", "one-row group", "all 2.5 dollars", "a spend per group"])
def test_constant_forest_warnings_say_what_is_true(fitted, cls, outcome, labels, message):
    _, X, y, t = fitted
    with pytest.warns(Warning) as caught:
        cls(control="control", **dict(SMALL, min_samples_leaf=5)).fit(
            X, outcome(y, t), treatment=labels(t))
    text = " ".join(str(w.message) for w in caught)
    assert message in text and "np.str_" not in text


@pytest.mark.parametrize("second, message", [
    (lambda p: p.where(p != "pro", "gold"), "other categories in column 'plan': estimator 1 has "
     "'gold', which the first estimator lacks, and lacks 'pro'"),
    (lambda p: p.isna().astype(float), "read column 'plan' differently: as numeric vs as "
     "categorical"),
], ids=["categories", "kind"])
def test_merge_names_the_column_and_the_difference(fitted, second, message):
    est, X, y, t = fitted
    other = clone(est).fit(X.assign(plan=second(X["plan"])), y, treatment=t)
    with pytest.raises(ValueError, match=re.escape(message)):
        merge_forests([est, other])


def test_importance_type_is_checked_when_read(fitted):
    est = copy.deepcopy(fitted[0]).set_params(importance_type="gian")
    with pytest.raises(ValueError, match="'importance_type' parameter .* Got 'gian'"):
        est.feature_importances_  # noqa: B018


def test_export_text_prints_thresholds_that_send_rows_as_the_tree_does():
    rng = np.random.default_rng(2)
    x = 2_500_000 + rng.integers(0, 20_000, 4000)  # integers, exact as 32-bit floats
    t = np.arange(4000) % 2
    y = (rng.random(4000) < 0.2 + 0.4 * t * (x > 2_510_007)).astype(int)
    est = UpliftForestClassifier(n_estimators=1, max_depth=1, max_features=None,
                                 random_state=0).fit({"price": x}, y, treatment=t)
    first, left = export_text(est).splitlines()[:2]
    threshold = re.fullmatch(r"if price <= (\S+):  \(4000 rows\)", first)[1]
    assert f"{float(threshold):.6g}" != threshold  # six digits would not do
    assert left.endswith(f"; {np.sum(x <= float(threshold))} rows")


def test_readme_snippets_run_on_their_own(tmp_path):
    for module in ("matplotlib", "distributed"):
        pytest.importorskip(module)
    root = pathlib.Path(__file__).resolve().parents[1]
    (tmp_path / "examples").symlink_to(root / "examples")
    run_blocks = (
        "import re, sys\n"
        "text = open(sys.argv[1], encoding='utf-8').read()\n"
        "blocks = re.findall(r'^( *)```python\\n(.*?)^\\1```', text, re.S | re.M)\n"
        "assert len(blocks) >= 5, len(blocks)\n"
        "for indent, code in blocks:\n"
        "    code = '\\n'.join(line[len(indent):] for line in code.splitlines())\n"
        "    exec(compile(code, 'README', 'exec'), {'__name__': 'readme'})\n")
    done = subprocess.run([sys.executable, "-c", run_blocks, str(root / "README.md")],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.returncode == 0, done.stderr[-3000:]
    assert sorted(os.listdir(tmp_path)) == ["build", "examples"]
