import json
import subprocess
import sys

import numpy as np
import pytest

from conftest import MIXED_LABELS, mixed_frame, placeholder_model
from corvane_learn import UpliftForestClassifier, UpliftForestRegressor, merge_forests
from learn_helpers import extension_rows

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
cdask = pytest.importorskip("corvane_learn.dask")

FEATURES = ["num", "flag", "plan", "region"]
SMALL = dict(max_depth=3, min_samples_leaf=40, n_jobs=2, control="control")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                       dashboard_address=None, silence_logs=50)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def frame(n=4000, seed=3, partitions=4):
    pdf, treatment, y = mixed_frame(n, seed)
    pdf = pdf.assign(t=treatment, y=y)
    return pdf, dd.from_pandas(pdf, npartitions=partitions)


def trees_of(path):
    document = json.loads(path.read_bytes())
    return document["n_estimators"], document["trees"]


def raw_predict(path, est, pdf):
    """Predictions of the extension itself on a saved model file."""
    model = placeholder_model()
    model.load(str(path))
    return np.asarray(model.predict(extension_rows(pdf, FEATURES), 1))


def test_importing_the_layer_does_not_import_dask():
    # Also: without a client (none made in that process) fit says what is missing.
    code = """
import sys, corvane_learn
assert "dask" not in sys.modules
import corvane_learn.dask, dask.dataframe as dd, pandas as pd
assert corvane_learn.dask is sys.modules["corvane_learn.dask"]
f = dd.from_pandas(pd.DataFrame({"a": [1.0, 2.0], "t": [0, 1], "y": [0, 1]}), npartitions=1)
try:
    corvane_learn.dask.fit(corvane_learn.UpliftForestClassifier(), f[["a"]], f["y"],
                           treatment=f["t"])
except ValueError as error:
    print(error)
"""
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True).stdout
    assert "needs a dask.distributed Client" in out


@pytest.fixture(scope="module")
def fitted(client):
    pdf, ddf = frame()
    est = UpliftForestClassifier(n_estimators=9, **SMALL)
    assert cdask.fit(est, ddf[FEATURES], ddf["y"], treatment=ddf["t"]) is est
    return est, pdf, ddf


def test_cluster_fit_predict_save_load(fitted, tmp_path):
    est, pdf, ddf = fitted
    assert list(est.treatments_) == MIXED_LABELS[1:]
    assert list(est.feature_names_in_) == FEATURES
    assert est.feature_kinds_ == ["numeric", "numeric", "categorical", "categorical"]
    local = est.predict(pdf)
    remote = cdask.predict(est, ddf[FEATURES])
    assert remote.shape[1] == 2
    assert np.array_equal(remote.compute(), local)

    path = tmp_path / "forest.json"
    est.save(path)
    n_estimators, trees = trees_of(path)
    assert n_estimators == 9 and len(trees) == 9
    assert np.array_equal(raw_predict(path, est, pdf), local)
    assert np.array_equal(UpliftForestClassifier.load(path).predict(pdf), local)
    assert est.feature_importances_.sum() == pytest.approx(1.0)


@pytest.mark.parametrize("cls, scale", [(UpliftForestClassifier, 1), (UpliftForestRegressor, 35.5)])
def test_dask_arrays_keep_known_chunks(client, tmp_path, cls, scale):
    rng = np.random.default_rng(5)
    x = rng.random((2400, 3))
    t = np.tile([0, 1], 1200)
    y = (rng.random(2400) < np.where((t == 1) & (x[:, 0] > 0.5), 0.6, 0.2)).astype(int) * scale
    X = da.from_array(x, chunks=(800, 2))  # columns split too: joined per task
    est = cdask.fit(cls(n_estimators=4, min_samples_leaf=40, max_depth=2, random_state=0), X,
                    da.from_array(y, chunks=800), treatment=da.from_array(t, chunks=800))
    remote = cdask.predict(est, X)
    assert remote.chunks == ((800, 800, 800), (1,))
    assert np.array_equal(remote.compute(), est.predict(x))
    # Each chunk's share is the forest of that chunk's rows alone (leaves
    # in the outcome's units), with the seed the share was given.
    seeds = cdask._partition_seeds(0, 3)
    est.save(tmp_path / "all.json")
    shares = []
    for i, seed in enumerate(seeds):
        rows = slice(800 * i, 800 * (i + 1))
        share = cls(n_estimators=2 if i == 0 else 1, min_samples_leaf=40, max_depth=2,
                    random_state=seed).fit(x[rows], y[rows], treatment=t[rows])
        share.save(tmp_path / f"{i}.json")
        shares += trees_of(tmp_path / f"{i}.json")[1]
    assert trees_of(tmp_path / "all.json")[1] == shares


def test_partitions_beyond_n_estimators_get_no_task(client, tmp_path):
    pdf, _ = frame()
    pdf.loc[pdf.index[-10:], "y"] = 2  # only the last partition holds it
    ddf = dd.from_pandas(pdf, npartitions=4)
    est = cdask.fit(UpliftForestClassifier(n_estimators=3, **SMALL), ddf[FEATURES], ddf["y"],
                    treatment=ddf["t"])
    est.save(tmp_path / "f.json")
    assert len(trees_of(tmp_path / "f.json")[1]) == 3


@pytest.mark.parametrize("n_estimators, partitions, expected", [
    (9, 4, [3, 2, 2, 2]), (8, 4, [2, 2, 2, 2]), (3, 5, [1, 1, 1])])
def test_trees_split_evenly_over_partitions(n_estimators, partitions, expected):
    assert cdask.shares(n_estimators, partitions) == expected


@pytest.mark.parametrize("cls, column, rows, value, message", [
    (UpliftForestClassifier, "y", slice(1500, 1510), 3, r"partition 1: y must hold only 0 and 1"),
    (UpliftForestClassifier, "t", slice(3000, None), "control",
     r"partition 3: no rows of treatment label\(s\) 'email', 'sms'"),
    (UpliftForestRegressor, "y", slice(1500, 1510), np.inf,
     r"partition 1: y holds inf in row 500; outcomes must be finite"),
])
def test_failed_task_raises_its_error(client, cls, column, rows, value, message):
    pdf, _ = frame()
    if cls is UpliftForestRegressor:
        pdf["y"] = pdf["y"] * 12.5
    pdf.loc[pdf.index[rows], column] = value
    ddf = dd.from_pandas(pdf, npartitions=4)
    with pytest.raises(ValueError, match=message):
        cdask.fit(cls(n_estimators=4, **SMALL), ddf[FEATURES], ddf["y"], treatment=ddf["t"])


@pytest.mark.parametrize("treatment, message", [
    (lambda ddf: ddf["t"].repartition(npartitions=3), "treatment has 3 partitions but X has 4"),
    (lambda ddf: ddf["t"].where(ddf["t"] != "control", "email"), "control label 'control'"),
])
def test_unusable_inputs_refused_before_training(client, treatment, message):
    _, ddf = frame()
    with pytest.raises(ValueError, match=message):
        cdask.fit(UpliftForestClassifier(n_estimators=4, **SMALL), ddf[FEATURES], ddf["y"],
                  treatment=treatment(ddf))


@pytest.fixture(scope="module")
def parts():
    pdf, treatment, y = mixed_frame(3000, seed=4)
    a = UpliftForestClassifier(n_estimators=3, **SMALL).fit(pdf, y, treatment=treatment)
    b = UpliftForestClassifier(n_estimators=5, **SMALL).fit(pdf, y, treatment=treatment)
    return a, b, pdf, treatment, y


def test_merged_forest_averages_all_trees(parts, tmp_path):
    a, b, pdf, _, _ = parts
    merged = merge_forests([a, b])
    assert merged.n_estimators == 8 and a.n_estimators == 3
    for est, name in ((a, "a"), (b, "b"), (merged, "m")):
        est.save(tmp_path / f"{name}.json")
    n_estimators, trees = trees_of(tmp_path / "m.json")
    assert n_estimators == 8
    assert trees == trees_of(tmp_path / "a.json")[1] + trees_of(tmp_path / "b.json")[1]
    predicted = merged.predict(pdf)
    assert np.array_equal(raw_predict(tmp_path / "m.json", merged, pdf), predicted)
    assert np.allclose(predicted, (3 * a.predict(pdf) + 5 * b.predict(pdf)) / 8, rtol=0,
                       atol=1e-12)
    assert np.array_equal(UpliftForestClassifier.load(tmp_path / "m.json").predict(pdf),
                          predicted)


def _refit(parts, **changes):
    _, _, pdf, treatment, y = parts
    columns = changes.pop("columns", FEATURES)
    relabel = changes.pop("relabel", {})
    treatment = np.array([relabel.get(v, v) for v in treatment])
    return UpliftForestClassifier(**dict(SMALL, n_estimators=2, **changes)).fit(
        pdf[columns], y, treatment=treatment)


@pytest.mark.parametrize("other, message", [
    (lambda p: _refit(p, max_depth=4), "estimator 1 and the first estimator differ in max_depth: "
                                       "4 vs 3"),
    (lambda p: _refit(p, criterion="ED"), "differ in criterion: 'ED' vs 'KL'"),
    (lambda p: _refit(p, columns=FEATURES[::-1]), "different features"),
    (lambda p: _refit(p, relabel={"sms": "post"}), "different treatment labels"),
    (lambda p: _refit(p, control="email"), "different control labels"),
    (lambda p: UpliftForestClassifier(), "estimator 1 is not fitted"),
])
def test_merge_refuses_what_does_not_fit_together(parts, other, message):
    with pytest.raises(ValueError, match=message):
        merge_forests([parts[0], other(parts)])


def test_merge_refuses_an_empty_list():
    with pytest.raises(ValueError, match="no estimators"):
        merge_forests([])


def test_empty_partitions_predict_no_rows(fitted):
    est, pdf, _ = fitted
    ddf = dd.from_pandas(pdf[FEATURES], npartitions=4)
    holey = ddf.map_partitions(lambda part, partition_info=None: part.iloc[:0] if
                               partition_info["number"] == 1 else part, meta=ddf._meta)
    got = cdask.predict(est, holey).compute()
    parts = np.array_split(np.arange(len(pdf)), 4)
    keep = np.concatenate([p for i, p in enumerate(parts) if i != 1])
    assert np.array_equal(got, est.predict(pdf.iloc[keep]))


def test_partitions_of_other_dtypes_are_refused(client, fitted):
    est, pdf, _ = fitted
    _, ddf = frame()
    # Partition 2 holds the numbers as text: its kinds differ before any training.
    odd = ddf.map_partitions(lambda part, partition_info=None: part.assign(
        num=part["num"].astype(str)) if partition_info["number"] == 2 else part, meta=ddf._meta)
    with pytest.raises(ValueError, match="partition 2 has other dtypes than partition 0"):
        cdask.fit(UpliftForestClassifier(n_estimators=4, **SMALL), odd[FEATURES], odd["y"],
                  treatment=odd["t"])
    with pytest.raises(ValueError, match="partition 2 has other dtypes than the Dask DataFrame"):
        cdask.predict(est, odd[FEATURES]).compute()


def test_seeded_cluster_fits_repeat(client):
    _, ddf = frame()
    fits = [cdask.fit(UpliftForestClassifier(n_estimators=4, random_state=3, **SMALL),
                      ddf[FEATURES], ddf["y"], treatment=ddf["t"])._to_bytes() for _ in range(2)]
    assert fits[0] == fits[1]


def test_one_partition_read_from_a_file_predicts(client, fitted, tmp_path):
    # Dask cannot fuse such a graph with a delayed argument; the model goes in as is.
    est, pdf, _ = fitted
    pdf[FEATURES].to_csv(tmp_path / "rows.csv", index=False)
    one = dd.read_csv(tmp_path / "rows.csv", dtype={"plan": "object"})
    one["region"] = one["region"].astype("category")
    assert one.npartitions == 1
    local = pd.read_csv(tmp_path / "rows.csv", dtype={"plan": "object"}).astype(
        {"region": "category"})
    assert np.array_equal(cdask.predict(est, one).compute(), est.predict(local))
