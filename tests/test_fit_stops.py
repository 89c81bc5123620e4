"""How fit stops, what it prints, and what it leaves behind."""
import operator
import os
import subprocess
import sys
from fractions import Fraction

import pytest

from conftest import (
    FEATURES,
    UNWRAP_ERR,
    UNWRAP_NONE,
    fit,
    make_data,
    new_model,
    panic_message,
    saved_json,
    two_valued_data,
)

START = "Start training with {} threads..."
TOO_DEEP = ("max_depth {} is too large: a tree of that depth has more than 2^64 node positions, "
            "which no memory can hold; use a max_depth of at most 63")
OUT_OF_RANGE = UNWRAP_ERR + "OverflowError: out of range integral type conversion attempted"


def index_error(value):
    try:
        operator.index(value)
    except TypeError as exc:
        return UNWRAP_ERR + "TypeError: " + str(exc)
    raise AssertionError("value has __index__")


def setitem(column, pos, value):
    def mutate(d):
        d[column] = list(d[column])
        d[column][pos] = value
        return d
    return mutate


def replace(**columns):
    def mutate(d):
        d.update({k: v(d) if callable(v) else v for k, v in columns.items()})
        return d
    return mutate


def length_error(name, length, rows=300):
    return (f"column '{name}' has {length} values but treatment column 't2' has {rows}; "
            "every column needs one value per row")


def not_binary(value):
    return f"outcome column 'y2' holds the value {value}; outcomes must be 0 or 1"


def missing_code(code):
    return (f"treatment column 't2' has no rows with treatment code {code}; treatment codes must "
            "run 0, 1, 2, ... without gaps, with 0 for the control group")


NO_CHANGE = replace()
# (mutate data, fit overrides, constructor overrides, message, start line printed)
STOPS = {
    "missing feature": (NO_CHANGE, dict(x_names=["age", "nope"]), {}, UNWRAP_NONE, False),
    "missing treatment": (NO_CHANGE, dict(treatment_col="nope"), {}, UNWRAP_NONE, False),
    "missing outcome": (NO_CHANGE, dict(outcome_col="nope"), {}, UNWRAP_NONE, False),
    "mixed column": (setitem("age", 4, "4"), {}, {}, "BAD type of column: age", False),
    "None in column": (setitem("color", -1, None), {}, {}, "BAD type of column: color", False),
    "float treatment": (setitem("t2", 3, 1.0), {}, {}, index_error(1.0), False),
    "str outcome": (setitem("y2", 3, "1"), {}, {}, index_error("1"), False),
    "treatment beyond i32": (setitem("t2", 3, 2**31), {}, {}, OUT_OF_RANGE, False),
    "outcome 200": (setitem("y2", 0, 200), {}, {}, OUT_OF_RANGE, False),
    "outcome -129": (setitem("y2", -1, -129), {}, {}, OUT_OF_RANGE, False),
    "empty columns": (replace(age=[], color=[], t2=[], y2=[]), {}, {}, UNWRAP_NONE, False),
    "negative treatment": (setitem("t2", 10, -3), {}, {},
                           "treatment column 't2' holds the negative treatment code -3; treatment codes "
                           "are 0 for the control group and 1, 2, ... for the treatments", False),
    "short feature": (replace(age=lambda d: d["age"][:-1]), {}, {}, length_error("age", 299), False),
    "long feature": (replace(color=lambda d: d["color"] + ["red"]), {}, {}, length_error("color", 301), False),
    # An empty column is numeric: it fails on its length, not on its type.
    "empty feature": (replace(age=[]), {}, {}, length_error("age", 0), False),
    "x_names order": (replace(age=[], color=["red"]), dict(x_names=["color", "age"]), {},
                      length_error("color", 1), False),
    "short outcome": (replace(y2=lambda d: d["y2"][:-2]), {}, {}, length_error("y2", 298), False),
    "features before outcome": (replace(y2=[], age=[]), {}, {}, length_error("age", 0), False),
    "all control": (replace(t2=[0] * 300), {}, {}, "assertion failed: v.len() % 2 == 0 && v.len() >= 4", True),
    # Data that cannot teach anything, and data unlike the trees held.
    "outcome 2": (setitem("y2", 7, 2), {}, {}, not_binary(2), False),
    "outcome -1": (setitem("y2", 299, -1), {}, {}, not_binary(-1), False),
    "outcome 127": (replace(y2=[127] * 300), {}, {}, not_binary(127), False),
    "gap in codes": (replace(t2=lambda d: [2 * v for v in d["t2"]]), {}, {}, missing_code(1), False),
    "no control": (replace(t2=lambda d: [v + 1 for v in d["t2"]]), {}, {}, missing_code(0), False),
    "absurd code": (setitem("t2", 0, 2**31 - 1), {}, {}, missing_code(2), False),
    "other feature order": (NO_CHANGE, dict(x_names=["color", "age"]), {},
                            "the model holds trees trained on features ['age', 'color'] but fit was "
                            "given ['color', 'age']; fit a new model to train on other features", True),
    "more groups": (replace(t2=[i % 3 for i in range(300)]), {}, {},
                    "the model holds trees trained on treatment codes 0 to 1 but fit was given codes "
                    "0 to 2; fit a new model to train on other treatment groups", True),
    "zero threads": (NO_CHANGE, dict(n_threads=0), {}, "assertion failed: num_threads > 0", True),
    "eval ed": (NO_CHANGE, {}, dict(eval_func="ed"), "bad eval func", True),
    "eval Ed": (NO_CHANGE, {}, dict(eval_func="Ed"), "bad eval func", True),
    "eval ED+space": (NO_CHANGE, {}, dict(eval_func="ED "), "bad eval func", True),
    "depth 64": (NO_CHANGE, {}, dict(max_depth=64), TOO_DEEP.format(64), True),
    "depth 1000": (NO_CHANGE, {}, dict(max_depth=1000), TOO_DEEP.format(1000), True),
}


@pytest.mark.parametrize("mutate, call, ctor, message, starts", STOPS.values(), ids=STOPS.keys())
def test_stop_keeps_trees_and_names(tmp_path, progress, mutate, call, ctor, message, starts):
    base = make_data(300, seed=11)
    # A configuration stop can only be met by a model that never trained.
    model = new_model(**ctor)
    trees_before = 0
    if not ctor:
        fit(model, base)
        trees_before = 2
    progress()
    data = mutate(dict(base, t2=base["t"], y2=base["y"]))
    kwargs = dict(dict(treatment_col="t2", outcome_col="y2", n_threads=2), **call)
    with pytest.raises(BaseException) as excinfo:
        fit(model, data, **kwargs)
    assert panic_message(excinfo) == message
    assert progress() == ([START.format(kwargs["n_threads"])] if starts else [])

    saved = saved_json(model, tmp_path / "m.json")
    # A fit that trains no tree leaves the whole model as it was, names too.
    assert (saved["treatment_col"], saved["outcome_col"]) == (("t", "y") if trees_before else ("", ""))
    assert len(saved["trees"]) == trees_before
    assert all(tree["treatment_col"] == "t" and tree["outcome_col"] == "y" for tree in saved["trees"])
    if trees_before:
        assert model.feature_cols() == FEATURES
    else:
        with pytest.raises(BaseException) as none:
            model.feature_cols()
        assert panic_message(none) == UNWRAP_NONE


def test_progress_lines_count_on_across_fits(data, progress):
    model = new_model(n_estimators=3)
    fit(model, data, n_threads=2)
    assert progress() == [START.format(2)] + [f"Tree [{k}] is finished!" for k in (1, 2, 3)]
    fit(model, data, n_threads=1)
    assert progress() == [START.format(1)] + [f"Tree [{k}] is finished!" for k in (4, 5, 6)]


@pytest.mark.parametrize("n_threads, shown", [
    (-1, len(os.sched_getaffinity(0))),
    (-2**31, len(os.sched_getaffinity(0))),
    (100000, 100000),
])
def test_thread_count_in_start_line(data, progress, n_threads, shown):
    model = new_model(n_estimators=2)
    fit(model, data, n_threads=n_threads)
    assert progress() == [START.format(shown), "Tree [1] is finished!", "Tree [2] is finished!"]
    assert model.feature_cols() == FEATURES


@pytest.mark.parametrize("n_estimators", [0, -1, -2**31])
def test_no_tickets_prints_only_the_start_line(tmp_path, data, progress, n_estimators):
    model = new_model(n_estimators=n_estimators)
    fit(model, data)
    assert progress() == [START.format(2)]
    assert saved_json(model, tmp_path / "m.json")["trees"] == []


def test_deep_trees_train_when_the_data_runs_out_first(data, progress):
    # Such a model is not saved: its node array would be astronomically long.
    model = new_model(max_depth=40, min_sample_leaf=1)
    fit(model, data)
    assert progress() == [START.format(2), "Tree [1] is finished!", "Tree [2] is finished!"]
    assert model.feature_cols() == FEATURES


class FailingStdout:
    def __init__(self, trigger):
        self.trigger = trigger

    def write(self, text):
        if text.startswith(self.trigger):
            raise ValueError("stream closed")
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize("trigger, trees_kept", [("Start", 0), ("Tree [1]", 1), ("Tree [2]", 2)])
def test_failing_progress_output_keeps_trees_received_so_far(tmp_path, data, monkeypatch, trigger, trees_kept):
    model = new_model(n_estimators=3)
    monkeypatch.setattr(sys, "stdout", FailingStdout(trigger))
    with pytest.raises(BaseException) as excinfo:
        fit(model, data)
    monkeypatch.undo()
    assert panic_message(excinfo) == UNWRAP_ERR + "ValueError: stream closed"
    assert len(saved_json(model, tmp_path / "m.json")["trees"]) == trees_kept


def test_stdout_none_skips_the_lines_as_print_does(tmp_path, data, monkeypatch):
    model = new_model()
    monkeypatch.setattr(sys, "stdout", None)
    fit(model, data)
    monkeypatch.undo()
    assert len(saved_json(model, tmp_path / "m.json")["trees"]) == 2


def test_progress_leaves_main_namespace_alone():
    # A real __main__ (a child interpreter), where a user's own `sys` lives.
    code = ("import corvane, sys\n"
            "from conftest import fit, make_data, new_model\n"
            "sys = 'mine'\n"
            "fit(new_model(), make_data(300, seed=7))\n"
            "assert sys == 'mine', sys\n"
            "del sys\n"
            "fit(new_model(), make_data(300, seed=7))\n"
            "assert 'sys' not in globals()\n")
    done = subprocess.run([sys.executable, "-c", code], cwd=os.path.dirname(__file__),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("is finished!") == 4


def root_split(tmp_path, low, high):
    model = new_model(n_estimators=1, max_features=1, max_depth=1, min_sample_leaf=5)
    fit(model, two_valued_data(low, high), x_names=["x"])
    node = saved_json(model, tmp_path / "m.json")["trees"][0]["nodes"][0]
    assert node["col_name"] == "x"
    return node["split_value"]


@pytest.mark.parametrize("low, high, expected", [
    (3, 8, [{"Numeric": 3.0}]),
    (False, True, [{"Numeric": 0.0}]),
    (2, 7.5, [{"Numeric": 2.0}]),
    (Fraction(1, 4), Fraction(3, 4), [{"Numeric": 0.25}]),
    # Text that looks like a number is still text.
    ("1.5", "2.5", [{"Str": "1.5"}, {"Str": "2.5"}]),
])
def test_column_typing_shows_in_the_split(tmp_path, low, high, expected):
    assert root_split(tmp_path, low, high) in expected


def test_repeated_and_reused_names_are_read_as_features(data):
    model = new_model()
    fit(model, data, x_names=["age", "color", "age", "t"])
    assert model.feature_cols() == ["age", "color", "age", "t"]


def test_fit_after_load_must_match_the_loaded_trees(tmp_path, data, progress):
    path = tmp_path / "m.json"
    trained = new_model()
    fit(trained, data)
    trained.save(str(path))
    model = new_model()
    model.load(str(path))
    with pytest.raises(BaseException) as excinfo:
        fit(model, data, x_names=["age"])
    assert panic_message(excinfo) == (
        "the model holds trees trained on features ['age', 'color'] but fit was given ['age']; "
        "fit a new model to train on other features")
    assert saved_json(model, tmp_path / "again.json") == saved_json(trained, path)
    # The same columns add trees as usual.
    fit(model, data)
    assert len(saved_json(model, path)["trees"]) == 4
