"""Main job: train an uplift forest on the bundled example, save it, and show
on held-out customers that it ranks them by uplift.

Usage: python examples/train_example.py [model_path]
"""
import csv
import pathlib
import sys

import corvane

HERE = pathlib.Path(__file__).parent
FEATURES = ["recency", "frequency", "spend", "tenure", "price_sensitivity", "plan", "channel"]
CATEGORICAL = {"plan", "channel"}


def load_rows():
    with (HERE / "data" / "uplift_example.csv").open(newline="") as f:
        return list(csv.DictReader(f))


def columns(rows):
    data = {name: [r[name] if name in CATEGORICAL else float(r[name]) for r in rows]
            for name in FEATURES}
    data["treatment"] = [int(r["treatment"]) for r in rows]
    data["converted"] = [int(r["converted"]) for r in rows]
    return data


def main() -> None:
    model_path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "example_model.json")
    rows = load_rows()
    split = int(len(rows) * 0.8)
    train = columns(rows[:split])

    # Shallow trees with large leaves: uplift is a small difference of two
    # rates, and small leaves mostly fit noise.
    model = corvane._UpliftRandomForestModel(
        n_estimators=40, max_features=3, max_depth=4, min_sample_leaf=500, eval_func="ED",
        max_bins=10, balance=False, regularization=False, alpha=0.5)
    model.fit(train, FEATURES, "treatment", "converted", -1)
    model.save(str(model_path))
    print(f"saved model to {model_path} ({model_path.stat().st_size} bytes)")
    print("features:", ", ".join(model.feature_cols()))

    # A reloaded model predicts exactly as the one in memory.
    reloaded = corvane._UpliftRandomForestModel(1, 1, 1, 1, "ED", 1, False, False, 0.0)
    reloaded.load(str(model_path))
    held_out = rows[split:]
    x = [[r[name] if name in CATEGORICAL else float(r[name]) for name in FEATURES]
         for r in held_out]
    uplift = reloaded.predict(x, -1)
    assert uplift == model.predict(x, 1)

    importance = model.get_feature_importance("gain")
    print("importance (gain):", ", ".join(
        f"{name} {value:.4f}" for name, value in sorted(
            zip(model.feature_cols(), importance), key=lambda p: -p[1])))
    for t, name in ((1, "email"), (2, "discount")):
        decile_table(held_out, [u[t - 1] for u in uplift], t, name)


def decile_table(rows, scores, treatment, name):
    """Observed uplift (treated minus control conversion) per predicted decile."""
    order = sorted(range(len(rows)), key=lambda i: -scores[i])
    size = len(order) // 10
    print(f"\nuplift by predicted decile, treatment {treatment} ({name}) vs control")
    print("decile  predicted  observed  treated  control")
    for d in range(10):
        part = order[d * size:(d + 1) * size] if d < 9 else order[9 * size:]
        treated = [int(rows[i]["converted"]) for i in part if int(rows[i]["treatment"]) == treatment]
        control = [int(rows[i]["converted"]) for i in part if int(rows[i]["treatment"]) == 0]
        observed = (sum(treated) / len(treated) if treated else float("nan")) - \
            (sum(control) / len(control) if control else float("nan"))
        predicted = sum(scores[i] for i in part) / len(part)
        print(f"{d + 1:>6}  {predicted:>9.4f}  {observed:>8.4f}  {len(treated):>7}  {len(control):>7}")


if __name__ == "__main__":
    main()
