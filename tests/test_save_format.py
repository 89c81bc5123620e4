"""The model file as written by save: exact bytes, member order, number and
string formatting, and what happens on disk when saving fails."""
import json
import math
import os
import struct
from decimal import Decimal

import pytest

import corvane
from conftest import (
    DEFAULT_NODE,
    FEATURES,
    FOREST_KEYS,
    NODE_KEYS,
    TREE_KEYS,
    UNTRAINED,
    UNWRAP_ERR,
    fit,
    make_data,
    new_model,
    panic_message,
    saved_text,
    two_valued_data,
)

NOT_FOUND = UNWRAP_ERR + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'


def untrained(alpha=0.5, eval_func="ED"):
    return corvane._UpliftRandomForestModel(10, 3, 5, 100, eval_func, 10, True, False, alpha)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def shortest_digits(x, bits):
    """Shortest decimal digits that read back to x at the given precision, and
    the decimal point position k with x = 0.DIGITS * 10**k."""
    if bits == 64:
        text = repr(x)  # Python's repr is the shortest round-trip form
    else:
        text = next(s for s in (f"{x:.{p}e}" for p in range(9)) if f32(float(s)) == x)
    sign, digits, exponent = Decimal(text).normalize().as_tuple()
    digits = "".join(map(str, digits))
    return digits, len(digits) + exponent


def expected_number(x, bits):
    """A float written the way the file format prescribes."""
    if not math.isfinite(x):
        return "null"
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    digits, k = shortest_digits(abs(x), bits)
    d, limit, low = len(digits), (16 if bits == 64 else 13), (-5 if bits == 64 else -6)
    if d <= k <= limit:
        body = digits + "0" * (k - d) + ".0"
    elif 0 < k <= limit:
        body = digits[:k] + "." + digits[k:]
    elif low < k <= 0:
        body = "0." + "0" * -k + digits
    else:
        body = digits[0] + ("." + digits[1:] if d > 1 else "") + "e" + str(k - 1)
    return ("-" if x < 0 else "") + body


def test_untrained_model_bytes(tmp_path):
    path = tmp_path / "m.json"
    untrained().save(str(path))
    assert path.read_bytes() == UNTRAINED.encode()


@pytest.mark.parametrize("alpha, text", [
    (1, "1.0"), (0.1, "0.1"), (1e-5, "0.00001"), (1e-6, "1e-6"), (1e16, "1e16"),
    (1e15, "1000000000000000.0"), (-2.5, "-2.5"), (123.45, "123.45"), (0.00012, "0.00012"),
    (1.5e-7, "1.5e-7"), (0.30000000000000004, "0.30000000000000004"), (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e308"), (2.0**53, "9007199254740992.0"),
    (float("nan"), "null"), (float("inf"), "null"), (float("-inf"), "null"), (-0.0, "-0.0"), (0.0, "0.0"),
])
def test_alpha_formatting(tmp_path, alpha, text):
    # The table doubles as a check of the reference formatter used below.
    assert expected_number(float(alpha), 64) == text
    assert saved_text(untrained(alpha=alpha), tmp_path / "m.json") == UNTRAINED.replace('"alpha":0.5', '"alpha":' + text)


@pytest.mark.parametrize("word", ["whatever", "ed", "Chi", ""])
def test_forest_keeps_any_eval_func_word(tmp_path, word):
    text = saved_text(untrained(eval_func=word), tmp_path / "m.json")
    assert text == UNTRAINED.replace('"eval_func":"ED"', f'"eval_func":"{word}"')


@pytest.mark.parametrize("low, high, text", [
    (0.1, 0.9, "0.1"),  # 32-bit digits, not those of the value widened to 64 bits
    (1e-6, 1.0, "0.000001"),
    (1e-7, 1.0, "1e-7"),
    (1e12, 2e12, "1000000000000.0"),
    (1e13, 2e13, "1e13"),
    (16777217, 2e7, "16777216.0"),  # the cell itself is rounded to 32 bits
    (-0.5, 3, "-0.5"),
])
def test_numeric_split_value_uses_32_bit_form(tmp_path, low, high, text):
    assert expected_number(f32(low), 32) == text
    model = new_model(n_estimators=1, max_features=1, max_depth=1, min_sample_leaf=5)
    fit(model, two_valued_data(low, high), x_names=["x"])
    saved = saved_text(model, tmp_path / "m.json")
    assert saved.startswith('{"n_estimators":1,') and '"trees":[{"nodes":[{"col_name":"x","col_idx":0,' \
        '"split_value":{"Numeric":' + text + '},"prob":[],"gain":' in saved


class Raw(str):
    """A number kept as the text the file holds."""


def ordered(pairs):
    return {"__keys__": [k for k, _ in pairs], **dict(pairs)}


def outside_strings(text):
    out, in_string, escaped = [], False, False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        else:
            out.append(ch)
    return "".join(out)


@pytest.mark.parametrize("eval_func, tree_eval, max_depth, treatments", [
    ("ED", "Euclidean", 3, 2), ("KL", "KL", 2, 3), ("CHI", "Chi", 4, 2), ("ED", "Euclidean", 0, 3),
])
def test_trained_file_layout(tmp_path, eval_func, tree_eval, max_depth, treatments):
    model = new_model(n_estimators=2, eval_func=eval_func, max_depth=max_depth, alpha=0.1)
    fit(model, make_data(400, 5, treatments=treatments))
    text = saved_text(model, tmp_path / "m.json")
    assert not any(ch.isspace() for ch in outside_strings(text))
    assert text.endswith('"alpha":0.1}]}')

    forest = json.loads(text, object_pairs_hook=ordered, parse_float=Raw, parse_int=Raw)
    assert forest["__keys__"] == FOREST_KEYS
    assert (forest["eval_func"], forest["treatment_col"], forest["outcome_col"]) == (eval_func, "t", "y")
    assert forest["alpha"] == "0.1" and len(forest["trees"]) == 2
    n_nodes = 2 ** (max_depth + 1) - 1
    defaults = 0
    for tree in forest["trees"]:
        assert tree["__keys__"] == TREE_KEYS
        assert tree["eval_func"] == tree_eval and tree["feature_cols"] == FEATURES
        assert [tree[k] for k in ("max_depth", "min_sample_leaf", "max_features", "max_bins")] == \
            [str(max_depth), "10", "2", "10"]
        assert len(tree["nodes"]) == n_nodes
        reached = {0}
        for i, node in enumerate(tree["nodes"]):
            assert node["__keys__"] == NODE_KEYS
            assert node["gain"] == expected_number(float(node["gain"]), 64)
            for p in node["prob"]:
                assert p is None or p == expected_number(float(p), 64)
            value = node["split_value"]
            if "Numeric" in value:
                assert value["Numeric"] == expected_number(f32(float(value["Numeric"])), 32)
            if i not in reached:
                assert (node["col_name"], node["col_idx"], value, node["prob"], node["gain"]) == \
                    ("", "-1", {"__keys__": ["Numeric"], "Numeric": "0.0"}, [], "0.0")
                defaults += 1
            elif not node["prob"]:  # an internal node: its children are reached
                reached |= {2 * i + 1, 2 * i + 2}
            else:
                assert len(node["prob"]) == treatments - 1
    # Every unreached position is written exactly as the default node.
    assert text.count(DEFAULT_NODE) == defaults


def test_root_leaf_leaves_every_other_node_default(tmp_path):
    data = make_data(100, 2)
    model = new_model(n_estimators=1, max_depth=2, min_sample_leaf=10**6)
    fit(model, data)
    rate = [sum(y for y, t in zip(data["y"], data["t"]) if t == g) / data["t"].count(g) for g in (0, 1)]
    root = ('{"col_name":"","col_idx":-1,"split_value":{"Numeric":0.0},"prob":['
            + expected_number(rate[1] - rate[0], 64) + '],"gain":0.0}')
    assert '"trees":[{"nodes":[' + ",".join([root] + [DEFAULT_NODE] * 6) + '],"max_depth":2,' \
        in saved_text(model, tmp_path / "m.json")


NAMES = {
    "a\nb": b'"a\\nb"',
    'q"uote': b'"q\\"uote"',
    "back\\slash": b'"back\\\\slash"',
    "tab\there": b'"tab\\there"',
    "\x01ctl": b'"\\u0001ctl"',
    "\x08\x0c\r\x1f": b'"\\b\\f\\r\\u001f"',
    "del\x7f": b'"del\x7f"',
    "Кирилл": '"Кирилл"'.encode(),
}


def test_names_are_escaped_as_json_strings(tmp_path):
    base = make_data(200, 4)
    data = {name: base["age"] for name in NAMES}
    data.update({"т\x00": base["t"], "y/€": base["y"]})
    model = new_model(n_estimators=1, max_features=len(NAMES))
    fit(model, data, x_names=list(NAMES), treatment_col="т\x00", outcome_col="y/€")
    path = tmp_path / "m.json"
    model.save(str(path))
    raw = path.read_bytes()
    assert b'"treatment_col":"\xd1\x82\\u0000","outcome_col":"y/\xe2\x82\xac","balance"' in raw
    assert b'"feature_cols":[' + b",".join(NAMES.values()) + b"]" in raw
    assert json.loads(raw)["trees"][0]["feature_cols"] == list(NAMES)


def test_save_replaces_a_longer_file(tmp_path):
    path = tmp_path / "m.json"
    path.write_bytes(b"x" * 10000)
    untrained().save(str(path))
    assert path.read_bytes() == UNTRAINED.encode()


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600)])
def test_new_file_mode_follows_umask(tmp_path, umask, mode):
    old = os.umask(umask)
    try:
        untrained().save(str(tmp_path / "m.json"))
    finally:
        os.umask(old)
    assert (tmp_path / "m.json").stat().st_mode & 0o777 == mode


def test_save_into_missing_directory_creates_nothing(tmp_path):
    with pytest.raises(BaseException) as excinfo:
        untrained().save(str(tmp_path / "missing" / "m.json"))
    assert panic_message(excinfo) == NOT_FOUND
    assert list(tmp_path.iterdir()) == []


def test_save_onto_a_directory_fails(tmp_path):
    with pytest.raises(BaseException) as excinfo:
        untrained().save(str(tmp_path))
    assert panic_message(excinfo) == \
        UNWRAP_ERR + 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
    assert list(tmp_path.iterdir()) == []


def test_path_with_nul_is_refused_not_truncated(tmp_path):
    with pytest.raises(BaseException) as excinfo:
        untrained().save(str(tmp_path / "m.json") + "\x00.bak")
    assert panic_message(excinfo).startswith(UNWRAP_ERR)
    assert list(tmp_path.iterdir()) == []


def test_tree_too_deep_to_write_fails_cleanly_and_creates_nothing(tmp_path):
    # A depth-63 tree trains (only reached nodes are kept) but its file would
    # list 2^64 - 1 nodes: saving must stop with a clear message, not die.
    model = new_model(n_estimators=1, max_depth=63, min_sample_leaf=0)
    fit(model, make_data(300, seed=5))
    with pytest.raises(BaseException) as excinfo:
        model.save(str(tmp_path / "m.json"))
    assert panic_message(excinfo) == (
        "the model file would take more than 18446744073709551615 bytes, more than any file "
        "system can hold; nothing was written")
    assert list(tmp_path.iterdir()) == []
    assert len(model.predict([[0.5, "red"]], 1)[0]) == 1
