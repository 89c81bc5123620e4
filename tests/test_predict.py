"""Prediction and feature importance, checked against an independent walk of
the saved model file (routing, averaging and importance redone in Python)."""
import json
import math
import os
import random
import struct

import pytest

import corvane
from conftest import (
    UNWRAP_ERR,
    UNWRAP_NONE,
    WIDE_CATEGORIES,
    WIDE_FEATURES,
    make_wide_data,
    placeholder_model,
)
from conftest import call_panic_message as panic_message
from conftest import index_out_of_bounds as ie

Model = corvane._UpliftRandomForestModel
NAN = float("nan")
INF = float("inf")
FEATURES = ["num", "cnt", "cat", "flag"]
CATS = ["red", "green", "blue", "Red", ""]
COUNT = "assertion failed: count == self.n_estimators"
FIRST_ROW = "assertion failed: data[0].len() == self.feature_cols.len()"


def f32(x):
    x = float(x)
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:  # the native side rounds to infinity instead
        return math.copysign(INF, x)


def f32_up(x):
    if x == 0:
        return struct.unpack("<f", struct.pack("<I", 1))[0]
    bits = struct.unpack("<I", struct.pack("<f", x))[0]
    return struct.unpack("<f", struct.pack("<I", bits + 1 if x > 0 else bits - 1))[0]


# ---- independent walk of a model document ---------------------------------

class WalkError(Exception):
    pass


def index_error(length, index):
    return WalkError(ie(length, index))


def tree_row(tree, row):
    nodes = tree["nodes"]
    if not nodes:
        raise index_error(0, 0)
    i = 0
    while True:
        node = nodes[i]
        if node["prob"]:
            return [NAN if p is None else float(p) for p in node["prob"]]
        c = node["col_idx"]
        if c < 0 or c >= len(row):
            raise index_error(len(row), c)
        (kind, value), = node["split_value"].items()
        cell = row[c]
        if kind == "Numeric":
            if isinstance(cell, str):
                raise WalkError("not f64")
            # Both sides are 32-bit; any NaN makes the comparison false.
            left = f32(cell) <= (NAN if value is None else f32(value))
        else:
            if not isinstance(cell, str):
                raise WalkError("not str")
            left = cell == value
        i = 2 * i + 1 if left else 2 * i + 2
        if i >= len(nodes):
            raise index_error(len(nodes), i)


def forest_row(doc, row):
    acc = None
    for tree in doc["trees"]:
        p = tree_row(tree, row)
        if acc is None:
            acc = p
            continue
        if len(p) < len(acc):
            raise index_error(len(p), len(p))
        acc = [p[i] + acc[i] for i in range(len(acc))]
    if acc is None:
        return []
    n = float(len(doc["trees"]))
    return [a / n for a in acc]


def tree_importance(tree, kind):
    fc = tree["feature_cols"]
    out = [0.0] * len(fc)
    for node in tree["nodes"]:
        gain = NAN if node["gain"] is None else node["gain"]
        if gain <= 0:  # NaN is not <= 0, so it counts
            continue
        c = node["col_idx"]
        if c < 0 or c >= len(fc):
            raise index_error(len(fc), c)
        out[c] += gain if kind == "gain" else 1.0
    return out


def forest_importance(doc, kind):
    n = len(doc["trees"][0]["feature_cols"])
    acc = [0.0] * n
    for tree in doc["trees"]:
        fi = tree_importance(tree, kind)
        if len(fi) < n:
            raise index_error(len(fi), len(fi))
        acc = [fi[i] + acc[i] for i in range(n)]
    return [a / float(len(doc["trees"])) for a in acc]


def same(a, b):
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


# ---- hand-made model files -------------------------------------------------

def leaf(prob):
    return {"col_name": "", "col_idx": -1, "split_value": {"Numeric": 0.0}, "prob": prob, "gain": 0.0}


def split(col, value, gain=0.5, name="f"):
    sv = {"Str": value} if isinstance(value, str) else {"Numeric": value}
    return {"col_name": name, "col_idx": col, "split_value": sv, "prob": [], "gain": gain}


def tree(nodes, features=("num", "cat")):
    return {"nodes": nodes, "max_depth": 2, "min_sample_leaf": 1, "max_features": 2,
            "eval_func": "Euclidean", "max_bins": 10, "treatment_col": "t", "outcome_col": "y",
            "feature_cols": list(features), "balance": False, "regularization": False, "alpha": 0.5}


def forest(trees, n_estimators=None):
    return {"n_estimators": len(trees) if n_estimators is None else n_estimators,
            "max_features": 2, "max_depth": 2, "min_sample_leaf": 1, "eval_func": "ED",
            "max_bins": 10, "treatment_col": "t", "outcome_col": "y", "balance": False,
            "regularization": False, "alpha": 0.5, "trees": trees}


def loaded(tmp_path, doc):
    path = tmp_path / "hand.json"
    path.write_text(json.dumps(doc))
    m = placeholder_model()
    m.load(str(path))
    return m


# Depth-2 tree: numeric split at the root, categorical split on the left,
# numeric split on the right; each leaf says which one it is.
ROUTING = forest([tree([split(0, 0.5), split(1, "red"), split(0, 2.0),
                        leaf([3.0, -3.0]), leaf([4.0, -4.0]), leaf([5.0, -5.0]), leaf([6.0, -6.0])])])


# ---- trained forests -------------------------------------------------------

def training_data(groups, seed):
    rng = random.Random(seed)
    cols = {name: [] for name in FEATURES + ["t", "y"]}
    for i in range(600):
        a = rng.random()
        c = rng.choice(CATS)
        g = i % groups
        cols["num"].append(NAN if rng.random() < 0.1 else a * 10 - 3)
        cols["cnt"].append(rng.randrange(10))
        cols["cat"].append(c)
        cols["flag"].append(rng.random() < 0.5)
        p = 0.15 + (0.45 * g / (groups - 1) if a > 0.5 else 0.0) + (0.3 if g and c == "red" else 0.0)
        cols["t"].append(g)
        cols["y"].append(int(rng.random() < p))
    return cols


_BUILT = {}


def built(case, tmp_path_factory):
    """A trained forest, its saved document, probe rows and a reloaded copy;
    built once per case. Cases 1-3 are the number of treatments over FEATURES;
    "wide" is a deep forest over WIDE_FEATURES (20 numeric, 2 categorical)."""
    if case not in _BUILT:
        if case == "wide":
            m = Model(4, 6, 10, 5, "ED", 10, False, False, 0.5)
            m.fit(make_wide_data(3000, seed=5), WIDE_FEATURES, "t", "y", 2)
            make_row = random_wide_row
        else:
            k = case
            m = Model(4, 3, 4, 5, {1: "ED", 2: "KL", 3: "CHI"}[k], 8, k == 2, k == 3, 0.5)
            m.fit(training_data(k + 1, seed=k), FEATURES, "t", "y", 2)
            make_row = random_row
        path = tmp_path_factory.mktemp("trained") / "model.json"
        m.save(str(path))
        doc = json.loads(path.read_text())
        reloaded = placeholder_model()
        reloaded.load(str(path))
        rng = random.Random(100 + (7 if case == "wide" else case))
        rows = probe_rows(doc, rng, make_row)
        if case == "wide":
            for row in rows[1::10]:  # cells beyond the features, which nothing reads
                row += ["extra", 1.0]
        _BUILT[case] = m, doc, rows, reloaded
    return _BUILT[case]


@pytest.fixture(scope="module", params=[1, 2, 3], ids=["1treat", "2treat", "3treat"])
def trained(request, tmp_path_factory):
    return built(request.param, tmp_path_factory)


@pytest.fixture(scope="module", params=[1, 2, 3, "wide"], ids=["1treat", "2treat", "3treat", "wide"])
def any_trained(request, tmp_path_factory):
    return built(request.param, tmp_path_factory)


def random_row(rng):
    num = rng.choice([NAN, INF, -INF] + [rng.uniform(-4, 8) for _ in range(12)])
    cnt = rng.choice([rng.randrange(10), rng.uniform(-1, 10)])
    return [num, cnt, rng.choice(CATS + ["purple", "RED", "red "]), rng.random() < 0.5]


def random_wide_row(rng):
    nums = [rng.choice([rng.random(), rng.random(), rng.randrange(2), NAN, -INF, True])
            for _ in range(20)]
    return nums + [rng.choice(WIDE_CATEGORIES[0] + ["purple", "red "]),
                   rng.choice(WIDE_CATEGORIES[1] + ["A"])]


def probe_rows(doc, rng, make_row):
    rows = [make_row(rng) for _ in range(60)]
    for t in doc["trees"]:
        for node in t["nodes"]:
            if node["prob"] or node["col_idx"] < 0:
                continue
            c = node["col_idx"]
            (kind, value), = node["split_value"].items()
            if kind == "Numeric":
                thr = f32(value)
                # the threshold itself, doubles that round onto it, the next 32-bit value
                cells = [thr, math.nextafter(thr, INF), math.nextafter(thr, -INF), f32_up(thr), NAN]
            else:
                cells = [value, value.upper(), value.capitalize(), value + " ", "", "never-seen"]
            for cell in cells:
                row = make_row(rng)
                row[c] = cell
                rows.append(row)
    return rows


def test_trained_forest_uses_both_kinds_of_split(any_trained):
    _, doc, _, _ = any_trained
    kinds = {next(iter(n["split_value"])) for t in doc["trees"] for n in t["nodes"]
             if not n["prob"] and n["col_idx"] >= 0}
    assert kinds == {"Numeric", "Str"}
    assert len(doc["trees"]) == 4


@pytest.mark.parametrize("which", [0, 3], ids=["trained", "reloaded"])
@pytest.mark.parametrize("n_threads", [1, 2, -1, 16])
def test_predict_matches_walk_of_saved_file(any_trained, n_threads, which):
    m, doc, rows = any_trained[which], any_trained[1], any_trained[2]
    expected = [forest_row(doc, r) for r in rows]
    got = m.predict(rows, n_threads)
    assert same(got, expected)


@pytest.mark.parametrize("which", [0, 3], ids=["trained", "reloaded"])
def test_predict_row_matches_walk_of_saved_file(any_trained, which):
    m, doc, rows = any_trained[which], any_trained[1], any_trained[2]
    for r in rows:
        assert same(m.predict_row(r), forest_row(doc, r)), r


def test_predict_accepts_tuple_of_lists(trained):
    m, doc, rows, _ = trained
    assert same(m.predict(tuple(rows[:10]), 2), [forest_row(doc, r) for r in rows[:10]])


@pytest.mark.parametrize("kind", ["gain", "split", "Gain", "", "gain "])
def test_importance_matches_file(trained, kind):
    m, doc, _, reloaded = trained
    expected = forest_importance(doc, kind)
    assert same(reloaded.get_feature_importance(kind), expected)
    got = m.get_feature_importance(kind)
    assert len(got) == len(m.feature_cols())
    # An infinite gain is written as null, so the file only says "not finite".
    assert all(same(g, e) or (math.isnan(e) and not math.isfinite(g)) for g, e in zip(got, expected))


def test_feature_cols_in_training_order(trained):
    m, doc, _, _ = trained
    assert m.feature_cols() == FEATURES == doc["trees"][0]["feature_cols"]


# ---- argument handling -----------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda m: m.predict([[1.0, "a"]], n_threads=2, threads=3),
     "_UpliftRandomForestModel.predict() got an unexpected keyword argument 'threads'"),
    (lambda m: m.predict([[1.0, "a"]], 2, n_threads=2),
     "_UpliftRandomForestModel.predict() got multiple values for argument 'n_threads'"),
    (lambda m: m.predict([(1.0, "a")], 1), "argument 'data': 'tuple' object cannot be converted to 'PyList'"),
    (lambda m: m.predict_row((1.0,)), "argument 'x': 'tuple' object cannot be converted to 'PyList'"),
    (lambda m: m.predict_row(x=(1.0, "a")), "argument 'x': 'tuple' object cannot be converted to 'PyList'"),
    (lambda m: m.predict_row([1.0], [2.0]),
     "_UpliftRandomForestModel.predict_row() takes 1 positional arguments but 2 were given"),
])
def test_argument_errors(tmp_path, call, message):
    m = loaded(tmp_path, ROUTING)
    with pytest.raises(TypeError) as info:
        call(m)
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda m: m.predict_row([None]),
    lambda m: m.predict_row([0.5, None]),
    lambda m: m.predict([[0.5, "red"], [object(), "red"]], 1),
    lambda m: m.predict([[0.5, "red"], [0.5, b"red"]], 2),
    # found after prediction threads have begun walking the rows before it
    lambda m: m.predict([[0.5, "red"]] * 1500 + [[object(), "red"]], 2),
])
def test_unconvertible_cell_stops(tmp_path, call):
    m = loaded(tmp_path, ROUTING)
    assert panic_message(call, m).startswith(UNWRAP_ERR)


class Rewrites:
    """A cell whose float conversion runs Python code that changes a row
    (its own or another) before that row's later cells are read."""

    def __init__(self, change):
        self.change = change

    def __float__(self):
        self.change()
        return 0.5


@pytest.mark.parametrize("case", ["lengthen own row", "shorten own row", "replace in next row"])
@pytest.mark.parametrize("n_threads", [1, 2])
def test_rows_changed_during_conversion_are_read_as_changed(tmp_path, case, n_threads):
    m = loaded(tmp_path, ROUTING)
    own = [None]
    following = [0.5, "".join(["r", "ed"])]  # a str no other object keeps alive
    if case == "lengthen own row":
        # Every row starts with one cell; the first ends with two.
        own[0] = Rewrites(lambda: own.append("".join(["r", "ed"])))
        following = [0.9]
        expected = [[3.0, -3.0], [5.0, -5.0]]
    elif case == "shorten own row":
        own[0] = Rewrites(lambda: own.pop())
        own.append("red")
        expected = None  # the categorical cell is gone when the split tests it
    else:
        own[0] = Rewrites(lambda: following.__setitem__(1, "blue"))
        own.append("red")
        expected = [[3.0, -3.0], [4.0, -4.0]]
    if expected is None:
        message = panic_message(m.predict, [own, following], n_threads)
        assert message == (ie(1, 1) if n_threads == 1 else COUNT)
    else:
        assert m.predict([own, following], n_threads) == expected


@pytest.mark.parametrize("n_threads", [1, 2, -1])
def test_rows_changed_after_conversion_keep_their_converted_cells(tmp_path, n_threads):
    # Rows before the cell have been converted (and may be walked already);
    # rows after it are read as changed.
    m = loaded(tmp_path, ROUTING)
    rows = [[0.5, "".join(["r", "ed"])] for _ in range(2000)]

    def change():
        rows[0][1] = "blue"
        rows[1701][1] = "blue"

    rows[1700][0] = Rewrites(change)
    expected = [[3.0, -3.0]] * 2000
    expected[1701] = [4.0, -4.0]
    assert m.predict(rows, n_threads) == expected


# ---- routing on a known tree -----------------------------------------------

@pytest.mark.parametrize("row, leaf_value", [
    ([0.5, "red"], 3.0),          # equal to the threshold goes left
    ([0.50000001, "red"], 3.0),   # rounds onto the 32-bit threshold
    ([0.50000006, "red"], 5.0),   # the next 32-bit value goes right
    ([0, "red"], 3.0),
    ([-INF, "red"], 3.0),
    ([0.5, "Red"], 4.0),          # case differs
    ([0.5, "RED"], 4.0),
    ([0.5, ""], 4.0),
    ([0.5, "purple"], 4.0),       # never seen
    ([0.5, "red "], 4.0),
    ([NAN, "red"], 6.0),          # NaN goes right at both numeric splits
    ([1.0, "red"], 5.0),
    ([True, "x"], 5.0),           # True is 1.0
    ([2.0, 7], 5.0),              # the categorical cell is never tested
    ([INF, 7], 6.0),
])
def test_routing(tmp_path, row, leaf_value):
    m = loaded(tmp_path, ROUTING)
    expected = [leaf_value, -leaf_value]
    assert forest_row(ROUTING, row) == expected
    assert m.predict_row(row) == expected
    assert m.predict([row], 1) == [expected]
    assert m.predict([row, row], 2) == [expected, expected]


@pytest.mark.parametrize("written, cell, goes_left", [
    (0.1, 0.1, True),
    (0.1, 0.1000000015, True),
    (0.1, 0.10000001, False),
    (0.10000000149011612, 0.1, True),
    (3, 3, True),
    (3, 3.0000001, True),
    (3, 3.0000003, False),
    (-0.0, 0.0, True),
    (None, -INF, False),          # a null threshold is NaN: nothing goes left
    (None, NAN, False),
])
def test_threshold_is_32_bit(tmp_path, written, cell, goes_left):
    doc = forest([tree([split(0, written), leaf([1.0]), leaf([2.0])])])
    m = loaded(tmp_path, doc)
    assert m.predict_row([cell, "x"]) == [1.0 if goes_left else 2.0]


@pytest.mark.parametrize("row, message", [
    (["0.5", "red"], "not f64"),
    ([0.5, 3], "not str"),
    ([0.5, True], "not str"),
    ([1.0, 5], None),  # routed right, never tests cell 1
])
def test_cell_type_must_match_split(tmp_path, row, message):
    m = loaded(tmp_path, ROUTING)
    if message is None:
        assert m.predict_row(row) == m.predict([row], 1)[0] == [5.0, -5.0]
        return
    assert panic_message(m.predict_row, row) == message
    assert panic_message(m.predict, [row], 1) == message
    assert panic_message(m.predict, [[0.5, "red"], row], 2) == COUNT


def test_single_leaf_tree_reads_no_cell(tmp_path, capfd):
    m = loaded(tmp_path, forest([tree([leaf([1.5, -2.5])])]))
    assert m.predict_row([]) == [1.5, -2.5]
    assert m.predict_row(["anything"]) == [1.5, -2.5]
    # the row-by-row path checks no length at all
    assert m.predict([[], [1.0]], 1) == [[1.5, -2.5]] * 2
    assert m.predict([[1.0, "a"], []], 2) == [[1.5, -2.5]] * 2
    capfd.readouterr()
    assert panic_message(m.predict, [[]], 2) == COUNT
    assert FIRST_ROW in capfd.readouterr().err


def test_later_short_rows_fail_only_when_a_missing_cell_is_tested(tmp_path):
    m = loaded(tmp_path, ROUTING)
    assert m.predict([[0.5, "red"], [0.9]], 1) == [[3.0, -3.0], [5.0, -5.0]]
    assert m.predict([[0.5, "red"], [0.9]], 2) == [[3.0, -3.0], [5.0, -5.0]]
    assert panic_message(m.predict, [[0.5, "red"], [0.5]], 1) == \
        "index out of bounds: the len is 1 but the index is 1"
    assert panic_message(m.predict, [[0.5, "red"], [0.5]], 2) == COUNT


@pytest.mark.parametrize("n_threads, expected", [(1, []), (2, COUNT), (0, COUNT), (-1, None)])
def test_empty_row_list(tmp_path, n_threads, expected):
    m = loaded(tmp_path, ROUTING)
    if n_threads == -1:
        expected = [] if len(os.sched_getaffinity(0)) == 1 else COUNT
    if expected == []:
        assert m.predict([], n_threads) == []
    else:
        assert panic_message(m.predict, [], n_threads) == expected


def test_zero_threads_with_trees_fails(tmp_path):
    m = loaded(tmp_path, ROUTING)
    assert panic_message(m.predict, [[0.5, "red"]], 0) == COUNT


@pytest.mark.parametrize("source", ["new", "file"])
def test_forest_without_trees(tmp_path, source):
    m = Model(0, 1, 1, 1, "ED", 1, False, False, 0.5) if source == "new" else loaded(tmp_path, forest([], 5))
    assert m.predict([[1.0], ["x", 2]], 2) == []
    assert m.predict([], 2) == []
    assert m.predict([[1.0], ["x", 2]], 0) == []
    assert m.predict([[1.0], ["x", 2]], 1) == [[], []]
    assert m.predict_row([]) == []
    assert panic_message(m.feature_cols) == UNWRAP_NONE
    assert panic_message(m.get_feature_importance, "gain") == UNWRAP_NONE


# ---- files that disagree with themselves ----------------------------------

TWO_TREES = [tree([split(0, 0.5, 0.25), leaf([1.0, 2.0]), leaf([3.0, 4.0])]), tree([leaf([0.5, -1.0])])]


@pytest.mark.parametrize("n_estimators", [5, 0, -3, 1, 2])
def test_average_is_over_trees_held(tmp_path, n_estimators):
    m = loaded(tmp_path, forest(TWO_TREES, n_estimators))
    rows = [[0.0, "x"], [1.0, "x"]]
    expected = [[0.75, 0.5], [1.75, 1.5]]
    for n_threads in (1, 2, 3):
        assert m.predict(rows, n_threads) == expected
    assert [m.predict_row(r) for r in rows] == expected
    assert m.get_feature_importance("gain") == [0.125, 0.0]
    assert m.get_feature_importance("split") == [0.5, 0.0]


def test_importance_example(tmp_path):
    t = tree([split(0, 1.0, 0.3), split(0, 2.0, 0.1), split(2, "a", 0.5)] + [leaf([1.0])] * 4,
             features=("a", "b", "c"))
    m = loaded(tmp_path, forest([t]))
    assert m.get_feature_importance("gain") == [0.4, 0.0, 0.5]
    for kind in ("split", "Gain", "GAIN"):
        assert m.get_feature_importance(kind) == [2.0, 0.0, 1.0]
    single = loaded(tmp_path, forest([tree([leaf([1.0])], features=("a", "b", "c"))]))
    assert single.get_feature_importance("gain") == single.get_feature_importance("split") == [0.0] * 3


def test_null_gain_counts_as_a_split(tmp_path):
    doc = forest([tree([split(1, "red", None), leaf([1.0]), leaf([2.0])])])
    m = loaded(tmp_path, doc)
    gain = m.get_feature_importance("gain")
    assert gain[0] == 0.0 and math.isnan(gain[1])
    assert m.get_feature_importance("split") == [0.0, 1.0]


@pytest.mark.parametrize("trees, row, predict_msg, threaded_msg, importance_msg", [
    ([tree([split(5, 0.5), leaf([1.0]), leaf([2.0])])], [1.0, "a"], ie(2, 5), COUNT, ie(2, 5)),
    ([tree([leaf([]), leaf([1.0]), leaf([2.0])])], [1.0, "a"], ie(2, -1), COUNT, None),  # default node
    ([tree([split(-7, 0.5), leaf([1.0]), leaf([2.0])])], [1.0, "a"], ie(2, -7), COUNT, ie(2, -7)),
    ([tree([split(0, 0.5), leaf([1.0])])], [1.0, "a"], ie(2, 2), COUNT, None),
    ([tree([split(0, 0.5), split(1, "a"), leaf([1.0]), leaf([2.0])])], [0.0, "b"], ie(4, 4), COUNT, None),
    ([tree([])], [1.0, "a"], ie(0, 0), COUNT, None),
    # a later tree with a shorter leaf vector fails while summing, on either path
    ([tree([leaf([1.0, 2.0])]), tree([leaf([3.0])])], [1.0, "a"], ie(1, 1), ie(1, 1), None),
    ([tree([split(0, 0.5, 0.3), leaf([1.0]), leaf([2.0])]), tree([leaf([3.0])], ("num",))],
     [1.0, "a"], None, COUNT, ie(1, 1)),
])
def test_inconsistent_file_fails_cleanly(tmp_path, trees, row, predict_msg, threaded_msg, importance_msg):
    doc = forest(trees)
    m = loaded(tmp_path, doc)
    for fn, msg, walk in ((lambda: m.predict_row(row), predict_msg, lambda: forest_row(doc, row)),
                          (lambda: m.predict([row], 1)[0], predict_msg, lambda: forest_row(doc, row)),
                          (lambda: m.get_feature_importance("gain"), importance_msg,
                           lambda: forest_importance(doc, "gain"))):
        if msg is None:
            assert same(fn(), walk())
        else:
            with pytest.raises(WalkError, match=r"^" + msg.replace("[", r"\[") + "$"):
                walk()
            assert panic_message(fn) == msg
    assert panic_message(m.predict, [row], 2) == threaded_msg
    # enough rows that walking starts while later rows are converted
    assert panic_message(m.predict, [row] * 1500, 2) == threaded_msg


def test_longer_surplus_is_ignored(tmp_path):
    doc = forest([tree([leaf([3.0])], ("num",)),
                  tree([split(1, 0.5, 0.2), leaf([1.0, 2.0]), leaf([5.0, 6.0])])])
    m = loaded(tmp_path, doc)
    assert m.predict_row([1.0, 0.0]) == m.predict([[1.0, 0.0]], 1)[0] == [2.0]
    assert m.get_feature_importance("gain") == [0.0]
    assert panic_message(m.predict, [[1.0, 0.0]], 2) == COUNT  # first row too long for tree 0


@pytest.mark.parametrize("enabled", [True, False])
def test_predict_leaves_the_garbage_collector_as_it_found_it(enabled):
    import gc

    model = placeholder_model()
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        assert model.predict([[1.0]] * 3, 1) == [[], [], []]
        assert gc.isenabled() is enabled
        with pytest.raises(TypeError):
            model.predict([(1.0,)], 1)
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
