"""Feature values beyond the 32-bit float range (and infinities) never become
split thresholds, so a saved model predicts exactly as before saving."""
import json
import math
import random

from conftest import TREATMENT, fit, new_model, saved_text

INF = float("inf")


def infinite_heavy_data(n=2000, seed=3):
    """Column "x": 45 % -inf (as -inf or -1e39), 20 % finite, 35 % +inf (or
    1e39). The treatment works only on the -inf rows, so the purest split
    separates them: a threshold of -inf would be the best candidate."""
    rng = random.Random(seed)
    x, t, y = [], [], []
    for i in range(n):
        u = rng.random()
        value = rng.choice([-INF, -1e39]) if u < 0.45 else rng.random() if u < 0.65 else rng.choice([INF, 1e39])
        treated = i % 2
        p = 0.8 if treated and value < -1.0 else 0.2
        x.append(value)
        t.append(treated)
        y.append(int(rng.random() < p))
    return {"x": x, TREATMENT: t, "y": y}


def test_saved_model_predicts_as_before(tmp_path):
    model = new_model(n_estimators=6, max_features=1, max_depth=3, min_sample_leaf=5)
    fit(model, infinite_heavy_data(), x_names=["x"])
    text = saved_text(model, tmp_path / "m.json")
    assert "null" not in text

    thresholds = [node["split_value"]["Numeric"] for tree in json.loads(text)["trees"]
                  for node in tree["nodes"] if node["col_idx"] == 0]
    assert thresholds, "no tree split on x: the data no longer tests thresholds"
    assert all(math.isfinite(v) for v in thresholds)

    reloaded = new_model()
    reloaded.load(str(tmp_path / "m.json"))
    rows = [[v] for v in (-INF, -1e39, -3.4e38, -1.0, 0.0, 0.5, 1.0, 3.4e38, 1e39, INF, math.nan)]
    for n_threads in (1, 2):
        assert reloaded.predict(rows, n_threads) == model.predict(rows, n_threads)
    # The -inf rows still end up apart from the finite ones.
    before = model.predict(rows, 1)
    assert before[0] != before[5]
