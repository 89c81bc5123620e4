"""Overhead of the corvane_learn estimator over the bare extension.

500,000 rows of 20 numeric features in a numpy array and in a DataFrame:
`fit` through the estimator against the extension's `fit` on the prepared
column lists, and `predict` through the estimator against the extension's
`predict` on the prepared row lists (both use all processors). The input
preparation is timed on the estimator's side only, since that is the work
it adds. Prints best-of-N wall and CPU times and the overheads, and the
conversion alone (the estimator's share of each side, no forest involved).
Usage: python benchmarks/learn_bench.py [repeats] [trees]
"""

import contextlib
import io
import sys
import time

import numpy as np

import corvane
from corvane_learn import UpliftForestClassifier, _convert, _estimator

ROWS = 500_000
FEATURES = 20
PARAMS = dict(n_estimators=20, max_features=5, max_depth=5, min_samples_leaf=500,
              criterion="KL", max_bins=10, balance=False, regularization=False, alpha=0.5)


def make_data(seed=3):
    rng = np.random.default_rng(seed)
    x = rng.random((ROWS, FEATURES))
    t = rng.integers(0, 3, ROWS)
    p = 0.1 + 0.1 * x[:, 0] + 0.15 * ((t == 1) & (x[:, 1] > 0.5)) + 0.1 * ((t == 2) & (x[:, 2] < 0.3))
    y = (rng.random(ROWS) < p).astype(np.int64)
    return x, t, y


def timed(fn):
    """(wall, process CPU) seconds of one call; CPU time sums all threads and
    is steadier than wall time on a shared machine."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    if len(sys.argv) > 2:
        PARAMS["n_estimators"] = int(sys.argv[2])
    x, t, y = make_data()
    names = [f"x{i}" for i in range(FEATURES)]
    columns = {name: x[:, i].tolist() for i, name in enumerate(names)}
    columns["t"], columns["y"] = t.tolist(), y.tolist()
    rows = x.tolist()
    frame = None
    with contextlib.suppress(ImportError):
        import pandas as pd

        frame = pd.DataFrame(x, columns=names)

    ext_params = dict(n_estimators=PARAMS["n_estimators"], max_features=PARAMS["max_features"],
                      max_depth=PARAMS["max_depth"], min_sample_leaf=PARAMS["min_samples_leaf"],
                      eval_func=PARAMS["criterion"], max_bins=PARAMS["max_bins"],
                      balance=PARAMS["balance"], regularization=PARAMS["regularization"],
                      alpha=PARAMS["alpha"])
    model = corvane._UpliftRandomForestModel(**ext_params)

    def ext_fit():
        fresh = corvane._UpliftRandomForestModel(**ext_params)
        with contextlib.redirect_stdout(io.StringIO()):
            fresh.fit(columns, names, "t", "y", -1)

    est = UpliftForestClassifier(**PARAMS)
    with contextlib.redirect_stdout(io.StringIO()):
        model.fit(columns, names, "t", "y", -1)
    est.fit(x, t, y)
    est.model_ = model  # same forest on both sides of the prediction comparison

    cases = [("fit", "numpy array", ext_fit, lambda: UpliftForestClassifier(**PARAMS).fit(x, t, y)),
             ("predict", "numpy array", lambda: model.predict(rows, -1), lambda: est.predict(x))]
    if frame is not None:
        cases.insert(1, ("fit", "DataFrame", ext_fit,
                         lambda: UpliftForestClassifier(**PARAMS).fit(frame, t, y)))
        cases.append(("predict", "DataFrame", lambda: model.predict(rows, -1),
                      lambda: est.predict(frame)))
    assert np.array_equal(est.predict(x), np.array(model.predict(rows, -1)))
    print(f"{ROWS:,} rows x {FEATURES} numeric features, {PARAMS['n_estimators']} trees, "
          f"best of {repeats}")
    def convert_columns(data):
        columns = _convert.read_columns(data)
        _convert.column_lists(columns, columns.kinds)

    def convert_rows(data):
        columns = _convert.read_columns(data)
        for _ in _convert.row_chunks(columns, columns.kinds, _estimator._PREDICT_CHUNK_ROWS):
            pass

    inputs = [("numpy array", x)] + ([("DataFrame", frame)] if frame is not None else [])
    for kind, data in inputs:
        fit_cpu = min(timed(lambda d=data: convert_columns(d))[1] for _ in range(repeats))
        rows_cpu = min(timed(lambda d=data: convert_rows(d))[1] for _ in range(repeats))
        print(f"conversion alone, {kind:<12} fit columns {fit_cpu:5.2f} s CPU   "
              f"predict rows {rows_cpu:5.2f} s CPU")
    for what, kind, ext, layer in cases:
        # Alternate the two sides so that machine load hits both alike.
        ext_times, layer_times = [], []
        for _ in range(repeats):
            ext_times.append(timed(ext))
            layer_times.append(timed(layer))
        (e, e_cpu), (lay, lay_cpu) = min(ext_times), min(layer_times)
        print(f"{what:<8} {kind:<12} extension {e:6.2f} s ({e_cpu:6.2f} s CPU)   "
              f"estimator {lay:6.2f} s ({lay_cpu:6.2f} s CPU)   "
              f"overhead {100 * (lay / e - 1):+5.0f} % ({100 * (lay_cpu / e_cpu - 1):+5.0f} % CPU)")


if __name__ == "__main__":
    main()
