"""Training benchmark: the fixed workload with n_threads -1 and 1.

Each configuration runs in a fresh process so that peak resident memory is
its own. Prints wall time, trees per second, peak RSS and the speed-up.
Usage: python benchmarks/train_bench.py [repeats]
"""
import contextlib
import io
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run_once(n_threads: int) -> dict:
    sys.path.insert(0, HERE)
    import corvane
    from workload import FEATURES, PARAMS, make_data

    data = make_data()
    model = corvane._UpliftRandomForestModel(**PARAMS)
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        model.fit(data, FEATURES, "t", "y", n_threads)
    wall = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return {"wall": wall, "trees_per_s": PARAMS["n_estimators"] / wall, "peak_mib": peak_kib / 1024}


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        print(json.dumps(run_once(int(sys.argv[2]))))
        return
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    best = {}
    for n_threads in (-1, 1):
        runs = []
        for _ in range(repeats):
            out = subprocess.run([sys.executable, __file__, "--child", str(n_threads)],
                                 check=True, capture_output=True, text=True).stdout
            runs.append(json.loads(out.strip().splitlines()[-1]))
        fastest = min(runs, key=lambda r: r["wall"])
        best[n_threads] = fastest
        print(f"n_threads {n_threads:>2}: wall {fastest['wall']:.3f} s (best of {repeats}), "
              f"{fastest['trees_per_s']:.2f} trees/s, peak RSS {fastest['peak_mib']:.0f} MiB")
    print(f"speed-up of n_threads -1 over 1: {best[1]['wall'] / best[-1]['wall']:.2f}x "
          f"on {len(os.sched_getaffinity(0))} processors")


if __name__ == "__main__":
    main()
