"""What the corvane_learn estimator costs over the native code, in one run.

1. Memory: peak resident memory that `fit` adds above the caller's own data,
   for 1,000,000 rows x 20 float32 features (76 MB), and its ratio to the
   data (measured in a child process, whose peak is reset before the fit).
2. fit time: `UpliftForestClassifier.fit` on a numpy array against the
   core alone (`corvane_learn._core.train` on the prepared columns), 500,000
   rows x 20 features, 20 trees; and the estimator with splitter="hist"
   (max_bins 10, as the default splitter, and 255) against the default
   splitter.
3. predict speed: rows per second of `predict` from a numpy array (200,000 x
   20, 30 trees) against the extension's `predict` on prepared row lists,
   the same forest (the estimator's model file loaded into the extension).
4. predict against the walk alone: the serving case of predict_bench.py (50
   trees of max_depth 10, 20 numeric and 2 categorical features, 100,000
   rows from a DataFrame) through the estimator, in ns per row and tree,
   against `benchmarks/walk_bench.sh` walking the same forest (its model
   file) over rows of the same kind, without Python or conversion.
5. Whether seeded fits with n_jobs 1, 2 and -1 give the same forest.

Calls that are compared take turns within each repeat; each figure is the
best of the repeats (the machine is shared: wall times move by +-40 %).
Usage: python benchmarks/learn_bench.py [repeats]
"""

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import corvane
from corvane_learn import UpliftForestClassifier, _core
from corvane_learn._estimator import resolve_max_features

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PARAMS = dict(n_estimators=20, max_features=5, max_depth=5, min_samples_leaf=500,
              criterion="KL", regularization=False, alpha=0.5)

MEMORY_CHILD = r"""
import resource, sys, numpy as np
from corvane_learn import UpliftForestClassifier

def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

rows, features = 1_000_000, 20
rng = np.random.default_rng(1)
x = rng.random((rows, features), dtype=np.float32)
t = rng.integers(0, 2, rows)
y = (rng.random(rows) < 0.2 + 0.2 * t * (x[:, 0] > 0.5)).astype(np.int8)
est = UpliftForestClassifier(n_estimators=4, max_depth=5, min_samples_leaf=500, n_jobs=-1)
est.fit(x[:1000], y[:1000], treatment=t[:1000])  # imports and first-use set-up
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = rss("VmRSS:")
est.fit(x, y, treatment=t)
print(rss("VmHWM:") - before, x.nbytes)
"""


def best_of(repeats, *calls):
    """Best wall time of each call, the calls taking turns within each repeat."""
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def numeric_data(rows, features=20, seed=3, dtype=np.float64):
    rng = np.random.default_rng(seed)
    x = rng.random((rows, features)).astype(dtype)
    t = rng.integers(0, 3, rows)
    p = 0.1 + 0.1 * x[:, 0] + 0.15 * ((t == 1) & (x[:, 1] > 0.5)) + 0.1 * ((t == 2) & (x[:, 2] < 0.3))
    y = (rng.random(rows) < p).astype(np.int64)
    return x, t, y


def memory():
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD], check=True, capture_output=True,
                         text=True).stdout.split()
    added, data = int(out[0]), int(out[1])
    print(f"1. fit memory, 1,000,000 x 20 float32 ({data / 1e6:.0f} MB): peak "
          f"{added / 1e6:.0f} MB above the data, {added / data:.2f}x the data "
          "(target at most 2x)")


def fit_time(repeats):
    x, t, y = numeric_data(500_000)
    est = UpliftForestClassifier(n_jobs=-1, random_state=0, **PARAMS)
    columns = [np.ascontiguousarray(x[:, i]) for i in range(x.shape[1])]
    codes = np.where(t == 0, 0, t).astype(np.int32)
    outcome = y.astype(np.int8)

    def core():
        _core.train(columns, [None] * len(columns), [f"x{i}" for i in range(len(columns))], codes,
                    outcome, n_estimators=PARAMS["n_estimators"],
                    max_features=resolve_max_features(5, 20), max_depth=5, min_sample_leaf=500,
                    eval_func="KL", max_bins=10, balance=False, regularization=False, alpha=0.5,
                    n_threads=-1, seed=0, honesty=False, estimation_share=0.5,
                    splitter="quantile", max_samples=0, progress=None)

    hist = UpliftForestClassifier(n_jobs=-1, random_state=0, splitter="hist", **PARAMS)
    fine = UpliftForestClassifier(n_jobs=-1, random_state=0, splitter="hist", **PARAMS,
                                  max_bins=255)
    layer, bare, h10, h255 = best_of(repeats, lambda: est.fit(x, y, treatment=t), core,
                                     lambda: hist.fit(x, y, treatment=t),
                                     lambda: fine.fit(x, y, treatment=t))
    print(f"2. fit, 500,000 x 20, 20 trees: estimator {layer:.2f} s, core alone {bare:.2f} s "
          f"({100 * (layer / bare - 1):+.0f} %); splitter='hist' {h10:.2f} s with max_bins 10 "
          f"({layer / h10:.1f}x faster), {h255:.2f} s with 255 ({layer / h255:.1f}x faster)")


def predict_speed(repeats, directory):
    x, t, y = numeric_data(200_000)
    est = UpliftForestClassifier(n_estimators=30, max_depth=5, min_samples_leaf=200, n_jobs=-1,
                                 random_state=0).fit(x, y, treatment=t)
    path = os.path.join(directory, "numeric.json")
    est.save(path)
    model = corvane._UpliftRandomForestModel(1, 1, 1, 1, "KL", 2, False, False, 0.5)
    model.load(path)
    rows = x.tolist()
    assert np.array_equal(np.array(model.predict(rows, -1)), est.predict(x))
    layer, ext = best_of(repeats, lambda: est.predict(x), lambda: model.predict(rows, -1))
    n = len(x)
    print(f"3. predict, 200,000 x 20, 30 trees, all processors: estimator from an ndarray "
          f"{n / layer:,.0f} rows/s, extension on prepared lists {n / ext:,.0f} rows/s "
          f"({ext / layer:.2f}x)")


def serving_frame(rows, seed):
    import pandas as pd

    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(rng.random((rows, 20)), columns=[f"n{i}" for i in range(20)])
    frame["k0"] = pd.Categorical(rng.choice(list("abcdefghij"), rows))
    frame["k1"] = pd.Categorical(rng.choice(["north", "south", "east", "west"], rows))
    t = rng.integers(0, 3, rows)
    p = 0.1 + 0.1 * frame["n0"] + 0.05 * frame["n1"]
    p += ((t == 1) & (frame["n2"] > 0.4)) * (0.1 + 0.1 * frame["n3"])
    p += ((t == 2) & frame["k0"].isin(list("abcd"))) * np.where(frame["k1"] == "north", 0.1, 0.05)
    y = (rng.random(rows) < p).astype(int)
    return frame, t, y


def against_walk(repeats, directory):
    frame, t, y = serving_frame(200_000, 11)
    est = UpliftForestClassifier(n_estimators=50, max_features=5, max_depth=10,
                                 min_samples_leaf=100, criterion="ED", regularization=False,
                                 alpha=0.5, random_state=0).fit(frame, y, treatment=t)
    path = os.path.join(directory, "serving.json")
    est.save(path)
    rows = frame.iloc[:100_000]
    per = 1e9 / (len(rows) * 50)
    walk_bench = os.path.join(HERE, "walk_bench.sh")
    subprocess.run([walk_bench, "1", path], check=True, capture_output=True)  # builds it

    def walk_alone():
        out = subprocess.run([walk_bench, "1", path], check=True, capture_output=True,
                             text=True).stdout
        return [float(line.split(":")[1].split("ns")[0]) for line in out.splitlines()
                if line.startswith("n_threads")]

    # Each repeat: the estimator with one thread and with all, then the walk
    # alone (one repeat of its own program), so that all see the same moments.
    mine, alone = [float("inf")] * 2, [float("inf")] * 2
    for _ in range(repeats):
        for i, n_jobs in enumerate((1, -1)):
            est.set_params(n_jobs=n_jobs)
            (best,) = best_of(1, lambda: est.predict(rows))
            mine[i] = min(mine[i], best * per)
        alone = [min(a, b) for a, b in zip(alone, walk_alone())]
    for label, m, a in zip(("1", "-1"), mine, alone):
        print(f"4. serving case, n_jobs {label:>2}: estimator {m:.1f} ns per row and tree, "
              f"walk alone {a:.1f} ({100 * (m / a - 1):+.0f} %; target within +15 %)")


def seeded(directory):
    x, t, y = numeric_data(50_000)
    texts = []
    for n_jobs in (1, 2, -1):
        est = UpliftForestClassifier(n_estimators=10, random_state=7, n_jobs=n_jobs)
        texts.append(est.fit(x, y, treatment=t).set_params(n_jobs=None)._to_bytes())
    same = all(text == texts[0] for text in texts)
    print(f"5. seeded fits with n_jobs 1, 2 and -1: {'identical' if same else 'DIFFERENT'}")


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    print(f"best of {repeats}; {os.cpu_count()} processors")
    memory()
    fit_time(repeats)
    with tempfile.TemporaryDirectory() as directory:
        predict_speed(repeats, directory)
        against_walk(repeats, directory)
        seeded(directory)


if __name__ == "__main__":
    main()
