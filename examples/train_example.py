"""Main job: train an uplift forest on the bundled example and save it.

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

    model = corvane._UpliftRandomForestModel(
        n_estimators=20, max_features=4, max_depth=6, min_sample_leaf=200, eval_func="KL",
        max_bins=10, balance=False, regularization=False, alpha=0.5)
    model.fit(train, FEATURES, "treatment", "converted", -1)
    model.save(str(model_path))
    print(f"saved model to {model_path} ({model_path.stat().st_size} bytes)")
    print("features:", ", ".join(model.feature_cols()))


if __name__ == "__main__":
    main()
