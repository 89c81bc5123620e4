"""The estimator keeps the extension's promises: files are replaced safely
and read once, a refit never mixes two forests, every failure is an ordinary
exception in plain words, missing values and categories are read by value,
and damaged model files are refused at load."""
import json
import os
import stat
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

from conftest import fit, make_data, mixed_frame, needs_plain_address_space, new_model
from corvane_learn import UpliftForestClassifier

pd = pytest.importorskip("pandas")

SMALL = dict(n_estimators=4, max_depth=3, min_samples_leaf=40, n_jobs=2, control="control")


@pytest.fixture(scope="module")
def fitted():
    frame, treatment, y = mixed_frame(3000, seed=3)
    est = UpliftForestClassifier(random_state=0, **SMALL).fit(frame, y, treatment=treatment)
    return est, frame


def planted(n=6000, seed=1):
    rng = np.random.default_rng(seed)
    a, b = rng.random(n), rng.random(n)
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.2 + 0.5 * t * (a > 0.5)).astype(int)
    return a, b, t, y


# 1. Saving keeps the target's kind.
@pytest.mark.parametrize("kind", ["symlink", "mode 0600", "fifo", "/dev/null"])
def test_save_keeps_the_targets_kind(fitted, tmp_path, kind):
    est, frame = fitted
    expected = est.predict(frame)
    if kind == "/dev/null":
        if os.geteuid() != 0:
            pytest.skip("only root could replace /dev/null")
        est.save("/dev/null")
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
        return
    target = tmp_path / "target.json"
    if kind == "fifo":
        os.mkfifo(target)
        got = {}
        reader = threading.Thread(target=lambda: got.update(text=target.read_bytes()))
        reader.start()
        est.save(target)
        reader.join(timeout=60)
        assert stat.S_ISFIFO(os.lstat(target).st_mode)
        assert got["text"] == est._to_bytes()
        return
    target.write_text("old")
    path = target
    if kind == "symlink":
        path = tmp_path / "link.json"
        path.symlink_to(target)
    else:
        target.chmod(0o600)
    est.save(path)
    assert os.path.islink(path) == (kind == "symlink")
    assert stat.S_IMODE(os.stat(target).st_mode) == (0o600 if kind == "mode 0600" else
                                                     stat.S_IMODE(os.stat(target).st_mode))
    assert np.array_equal(UpliftForestClassifier.load(target).predict(frame), expected,
                          equal_nan=True)
    assert sorted(os.listdir(tmp_path)) == sorted({"target.json", path.name})


# 2. Loading from a pipe reads it once and never hangs.
@pytest.mark.parametrize("how", ["fifo", "stdin"])
def test_load_from_a_pipe(fitted, tmp_path, how):
    est, frame = fitted
    saved = tmp_path / "m.json"
    est.save(saved)
    code = ("import sys, numpy as np; from corvane_learn import UpliftForestClassifier as U; "
            "e = U.load(sys.argv[1]); print(e.treatments_.tolist(), e.n_estimators)")
    if how == "fifo":
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        child = subprocess.Popen([sys.executable, "-c", code, str(fifo)], stdout=subprocess.PIPE,
                                 text=True)
        with open(fifo, "wb") as f:
            f.write(saved.read_bytes())
    else:
        child = subprocess.Popen([sys.executable, "-c", code, "/dev/stdin"],
                                 stdin=open(saved, "rb"), stdout=subprocess.PIPE, text=True)
    try:
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0 and out.strip() == "['email', 'sms'] 4"


# 3. A refit never mixes two forests.
def test_refit_while_predicting_uses_one_fit_or_the_other(fitted):
    _, frame = fitted
    _, treatment, y = mixed_frame(3000, seed=3)
    orders = [list(frame.columns), list(frame.columns)[::-1]]
    est = UpliftForestClassifier(random_state=0, **SMALL)
    # Seeded fits are reproducible: what each fit predicts is known in advance.
    expected = [UpliftForestClassifier(random_state=0, **SMALL).fit(
        frame[cols], y, treatment=treatment).predict(frame) for cols in orders]
    assert not np.array_equal(expected[0], expected[1], equal_nan=True)
    est.fit(frame[orders[0]], y, treatment=treatment)
    stop = threading.Event()

    def refit():
        i = 0
        while not stop.is_set():
            i += 1
            est.fit(frame[orders[i % 2]], y, treatment=treatment)

    worker = threading.Thread(target=refit)
    worker.start()
    try:
        for _ in range(60):
            got = est.predict(frame)
            assert any(np.array_equal(got, e, equal_nan=True) for e in expected)
    finally:
        stop.set()
        worker.join()


# 4. No PanicException: ordinary exceptions, in plain words, nothing on stderr.
def test_failures_are_ordinary_exceptions(fitted, tmp_path, capfd):
    est, frame = fitted
    _, treatment, y = mixed_frame(3000, seed=3)
    with pytest.raises(ValueError, match="max_depth"):
        UpliftForestClassifier(**dict(SMALL, max_depth=64)).fit(
            frame, y, treatment=treatment)
    missing = str(tmp_path / "nowhere" / "m.json")
    for call in (lambda: UpliftForestClassifier.load(missing), lambda: est.save(missing)):
        with pytest.raises(FileNotFoundError) as info:
            call()
        assert info.value.errno == 2 and info.value.filename == missing
        assert "unwrap" not in str(info.value) and "tmp-" not in str(info.value)
    with pytest.raises(IsADirectoryError) as info:
        est.save(tmp_path)
    assert info.value.filename == str(tmp_path)
    (tmp_path / "bad.json").write_text('{"n_estimators": 1')
    with pytest.raises(ValueError, match=r"cannot read model file '.*bad.json': the text is no "
                                         r"model file: EOF while parsing an object \(line 1"):
        UpliftForestClassifier.load(tmp_path / "bad.json")
    assert capfd.readouterr().err == ""


@needs_plain_address_space
def test_running_out_of_memory_is_a_memory_error():
    code = r"""
import resource, numpy as np
from corvane_learn import UpliftForestClassifier
# 10,000 treatment groups of 2 rows and every distinct value a threshold: the
# split counts of one node need 20,001 x 20,000 x 4 bytes, twice the cap.
rng = np.random.default_rng(0)
x, t, y = rng.random((20_000, 1)), np.arange(20_000) % 10_000, np.arange(20_000) % 2
for line in open("/proc/self/status"):
    if line.startswith("VmSize"):
        limit = int(line.split()[1]) * 1024 + (800 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    UpliftForestClassifier(n_estimators=2, max_features=1, min_samples_leaf=1, n_jobs=2,
                           max_bins=10**6).fit(x, y, treatment=t)
except MemoryError:
    print("MemoryError")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "MemoryError" and "Panic" not in done.stderr


# 5. Missing values are missing everywhere.
def test_na_and_nat_are_missing_values():
    a, b, t, y = planted()
    holes = a.astype(object)
    holes[::7], holes[1::11], holes[2::13] = pd.NA, pd.NaT, None
    est = UpliftForestClassifier(n_estimators=10, min_samples_leaf=50, max_features=None,
                                 random_state=0)
    est.fit({"a": holes, "b": b}, y, treatment=t)
    assert est.feature_kinds_ == ["numeric", "numeric"]
    assert est.feature_importances_[0] > 0.8
    nullable = pd.array([True, None] * (len(y) // 2), dtype="boolean")
    with pytest.raises(ValueError, match="y holds missing values"):
        est.fit({"a": a}, nullable, treatment=t)


# 6. Categories are compared by value; unseen ones are reported.
@pytest.mark.parametrize("trained, asked", [(int, float), (float, int)])
def test_categories_compared_by_value(trained, asked):
    a, _, t, y = planted()
    codes = (a * 3).astype(int)
    as_categories = pd.Categorical(codes.astype(trained))
    est = UpliftForestClassifier(n_estimators=5, min_samples_leaf=50, random_state=0)
    est.fit({"c": as_categories}, y, treatment=t)
    expected = est.predict({"c": as_categories})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.array_equal(est.predict({"c": codes.astype(asked)}), expected)
    odd = codes.astype(asked).astype(object)
    odd[:150] = 9
    with pytest.warns(UserWarning, match=r"column 'c': 150 of 6000 rows \(2\.5%\) hold categories "
                                         "never seen in training"):
        est.predict({"c": odd})


# 7. Model files are checked at load.
def _tamper(est, tmp_path, change):
    document = json.loads(est._to_bytes())
    change(document["corvane_learn"])
    path = tmp_path / "tampered.json"
    path.write_text(json.dumps(document))
    return path


@pytest.mark.parametrize("change, message", [
    (lambda p: p.update(treatments=["email"]), "field 'treatments' .* names 1 treatments but the "
                                                "forest predicts 2"),
    (lambda p: p.pop("control"), "field 'control' .* is missing"),
    (lambda p: p.update(max_features="x"), "field 'max_features'"),
    (lambda p: p.update(treatment_dtype="<i8"), "field 'treatment_dtype'"),
    (lambda p: p["features"][0].update(kind="text"), '"kind" is neither'),
    (lambda p: p["features"].pop(), "describes 3 features but the trees read 4"),
    (lambda p: p["node_counts"][1].pop(), 'the "node_counts" of tree 1 do not match'),
    (lambda p: p.update(format=7), "field 'format'"),
])
def test_tampered_estimator_part_is_refused(fitted, tmp_path, change, message):
    est, _ = fitted
    path = _tamper(est, tmp_path, change)
    with pytest.raises(ValueError, match=f"{path.name}.*{message}"):
        UpliftForestClassifier.load(path)


def test_plain_file_refuses_input_of_the_wrong_kind(tmp_path):
    model = new_model(n_estimators=3, max_features=1)
    data = make_data(600, seed=4)
    fit(model, data, x_names=["age"])
    model.save(str(tmp_path / "plain.json"))
    est = UpliftForestClassifier.load(tmp_path / "plain.json")
    assert est.feature_kinds_ == ["numeric"]
    with pytest.raises(ValueError, match="column 'age' holds text but the model reads it as "
                                         "numbers"):
        est.predict({"age": ["old"] * 5})


# 8. Memory follows the data's own size.
def test_a_long_category_costs_its_own_size():
    tracemalloc = pytest.importorskip("tracemalloc")
    _, _, t, y = planted(100_000)
    values = np.array(["a", "b", "c"], dtype=object)[np.arange(100_000) % 3]
    values[5] = "x" * 5000
    tracemalloc.start()
    try:
        est = UpliftForestClassifier(n_estimators=2, random_state=0)
        est.fit({"c": values}, y, treatment=t).predict({"c": values})
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 50e6  # a fixed-width copy would take 2 GB


# 10. Smaller refusals name the column.
@pytest.mark.parametrize("columns, y_of, message", [
    (lambda a: {"a": np.array([10**400] + [1] * (len(a) - 1), dtype=object)}, None,
     "column 'a' holds an integer too large"),
    (lambda a: {"a": a}, lambda y: y + 0j, "found complex numbers"),
    (lambda a: {"a": np.array(["x", "\ud800"] * (len(a) // 2), dtype=object)}, None,
     "column 'a' holds a category that is not valid text"),
])
def test_smaller_refusals(columns, y_of, message):
    a, _, t, y = planted()
    with pytest.raises(ValueError, match=message):
        UpliftForestClassifier(n_estimators=2).fit(columns(a), y_of(y) if y_of else y,
                                                   treatment=t)


def test_scalars_and_constant_forests(fitted):
    est, _ = fitted
    with pytest.raises(ValueError, match="mapping of single values"):
        est.predict({"num": 0.5, "flag": True, "plan": "pro", "region": "north"})
    a, _, t, y = planted()
    with pytest.warns(UserWarning, match="every tree is a single leaf: min_samples_leaf=100000"):
        UpliftForestClassifier(n_estimators=2, min_samples_leaf=100_000).fit(
            {"a": a}, y, treatment=t)
