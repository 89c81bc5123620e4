import copy
import json
import math
import pickle
import signal
import threading
import time

import numpy as np
import pytest

from conftest import MIXED_LABELS, mixed_frame, placeholder_model
from corvane_learn import (
    MISSING_CATEGORY,
    UpliftForestClassifier,
    UpliftForestRegressor,
    merge_forests,
)
from learn_helpers import extension_rows, spend_of, walk_saved_forest

pd = pytest.importorskip("pandas")

SMALL = dict(n_estimators=4, max_depth=3, min_samples_leaf=40, n_jobs=2)
FEATURES = ["num", "flag", "plan", "region"]


@pytest.fixture(scope="module")
def fitted():
    frame, treatment, y = mixed_frame(3000, seed=3)
    est = UpliftForestClassifier(control="control", random_state=0, **SMALL).fit(
        frame, y, treatment=treatment)
    return est, frame


@pytest.fixture(scope="module", params=["classifier", "regressor"])
def either(request, fitted):
    """The classifier of `fitted`, or a regressor fitted alike on a spend in dollars."""
    if request.param == "classifier":
        return (*fitted, mixed_frame(3000, seed=3)[2])
    frame, treatment, y = mixed_frame(3000, seed=3)
    spend = spend_of(y)
    return UpliftForestRegressor(control="control", random_state=0, **SMALL).fit(
        frame, spend, treatment=treatment), frame, spend


def same(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def test_predictions_survive_every_round_trip(either, tmp_path):
    est, frame, _ = either
    cls = type(est)
    expected = est.predict(frame)
    assert expected.shape == (len(frame), 2) and expected.dtype == np.float64
    assert list(est.treatments_) == ["email", "sms"]

    est.save(tmp_path / "m.json")
    copies = {
        "load": cls.load(tmp_path / "m.json"),
        "pickle": pickle.loads(pickle.dumps(est)),
        "deepcopy": copy.deepcopy(est),
        "merge of one": merge_forests([est]),
    }
    joblib = pytest.importorskip("joblib")
    joblib.dump(est, tmp_path / "m.joblib")
    copies["joblib"] = joblib.load(tmp_path / "m.joblib")
    for how, other in copies.items():
        assert same(other.predict(frame), expected), how
        assert list(other.treatments_) == ["email", "sms"], how
        assert other.control == "control" and other.get_params() == est.get_params(), how
        assert list(other.feature_names_in_) == FEATURES, how
        assert other.feature_kinds_ == ["numeric", "numeric", "categorical", "categorical"], how
        assert same(other.feature_importances_, est.feature_importances_), how
    # The pickled text is the saved file, byte for byte.
    assert pickle.loads(pickle.dumps(est))._to_bytes() == (tmp_path / "m.json").read_bytes()

    # The extension reads the file as it is and predicts the same rows alike.
    plain = placeholder_model()
    plain.load(str(tmp_path / "m.json"))
    assert same(np.array(plain.predict(extension_rows(frame, FEATURES), 1)), expected)


def test_predictions_are_the_saved_trees_walked_by_hand(either, tmp_path):
    # NaN goes right of every threshold, a missing category is "<missing>",
    # and the forest is the mean of its trees' leaves.
    est, frame, _ = either
    est.save(tmp_path / "m.json")
    by_hand = walk_saved_forest(tmp_path / "m.json", extension_rows(frame, FEATURES))
    assert same(est.predict(frame), by_hand)


@pytest.mark.parametrize("n_jobs", [1, 2, -1])
def test_seeded_fits_are_identical_whatever_the_threads(either, tmp_path, n_jobs):
    est, frame, y = either
    cls = type(est)
    treatment = mixed_frame(3000, seed=3)[1]
    twin = cls(control="control", random_state=0, **dict(SMALL, n_jobs=n_jobs))
    twin.fit(frame, y, treatment=treatment).set_params(n_jobs=SMALL["n_jobs"])
    assert twin._to_bytes() == est._to_bytes()
    other = cls(control="control", random_state=1, **SMALL)
    assert other.fit(frame, y, treatment=treatment)._to_bytes() != est._to_bytes()
    generator = np.random.default_rng(5)
    first = cls(control="control", random_state=generator, **SMALL)
    a = first.fit(frame, y, treatment=treatment)._to_bytes()
    assert first.fit(frame, y, treatment=treatment)._to_bytes() != a  # the next draw


def test_old_call_order_and_missing_treatment_are_refused(fitted):
    est, frame = fitted
    _, treatment, y = mixed_frame(3000, seed=3)
    with pytest.raises(TypeError, match=r"fit\(X, y, treatment=labels\).*fit\(X, treatment, y\)"):
        UpliftForestClassifier(control="control").fit(frame, treatment, y)
    with pytest.raises(TypeError, match="needs the treatment"):
        UpliftForestClassifier(control="control").fit(frame, y)


def test_ctrl_c_ends_fit_promptly_and_keeps_the_estimator(fitted):
    est, frame = fitted
    _, treatment, y = mixed_frame(3000, seed=3)
    before = est._to_bytes()
    big = dict(SMALL, n_estimators=1_000_000)
    # Python's own handler, even where the suite was started with SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident,
                                                       signal.SIGINT))
    timer.start()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            est.set_params(**big).fit(frame, y, treatment=treatment)
    finally:
        elapsed = time.monotonic() - start
        timer.join()
        signal.signal(signal.SIGINT, previous)
    est.set_params(**SMALL)
    assert est._to_bytes() == before
    assert elapsed < 30  # a million trees would take hours


def test_clone_gives_unfitted_copy_with_same_params(fitted):
    base = pytest.importorskip("sklearn.base")
    est, frame = fitted
    twin = base.clone(est)
    assert twin.get_params() == est.get_params()
    assert not hasattr(twin, "forest_")
    with pytest.raises(ValueError, match="not fitted"):
        twin.predict(frame)


def test_labels_map_to_the_right_columns():
    # Only the label sorted last among the treatments works, so its column
    # must carry the effect whatever the control label's sort position.
    frame, treatment, y = mixed_frame(6000, seed=5)
    codes = {"control": 5, "email": 2, "sms": 9}
    ints = np.array([codes[t] for t in treatment])
    est = UpliftForestClassifier(control=5, **SMALL).fit(frame, y, treatment=ints)
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
    as_dict = {name: frame[name].tolist() for name in FEATURES}
    assert same(est.predict(as_dict), expected)


def test_numpy_inputs():
    rng = np.random.default_rng(2)
    n = 2000
    x = rng.random((n, 3))
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.2 + 0.4 * t * (x[:, 1] > 0.5)).astype(int)
    est = UpliftForestClassifier(random_state=1, **SMALL).fit(x, y, treatment=t)
    assert list(est.feature_names_in_) == ["x0", "x1", "x2"]
    assert est.feature_kinds_ == ["numeric"] * 3
    assert est.predict(x).shape == (n, 1)
    # float32 and strided views read the same cells as float64 does.
    as_f32 = UpliftForestClassifier(random_state=1, **SMALL).fit(
        x.astype(np.float32), y, treatment=t)
    assert as_f32._to_bytes() == est._to_bytes()
    wide = np.repeat(x, 2, axis=1)[:, ::2]
    assert same(est.predict(wide), est.predict(x)) and same(est.predict(x[:0]), np.empty((0, 1)))
    with pytest.raises(ValueError, match="has 2 columns but the model was fitted with 3"):
        est.predict(x[:, :2])
    # An object array is typed per column by content.
    mixed = np.empty((n, 2), dtype=object)
    mixed[:, 0] = x[:, 1]
    mixed[:, 1] = np.where(x[:, 2] > 0.5, "a", "b")
    est2 = UpliftForestClassifier(**SMALL).fit(mixed, y, treatment=t)
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
    (dict(max_depth=64), "max_depth"),
    (dict(max_features=0), "max_features"),
    (dict(max_features=1.5), "max_features"),
    (dict(balance=1), "balance"),
    (dict(n_jobs=0), "n_jobs"),
    (dict(random_state="x"), "random_state"),
    (dict(estimation_sample_size=1.0), "estimation_sample_size"),
])
def test_bad_hyper_parameters_are_named(params, message):
    frame, treatment, y = mixed_frame(200, seed=1)
    est = UpliftForestClassifier(control="control", **params)
    with pytest.raises(ValueError, match=message):
        est.fit(frame, y, treatment=treatment)


@pytest.mark.parametrize("change, message", [
    (lambda f, t, y: (f, y, t[:-1]), "treatment has 199 rows but X has 200"),
    (lambda f, t, y: (f, y[:-1], t), "y has 199 rows but X has 200"),
    (lambda f, t, y: (f, y * 2, t), "y must hold only 0 and 1"),
    (lambda f, t, y: (f, y, np.where(t == "control", "c", t)), "control label 'control'"),
    (lambda f, t, y: (f, y, np.full(len(t), "control")), "single group"),
    (lambda f, t, y: (f.iloc[:0], y[:0], t[:0]), "no rows"),
    (lambda f, t, y: ({"a": [1.0, 2.0], "b": [1.0]}, y, t), "column 'b' has 1 rows"),
])
def test_unusable_inputs_are_refused(change, message):
    frame, treatment, y = mixed_frame(200, seed=1)
    est = UpliftForestClassifier(control="control")
    X, y, t = change(frame, treatment, y)
    with pytest.raises(ValueError, match=message):
        est.fit(X, y, treatment=t)


def test_bad_feature_names(fitted):
    est, frame = fitted
    with pytest.raises(ValueError, match="missing feature columns: 'plan'"):
        est.predict(frame.drop(columns="plan"))
    treatment, y = np.array(MIXED_LABELS * 2), np.array([0, 1] * 3)
    with pytest.raises(ValueError, match="duplicate feature names: 'a'"):
        UpliftForestClassifier(control="control").fit(
            pd.DataFrame([[1.0, 2.0]] * 6, columns=["a", "a"]), y, treatment=treatment)
    with pytest.raises(TypeError, match="feature names must be str"):
        UpliftForestClassifier(control="control").fit(
            pd.DataFrame([[1.0, 2.0]] * 6), y, treatment=treatment)


def test_plain_extension_file_loads_with_code_labels(tmp_path):
    from conftest import fit, make_data, new_model

    model = new_model(n_estimators=3)
    data = make_data(600, seed=4, treatments=3)
    fit(model, data)
    model.save(str(tmp_path / "plain.json"))
    est = UpliftForestClassifier.load(tmp_path / "plain.json")
    assert est.treatments_.tolist() == [1, 2]
    x = {"age": data["age"], "color": data["color"]}
    rows = [list(r) for r in zip(data["age"], data["color"])]
    assert same(est.predict(x), np.array(model.predict(rows, 1)))
    # What the splits test says how a feature reads.
    kinds = [None, None]
    for tree in json.loads((tmp_path / "plain.json").read_text())["trees"]:
        for node in tree["nodes"]:
            if not node["prob"] and node["col_idx"] >= 0:
                kinds[node["col_idx"]] = ("numeric" if "Numeric" in node["split_value"]
                                          else "categorical")
    assert est.feature_kinds_ == kinds and kinds[0] == "numeric"


def test_set_params_and_repr():
    est = UpliftForestClassifier()
    assert est.set_params(max_depth=7) is est and est.max_depth == 7
    assert repr(est) == "UpliftForestClassifier(max_depth=7)"
    with pytest.raises(ValueError, match="Invalid parameter 'depth'"):
        est.set_params(depth=3)


def test_importances_normalised_and_planted_feature_leads():
    frame, treatment, y = mixed_frame(3000, seed=3)
    est = UpliftForestClassifier(control="control", max_features=None, **SMALL).fit(
        frame, y, treatment=treatment)
    for kind in ("gain", "split"):
        imp = est.set_params(importance_type=kind).feature_importances_
        assert imp.shape == (4,) and math.isclose(imp.sum(), 1.0) and (imp >= 0).all()
        assert est.feature_names_in_[np.argmax(imp)] == "num"


def test_files_of_the_earlier_estimator_still_load(tmp_path):
    # The earlier estimator appended its fields (format 1) to the
    # extension's own file; kinds came from the fields, labels too.
    from conftest import fit, make_data, new_model

    model = new_model(n_estimators=3)
    data = make_data(600, seed=4)
    fit(model, data)
    model.save(str(tmp_path / "plain.json"))
    fields = {"format": 1, "version": "0.1.0", "params": {"max_depth": 3, "control": "c"},
              "control": "c", "treatments": ["t"], "treatment_dtype": "<U1",
              "feature_kinds": ["numeric", "categorical"], "missing_category": "<missing>",
              "max_features": 2}
    text = (tmp_path / "plain.json").read_text()
    (tmp_path / "old.json").write_text(text[:-1] + ',"corvane_learn":' + json.dumps(fields) + "}")
    est = UpliftForestClassifier.load(tmp_path / "old.json")
    assert est.treatments_.tolist() == ["t"] and est.control == "c" and est.max_depth == 3
    assert est.feature_kinds_ == ["numeric", "categorical"]
    rows = [list(r) for r in zip(data["age"], data["color"])]
    assert same(est.predict({"age": data["age"], "color": data["color"]}),
                np.array(model.predict(rows, 1)))
