"""Thousands of damaged copies of a real model file, fed to load.

Every copy must either load or stop with PanicException; a loaded copy must
predict like an independent walk of its own saved file (or stop the same
way), and a failed load must leave the previous forest untouched. The loop runs
in a child process so that a crash is reported together with the file that
caused it."""
import json
import os
import random
import re
import subprocess
import sys

import corvane
from conftest import QUICK

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 1234
ITERATIONS = 1000 if QUICK else 5000
CHECK_EVERY = 20
NUMBER = re.compile(rb"-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?")
STRING = re.compile(rb'"(?:[^"\\]|\\.)*"')
ODD_NUMBERS = [b"1e400", b"-1e400", b"18446744073709551616", b"18446744073709551615", b"9223372036854775808",
               b"2147483648", b"2147483647", b"-2147483649", b"-1", b"-0", b"0.5", b"1e5", b"1E-7", b"-3.5e38",
               b"1e39", b"123456789012345678901234567890", b"0", b"7", b"3.0"]
ODD_STRINGS = [b'""', b'"Euclidean"', b'"KL"', b'"Chi"', b'"ED"', b'"Numeric"', b'"Str"', b'"\\ud800"',
               b'"\\udc00x"', b'"\\u0000"', b'"\xc3\xa9"', b'"\xff"', b'"a\tb"', b'"\\q"', b'"nodes"', b'"gain"']
NOISE = b'{}[],:"\\ 0123456789eE.-+ntrufal\n\t\xff\xc3'


def mutate_text(rng, data):
    if len(data) < 2:
        return data + bytes(rng.choice(NOISE) for _ in range(3))
    kind = rng.randrange(7)
    if kind == 0:
        return data[:rng.randrange(len(data))]
    if kind == 1:
        b = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            b[rng.randrange(len(b))] = rng.randrange(256) if rng.random() < 0.3 else rng.choice(NOISE)
        return bytes(b)
    if kind == 2:
        i = rng.randrange(len(data) + 1)
        return data[:i] + bytes(rng.choice(NOISE) for _ in range(rng.randint(1, 3))) + data[i:]
    if kind == 3:
        i = rng.randrange(len(data))
        return data[:i] + data[i + rng.randint(1, 40):]
    if kind in (4, 5):
        pattern, pool = (NUMBER, ODD_NUMBERS) if kind == 4 else (STRING, ODD_STRINGS)
        spans = [m.span() for m in pattern.finditer(data)]
        for start, end in sorted(rng.sample(spans, min(len(spans), rng.randint(1, 3))), reverse=True):
            data = data[:start] + rng.choice(pool) + data[end:]
        return data
    # wrap a value in more arrays or objects
    starts = [m.start() for m in re.finditer(rb"[\[{]|-?\d", data)]
    if not starts:
        return data[::-1]
    i = rng.choice(starts)
    end = i + 1
    if data[i:i + 1] in b"[{":
        depth, end = 0, i
        while end < len(data):
            depth += {ord("["): 1, ord("{"): 1, ord("]"): -1, ord("}"): -1}.get(data[end], 0)
            end += 1
            if depth == 0:
                break
    else:
        end = NUMBER.match(data, i).end()
    n = rng.choice([1, 2, 5, 60, 121, 122, 123, 124, 126, 127, 128, 300])
    opening, closing = (b"[", b"]") if rng.random() < 0.5 else (b'{"k":', b"}")
    return data[:i] + opening * n + data[i:end] + closing * n + data[end:]


def mutate_doc(rng, doc):
    trees = doc["trees"]
    kind = rng.randrange(6)
    if kind == 0 and len(trees) > 1:
        a, b = rng.sample(range(len(trees)), 2)
        trees[a]["nodes"], trees[b]["nodes"] = trees[b]["nodes"], trees[a]["nodes"]
    elif kind == 1:
        for _ in range(rng.randint(1, 3)):
            node = rng.choice(rng.choice(trees)["nodes"])
            node["col_idx"] = rng.choice([rng.randint(-3, 5), -2 ** 31, 2 ** 31 - 1])
    elif kind == 2:
        doc["n_estimators"] = rng.choice([0, 1, -1, 7, 2 ** 31 - 1, -2 ** 31])
    elif kind == 3:
        nodes = rng.choice(trees)["nodes"]
        if rng.random() < 0.5:
            del nodes[rng.randrange(len(nodes)):]
        else:
            nodes.append(json.loads(json.dumps(rng.choice(nodes))))
    elif kind == 4:
        t = rng.choice(trees)
        t["feature_cols"] = t["feature_cols"][:rng.randrange(len(t["feature_cols"]) + 1)]
    else:
        node = rng.choice(rng.choice(trees)["nodes"])
        node["split_value"] = rng.choice([{"Str": "red"}, {"Numeric": None}, {"Numeric": 1e30}])
        node["prob"] = node["prob"][:rng.randint(0, 2)] + rng.choice([[], [None], [0.25, 0.5, 1.0]])
        node["gain"] = rng.choice([None, 0.0, -1.0, 0.75])
    return json.dumps(doc, separators=(",", ":")).encode()


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except BaseException as e:  # anything but PanicException is a finding
        if type(e).__name__ != "PanicException" or len(e.args) != 1 or not isinstance(e.args[0], str):
            raise AssertionError(f"unexpected {type(e).__name__}: {e!r}") from e
        return "panic", e.args[0]


def expected_outcome(fn, *args):
    from test_predict import WalkError
    try:
        return "ok", fn(*args)
    except WalkError as e:
        return "panic", str(e)


def agree(got, expected):
    from test_predict import same
    return got[0] == expected[0] and (same(got[1], expected[1]) if got[0] == "ok" else got[1] == expected[1])


def check_loaded(loaded, tmp, rows):
    """A forest read from a damaged file survives every call, and once saved and
    read back it behaves like an independent walk of that saved file (the
    loaded one itself may hold infinities that the file writes as null)."""
    from test_predict import forest_importance, forest_row
    for call in (lambda: loaded.predict(rows, 1), lambda: loaded.predict(rows, 2), lambda: loaded.predict([], 2),
                 lambda: loaded.predict_row(rows[0]), lambda: loaded.get_feature_importance("gain"),
                 loaded.feature_cols):
        outcome(call)
    path = os.path.join(tmp, "resaved.json")
    loaded.save(path)
    with open(path, "rb") as f:
        text = f.read()
    model = corvane._UpliftRandomForestModel(1, 1, 1, 1, "ED", 1, False, False, 0.5)
    model.load(path)
    model.save(path)
    with open(path, "rb") as f:
        assert f.read() == text, "save -> load -> save changed the file"
    doc = json.loads(text)
    for row in rows:
        want = expected_outcome(forest_row, doc, row)
        assert agree(outcome(model.predict_row, row), want), (row, want)
        assert agree(outcome(lambda r=row: model.predict([r], 1)[0]), want), (row, want)
    for kind in ("gain", "split"):
        want = ("panic", "called `Option::unwrap()` on a `None` value") if not doc["trees"] else \
            expected_outcome(forest_importance, doc, kind)
        assert agree(outcome(model.get_feature_importance, kind), want), kind
    single = outcome(model.predict, rows, 1)
    threaded = outcome(model.predict, rows, 2)
    if not doc["trees"]:
        assert threaded == ("ok", [])
    elif single[0] == "ok" and all(len(t["feature_cols"]) == len(rows[0]) for t in doc["trees"]):
        assert agree(threaded, single)
    else:
        assert threaded[0] == "panic"


def run(seed, iterations, tmp):
    from test_predict import same
    rng = random.Random(seed)
    data = {"num": [], "cnt": [], "cat": [], "t": [], "y": []}
    for i in range(300):
        a = rng.random()
        data["num"].append(float("nan") if rng.random() < 0.1 else a)
        data["cnt"].append(rng.randrange(6))
        data["cat"].append(rng.choice(["red", "green", "blue"]))
        data["t"].append(i % 3)
        data["y"].append(int(rng.random() < 0.2 + (0.5 if a > 0.5 and i % 3 else 0)))
    model = corvane._UpliftRandomForestModel(3, 3, 3, 5, "ED", 8, False, False, 0.5)
    model.fit(data, ["num", "cnt", "cat"], "t", "y", 2)
    original_path = os.path.join(tmp, "original.json")
    model.save(original_path)
    with open(original_path, "rb") as f:
        original = f.read()
    rows = [[0.3, 2, "red"], [0.8, 5, "blue"], [float("nan"), 0, "green"], [0.6, 1.5, "x"], [0.7, 3]]
    before = model.predict(rows[:4], 1)
    current = os.path.join(tmp, "current.json")
    counts = {"loaded": 0, "refused": 0}

    def intact():
        model.save(os.path.join(tmp, "check.json"))
        with open(os.path.join(tmp, "check.json"), "rb") as f:
            assert f.read() == original, "a failed load changed the forest"
        assert same(model.predict(rows[:4], 1), before)

    for _iteration in range(iterations):
        mutant = original
        for _ in range(rng.choice([1, 1, 1, 2, 3])):
            if rng.random() < 0.3:
                try:
                    mutant = mutate_doc(rng, json.loads(mutant))
                    continue
                except Exception:  # not a forest-shaped document any more
                    pass
            mutant = mutate_text(rng, mutant)
        with open(current, "wb") as f:
            f.write(mutant)
        result = outcome(model.load, current)
        if result[0] == "ok":
            counts["loaded"] += 1
            check_loaded(model, tmp, rows)
            model.load(original_path)
        else:
            counts["refused"] += 1
            if counts["refused"] % CHECK_EVERY == 0:
                intact()
    intact()
    return counts


def test_damaged_model_files(tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(corvane.__file__)), HERE] + [p for p in [env.get("PYTHONPATH")] if p])
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), str(SEED), str(ITERATIONS), str(tmp_path)],
                          env=env, capture_output=True, timeout=300)
    last = (tmp_path / "current.json").read_bytes()[:300] if (tmp_path / "current.json").exists() else b""
    assert proc.returncode == 0, (proc.returncode, proc.stderr.decode(errors="replace")[-3000:], last)
    counts = json.loads(proc.stdout.decode().strip().splitlines()[-1])
    # both branches must be exercised substantially for the run to mean anything
    assert counts["loaded"] > ITERATIONS // 10 and counts["refused"] > ITERATIONS // 2, counts


if __name__ == "__main__":
    print(json.dumps(run(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3])))
