"""Helpers shared by the tests of corvane_learn: the estimator's data seen
without the estimator, and its saved forests walked without any native code."""
import json
import math

from model_walk import f32

MISSING = "<missing>"


def extension_rows(frame, features):
    """Rows as the extension reads them, built cell by cell without the layer:
    numbers as floats, categories as their text, a missing category as
    "<missing>"."""
    pd = __import__("pandas")
    rows = []
    kinds = []
    for name in features:
        column = frame[name]
        kinds.append(not isinstance(column.dtype, pd.CategoricalDtype) and (
            pd.api.types.is_numeric_dtype(column.dtype) or pd.api.types.is_bool_dtype(column.dtype)))
    for values in frame[list(features)].itertuples(index=False):
        row = []
        for value, numeric in zip(values, kinds):
            if numeric:
                row.append(float(value))
            elif value is None or value is pd.NA or (isinstance(value, float) and math.isnan(value)):
                row.append(MISSING)
            else:
                row.append(str(value))
        rows.append(row)
    return rows


def _leaf(nodes, row):
    i = 0
    while True:
        node = nodes[i]
        if node["prob"]:
            return node["prob"]
        split = node["split_value"]
        cell = row[node["col_idx"]]
        if "Numeric" in split:
            left = not isinstance(cell, str) and f32(cell) <= f32(split["Numeric"])
        else:
            left = cell == split["Str"]
        i = 2 * i + (1 if left else 2)


def walk_saved_forest(path, rows):
    """The mean of the saved trees' leaves for each row, summed in tree order
    and divided by the tree count as the native walk does."""
    import numpy as np

    trees = json.loads(open(path, encoding="utf-8").read())["trees"]
    out = []
    for row in rows:
        acc = None
        for tree in trees:
            leaf = _leaf(tree["nodes"], row)
            acc = list(leaf) if acc is None else [p + a for p, a in zip(leaf, acc)]
        out.append([a / len(trees) for a in acc])
    return np.array(out, dtype=np.float64)


def saved_trees(path):
    """The trees of a model file the estimator wrote, each a dict from node
    position to node, every stored node with its statistics from the
    estimator's part (the nodes growth wrote, in position order): "counts",
    per group [n, positives] for a 0/1 outcome or [n, sum, squares] for a
    real one, and "rows", the rows its values rest on."""
    document = json.loads(open(path, encoding="utf-8").read())
    part = document["corvane_learn"]
    real = "node_stats" in part
    flat = part["node_stats" if real else "node_counts"]
    per_group = 3 if real else 2
    trees = []
    for tree, counts in zip(document["trees"], flat):
        stored = {pos: dict(node) for pos, node in enumerate(tree["nodes"])
                  if node["prob"] or node["col_idx"] >= 0}
        width = len(counts) // len(stored)
        for k, pos in enumerate(sorted(stored)):
            stored[pos]["counts"] = counts[k * width:(k + 1) * width]
            stored[pos]["rows"] = sum(stored[pos]["counts"][::per_group])
        trees.append(stored)
    return trees


def spend_of(y, seed=0):
    """A real-valued outcome made from 0/1 outcomes `y`: each positive row's
    basket in dollars (long-tailed: gamma, mean 40), 0 elsewhere."""
    import numpy as np

    return np.asarray(y) * np.random.default_rng(seed).gamma(2.0, 20.0, len(y))


def small_leaf_data(n=3000, seed=1):
    """Rows (X, treatment, y) on which KL and CHI grow leaves that miss a group."""
    import numpy as np

    rng = np.random.default_rng(seed)
    X = {"a": rng.normal(size=n), "b": rng.integers(0, 40, size=n).astype(float)}
    t = rng.integers(0, 3, size=n)
    y = (rng.random(n) < 0.3 + 0.2 * (X["a"] > 0) * (t == 1)).astype(int)
    return X, t, y
