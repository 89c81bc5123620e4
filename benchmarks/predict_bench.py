"""Prediction benchmark.

1. The training benchmark's forest predicting its 100,000 rows with n_threads
   1 and -1, plus save/load time and file size.
2. The serving case: 50 trees of max_depth 10 (min_sample_leaf 100) trained on
   200,000 rows of 20 numeric and 2 categorical features, predicting 100,000
   rows. Prints the conversion cost per cell (one-tree, depth-1 forests,
   whose walk is negligible), the walk cost per row and tree with n_threads
   1, rows per second with 1 and -1, and two Python threads predicting with
   two models at once against one after the other. With -1 conversion and
   walk overlap; benchmarks/walk_bench.sh times the walk alone.

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


def best_cpu_of_each(repeats, calls):
    """Best wall and CPU time of each call, the calls taking turns."""
    best = {name: (float("inf"), float("inf")) for name in calls}
    for _ in range(repeats):
        for name, fn in calls.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            fn()
            wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
            best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    return best


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

    # Conversion: a one-tree, depth-1 forest walks next to nothing. Its rows
    # of 22 cells against rows of the one cell it tests give the cost of each
    # further cell; the whole call per cell also carries the per-row work
    # (the row list itself, the result list and its floats).
    stump_params = dict(SERVING_PARAMS, n_estimators=1, max_depth=1)
    stump = trained(stump_params, data, SERVING_FEATURES)
    stump_feature = SERVING_FEATURES[stump.get_feature_importance("count").index(1.0)]
    narrow = trained(dict(stump_params, max_features=1), data, [stump_feature])
    narrow_rows = [[row[SERVING_FEATURES.index(stump_feature)]] for row in rows]
    results = {n: model.predict(rows, n) for n in (1, -1)}
    assert results[1] == results[-1], "multi-threaded prediction differs from row by row"
    # Each repeat times every call once, so that all figures come from the
    # same moments of a shared machine; each is the best of its repeats.
    calls = {
        "convert": lambda: stump.predict(rows, 1),
        "narrow": lambda: narrow.predict(narrow_rows, 1),
        1: lambda: model.predict(rows, 1),
        -1: lambda: model.predict(rows, -1),
    }
    timings = best_cpu_of_each(repeats, calls)
    (t_convert, _), (t_narrow, _) = timings["convert"], timings["narrow"]
    per_cell = (t_convert - t_narrow) / (len(rows) * (len(SERVING_FEATURES) - 1)) * 1e9
    print(f"conversion: {per_cell:.1f} ns per cell ({len(SERVING_FEATURES)}-cell rows against "
          f"1-cell rows); the whole call {t_convert / cells * 1e9:.1f} ns per cell with the "
          f"per-row work and the results ({len(rows):,} rows, one-tree depth-1 forest)")

    (t1, cpu1), (t_all, cpu_all) = timings[1], timings[-1]
    walk = (t1 - t_convert) / (len(rows) * trees) * 1e9
    print(f"n_threads  1: walk {walk:.1f} ns per row and tree (the call less the conversion), "
          f"{len(rows) / t1:,.0f} rows/s overall ({t1:.3f} s, CPU {cpu1:.3f} s)")
    print(f"n_threads -1: {len(rows) / t_all:,.0f} rows/s overall ({t_all:.3f} s, CPU of all "
          f"threads {cpu_all:.3f} s), {t1 / t_all:.2f}x n_threads 1; rows are walked while later "
          f"ones convert (the walk alone: benchmarks/walk_bench.sh)")

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

    two = best_cpu_of_each(repeats, {"seq": one_after_the_other, "par": at_once})
    t_seq, t_par = two["seq"][0], two["par"][0]
    print(f"two models, n_threads 1 each: one after the other {t_seq:.3f} s, "
          f"two Python threads at once {t_par:.3f} s ({t_seq / t_par:.2f}x)")


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    training_forest(repeats)
    serving_case(repeats)


if __name__ == "__main__":
    main()
