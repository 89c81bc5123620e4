"""Main job: train an uplift forest on the bundled example, save and reload it,
and show on held-out customers that it ranks them by uplift.

Prints the uplift-by-decile table and the Qini coefficient of each treatment
and draws their Qini curves into qini.png next to the model file.

Usage: python examples/train_example.py [model_path]
"""

import pathlib
import sys

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from corvane_learn import UpliftForestClassifier
from corvane_learn.metrics import qini_score, uplift_by_decile
from corvane_learn.plot import plot_qini

HERE = pathlib.Path(__file__).parent
TREATMENTS = {0: "control", 1: "email", 2: "discount"}


def main() -> None:
    model_path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "example_model.json")
    plot_path = model_path.with_name("qini.png")

    frame = pd.read_csv(HERE / "data" / "uplift_example.csv")
    treatment = frame.pop("treatment").map(TREATMENTS).to_numpy()
    converted = frame.pop("converted").to_numpy()
    frame["plan"] = frame["plan"].astype("category")
    split = int(len(frame) * 0.8)
    train, held_out = frame.iloc[:split], frame.iloc[split:]

    # Shallow trees with large leaves: uplift is a small difference of two
    # rates, and small leaves mostly fit noise.
    forest = UpliftForestClassifier(
        n_estimators=40, max_features=3, max_depth=4, min_samples_leaf=500, criterion="ED",
        regularization=False, alpha=0.5, control="control", verbose=1)
    forest.fit(train, treatment[:split], converted[:split])
    forest.save(model_path)
    print(f"saved model to {model_path} ({model_path.stat().st_size} bytes)")

    # A reloaded model predicts exactly as the one in memory.
    reloaded = UpliftForestClassifier.load(model_path)
    uplift = reloaded.predict(held_out)
    assert np.array_equal(uplift, forest.predict(held_out))

    print("importance (gain share):", ", ".join(
        f"{name} {value:.3f}" for name, value in sorted(
            zip(reloaded.feature_names_in_, reloaded.feature_importances_),
            key=lambda p: -p[1])))

    # A bare Figure needs no display backend.
    fig = Figure(figsize=(11, 4.5))
    axes = fig.subplots(1, len(reloaded.treatments_))
    for column, (name, ax) in enumerate(zip(reloaded.treatments_, axes)):
        args = (converted[split:], uplift[:, column], treatment[split:])
        table = uplift_by_decile(*args, treated=name, control="control")
        print(f"\nuplift by predicted decile, {name} vs control (held-out customers)")
        print(table.to_string(index=False, float_format=lambda v: f"{v:.4f}"))
        print(f"Qini coefficient, {name}: "
              f"{qini_score(*args, treated=name, control='control'):.4f}")
        plot_qini(*args, treated=name, control="control", ax=ax, perfect=False)
    fig.tight_layout()
    fig.savefig(plot_path, dpi=100)
    print(f"\nwrote {plot_path}")


if __name__ == "__main__":
    main()
