"""The fixed synthetic workload shared by the benchmarks."""
import random

ROWS = 100_000
NUMERIC = [f"x{i}" for i in range(10)]
CATEGORICAL = ["c0", "c1"]
FEATURES = NUMERIC + CATEGORICAL
PARAMS = dict(n_estimators=20, max_features=4, max_depth=8, min_sample_leaf=100,
              eval_func="KL", max_bins=10, balance=False, regularization=False, alpha=0.5)


def make_data(rows=ROWS, seed=7):
    rng = random.Random(seed)
    data = {name: [rng.random() for _ in range(rows)] for name in NUMERIC}
    data["c0"] = [rng.choice("abcdefgh") for _ in range(rows)]
    data["c1"] = [rng.choice(["red", "green", "blue"]) for _ in range(rows)]
    data["t"] = [rng.randint(0, 2) for _ in range(rows)]
    y = []
    for i in range(rows):
        p = 0.1 + 0.1 * data["x0"][i]
        if data["t"][i] == 1 and data["x1"][i] > 0.5:
            p += 0.15
        if data["t"][i] == 2 and data["c0"][i] in "abc":
            p += 0.1
        y.append(1 if rng.random() < p else 0)
    data["y"] = y
    return data


def rows_of(data, features=FEATURES, rows=None):
    n = len(data["t"]) if rows is None else rows
    return [[data[name][i] for name in features] for i in range(n)]


# The serving case: a larger forest of deeper trees over wider rows.
SERVING_NUMERIC = [f"n{i}" for i in range(20)]
SERVING_CATEGORICAL = ["k0", "k1"]
SERVING_FEATURES = SERVING_NUMERIC + SERVING_CATEGORICAL
SERVING_PARAMS = dict(n_estimators=50, max_features=5, max_depth=10, min_sample_leaf=100,
                      eval_func="ED", max_bins=10, balance=False, regularization=False, alpha=0.5)


def make_serving_data(rows=200_000, seed=11):
    rng = random.Random(seed)
    data = {name: [rng.random() for _ in range(rows)] for name in SERVING_NUMERIC}
    data["k0"] = [rng.choice("abcdefghij") for _ in range(rows)]
    data["k1"] = [rng.choice(["north", "south", "east", "west"]) for _ in range(rows)]
    data["t"] = [rng.randint(0, 2) for _ in range(rows)]
    y = []
    for i in range(rows):
        p = 0.1 + 0.1 * data["n0"][i] + 0.05 * data["n1"][i]
        if data["t"][i] == 1 and data["n2"][i] > 0.4:
            p += 0.1 + 0.1 * data["n3"][i]
        if data["t"][i] == 2 and data["k0"][i] in "abcd":
            p += 0.1 if data["k1"][i] == "north" else 0.05
        y.append(1 if rng.random() < p else 0)
    data["y"] = y
    return data
