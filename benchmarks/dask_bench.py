"""Partition-wise training on a Dask cluster against training on one machine.

400,000 rows of 20 numeric features, one treatment against control, 40
trees: (a) `UpliftForestClassifier.fit` in this process; (b)
`corvane_learn.dask.fit` on a local cluster of 2 worker processes over 4
partitions of 100,000 rows. The rows of (b) are generated on the workers
from fixed seeds, so the client never holds them; (a) generates the very
same rows here. Both forests score the same 100,000 held-out rows (made on
the workers for (b), here for (a)). Prints wall times, the client process's
peak resident memory after each step and the AUUC of both.
(b) runs first, since the peak is a high-water mark of the whole process.
Usage: python benchmarks/dask_bench.py
"""

import resource
import time

import dask.dataframe as dd
import distributed
import numpy as np
import pandas as pd

import corvane_learn.dask as cdask
from corvane_learn import UpliftForestClassifier
from corvane_learn.metrics import auuc_score

PARTITIONS = 4
ROWS_PER_PARTITION = 100_000
HELD_OUT_PARTITIONS = 2
HELD_OUT_ROWS = 50_000
FEATURES = [f"x{i}" for i in range(20)]
PARAMS = dict(n_estimators=40, max_depth=6, min_samples_leaf=200, max_features="sqrt",
              criterion="KL", random_state=0)
SEED = 20260


def make_partition(number: int, rows: int) -> pd.DataFrame:
    """Rows of partition `number` (held-out ones are numbered from 1000): a planted uplift."""
    rng = np.random.default_rng([SEED, number])
    x = rng.random((rows, len(FEATURES)))
    t = rng.integers(0, 2, rows)
    p = (0.1 + 0.1 * x[:, 0] + t * (0.12 * (x[:, 1] > 0.5) + 0.08 * x[:, 2]
                                   - 0.05 * (x[:, 3] < 0.2)))
    y = (rng.random(rows) < p).astype(np.int64)
    frame = pd.DataFrame(x, columns=FEATURES)
    frame["t"] = t
    frame["y"] = y
    return frame


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def on_workers(numbers: list[int], rows: int) -> dd.DataFrame:
    meta = make_partition(0, 0)
    return dd.from_map(make_partition, numbers, args=(rows,), meta=meta, enforce_metadata=False)


def score(uplift: np.ndarray, t: np.ndarray, y: np.ndarray) -> float:
    return auuc_score(y, uplift[:, 0], t, treated=1, control=0)


def main() -> None:
    print(f"{PARTITIONS * ROWS_PER_PARTITION:,} rows, {len(FEATURES)} numeric features, "
          f"{PARAMS['n_estimators']} trees; held out: {HELD_OUT_PARTITIONS * HELD_OUT_ROWS:,} rows")
    held_out_numbers = [1000 + i for i in range(HELD_OUT_PARTITIONS)]
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        print(f"client peak after start-up:           {peak_mib():8.1f} MiB")
        train = on_workers(list(range(PARTITIONS)), ROWS_PER_PARTITION)
        start = time.perf_counter()
        remote = cdask.fit(UpliftForestClassifier(**PARAMS), train[FEATURES], train["y"],
                           treatment=train["t"], client=client)
        remote_fit = time.perf_counter() - start
        print(f"(b) dask.fit, 2 workers, {PARTITIONS} partitions: {remote_fit:8.2f} s")
        print(f"client peak after (b) fit:            {peak_mib():8.1f} MiB")
        held = on_workers(held_out_numbers, HELD_OUT_ROWS)
        start = time.perf_counter()
        uplift_b = cdask.predict(remote, held[FEATURES]).compute()
        print(f"(b) dask.predict on held-out rows:    {time.perf_counter() - start:8.2f} s")
        labels = client.compute(held[["t", "y"]]).result()
        auuc_b = score(uplift_b, labels["t"].to_numpy(), labels["y"].to_numpy())
        print(f"client peak after (b) predict:        {peak_mib():8.1f} MiB")

    rows = pd.concat([make_partition(i, ROWS_PER_PARTITION) for i in range(PARTITIONS)],
                     ignore_index=True)
    start = time.perf_counter()
    local = UpliftForestClassifier(**PARAMS).fit(rows[FEATURES], rows["y"], treatment=rows["t"])
    local_fit = time.perf_counter() - start
    print(f"(a) fit on one machine:               {local_fit:8.2f} s")
    print(f"client peak after (a) fit:            {peak_mib():8.1f} MiB")
    held_rows = pd.concat([make_partition(i, HELD_OUT_ROWS) for i in held_out_numbers],
                          ignore_index=True)
    auuc_a = score(local.predict(held_rows[FEATURES]), held_rows["t"].to_numpy(),
                   held_rows["y"].to_numpy())
    print(f"AUUC (a) one machine: {auuc_a:.5f}   (b) dask: {auuc_b:.5f}   "
          f"(b)/(a) = {auuc_b / auuc_a:.3f} (target: within 5 %)")


if __name__ == "__main__":
    main()
