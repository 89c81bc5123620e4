"""Trained trees checked against their training rows.

Training draws features and samples at random, so no fixed tree is expected;
instead every number a saved tree holds is recomputed in Python from the rows
that the tree routes to each node and must agree exactly.
"""
import itertools
import json
import math
import os
import random
import sys
import zlib

import pytest

import corvane

# The helper module sits next to this file; tests/ is not a package.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import model_walk as mw  # noqa: E402

COLORS = ["red", "green", "blue", "grey"]
REGIONS = ["north", "south", "east", "Zürich"]
X_NAMES = ["x0", "x1", "age", "color", "region"]


def make_data(seed, n_rows, treatments, numeric="f32", nan_share=0.0):
    rng = random.Random(seed)
    t = [rng.choice(treatments) for _ in range(n_rows)]
    if numeric == "f32":
        x0 = [mw.f32(rng.uniform(-3.0, 3.0)) for _ in range(n_rows)]
    elif numeric == "coarse":
        # Many equal values, so quantile positions collide and ties occur.
        x0 = [rng.randint(-12, 12) / 4 for _ in range(n_rows)]
    else:
        x0 = [rng.uniform(-3.0, 3.0) for _ in range(n_rows)]
    x1 = [math.nan if rng.random() < nan_share else rng.gauss(0.0, 1.0) for _ in range(n_rows)]
    age = [rng.randint(18, 80) for _ in range(n_rows)]
    color = [rng.choice(COLORS) for _ in range(n_rows)]
    region = [rng.choice(REGIONS) for _ in range(n_rows)]
    y = []
    for i in range(n_rows):
        g = t[i]
        p = 0.25 + (0.1 if color[i] == "red" else 0.0)
        if g:
            p += 0.12 * g if x0[i] > 0 else -0.04 * g
            p += 0.08 if region[i] == "north" else 0.0
            p += 0.1 if (x1[i] == x1[i] and x1[i] > 0.5) else 0.0
        y.append(1 if rng.random() < min(max(p, 0.02), 0.95) else 0)
    return {"x0": x0, "x1": x1, "age": age, "color": color, "region": region, "treat": t, "y": y}


def train(data, params, x_names=X_NAMES, n_threads=2, tmp_path=None, model=None):
    m = model or corvane._UpliftRandomForestModel(
        params["n_estimators"], params["max_features"], params["max_depth"],
        params["min_sample_leaf"], params["eval_func"], params["max_bins"],
        params["balance"], params["regularization"], params["alpha"])
    m.fit(data, x_names, "treat", "y", n_threads)
    path = tmp_path / "model.json"
    m.save(str(path))
    return m, json.loads(path.read_text(encoding="utf-8"))


def params_of(**kw):
    p = dict(n_estimators=4, max_features=3, max_depth=3, min_sample_leaf=20, eval_func="ED",
             max_bins=10, balance=True, regularization=False, alpha=0.3)
    p.update(kw)
    return p


class Walk:
    """Routes the training rows through one saved tree and checks every node."""

    def __init__(self, data, x_names, params):
        self.x_names = x_names
        self.columns = [mw.cells(data[name]) for name in x_names]
        self.treatment, self.outcome = data["treat"], data["y"]
        self.max_t = max(self.treatment)
        self.p = params
        self.rows = range(len(self.treatment))

    def counts(self, rows):
        return mw.group_counts(rows, self.treatment, self.outcome, self.max_t)

    def gain(self, rows, left, right):
        p = self.p
        parent, lc, rc = self.counts(rows), self.counts(left), self.counts(right)
        s_p = mw.calc_score(parent, p["eval_func"], p["balance"], len(rows))
        s_l = mw.calc_score(lc, p["eval_func"], p["balance"], len(left))
        s_r = mw.calc_score(rc, p["eval_func"], p["balance"], len(right))
        return mw.split_gain(s_p, s_l, s_r, len(rows), len(left), parent, lc,
                             p["regularization"], p["alpha"])

    def check(self, tree):
        p = self.p
        nodes = tree["nodes"]
        assert len(nodes) == 2 ** (p["max_depth"] + 1) - 1
        assert tree["feature_cols"] == self.x_names
        for key in ("max_depth", "min_sample_leaf", "max_features", "max_bins", "balance",
                    "regularization", "alpha"):
            assert tree[key] == p[key], key
        assert tree["eval_func"] == mw.TREE_EVAL_NAME[p["eval_func"]]
        reached = mw.route(nodes, self.columns, self.rows)
        for i, node in enumerate(nodes):
            if i not in reached:
                assert node == mw.DEFAULT_NODE, f"node {i} lies below a leaf but was written"
                continue
            rows = reached[i]
            if node["prob"]:
                self.check_leaf(i, node, rows)
            else:
                assert mw.depth_of(i) < p["max_depth"], f"node {i} at the depth limit is not a leaf"
                self.check_split(i, node, rows, reached[2 * i + 1], reached[2 * i + 2])
        return reached

    def check_leaf(self, i, node, rows):
        assert (node["col_name"], node["col_idx"], node["split_value"], node["gain"]) == (
            "", -1, {"Numeric": 0.0}, 0.0), f"leaf {i} carries split fields"
        expected = mw.leaf_value(self.counts(rows))
        assert len(node["prob"]) == len(expected)
        for saved, want in zip(node["prob"], expected):
            assert mw.same_float(saved, want), f"leaf {i}: prob {node['prob']} != {expected}"

    def check_split(self, i, node, rows, left, right):
        idx = node["col_idx"]
        assert 0 <= idx < len(self.x_names) and node["col_name"] == self.x_names[idx], node
        col = self.columns[idx]
        at_node = {col[r] for r in rows}
        if isinstance(col[0], str):
            assert set(node["split_value"]) == {"Str"}, node
            assert node["split_value"]["Str"] in at_node
        else:
            assert set(node["split_value"]) == {"Numeric"}, node
            threshold = node["split_value"]["Numeric"]
            assert threshold is not None and not math.isnan(threshold)
            # The file writes the shortest digits that read back to the 32-bit
            # threshold, which must be a sampled cell of this node.
            assert mw.f32(threshold) in at_node, node
        msl = self.p["min_sample_leaf"]
        assert len(left) > msl and len(right) > msl, (i, len(left), len(right))
        expected = self.gain(rows, left, right)
        assert mw.same_float(node["gain"], expected), f"node {i}: gain {node['gain']!r} != {expected!r}"
        assert expected > 0.0
        assert node["prob"] == []


def check_forest(saved, data, x_names, params, n_trees):
    assert len(saved["trees"]) == n_trees
    walk = Walk(data, x_names, params)
    return [walk.check(tree) for tree in saved["trees"]]


GENERIC_CASES = [
    # (id, data arguments, training parameters)
    ("ed-f32-1t", dict(treatments=[0, 1]), dict()),
    ("kl-arbitrary-2t-nan", dict(treatments=[0, 1, 2], numeric="any", nan_share=0.2),
     dict(eval_func="KL", max_bins=5, max_depth=4, min_sample_leaf=10)),
    ("chi-3t-reg", dict(treatments=[0, 1, 2, 3], nan_share=0.05),
     dict(eval_func="CHI", regularization=True, balance=False, max_depth=4)),
    ("ed-coarse-unbalanced-reg", dict(treatments=[0, 1, 2], numeric="coarse"),
     dict(balance=False, regularization=True, alpha=0.3, max_bins=3, min_sample_leaf=5)),
    ("kl-sampled-bins2", dict(treatments=[0, 1], numeric="any", nan_share=0.1),
     dict(eval_func="KL", max_bins=2, max_depth=5, min_sample_leaf=3, regularization=True)),
    ("chi-many-bins-deep", dict(treatments=[0, 1, 2], numeric="coarse", nan_share=0.3),
     dict(eval_func="CHI", max_bins=40, max_depth=6, min_sample_leaf=1, max_features=5)),
    ("ed-alpha1", dict(treatments=[0, 1, 2]), dict(regularization=True, alpha=1.0)),
    ("kl-alpha0-unbalanced", dict(treatments=[0, 1, 2, 3], numeric="any"),
     dict(eval_func="KL", regularization=True, alpha=0.0, balance=False, max_features=9)),
]


@pytest.mark.parametrize("data_args,train_args", [c[1:] for c in GENERIC_CASES],
                         ids=[c[0] for c in GENERIC_CASES])
def test_every_saved_number_matches_the_training_rows(tmp_path, data_args, train_args):
    data = make_data(zlib.crc32(repr(data_args).encode()), 3000, **data_args)
    params = params_of(**train_args)
    _, saved = train(data, params, tmp_path=tmp_path)
    check_forest(saved, data, X_NAMES, params, params["n_estimators"])


def split_candidates(walk, rows, max_bins):
    """Every candidate that a search over a whole node proposes, with its left
    row count and left counts, when the node is its own sample."""
    for idx, col in enumerate(walk.columns):
        if isinstance(col[0], str):
            per_cat = {}
            for r in rows:
                per_cat.setdefault(col[r], []).append(r)
            assert len(per_cat) <= max_bins - 1
            for cat, members in per_cat.items():
                yield idx, cat, len(members), walk.counts(members)
            continue
        order = sorted(rows, key=col.__getitem__)
        counts = [0] * (2 * (walk.max_t + 1))
        k = 0
        for thr in mw.candidate_thresholds([col[r] for r in rows], max_bins):
            while k < len(order) and col[order[k]] <= thr:
                r = order[k]
                counts[2 * walk.treatment[r]] += 1
                counts[2 * walk.treatment[r] + 1] += walk.outcome[r]
                k += 1
            yield idx, thr, k, list(counts)


@pytest.mark.parametrize("eval_func,balance,regularization",
                         list(itertools.product(["ED", "KL", "CHI"], [True, False], [True, False])))
def test_chosen_split_is_the_best_candidate(tmp_path, eval_func, balance, regularization):
    # Without NaN, with every feature drawn, at most 500 * max_bins rows and
    # fewer categories than max_bins, the candidate set of each node is fixed,
    # so the best gain of each node is known.
    data = make_data(7, 2400, [0, 1, 2])
    params = params_of(n_estimators=3, max_features=8, max_depth=5, max_bins=6, min_sample_leaf=10,
                       eval_func=eval_func, balance=balance, regularization=regularization)
    _, saved = train(data, params, tmp_path=tmp_path)
    walk = Walk(data, X_NAMES, params)
    for tree in saved["trees"]:
        reached = walk.check(tree)
        for i, rows in reached.items():
            if mw.depth_of(i) >= params["max_depth"]:
                continue
            parent = walk.counts(rows)
            s_p = mw.calc_score(parent, eval_func, balance, len(rows))
            best, firsts = -math.inf, {}
            for idx, value, n_left, lc in split_candidates(walk, rows, params["max_bins"]):
                n_right = len(rows) - n_left
                if n_left <= params["min_sample_leaf"] or n_right <= params["min_sample_leaf"]:
                    continue
                rc = [a - b for a, b in zip(parent, lc)]
                g = mw.split_gain(s_p, mw.calc_score(lc, eval_func, balance, n_left),
                                  mw.calc_score(rc, eval_func, balance, n_right),
                                  len(rows), n_left, parent, lc, regularization, params["alpha"])
                if g > best:
                    best = g
                if g == g and (idx, g) not in firsts:
                    firsts[(idx, g)] = value
            node = tree["nodes"][i]
            if node["prob"]:
                assert not best > 0.0, f"node {i} left unsplit although a gain of {best} exists"
                continue
            assert mw.same_float(node["gain"], best), f"node {i}: gain {node['gain']} but best candidate {best}"
            if "Numeric" in node["split_value"]:
                # Within one feature the first (smallest) threshold of equal gain is kept.
                assert mw.f32(node["split_value"]["Numeric"]) == firsts[(node["col_idx"], best)]


@pytest.mark.parametrize("n_treat", [1, 2, 3])
@pytest.mark.parametrize("train_args", [
    dict(max_depth=0), dict(max_bins=1), dict(max_features=0), dict(min_sample_leaf=1000)],
    ids=["depth0", "bins1", "features0", "min-leaf-half"])
def test_single_leaf_forests_hold_the_overall_uplift(tmp_path, n_treat, train_args):
    data = make_data(11 + n_treat, 2000, list(range(n_treat + 1)), nan_share=0.1)
    params = params_of(**train_args)
    _, saved = train(data, params, tmp_path=tmp_path)
    t, y = data["treat"], data["y"]
    overall = []
    for g in range(1, n_treat + 1):
        n_g = sum(1 for v in t if v == g)
        overall.append(sum(b for v, b in zip(t, y) if v == g) / n_g
                       - sum(b for v, b in zip(t, y) if v == 0) / t.count(0))
    for tree in saved["trees"]:
        assert len(tree["nodes"]) == 2 ** (params["max_depth"] + 1) - 1
        assert tree["nodes"][0]["prob"] == overall
        assert all(n == mw.DEFAULT_NODE for n in tree["nodes"][1:])
    check_forest(saved, data, X_NAMES, params, params["n_estimators"])


def test_planted_signal_feature_is_chosen_at_the_root(tmp_path):
    rng = random.Random(3)
    n = 6000
    data = {name: [rng.uniform(-1, 1) for _ in range(n)] for name in ["n1", "n2", "n3", "signal"]}
    data["treat"] = [rng.randint(0, 1) for _ in range(n)]
    # Treatment helps strongly above 0 and harms below it, on this feature only.
    data["y"] = [int(rng.random() < (0.8 if (s > 0) == bool(g) else 0.2))
                 for s, g in zip(data["signal"], data["treat"])]
    names = ["n1", "n2", "n3", "signal"]
    params = params_of(n_estimators=10, max_features=4, max_bins=4, max_depth=2)
    _, saved = train(data, params, x_names=names, tmp_path=tmp_path)
    roots = [tree["nodes"][0]["col_name"] for tree in saved["trees"]]
    assert roots.count("signal") >= 8, roots
    check_forest(saved, data, names, params, 10)


def test_second_fit_appends_trees_and_keeps_the_first(tmp_path):
    first = make_data(21, 1500, [0, 1])
    second = make_data(22, 1800, [0, 1], nan_share=0.2)
    params = params_of(n_estimators=3)
    m, saved1 = train(first, params, tmp_path=tmp_path)
    _, saved2 = train(second, params, tmp_path=tmp_path, model=m)
    assert len(saved2["trees"]) == 6
    assert saved2["trees"][:3] == saved1["trees"]
    walk = Walk(second, X_NAMES, params)
    for tree in saved2["trees"][3:]:
        walk.check(tree)
    assert m.feature_cols() == X_NAMES


@pytest.mark.parametrize("n_threads", [1, 2, -1])
def test_thread_counts_all_train_valid_forests(tmp_path, n_threads):
    data = make_data(31, 2000, [0, 1, 2], nan_share=0.1)
    params = params_of(n_estimators=5, eval_func="KL", regularization=True)
    _, saved = train(data, params, n_threads=n_threads, tmp_path=tmp_path)
    check_forest(saved, data, X_NAMES, params, 5)
