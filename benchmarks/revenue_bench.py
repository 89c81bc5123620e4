"""Revenue uplift: UpliftForestRegressor against a LightGBM T-learner of regressors.

A synthetic spend data set: 200,000 training and 100,000 held-out
customers, 10 numeric features and one categorical one ("region", five
values), a control group and two treatments. Most customers spend nothing
(about 11 % buy); a purchase's basket is log-normal, so spend has a long
tail. The effects differ from customer to customer: "mail" makes buying
more likely where x2 > 0.5, "coupon" makes it much more likely in regions
a and b (the more so the larger x3) but takes 15 % off every basket it
pays for, so it loses money elsewhere.

(a) `UpliftForestRegressor`: 100 trees of depth 6 ("ED", min_samples_leaf
200, all processors). (b) The T-learner a user falls back on: one
`lightgbm.LGBMRegressor` per group (100 trees of depth 6, up to 64 leaves,
the region as a pandas categorical, all processors), the uplift of a
treatment being its model's prediction minus the control model's. Both are
scored on the held-out customers with `corvane_learn.metrics.uplift_at_k` on
the dollar outcomes (k = 0.3: the observed extra spend per customer among
the 30 % with the highest predicted uplift), next to random targeting (the
treatment's average uplift) and to the true uplift as the ranking (the
best any model could do on these rows); also the correlation of each
model's uplift with the true one. Fit times are the best of 3, the two fits
taking turns.

LightGBM is not a dependency of corvane: install it into the environment
that runs this script (`.venv/bin/python -m pip install lightgbm`); without
it the script says so and measures only (a).
Usage: python benchmarks/revenue_bench.py
"""

import time

import numpy as np
import pandas as pd

from corvane_learn import UpliftForestRegressor
from corvane_learn.metrics import uplift_at_k

TRAIN_ROWS = 200_000
HELD_OUT_ROWS = 100_000
NUMERIC = [f"x{i}" for i in range(10)]
GROUPS = ["control", "coupon", "mail"]  # the treatments in treatments_ order after control
TREES, DEPTH = 100, 6
REPEATS = 3
K = 0.3


def make_data(rows: int, seed: int) -> tuple[pd.DataFrame, np.ndarray, np.ndarray, np.ndarray]:
    """Features, treatment labels, spend in dollars and each row's true uplift (rows x 2)."""
    rng = np.random.default_rng(seed)
    x = rng.random((rows, len(NUMERIC)))
    frame = pd.DataFrame(x, columns=NUMERIC)
    region = rng.choice(np.array(list("abcde")), rows)
    frame["region"] = pd.Categorical(region, categories=list("abcde"))
    t = rng.choice(np.array(GROUPS), rows)
    base = 0.05 + 0.08 * x[:, 0]
    mail = np.where(x[:, 2] > 0.5, 0.06, 0.0)
    coupon = np.where(np.isin(region, ["a", "b"]), 0.12 * x[:, 3], 0.0)
    # Mean basket of a log-normal with sigma 0.9: exp(mu + 0.9^2 / 2).
    basket_mean = np.exp(3.5 + 0.6 * x[:, 1] + 0.405)
    p = {"control": base, "mail": base + mail, "coupon": base + coupon}
    factor = {"control": 1.0, "mail": 1.0, "coupon": 0.85}
    bought = rng.random(rows) < np.select([t == g for g in GROUPS], [p[g] for g in GROUPS])
    basket = rng.lognormal(3.5 + 0.6 * x[:, 1], 0.9) * np.where(t == "coupon", 0.85, 1.0)
    spend = np.round(np.where(bought, basket, 0.0), 2)
    truth = np.column_stack([basket_mean * (p[g] * factor[g] - base) for g in GROUPS[1:]])
    return frame, t, spend, truth


def forest_fit(X: pd.DataFrame, t: np.ndarray, y: np.ndarray) -> UpliftForestRegressor:
    return UpliftForestRegressor(n_estimators=TREES, max_depth=DEPTH, min_samples_leaf=200,
                                 criterion="ED", control="control", n_jobs=-1,
                                 random_state=0).fit(X, y, treatment=t)


def t_learner_fit(lightgbm, X: pd.DataFrame, t: np.ndarray, y: np.ndarray) -> dict:
    models = {}
    for group in GROUPS:
        rows = t == group
        models[group] = lightgbm.LGBMRegressor(
            n_estimators=TREES, max_depth=DEPTH, num_leaves=2**DEPTH, n_jobs=-1,
            random_state=0, verbose=-1).fit(X[rows], y[rows])
    return models


def t_learner_uplift(models: dict, X: pd.DataFrame) -> np.ndarray:
    control = models["control"].predict(X)
    return np.column_stack([models[g].predict(X) - control for g in GROUPS[1:]])


def report(name: str, uplift: np.ndarray, t: np.ndarray, y: np.ndarray,
           truth: np.ndarray) -> None:
    cells = []
    for column, group in enumerate(GROUPS[1:]):
        top = uplift_at_k(y, uplift[:, column], t, treated=group, control="control", k=K)
        corr = np.corrcoef(uplift[:, column], truth[:, column])[0, 1]
        cells.append(f"{group} {top:+7.3f} $ (r {corr:.3f})")
    print(f"  {name:<34} " + "   ".join(cells))


def main() -> None:
    try:
        import lightgbm
    except ImportError:
        lightgbm = None
        print("LightGBM is not installed, so only the uplift forest is measured; for the "
              "comparison: .venv/bin/python -m pip install lightgbm")
    X, t, y, _ = make_data(TRAIN_ROWS, seed=1)
    X_test, t_test, y_test, truth = make_data(HELD_OUT_ROWS, seed=2)
    print(f"{TRAIN_ROWS:,} training and {HELD_OUT_ROWS:,} held-out customers; "
          f"{np.mean(y > 0):.1%} spend anything, mean spend {y.mean():.2f} $, largest "
          f"{y.max():,.0f} $; {TREES} trees of depth {DEPTH} per model")

    times: dict[str, list[float]] = {"forest": [], "t-learner": []}
    for _ in range(REPEATS):
        start = time.perf_counter()
        forest = forest_fit(X, t, y)
        times["forest"].append(time.perf_counter() - start)
        if lightgbm is not None:
            start = time.perf_counter()
            models = t_learner_fit(lightgbm, X, t, y)
            times["t-learner"].append(time.perf_counter() - start)

    print(f"fit time, best of {REPEATS} (median):")
    for name, values in times.items():
        if values:
            print(f"  {name:<10} {min(values):6.2f} s ({np.median(values):.2f} s)")

    print(f"held-out uplift at {K:.0%} (observed extra spend per customer among the top "
          f"{K:.0%}; r: correlation with the true uplift):")
    random = np.array([y_test[t_test == g].mean() - y_test[t_test == "control"].mean()
                       for g in GROUPS[1:]])
    print("  random targeting (average uplift)  " + "   ".join(
        f"{g} {r:+7.3f} $" for g, r in zip(GROUPS[1:], random)))
    report("ranked by the true uplift", truth, t_test, y_test, truth)
    report("UpliftForestRegressor", forest.predict(X_test), t_test, y_test, truth)
    if lightgbm is not None:
        report("LightGBM T-learner", t_learner_uplift(models, X_test), t_test, y_test, truth)


if __name__ == "__main__":
    main()
