"""Reading model files: what loads (and to which model), and the exact message,
line and column of every reading fault, with the old forest kept on failure."""
import copy
import json
import math
import random

import pytest

import corvane
from conftest import FOREST_KEYS, NODE_KEYS, TREE_KEYS, UNTRAINED, UNWRAP_ERR, UNWRAP_NONE
from conftest import call_panic_message as panic_message
from conftest import placeholder_model as new_model

Model = corvane._UpliftRandomForestModel
FEATURES = ["вес", 'a"b\nc', "цвет🎨"]
MARK = "§"


def write(tmp_path, data, name="doc.json"):
    path = tmp_path / name
    path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
    return str(path)


def saved(model, tmp_path, name="out.json"):
    path = tmp_path / name
    model.save(str(path))
    return path.read_bytes()


def same(a, b):
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return (math.isnan(a) and math.isnan(b)) or a == b


# ---- the forest that failed loads must leave alone -------------------------

@pytest.fixture(scope="module")
def victim(tmp_path_factory):
    rng = random.Random(7)
    cats = ["зелёный", "🎨", "red", ""]
    cols = {f: [] for f in FEATURES + ["t", "y"]}
    for i in range(400):
        a, c = rng.random(), rng.choice(cats)
        cols[FEATURES[0]].append(float("nan") if rng.random() < 0.1 else a)
        cols[FEATURES[1]].append(rng.randrange(5))
        cols[FEATURES[2]].append(c)
        cols["t"].append(i % 3)
        cols["y"].append(int(rng.random() < 0.2 + (0.5 if a > 0.5 and i % 3 else 0) + (0.2 if c == "🎨" else 0)))
    m = Model(3, 3, 3, 5, "KL", 8, False, True, 0.3)
    m.fit(cols, FEATURES, "t", "y", 2)
    tmp = tmp_path_factory.mktemp("victim")
    original = saved(m, tmp)
    rows = [[0.2, 1, "red"], [0.8, 3, "🎨"], [float("nan"), 0, "зелёный"], [0.6, 4, "x"]]
    return m, original, rows, m.predict(rows, 1), tmp


def assert_intact(victim):
    m, original, rows, before, tmp = victim
    assert saved(m, tmp, "check.json") == original
    assert same(m.predict(rows, 1), before)
    assert same(m.predict(rows, 2), before)


def test_victim_file_is_canonical(victim):
    doc = json.loads(victim[1])
    assert list(doc) == FOREST_KEYS
    assert all(list(t) == TREE_KEYS and all(list(n) == NODE_KEYS for n in t["nodes"]) for t in doc["trees"])
    assert any(not n["prob"] and n["col_idx"] >= 0 for t in doc["trees"] for n in t["nodes"])


# ---- documents that load -----------------------------------------------------

def test_untrained_example_loads_into_trained_instance(victim, tmp_path):
    m = new_model()
    m.load(write(tmp_path, victim[1].decode()))
    m.load(write(tmp_path, UNTRAINED))
    assert saved(m, tmp_path) == UNTRAINED.encode()
    assert panic_message(m.feature_cols) == UNWRAP_NONE
    assert panic_message(m.get_feature_importance, "gain") == UNWRAP_NONE
    assert m.predict([[1.0], [2.0]], 1) == [[], []]
    assert m.predict([[1.0], [2.0]], 2) == []


def shuffled(value, rng):
    if isinstance(value, dict):
        items = [(k, shuffled(v, rng)) for k, v in value.items()]
        if len(items) > 1:  # split_value and eval_func objects hold one member
            rng.shuffle(items)
        return dict(items)
    if isinstance(value, list):
        return [shuffled(v, rng) for v in value]
    return value


def with_extras(value, depth=0):
    if isinstance(value, dict):
        out = {k: with_extras(v, depth + 1) for k, v in value.items()}
        if len(value) > 1:
            out["zz_note"] = {"a": [1, -2.5e300, None, True, "\u00e9\\\"", {"b": []}], "c": {}}
            out["aa_deep"] = json.loads("[" * 90 + "]" * 90)
        return out
    if isinstance(value, list):
        return [with_extras(v, depth + 1) for v in value]
    return value


def as_arrays(value, level="forest"):
    keys = {"forest": FOREST_KEYS, "tree": TREE_KEYS, "node": NODE_KEYS}[level]
    out = []
    for k in keys:
        v = value[k]
        if k == "trees":
            v = [as_arrays(t, "tree") for t in v]
        elif k == "nodes":
            v = [as_arrays(n, "node") for n in v]
        out.append(v)
    return out


def emit(value, number=repr):
    if isinstance(value, dict):
        return "{" + ",".join(json.dumps(k) + ":" + emit(v, number) for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ",".join(emit(v, number) for v in value) + "]"
    if isinstance(value, float):
        return number(value)
    return json.dumps(value)


def long_number(x):
    if x.is_integer() and x != 0:
        return str(int(x))  # float fields take integers too
    return format(x, ".17e").replace("e+", "E")


def object_eval_funcs(doc):
    for t in doc["trees"]:
        t["eval_func"] = {t["eval_func"]: None}
    return doc


@pytest.mark.parametrize("variant", [
    lambda d: json.dumps(shuffled(d, random.Random(1)), ensure_ascii=False),
    lambda d: json.dumps(shuffled(d, random.Random(2)), ensure_ascii=True),
    lambda d: json.dumps(d, indent="\t").replace("\n", "\r\n") + " \r\n\t ",
    lambda d: json.dumps(d, indent=3, separators=(" , ", " : ")),
    lambda d: json.dumps(with_extras(d), ensure_ascii=False),
    lambda d: json.dumps(as_arrays(d)),
    lambda d: json.dumps(dict(d, trees=[dict(t, nodes=[as_arrays(n, "node") for n in t["nodes"]])
                                        for t in d["trees"]])),
    lambda d: emit(d, long_number),
    lambda d: json.dumps(object_eval_funcs(d)),
    lambda d: json.dumps(d, separators=(",", ":"), ensure_ascii=False) + "\n",
], ids=["reordered", "reordered-ascii", "tabs-crlf", "spaces", "unknown-members", "arrays", "node-arrays",
        "long-numbers", "eval-func-objects", "final-newline"])
def test_equivalent_documents_load_to_same_model(victim, tmp_path, variant):
    text = variant(copy.deepcopy(json.loads(victim[1])))
    m = new_model()
    m.load(write(tmp_path, text))
    assert saved(m, tmp_path) == victim[1]


TEMPLATE = """{
 "n_estimators": 1,
 "max_features": 2,
 "max_depth": 1,
 "min_sample_leaf": 5,
 "eval_func": "ED",
 "max_bins": 10,
 "treatment_col": "t",
 "outcome_col": "y",
 "balance": false,
 "regularization": false,
 "alpha": 0.5,
 "trees": [
  {
   "nodes": [
    {"col_name": "num", "col_idx": 0, "split_value": {"Numeric": 0.5}, "prob": [], "gain": 0.25},
    {"col_name": "", "col_idx": -1, "split_value": {"Numeric": 0.0}, "prob": [0.125, -1.5], "gain": 0.0},
    {"col_name": "", "col_idx": -1, "split_value": {"Str": "x"}, "prob": [-0.5, 2.0], "gain": 0.0}
   ],
   "max_depth": 1,
   "min_sample_leaf": 5,
   "max_features": 2,
   "eval_func": "Euclidean",
   "max_bins": 10,
   "treatment_col": "t",
   "outcome_col": "y",
   "feature_cols": ["num", "cat"],
   "balance": false,
   "regularization": false,
   "alpha": 0.5
  }
 ]
}"""
COMPACT = json.dumps(json.loads(TEMPLATE), separators=(",", ":"))


def edit(*pairs):
    text = TEMPLATE
    for old, new in zip(pairs[::2], pairs[1::2]):
        assert old in text, old
        text = text.replace(old, new, 1)
    return text


def cut(after):
    return TEMPLATE[:TEMPLATE.index(after) + len(after)] + MARK


@pytest.mark.parametrize("text, compact_pairs", [
    (TEMPLATE, []),
    (edit('"eval_func": "Euclidean"', '"eval_func": {"KL": null}'), ['"Euclidean"', '"KL"']),
    (edit('"eval_func": "Euclidean"', '"eval_func": "Chi"'), ['"Euclidean"', '"Chi"']),
    (edit('"eval_func": "ED"', '"eval_func": "whatever"'), ['"ED"', '"whatever"']),
    (edit(' "max_bins": 10', ' "max_bins": 18446744073709551615'), ['10', '18446744073709551615']),
    (edit('"n_estimators": 1', '"n_estimators": -2147483648'), ['1', '-2147483648']),
    (edit('"alpha": 0.5,', '"alpha": 1,', '"prob": [0.125, -1.5]', '"prob": [1, -2E0]',
          '{"Numeric": 0.5}', '{"Numeric": 3}'),
     ['"alpha":0.5', '"alpha":1.0', '[0.125,-1.5]', '[1.0,-2.0]', '{"Numeric":0.5}', '{"Numeric":3.0}']),
    (edit('"treatment_col": "t"', '"treatment_col": "\\u0041\\n\\ud83c\\udfa8\\/\\b"'),
     ['"treatment_col":"t"', '"treatment_col":"A\\n🎨/\\b"']),
])
def test_documents_that_load(tmp_path, text, compact_pairs):
    expected = COMPACT
    for old, new in zip(compact_pairs[::2], compact_pairs[1::2]):
        expected = expected.replace(old, new, 1)
    m = new_model()
    m.load(write(tmp_path, text))
    assert saved(m, tmp_path).decode() == expected


def test_forest_eval_func_is_checked_only_by_fit(tmp_path):
    m = new_model()
    m.load(write(tmp_path, edit('"eval_func": "ED"', '"eval_func": "whatever"')))
    assert m.predict_row([0.25, "c"]) == [0.125, -1.5]
    data = {"x": [i / 10 for i in range(60)], "t": [i % 2 for i in range(60)], "y": [(i // 3) % 2 for i in range(60)]}
    assert panic_message(m.fit, data, ["x"], "t", "y", 1) == "bad eval func"


# ---- null and NaN -------------------------------------------------------------

def test_null_floats_load_as_nan(tmp_path):
    text = edit('"alpha": 0.5,', '"alpha": null,', '"gain": 0.25', '"gain": null',
                '"prob": [0.125, -1.5]', '"prob": [null, -1.5]', '{"Numeric": 0.0}', '{"Numeric": null}')
    m = new_model()
    m.load(write(tmp_path, text))
    first = saved(m, tmp_path, "a.json")
    assert first.decode() == json.dumps(json.loads(text), separators=(",", ":"))
    assert same(m.predict_row([0.5, "c"]), [float("nan"), -1.5])
    assert m.predict_row([0.75, "c"]) == [-0.5, 2.0]
    assert math.isnan(m.get_feature_importance("gain")[0])
    assert m.get_feature_importance("split") == [1.0, 0.0]
    again = new_model()
    again.load(write(tmp_path, first, "b.json"))
    assert saved(again, tmp_path, "c.json") == first


def test_trained_model_with_nan_leaves_round_trips(tmp_path):
    rng = random.Random(3)
    n = 300
    x = [rng.random() for _ in range(n)]
    # Below 0.3 only control rows, none positive: under KL with balance a side
    # without treated rows scores the zero-rate constant, so the root splits
    # there and its left leaf has no treatment rate at all (NaN).
    t = [0 if x[i] < 0.3 else i % 2 for i in range(n)]
    y = [0 if x[i] < 0.3 else int(rng.random() < 0.2 + 0.5 * t[i]) for i in range(n)]
    m = Model(2, 1, 1, 5, "KL", 10, True, False, 0.5)
    m.fit({"x": x, "t": t, "y": y}, ["x"], "t", "y", 2)
    first = saved(m, tmp_path, "a.json")
    doc = json.loads(first)
    assert b"null" in first
    again = new_model()
    again.load(write(tmp_path, first, "b.json"))
    assert saved(again, tmp_path, "c.json") == first
    for tr in doc["trees"]:
        assert tr["nodes"][0]["split_value"]["Numeric"] < 0.3 and tr["nodes"][1]["prob"] == [None]
    right = [tr["nodes"][2]["prob"][0] for tr in doc["trees"]]
    expected = [[float("nan")], [(right[1] + right[0]) / 2.0]]
    assert same(again.predict_row([0.01]), expected[0])
    assert same(again.predict([[0.01], [0.99]], 2), expected)


# ---- reading faults --------------------------------------------------------

CASES = [
    ("missing-trees", TEMPLATE[:TEMPLATE.index(',\n "trees"')] + "\n" + MARK + "}", "missing field `trees`"),
    ("missing-gain", edit('"prob": [], "gain": 0.25}', '"prob": []§}'), "missing field `gain`"),
    ("missing-first-in-order", edit('   "max_bins": 10,\n', '', ',\n   "alpha": 0.5\n  }', '\n  §}'),
     "missing field `max_bins`"),
    ("duplicate-alpha", edit(' "alpha": 0.5,\n', ' "alpha": 0.5,\n §"alpha": 0.5,\n'), "duplicate field `alpha`"),
    ("duplicate-gain", edit('"gain": 0.25}', '"gain": 0.25, §"gain": 0.25}'), "duplicate field `gain`"),
    ("tree-eval-ED", edit('"eval_func": "Euclidean"', '"eval_func": §"ED"'),
     "unknown variant `ED`, expected one of `Euclidean`, `KL`, `Chi`"),
    ("tree-eval-case", edit('"eval_func": "Euclidean"', '"eval_func": {§"kl": null}'),
     "unknown variant `kl`, expected one of `Euclidean`, `KL`, `Chi`"),
    ("split-variant", edit('{"Numeric": 0.5}', '{§"Num": 0.5}'), "unknown variant `Num`, expected `Numeric` or `Str`"),
    ("split-unit", edit('{"Numeric": 0.5}', '§"Numeric"'), "invalid type: unit variant, expected newtype variant"),
    ("split-unit-str", edit('{"Str": "x"}', '§"Str"'), "invalid type: unit variant, expected newtype variant"),
    ("split-empty", edit('{"Numeric": 0.5}', '{ §}'), "invalid length 0, expected map with a single key"),
    ("eval-empty", edit('"eval_func": "Euclidean"', '"eval_func": {§}'), "invalid length 0, expected map with a single key"),
    ("float-for-i32", edit('"n_estimators": 1', '"n_estimators": §10.0'), "invalid type: floating point `10.0`, expected i32"),
    ("exponent-for-i32", edit('"n_estimators": 1', '"n_estimators": §1e1'), "invalid type: floating point `10.0`, expected i32"),
    ("float-col-idx", edit('"col_idx": 0', '"col_idx": §0.0'), "invalid type: floating point `0.0`, expected i32"),
    ("float-for-usize", edit('"max_depth": 1', '"max_depth": §2.5'), "invalid type: floating point `2.5`, expected usize"),
    ("negative-usize", edit('"max_depth": 1', '"max_depth": §-1'), "invalid value: integer `-1`, expected usize"),
    ("i32-overflow", edit('"n_estimators": 1', '"n_estimators": §2147483648'),
     "invalid value: integer `2147483648`, expected i32"),
    ("i32-underflow", edit('"col_idx": 0', '"col_idx": §-2147483649'), "invalid value: integer `-2147483649`, expected i32"),
    ("null-i32", edit('"n_estimators": 1', '"n_estimators": §null'), "invalid type: null, expected i32"),
    ("string-bool", edit('"balance": false', '"balance": §"false"'), 'invalid type: string "false", expected a boolean'),
    ("int-string", edit('"treatment_col": "t"', '"treatment_col": §5'), "invalid type: integer `5`, expected a string"),
    ("string-seq", edit('"feature_cols": ["num", "cat"]', '"feature_cols": §"num"'),
     'invalid type: string "num", expected a sequence'),
    ("map-seq", edit('"prob": []', '"prob": §{}'), "invalid type: map, expected a sequence"),
    ("tree-int", edit('"trees": [\n  {', '"trees": [\n  §7, {'), "invalid type: integer `7`, expected struct UpliftTreeModel"),
    ("node-bool", edit('"nodes": [\n', '"nodes": [\n    §true,\n'), "invalid type: boolean `true`, expected struct TreeNode"),
    ("forest-string", MARK + '"abc"', 'invalid type: string "abc", expected struct UpliftRandomForestModel'),
    ("split-int", edit('{"Numeric": 0.5}', '§5'), "invalid type: integer `5`, expected enum SplitValue"),
    ("eval-int", edit('"eval_func": "Euclidean"', '"eval_func": §5'), "invalid type: integer `5`, expected enum EvalFunc"),
    ("prob-string", edit('"prob": [0.125, -1.5]', '"prob": [0.125, §"a"]'), 'invalid type: string "a", expected f64'),
    ("forest-array-short", '[\n 1, 2, 1, 5, "ED", 10, "t", "y", false, false, 0.5\n§]',
     "invalid length 11, expected struct UpliftRandomForestModel with 12 elements"),
    ("tree-array-short", edit('"trees": [\n  {', '"trees": [\n  [[], 1, 5, 2, "KL", 10, "t", "y", [], false, false§], {'),
     "invalid length 11, expected struct UpliftTreeModel with 12 elements"),
    ("node-array-short", edit('{"col_name": "num", "col_idx": 0, "split_value": {"Numeric": 0.5}, "prob": [], "gain": 0.25}',
                              '["num", 0, {"Numeric": 0.5}, []§]'), "invalid length 4, expected struct TreeNode with 5 elements"),
    ("node-array-empty", edit('"nodes": [\n', '"nodes": [\n    [§],\n'), "invalid length 0, expected struct TreeNode with 5 elements"),
    ("node-array-long", edit('{"col_name": "num", "col_idx": 0, "split_value": {"Numeric": 0.5}, "prob": [], "gain": 0.25}',
                             '["num", 0, {"Numeric": 0.5}, [], 0.25, §7]'), "trailing characters"),
    ("trailing", TEMPLATE + "\n\n  §x", "trailing characters"),
    ("trailing-value", TEMPLATE + " §{}", "trailing characters"),
    ("eof-list", cut('"feature_cols": ["num"'), "EOF while parsing a list"),
    ("eof-object", cut('"n_estimators": 1'), "EOF while parsing an object"),
    ("eof-object-open", cut('{\n'), "EOF while parsing an object"),
    ("eof-string", cut('"treatment_col": "t'), "EOF while parsing a string"),
    ("eof-value", cut('"max_bins": '), "EOF while parsing a value"),
    ("empty-file", MARK, "EOF while parsing a value"),
    ("expected-colon", edit('"n_estimators": 1', '"n_estimators" §1'), "expected `:`"),
    ("expected-comma-bracket", edit('["num", "cat"]', '["num" §"cat"]'), "expected `,` or `]`"),
    ("expected-comma-brace", edit('"n_estimators": 1,\n "max_features"', '"n_estimators": 1\n §"max_features"'),
     "expected `,` or `}`"),
    ("ident-false", edit('"balance": false', '"balance": fals§y'), "expected ident"),
    ("ident-null", edit('"alpha": 0.5,', '"alpha": n§ill,'), "expected ident"),
    ("ident-true", edit('"regularization": false', '"regularization": tr§ee'), "expected ident"),
    ("expected-value", edit('"alpha": 0.5,', '"alpha": §@,'), "expected value"),
    ("expected-value-comma", edit('"prob": []', '"prob": [§,]'), "expected value"),
    ("bom", MARK + "\ufeff" + TEMPLATE, "expected value"),  # a byte-order mark is not whitespace
    ("invalid-escape", edit('"treatment_col": "t"', '"treatment_col": "\\§x"'), "invalid escape"),
    ("invalid-hex", edit('"treatment_col": "t"', '"treatment_col": "\\u12§g4"'), "invalid escape"),
    ("invalid-number-sign", edit('"alpha": 0.5,', '"alpha": -§a,'), "invalid number"),
    ("invalid-number-dot", edit('"alpha": 0.5,', '"alpha": 1.§e5,'), "invalid number"),
    ("invalid-number-exp", edit('"alpha": 0.5,', '"alpha": 1e§x,'), "invalid number"),
    ("out-of-range", edit('"alpha": 0.5,', '"alpha": §1e400,'), "number out of range"),
    ("out-of-range-prob", edit('"prob": [0.125, -1.5]', '"prob": [§-1e309, -1.5]'), "number out of range"),
    ("lone-trailing", edit('"treatment_col": "t"', '"treatment_col": "ok§\\udc00"'), "invalid unicode code point"),
    ("control-tab", edit('"treatment_col": "t"', '"treatment_col": "a§\tb"'), "control character (\\u0000-\\u001F) found while parsing a string"),
    ("control-newline", edit('"outcome_col": "y"', '"outcome_col": "y§\n"'), "control character (\\u0000-\\u001F) found while parsing a string"),
    ("control-nul", edit('"col_name": "num"', '"col_name": "§\x00"'), "control character (\\u0000-\\u001F) found while parsing a string"),
    ("key-int", edit('{\n "n_estimators"', '{\n §5: 1,\n "n_estimators"'), "key must be a string"),
    ("key-bool", edit('{"col_name": "num"', '{§true: 1, "col_name": "num"'), "key must be a string"),
    ("lone-leading", edit('"treatment_col": "t"', '"treatment_col": "§\\ud800\\u0041"'), "lone leading surrogate in hex escape"),
    ("lone-leading-twice", edit('"outcome_col": "y"', '"outcome_col": "§\\ud83d\\ud83d"'), "lone leading surrogate in hex escape"),
    ("trailing-comma-array", edit('["num", "cat"]', '["num", "cat",§]'), "trailing comma"),
    ("trailing-comma-object", edit('"gain": 0.25}', '"gain": 0.25,\n    §}'), "trailing comma"),
    ("hex-end", edit('"treatment_col": "t"', '"treatment_col": "\\ud800§x"'), "unexpected end of hex escape"),
    ("hex-end-quote", edit('"treatment_col": "t"', '"treatment_col": "\\ud800§"'), "unexpected end of hex escape"),
    ("columns-are-characters", edit('"treatment_col": "t",\n "outcome_col": "y"',
                                    '"treatment_col": "Привет🎨", "outcome_col": §5'),
     "invalid type: integer `5`, expected a string"),
]


def located(text):
    offset = text.index(MARK)
    text = text.replace(MARK, "", 1)
    assert MARK not in text
    line = text.count("\n", 0, offset) + 1
    column = offset - (text.rfind("\n", 0, offset) + 1) + 1
    return text, line, column


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_reading_fault(victim, case):
    name, marked, message = case
    text, line, column = located(marked)
    path = write(victim[4], text, name + ".json")
    expected = UNWRAP_ERR + f'Error("{message}", line: {line}, column: {column})'
    assert panic_message(victim[0].load, path) == expected
    assert_intact(victim)


def nested(outer, anchor, n, kind):
    opening, closing = ("[", "]") if kind == "array" else ('{"k":', "}")
    inner = opening * n + ("" if kind == "array" else "1") + closing * n
    return outer.replace(anchor, '"deep":' + inner + "," + anchor, 1)


# An unknown member of the forest sits at depth 2, one of the first node at
# depth 6 (forest, trees, tree, nodes, node); 128 levels in all are allowed.
@pytest.mark.parametrize("where, kind, allowed", [
    ("forest", "array", 127),
    ("forest", "object", 127),
    ("node", "array", 123),
    ("node", "object", 123),
])
def test_nesting_limit(victim, tmp_path, where, kind, allowed):
    outer, anchor = (UNTRAINED, '"n_estimators"') if where == "forest" else (COMPACT, '"col_name"')
    m = new_model()
    m.load(write(tmp_path, nested(outer, anchor, allowed, kind)))
    assert saved(m, tmp_path) == outer.encode()
    too_deep = nested(outer, anchor, allowed + 1, kind)
    opening = "[" if kind == "array" else "{\"k\":"
    start = too_deep.index('"deep":') + len('"deep":')
    offending = start + len(opening) * allowed  # the opening that reaches depth 129
    expected = UNWRAP_ERR + f'Error("recursion limit exceeded", line: 1, column: {offending + 1})'
    assert panic_message(victim[0].load, write(tmp_path, too_deep, "deep.json")) == expected
    assert_intact(victim)


def test_very_deep_nesting_is_refused_without_crash(victim, tmp_path):
    text = '{"deep":' + "[" * 200000
    # 8 characters of prefix, then the 128th bracket opens level 129
    expected = UNWRAP_ERR + 'Error("recursion limit exceeded", line: 1, column: 136)'
    assert panic_message(victim[0].load, write(tmp_path, text)) == expected
    assert_intact(victim)


@pytest.mark.parametrize("data", [
    b'{"n_estimators":1,"treatment_col":"\xff"}',
    b'{"n_estimators":1,"treatment_col":"\xc0\xaf"}',     # overlong
    b'{"n_estimators":1,"treatment_col":"\xed\xa0\x80"}',  # encoded surrogate
    b'{"n_estimators":1,"treatment_col":"\xe2\x82',        # cut inside a character
    b'{"n_estimators":1, "x":1}\x80',
], ids=["ff", "overlong", "surrogate", "truncated", "after-value"])
def test_invalid_utf8(victim, tmp_path, data):
    expected = UNWRAP_ERR + 'Custom { kind: InvalidData, error: "stream did not contain valid UTF-8" }'
    assert panic_message(victim[0].load, write(tmp_path, data)) == expected
    assert_intact(victim)


@pytest.mark.parametrize("target, rendering", [
    ("missing.json", 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ("nodir/missing.json", 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    (".", 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
])
def test_unreadable_file(victim, tmp_path, target, rendering):
    assert panic_message(victim[0].load, str(tmp_path / target)) == UNWRAP_ERR + rendering
    assert_intact(victim)


def test_successful_load_replaces_everything(victim, tmp_path):
    m = new_model()
    m.load(write(tmp_path, victim[1]))
    assert m.feature_cols() == FEATURES
    m.load(write(tmp_path, TEMPLATE, "small.json"))
    assert m.feature_cols() == ["num", "cat"]
    assert m.predict([[0.5, "x"], [0.6, "x"]], 2) == [[0.125, -1.5], [-0.5, 2.0]]
    assert saved(m, tmp_path).decode() == COMPACT
