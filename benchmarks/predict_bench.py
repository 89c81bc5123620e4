"""Prediction benchmark.

1. The training benchmark's forest predicting its 100,000 rows with n_threads
   1 and -1, plus save/load time and file size.
2. The serving case: 50 trees of max_depth 10 (min_sample_leaf 100) trained on
   200,000 rows of 20 numeric and 2 categorical features, predicting 100,000
   rows. Prints the conversion cost per cell (a one-tree, depth-1 forest of
   the same features, whose walk is negligible), the walk cost per row and
   tree with n_threads 1 and -1, rows per second with -1, and two Python
   threads predicting with two models at once against one after the other.

Usage: python benchmarks/predict_bench.py [repeats]
"""
import contextlib
import io
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corvane  # noqa: E402
from workload import (  # noqa: E402
    FEATURES,
    PARAMS,
    SERVING_FEATURES,
    SERVING_PARAMS,
    make_data,
    make_serving_data,
    rows_of,
)

SERVING_ROWS = 100_000


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def best_cpu_of(repeats, fn):
    """Best wall time and best CPU time of this process (all its threads):
    on a machine shared with other work the CPU time is the steadier figure."""
    walls, cpus = [], []
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        fn()
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - start_cpu)
    return min(walls), min(cpus)


def trained(params, data, features):
    model = corvane._UpliftRandomForestModel(**params)
    with contextlib.redirect_stdout(io.StringIO()):
        model.fit(data, features, "t", "y", -1)
    return model


def training_forest(repeats):
    data = make_data()
    model = trained(PARAMS, data, FEATURES)
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


def serving_case(repeats):
    data = make_serving_data()
    start = time.perf_counter()
    model = trained(SERVING_PARAMS, data, SERVING_FEATURES)
    print(f"\nserving case: trained {SERVING_PARAMS['n_estimators']} trees of max_depth "
          f"{SERVING_PARAMS['max_depth']} on {len(data['t']):,} rows in {time.perf_counter() - start:.1f} s")
    rows = rows_of(data, SERVING_FEATURES, SERVING_ROWS)
    cells = len(rows) * len(SERVING_FEATURES)
    trees = SERVING_PARAMS["n_estimators"]

    stump = trained(dict(SERVING_PARAMS, n_estimators=1, max_depth=1), data, SERVING_FEATURES)
    t_convert, cpu_convert = best_cpu_of(repeats, lambda: stump.predict(rows, 1))
    print(f"conversion: {t_convert / cells * 1e9:.1f} ns per cell, CPU {cpu_convert / cells * 1e9:.1f} "
          f"(one-tree depth-1 forest, {len(rows):,} rows x {len(SERVING_FEATURES)} cells, "
          f"results included)")

    results = {}
    for n_threads in (1, -1):
        results[n_threads] = model.predict(rows, n_threads)
        t, cpu = best_cpu_of(repeats, lambda n=n_threads: model.predict(rows, n))
        walk = (t - t_convert) / (len(rows) * trees) * 1e9
        walk_cpu = (cpu - cpu_convert) / (len(rows) * trees) * 1e9
        print(f"n_threads {n_threads:>2}: walk {walk:.1f} ns per row and tree (CPU of all threads "
              f"{walk_cpu:.1f}), {len(rows) / t:,.0f} rows/s overall ({t:.3f} s, best of {repeats})")
    assert results[1] == results[-1], "multi-threaded prediction differs from row by row"

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "serving.json")
        model.save(path)
        twin = corvane._UpliftRandomForestModel(1, 1, 1, 1, "ED", 1, False, False, 0.0)
        twin.load(path)

    def one_after_the_other():
        model.predict(rows, 1)
        twin.predict(rows, 1)

    def at_once():
        threads = [threading.Thread(target=m.predict, args=(rows, 1)) for m in (model, twin)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t_seq = best_of(repeats, one_after_the_other)
    t_par = best_of(repeats, at_once)
    print(f"two models, n_threads 1 each: one after the other {t_seq:.3f} s, "
          f"two Python threads at once {t_par:.3f} s ({t_seq / t_par:.2f}x)")


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    training_forest(repeats)
    serving_case(repeats)


if __name__ == "__main__":
    main()
