"""Prediction benchmark: the training benchmark's forest predicting its
100,000 rows with n_threads 1 and -1, plus save/load time and file size.
Usage: python benchmarks/predict_bench.py [repeats]
"""
import contextlib
import io
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corvane  # noqa: E402
from workload import FEATURES, PARAMS, make_data, rows_of  # noqa: E402


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    data = make_data()
    model = corvane._UpliftRandomForestModel(**PARAMS)
    with contextlib.redirect_stdout(io.StringIO()):
        model.fit(data, FEATURES, "t", "y", -1)
    rows = rows_of(data)
    results = {}
    for n_threads in (1, -1):
        results[n_threads] = model.predict(rows, n_threads)
        t = best_of(repeats, lambda n=n_threads: model.predict(rows, n))
        print(f"predict n_threads {n_threads:>2}: {len(rows) / t:,.0f} rows/s ({t:.3f} s, best of {repeats})")
    assert results[1] == results[-1], "multi-threaded prediction differs from row by row"

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.json")
        t_save = best_of(repeats, lambda: model.save(path))
        size = os.path.getsize(path)
        other = corvane._UpliftRandomForestModel(1, 1, 1, 1, "ED", 1, False, False, 0.0)
        t_load = best_of(repeats, lambda: other.load(path))
        print(f"save {t_save * 1000:.1f} ms, load {t_load * 1000:.1f} ms, file {size / 1e6:.2f} MB "
              f"({size / 1e6 / t_load:.0f} MB/s loading)")


if __name__ == "__main__":
    main()
