"""Uplift forests at the scale of the largest public uplift data set, on one machine.

A generated data set of that shape (14,000,000 rows by default, 12 float32
features, 85 % of the rows treated, a positive rate of about 4 % and a
treatment effect that varies with the features) is trained on by:

1. UpliftForestClassifier with splitter="hist" (max_bins=255),
2. the same with the default splitter="quantile" (max_bins=10),
3. a LightGBM T-learner of the same size: one classifier on the treated
   rows and one on the control rows (50 trees each of max_depth 8, a quarter
   of the features per split, min_child_samples 100), uplift = the
   difference of their probabilities,
4. splitter="hist" with max_samples=0.1.

The forests have 50 trees of max_depth 8, 3 features per split and
min_samples_leaf 100; everything trains with 2 threads. Each case runs in a
child process of its own, which generates the same data and reports: fit
seconds, extra peak memory (the peak resident memory during the fit above
the memory held before it, with the data loaded) and its ratio to the
float32 feature matrix, and the AUUC (corvane_learn.metrics.auuc_score) of
the uplift on a tenth as many held-out rows generated alike.

LightGBM is not a dependency of corvane: `pip install lightgbm` into the
environment that runs this (e.g. `.venv/bin/pip install lightgbm`); without
it the T-learner is skipped.

Usage: python benchmarks/scale_bench.py [--rows N] [--threads T] [--cases hist,quantile,...]
The full size needs about 4 GB of memory per case and minutes per case.
"""

import argparse
import json
import subprocess
import sys
import time

import numpy as np

CASES = ("hist", "quantile", "lightgbm", "hist_sampled")
TREES, DEPTH, FEATURES, LEAF = 50, 8, 3, 100


def generate(rows, seed):
    """Features, treatment and outcome of `rows` rows (see the module docstring)."""
    rng = np.random.default_rng(seed)
    x = np.empty((rows, 12), dtype=np.float32)
    for j in range(4):  # continuous
        x[:, j] = rng.standard_normal(rows, dtype=np.float32)
    for j in range(4, 8):  # skewed, with many repeated values
        x[:, j] = np.round(rng.exponential(1.0 + j - 4, rows), 1)
    for j in range(8, 12):  # few distinct values
        x[:, j] = rng.integers(0, 4 * (j - 7), rows)
    t = (rng.random(rows) < 0.85).astype(np.int8)
    logit = -3.6 + 0.5 * x[:, 0] + 0.25 * np.minimum(x[:, 4], 4.0) - 0.1 * x[:, 8]
    base = 1.0 / (1.0 + np.exp(-logit))
    effect = 0.015 * (x[:, 1] > 0.3) + 0.01 * (x[:, 5] > 2.0) - 0.006 * (x[:, 9] > 4)
    p = np.clip(base + t * effect, 0.0, 1.0)
    y = (rng.random(rows) < p).astype(np.int8)
    return x, t, y


def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def forest(threads, **params):
    from corvane_learn import UpliftForestClassifier

    return UpliftForestClassifier(n_estimators=TREES, max_depth=DEPTH, max_features=FEATURES,
                                  min_samples_leaf=LEAF, n_jobs=threads, random_state=0, **params)


class TLearner:
    """Two LightGBM classifiers: treated and control; uplift = their difference."""

    def __init__(self, threads):
        import lightgbm

        params = dict(n_estimators=TREES, max_depth=DEPTH, num_leaves=2**DEPTH,
                      feature_fraction_bynode=FEATURES / 12, min_child_samples=LEAF,
                      n_jobs=threads, random_state=0, verbose=-1)
        self.treated = lightgbm.LGBMClassifier(**params)
        self.control = lightgbm.LGBMClassifier(**params)

    def fit(self, x, y, treatment):
        self.treated.fit(x[treatment == 1], y[treatment == 1])
        self.control.fit(x[treatment == 0], y[treatment == 0])
        return self

    def predict(self, x):
        return self.treated.predict_proba(x)[:, 1] - self.control.predict_proba(x)[:, 1]


def make(case, threads):
    if case == "hist":
        return forest(threads, splitter="hist", max_bins=255)
    if case == "quantile":
        return forest(threads, splitter="quantile")
    if case == "hist_sampled":
        return forest(threads, splitter="hist", max_bins=255, max_samples=0.1)
    return TLearner(threads)


def child(case, rows, threads):
    from corvane_learn.metrics import auuc_score

    x, t, y = generate(rows, seed=1)
    small = slice(0, 20_000)
    make(case, threads).fit(x[small], y[small], treatment=t[small])  # imports, first use
    model = make(case, threads)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    before = rss("VmRSS:")
    start = time.perf_counter()
    model.fit(x, y, treatment=t)
    seconds = time.perf_counter() - start
    extra = rss("VmHWM:") - before
    data_bytes = x.nbytes
    del x, t, y
    xt, tt, yt = generate(max(rows // 10, 1000), seed=2)
    uplift = np.asarray(model.predict(xt)).reshape(len(xt), -1)[:, 0]
    auuc = auuc_score(yt, uplift, tt, treated=1, control=0)
    print(json.dumps(dict(case=case, seconds=seconds, extra=extra, data=data_bytes,
                          auuc=float(auuc))))


def have_lightgbm():
    try:
        import lightgbm  # noqa: F401
    except ImportError:
        return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=14_000_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child, args.rows, args.threads)

    cases = [c for c in args.cases.split(",") if c]
    if "lightgbm" in cases and not have_lightgbm():
        print("LightGBM is not installed (pip install lightgbm): the T-learner is skipped")
        cases.remove("lightgbm")
    print(f"{args.rows:,} rows x 12 float32 features, {args.threads} threads, {TREES} trees of "
          f"max_depth {DEPTH}")
    results = {}
    for case in cases:
        out = subprocess.run([sys.executable, __file__, "--child", case, "--rows", str(args.rows),
                              "--threads", str(args.threads)], check=True, capture_output=True,
                             text=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        results[case] = r
        print(f"{case:>13}: fit {r['seconds']:7.1f} s, extra peak memory "
              f"{r['extra'] / 1e6:7.0f} MB ({r['extra'] / r['data']:.2f}x the data), "
              f"AUUC {r['auuc']:.5f}", flush=True)
    if "lightgbm" in results:
        base = results["lightgbm"]
        for case, r in results.items():
            if case != "lightgbm":
                print(f"{case:>13}: {r['seconds'] / base['seconds']:.2f}x the T-learner's time, "
                      f"AUUC {r['auuc'] / base['auuc']:.3f}x the T-learner's")
    if "hist" in results and "quantile" in results:
        h, q = results["hist"], results["quantile"]
        print(f"hist against quantile: {h['seconds'] / q['seconds']:.2f}x the time, "
              f"{h['extra'] / q['extra']:.2f}x the memory, AUUC {h['auuc'] / q['auuc']:.3f}x")


if __name__ == "__main__":
    main()
