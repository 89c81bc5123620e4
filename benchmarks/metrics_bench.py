"""What the metrics' uncertainty costs: bootstrap, paired comparison, RATE, cost curve.

On 100,000 held-out rows of one treatment against control (0/1 outcomes,
half treated, distinct scores):

1. `bootstrap(qini_score, ...)` with 1,000 resamples, against the same
   resamples through a metric called once per resample (a wrapper of
   `qini_score`, which the bootstrap does not recognise; timed on 50
   resamples and scaled to 1,000);
2. `bootstrap(auuc_score, ...)` and `bootstrap(rate_score, ...)`, 1,000
   resamples (rate_score also with real-valued outcomes);
3. `compare(qini_score, ...)` of two models, 1,000 paired resamples;
4. `cost_curve` of two treatments on 150,000 rows;
5. if scikit-uplift is installed (it is not a dependency: ``pip install
   scikit-uplift`` into a separate environment), our `auuc_score(...,
   normalize="perfect")` and `qini_score` against its `uplift_auc_score` and
   `qini_auc_score` on four simulated data sets of 20,000 rows.

Calls take turns within each repeat; each figure is the best of the repeats
(the machine is shared: wall times move by +-40 %), the median in brackets.
Usage: python benchmarks/metrics_bench.py [repeats]
"""

import os
import statistics
import sys
import time

import numpy as np

from corvane_learn import metrics

kRows = 100_000
kResamples = 1000
kSlowResamples = 50


def data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.random(kRows)
    t = rng.integers(0, 2, kRows)
    y = (rng.random(kRows) < 0.2 + 0.15 * t * (x > 0.5)).astype(np.int8)
    return y, x + rng.normal(0.0, 0.3, kRows), rng.random(kRows), t


def per_resample(*args, **kwargs):
    return metrics.qini_score(*args, **kwargs)


def against_scikit_uplift() -> None:
    try:
        from sklift.metrics import qini_auc_score, uplift_auc_score
    except ImportError:
        print("scikit-uplift is not installed: normalisations not compared")
        return
    print("normalised AUUC and Qini coefficient against scikit-uplift (ours / theirs):")
    for seed, noise in enumerate((0.1, 0.3, 1.0, 3.0)):
        rng = np.random.default_rng(seed)
        x, t = rng.random(20_000), rng.integers(0, 2, 20_000)
        y = (rng.random(20_000) < 0.1 + 0.05 * t * (x > 0.5)).astype(int)
        score = x + rng.normal(0.0, noise, 20_000)
        print(f"  model noise {noise}: auuc_score(normalize='perfect') "
              f"{metrics.auuc_score(y, score, t, normalize='perfect'):.6f} / uplift_auc_score "
              f"{uplift_auc_score(y, score, t):.6f}; qini_score "
              f"{metrics.qini_score(y, score, t):.6f} / qini_auc_score "
              f"{qini_auc_score(y, score, t):.6f}")


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    print(f"best (median) of {repeats}; {os.cpu_count()} processors; {kRows:,} rows")
    y, good, noise, t = data()
    revenue = y * np.random.default_rng(1).exponential(30.0, kRows)
    rng = np.random.default_rng(2)
    labels = rng.integers(0, 3, 150_000)
    uplift = np.c_[rng.normal(0.02, 0.02, 150_000), rng.normal(0.05, 0.04, 150_000)]
    outcome = (rng.random(150_000) < 0.1 + 0.02 * labels).astype(np.int8)
    calls = {
        "bootstrap qini_score, 1,000 resamples": lambda: metrics.bootstrap(
            metrics.qini_score, y, good, t, n_resamples=kResamples, random_state=0),
        "the same, a call per resample (scaled from 50)": lambda: metrics.bootstrap(
            per_resample, y, good, t, n_resamples=kSlowResamples, random_state=0),
        "bootstrap auuc_score, 1,000 resamples": lambda: metrics.bootstrap(
            metrics.auuc_score, y, good, t, n_resamples=kResamples, random_state=0),
        "bootstrap rate_score (AUTOC), 1,000 resamples": lambda: metrics.bootstrap(
            metrics.rate_score, y, good, t, n_resamples=kResamples, random_state=0),
        "the same, real-valued outcomes": lambda: metrics.bootstrap(
            metrics.rate_score, revenue, good, t, n_resamples=kResamples, random_state=0),
        "compare qini_score of two models, 1,000 resamples": lambda: metrics.compare(
            metrics.qini_score, y, good, noise, t, n_resamples=kResamples, random_state=0),
        "cost_curve, 2 treatments, 150,000 rows": lambda: metrics.cost_curve(
            outcome, uplift, labels, costs={1: 0.01, 2: 0.05}),
    }
    times = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            elapsed = time.perf_counter() - start
            if "scaled" in name:
                elapsed *= kResamples / kSlowResamples
            times[name].append(elapsed)
    for name, spent in times.items():
        print(f"{name:<52} {min(spent):6.2f} s ({statistics.median(spent):.2f} s)")
    fast = min(times["bootstrap qini_score, 1,000 resamples"])
    slow = min(times["the same, a call per resample (scaled from 50)"])
    print(f"counting resamples into tie groups against a call per resample: {slow / fast:.1f}x")
    result = metrics.bootstrap(metrics.qini_score, y, good, t, n_resamples=kResamples,
                               random_state=0)
    low, high = result.confidence_interval
    print(f"Qini coefficient {result.estimate:.4f}, standard error {result.standard_error:.4f}, "
          f"95 % interval {low:.4f} to {high:.4f}")
    against_scikit_uplift()


if __name__ == "__main__":
    main()
