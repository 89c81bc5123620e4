"""What permutation importance costs, against shuffling and scoring X whole.

1,000 rows of `columns` numeric features (2,000 by default, as wide data
sets come), one treatment, a planted uplift on the first feature; 100 trees
(`max_depth` 5, `min_samples_leaf` 20). "whole X" shuffles one column of
the DataFrame and calls `estimator.score` on it, for every feature, as a
permutation importance built on the public surface does (each call converts
every column again); "permutation_importance" is
`corvane_learn.inspection.permutation_importance` with one repeat (X
converted once, features no split tests skipped). Both give the same drops;
the two take turns, and each figure is the best of the repeats.

Usage: python benchmarks/permutation_bench.py [columns] [repeats]
"""

import sys
import time

import numpy as np
import pandas as pd

from corvane_learn import UpliftForestClassifier
from corvane_learn.inspection import permutation_importance


def whole_x(estimator, X, y, t):
    rng = np.random.default_rng(0)
    baseline = estimator.score(X, y, treatment=t)
    drops = []
    for name in X.columns:
        shuffled = X.assign(**{name: X[name].to_numpy()[rng.permutation(len(X))]})
        drops.append(baseline - estimator.score(shuffled, y, treatment=t))
    return np.array(drops)


def main() -> None:
    columns = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.random((1000, columns)), columns=[f"f{i}" for i in range(columns)])
    t = rng.integers(0, 2, 1000)
    y = (rng.random(1000) < 0.2 + 0.3 * t * (X["f0"] > 0.5)).astype(int)
    est = UpliftForestClassifier(n_estimators=100, min_samples_leaf=20, random_state=0)
    est.fit(X, y, treatment=t)
    tested = int(np.count_nonzero(np.asarray(est.forest_.importance("split"))))
    best = {"whole X": float("inf"), "permutation_importance": float("inf")}
    for _ in range(repeats):
        start = time.perf_counter()
        slow = whole_x(est, X, y, t)
        best["whole X"] = min(best["whole X"], time.perf_counter() - start)
        start = time.perf_counter()
        fast = permutation_importance(est, X, y, treatment=t, n_repeats=1, random_state=0)
        best["permutation_importance"] = min(best["permutation_importance"],
                                             time.perf_counter() - start)
        assert np.allclose(slow, fast.importances[:, 0], rtol=0, atol=1e-12)
    print(f"1,000 rows x {columns} columns ({tested} tested by a split), 100 trees, one repeat")
    for name, seconds in best.items():
        print(f"  {name:<24} {seconds:8.2f} s (best of {repeats})")
    print(f"  speed-up {best['whole X'] / best['permutation_importance']:.1f}x")


if __name__ == "__main__":
    main()
