import copy
import math
import os
import pickle

import numpy as np
import pytest

import corvane
from conftest import MIXED_LABELS, mixed_frame
from corvane_learn import MISSING_CATEGORY, UpliftForestClassifier, _estimator, _model_file

pd = pytest.importorskip("pandas")

SMALL = dict(n_estimators=4, max_depth=3, min_samples_leaf=40, n_jobs=2)


@pytest.fixture(scope="module")
def fitted():
    frame, treatment, y = mixed_frame(3000, seed=3)
    est = UpliftForestClassifier(control="control", **SMALL).fit(frame, treatment, y)
    return est, frame


def same(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def hand_rows(frame):
    """Rows as the extension reads them, built cell by cell without the layer."""
    rows = []
    for num, flag, plan, region in frame[["num", "flag", "plan", "region"]].itertuples(
            index=False):
        rows.append([float(num), float(flag),
                     MISSING_CATEGORY if not isinstance(plan, str) else plan,
                     MISSING_CATEGORY if not isinstance(region, str) else region])
    return rows


def test_predictions_survive_every_round_trip(fitted, tmp_path):
    est, frame = fitted
    expected = est.predict(frame)
    assert expected.shape == (len(frame), 2) and expected.dtype == np.float64
    assert list(est.treatments_) == ["email", "sms"]

    est.save(tmp_path / "m.json")
    copies = {
        "load": UpliftForestClassifier.load(tmp_path / "m.json"),
        "pickle": pickle.loads(pickle.dumps(est)),
        "deepcopy": copy.deepcopy(est),
    }
    joblib = pytest.importorskip("joblib")
    joblib.dump(est, tmp_path / "m.joblib")
    copies["joblib"] = joblib.load(tmp_path / "m.joblib")
    for how, other in copies.items():
        assert same(other.predict(frame), expected), how
        assert list(other.treatments_) == ["email", "sms"], how
        assert other.control == "control" and other.get_params() == est.get_params(), how
        assert list(other.feature_names_in_) == ["num", "flag", "plan", "region"], how

    # The extension reads the file as it is and predicts the same rows alike.
    plain = corvane._UpliftRandomForestModel(1, 1, 1, 1, "ED", 2, False, False, 0.5)
    plain.load(str(tmp_path / "m.json"))
    rows = hand_rows(frame)
    assert same(np.array(plain.predict(rows, 1)), expected)
    assert same(np.array(est.model_.predict(rows, 2)), expected)


@pytest.mark.parametrize("chunk_rows", [1, 7, 1000, 2999, 3000])
@pytest.mark.parametrize("kind", ["mixed frame", "numeric array"])
def test_predictions_do_not_depend_on_chunking(fitted, monkeypatch, chunk_rows, kind):
    est, frame = fitted
    if kind == "mixed frame":
        x, rows = frame, hand_rows(frame)
    else:
        x = np.column_stack([frame["num"].to_numpy(), frame["flag"].to_numpy(float),
                             np.arange(len(frame)) % 3, np.arange(len(frame)) % 2])
        rows = x.tolist()
        est = UpliftForestClassifier(**SMALL).fit(x, np.arange(len(x)) % 3,
                                                  (frame["num"] > 0.4).to_numpy())
    expected = np.array(est.model_.predict(rows, 1))
    monkeypatch.setattr(_estimator, "_PREDICT_CHUNK_ROWS", chunk_rows)
    for n_jobs in (1, -1):
        monkeypatch.setattr(est, "n_jobs", n_jobs)
        assert same(est.predict(x), expected), n_jobs
        assert same(est.predict(x[5:5 + chunk_rows + 1]), expected[5:5 + chunk_rows + 1]), n_jobs


def test_clone_gives_unfitted_copy_with_same_params(fitted):
    base = pytest.importorskip("sklearn.base")
    est, frame = fitted
    twin = base.clone(est)
    assert twin.get_params() == est.get_params()
    assert not hasattr(twin, "model_")
    with pytest.raises(ValueError, match="not fitted"):
        twin.predict(frame)


def test_labels_map_to_the_right_columns():
    # Only the label sorted last among the treatments works, so its column
    # must carry the effect whatever the control label's sort position.
    frame, treatment, y = mixed_frame(6000, seed=5)
    codes = {"control": 5, "email": 2, "sms": 9}
    ints = np.array([codes[t] for t in treatment])
    est = UpliftForestClassifier(control=5, **SMALL).fit(frame, ints, y)
    assert est.treatments_.tolist() == [2, 9]
    pred = est.predict(frame)
    high = frame["num"].to_numpy() > 0.5
    sms_gain = pred[high, 1].mean() - pred[~high, 1].mean()
    email_gain = pred[high, 0].mean() - pred[~high, 0].mean()
    assert sms_gain > 0.1 and abs(email_gain) < 0.05


def test_missing_category_and_column_order(fitted):
    est, frame = fitted
    expected = est.predict(frame)
    spelled = frame.assign(plan=frame["plan"].fillna(MISSING_CATEGORY),
                           region=frame["region"].astype(object).where(frame["region"].notna(),
                                                                       MISSING_CATEGORY))
    reordered = spelled[["region", "plan", "flag", "num"]].assign(unused="x")
    assert same(est.predict(reordered), expected)
    as_dict = {name: frame[name].tolist() for name in ["num", "flag", "plan", "region"]}
    assert same(est.predict(as_dict), expected)


def test_importances_normalised_and_planted_feature_leads():
    # Every split sees every feature, so the planted one wins the root of each tree.
    frame, treatment, y = mixed_frame(3000, seed=3)
    params = dict(SMALL, max_features=None)
    est = UpliftForestClassifier(control="control", **params).fit(frame, treatment, y)
    imp = est.feature_importances_
    assert imp.shape == (4,) and math.isclose(imp.sum(), 1.0) and (imp >= 0).all()
    assert est.feature_names_in_[np.argmax(imp)] == "num"


def test_numpy_inputs():
    rng = np.random.default_rng(2)
    n = 2000
    x = rng.random((n, 3))
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.2 + 0.4 * t * (x[:, 1] > 0.5)).astype(int)
    est = UpliftForestClassifier(**SMALL).fit(x, t, y)
    assert list(est.feature_names_in_) == ["x0", "x1", "x2"]
    assert est.feature_kinds_ == ["numeric"] * 3
    assert est.predict(x).shape == (n, 1)
    with pytest.raises(ValueError, match="has 2 columns but the model was fitted with 3"):
        est.predict(x[:, :2])
    # An object array is typed per column by content.
    mixed = np.empty((n, 2), dtype=object)
    mixed[:, 0] = x[:, 1]
    mixed[:, 1] = np.where(x[:, 2] > 0.5, "a", "b")
    est2 = UpliftForestClassifier(**SMALL).fit(mixed, t, y)
    assert est2.feature_kinds_ == ["numeric", "categorical"]
    assert same(est2.predict(mixed.tolist()), est2.predict(mixed))


@pytest.mark.parametrize("params, message", [
    (dict(max_bins=1), "max_bins"),
    (dict(alpha=float("nan")), "alpha"),
    (dict(alpha=1.5), "alpha"),
    (dict(criterion="ed"), "criterion"),
    (dict(n_estimators=0), "n_estimators"),
    (dict(min_samples_leaf=0), "min_samples_leaf"),
    (dict(max_depth=2.0), "max_depth"),
    (dict(max_features=0), "max_features"),
    (dict(max_features=1.5), "max_features"),
    (dict(balance=1), "balance"),
    (dict(n_jobs=0), "n_jobs"),
])
def test_bad_hyper_parameters_are_named(params, message):
    frame, treatment, y = mixed_frame(200, seed=1)
    est = UpliftForestClassifier(control="control", **params)
    with pytest.raises(ValueError, match=message):
        est.fit(frame, treatment, y)


@pytest.mark.parametrize("change, message", [
    (lambda f, t, y: (f, t[:-1], y), "treatment has 199 rows but X has 200"),
    (lambda f, t, y: (f, t, y[:-1]), "y has 199 rows but X has 200"),
    (lambda f, t, y: (f, t, y * 2), "y must hold only 0 and 1"),
    (lambda f, t, y: (f, np.where(t == "control", "c", t), y), "control label 'control'"),
    (lambda f, t, y: (f, np.full(len(t), "control"), y), "single group"),
    (lambda f, t, y: (f.iloc[:0], t[:0], y[:0]), "no rows"),
    (lambda f, t, y: ({"a": [1.0, 2.0], "b": [1.0]}, t, y), "column 'b' has 1 rows"),
])
def test_unusable_inputs_are_refused(change, message):
    frame, treatment, y = mixed_frame(200, seed=1)
    est = UpliftForestClassifier(control="control")
    with pytest.raises(ValueError, match=message):
        est.fit(*change(frame, treatment, y))


def test_bad_feature_names(fitted):
    est, frame = fitted
    with pytest.raises(ValueError, match="missing feature columns: 'plan'"):
        est.predict(frame.drop(columns="plan"))
    treatment, y = np.array(MIXED_LABELS * 2), np.array([0, 1] * 3)
    with pytest.raises(ValueError, match="duplicate feature names: 'a'"):
        UpliftForestClassifier(control="control").fit(
            pd.DataFrame([[1.0, 2.0]] * 6, columns=["a", "a"]), treatment, y)
    with pytest.raises(TypeError, match="feature names must be str"):
        UpliftForestClassifier(control="control").fit(
            pd.DataFrame([[1.0, 2.0]] * 6), treatment, y)


def test_plain_extension_file_loads_with_code_labels(tmp_path):
    from conftest import fit, make_data, new_model

    model = new_model(n_estimators=3)
    data = make_data(600, seed=4, treatments=3)
    fit(model, data)
    model.save(str(tmp_path / "plain.json"))
    est = UpliftForestClassifier.load(tmp_path / "plain.json")
    assert est.treatments_.tolist() == [1, 2] and est.feature_kinds_ is None
    x = {"age": data["age"], "color": data["color"]}
    rows = [list(r) for r in zip(data["age"], data["color"])]
    assert same(est.predict(x), np.array(model.predict(rows, 1)))


def test_failed_save_keeps_the_old_file(fitted, tmp_path, monkeypatch):
    est, _ = fitted
    target = tmp_path / "m.json"
    target.write_text("old")

    def broken(path, metadata):
        raise OSError("disk full")

    monkeypatch.setattr(_model_file, "_append_metadata", broken)
    with pytest.raises(OSError, match="disk full"):
        est.save(target)
    assert target.read_text() == "old"
    assert os.listdir(tmp_path) == ["m.json"]


def test_set_params_and_repr():
    est = UpliftForestClassifier()
    assert est.set_params(max_depth=7) is est and est.max_depth == 7
    assert repr(est) == "UpliftForestClassifier(max_depth=7)"
    with pytest.raises(ValueError, match="invalid parameter 'depth'"):
        est.set_params(depth=3)
