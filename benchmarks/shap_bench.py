"""What exact Shapley values of the uplift cost: `corvane_learn.inspection.shap_values`.

100 trees of max_depth 6 (min_samples_leaf 50, "ED", two treatments) trained
on 200,000 rows of 20 numeric features, then explaining 100,000 rows with
n_jobs -1 and with n_jobs 1, taking turns; each figure is the best of the
repeats (the machine is shared: wall times move by +-40 %). Also reports the
forest's leaves per tree and its mean leaf depth (the cost grows with rows x
trees x leaves x depth squared), the processor time of each call (user
time of all threads: with other work on the machine, n_jobs -1 may get no
more wall time than 1, which this shows), `predict` on the same rows for
scale, and the largest gap between the values plus the base and `predict`.
Usage: python benchmarks/shap_bench.py [repeats]
"""

import resource
import sys
import time

import numpy as np

from corvane_learn import UpliftForestClassifier
from corvane_learn.inspection import shap_values

ROWS, FEATURES = 100_000, 20


def data(rows, seed):
    rng = np.random.default_rng(seed)
    x = rng.random((rows, FEATURES))
    t = rng.integers(0, 3, rows)
    rate = 0.1 + 0.1 * x[:, 2] + 0.15 * (t == 1) * (x[:, 0] > 0.5) + 0.1 * (t == 2) * x[:, 1]
    return x, (rng.random(rows) < rate).astype(np.int8), t


def shape(forest):
    leaves = depth = 0
    for i in range(forest.n_estimators):
        tree = forest.forest_.tree(i)
        for position, feature in zip(tree["positions"], tree["features"]):
            if feature < 0:
                leaves += 1
                depth += (position + 1).bit_length() - 1
    return leaves / forest.n_estimators, depth / leaves


def main(repeats):
    x, y, t = data(200_000, seed=0)
    forest = UpliftForestClassifier(n_estimators=100, max_depth=6, min_samples_leaf=50,
                                    criterion="ED", random_state=0).fit(x, y, treatment=t)
    rows = data(ROWS, seed=1)[0]
    leaves, depth = shape(forest)
    print(f"forest: 100 trees, {leaves:.1f} leaves per tree, mean leaf depth {depth:.2f}")
    times = {"all": [], "one": [], "predict": []}
    cpu = {"all": [], "one": [], "predict": []}
    for _ in range(repeats):
        for key, call in (("all", lambda: shap_values(forest, rows, n_jobs=-1)),
                          ("one", lambda: shap_values(forest, rows, n_jobs=1)),
                          ("predict", lambda: forest.predict(rows))):
            used = resource.getrusage(resource.RUSAGE_SELF).ru_utime
            start = time.perf_counter()
            result = call()
            times[key].append(time.perf_counter() - start)
            cpu[key].append(resource.getrusage(resource.RUSAGE_SELF).ru_utime - used)
            if key == "all":
                explanation = result
    gap = np.abs(explanation.values.sum(axis=1) + explanation.base_values
                 - forest.predict(rows)).max()
    for key, label in (("all", "shap_values, n_jobs -1"), ("one", "shap_values, n_jobs 1"),
                       ("predict", "predict, n_jobs -1")):
        best, median = min(times[key]), float(np.median(times[key]))
        print(f"{label}: best {best:.2f} s, median {median:.2f} s of {repeats} "
              f"(processor time {min(cpu[key]):.2f} s at best)")
    per = min(cpu["one"]) / (ROWS * 100) * 1e6
    print(f"one thread: {per:.2f} us of processor time per row and tree; speed-up of -1 over 1: "
          f"{min(times['one']) / min(times['all']):.2f}x")
    print(f"largest |values + base - predict|: {gap:.1e}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 3)
