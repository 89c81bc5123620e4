"""Records the outputs of seeded estimator fits into recorded_fits.npz.

The recording was made once, before the core was reorganised, so that
tests/test_learn_recorded.py can hold every later change of how the forest
is computed to the same results, bit for bit. Run it again only when a
change of results is intended (and say so in the commit):
    python tests/data/record_fits.py
"""

import hashlib
import pathlib
import re

import numpy as np

from corvane_learn import UpliftForestClassifier

HERE = pathlib.Path(__file__).parent

# Each configuration: (name, hyper-parameters). Together they reach every
# criterion, both balances, regularisation off, honesty, categories, missing
# cells, two and three treatments and deep trees with small leaves.
CONFIGS = [
    ("ed", dict(criterion="ED", max_depth=4, min_samples_leaf=30)),
    ("kl", dict(criterion="KL", max_depth=5, min_samples_leaf=20)),
    ("chi", dict(criterion="CHI", max_depth=5, min_samples_leaf=20, balance=True)),
    ("ed_noreg", dict(criterion="ED", regularization=False, alpha=0.3, max_bins=25)),
    ("kl_honest", dict(criterion="KL", honesty=True, estimation_sample_size=0.4,
                       min_samples_leaf=15)),
    ("ed_deep", dict(criterion="ED", max_depth=9, min_samples_leaf=3, max_features=None)),
    # Leaves so small that some lack a group.
    ("kl_deep", dict(criterion="KL", max_depth=10, min_samples_leaf=2, max_features=None)),
]


def data(seed: int = 7, rows: int = 1500):
    """Rows with numeric, categorical and missing cells and three groups."""
    rng = np.random.default_rng(seed)
    x0 = rng.normal(size=rows)
    x1 = rng.uniform(0, 10, size=rows)
    x2 = rng.integers(0, 5, size=rows).astype(np.float64)
    x1[rng.random(rows) < 0.05] = np.nan
    city = rng.choice(np.array(["north", "south", "east", "west"], dtype=object), size=rows)
    city[rng.random(rows) < 0.03] = None
    t = rng.choice(np.array(["control", "mail", "sms"], dtype=object), size=rows)
    base = 0.2 + 0.1 * (x0 > 0)
    lift = np.where(t == "mail", 0.15 * (x1 > 5), 0.0) + np.where(
        t == "sms", 0.1 * (city == "north"), 0.0)
    y = (rng.random(rows) < base + lift).astype(np.int64)
    X = {"x0": x0, "x1": x1, "x2": x2, "city": city}
    return X, y, t


def outputs():
    X, y, t = data()
    Xtest, _, _ = data(seed=11, rows=400)
    result = {}
    for name, params in CONFIGS:
        est = UpliftForestClassifier(n_estimators=12, control="control", random_state=3,
                                     n_jobs=2, **params)
        est.fit(X, y, treatment=t)
        uplift, spread = est.predict(Xtest, return_std=True)
        result[f"{name}/uplift"] = uplift
        result[f"{name}/spread"] = spread
        result[f"{name}/response"] = est.predict_response(Xtest)
        result[f"{name}/gain"] = np.asarray(est.forest_.importance("gain"))
        result[f"{name}/split"] = np.asarray(est.forest_.importance("split"))
        # The whole model file: every tree, threshold, gain and node count
        # (less the rows that reached each node, which files record since).
        text = re.sub(rb',"node_rows":\[[0-9,\[\]]*\]', b"", est._to_bytes())
        result[f"{name}/file_sha256"] = np.asarray(hashlib.sha256(text).hexdigest())
    return result


if __name__ == "__main__":
    np.savez_compressed(HERE / "recorded_fits.npz", **outputs())
