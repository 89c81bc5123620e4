"""Helpers shared by the Python tests of corvane.

Test modules import the plain functions directly (`from conftest import ...`);
the fixtures are picked up by pytest as usual.
"""
import json
import os
import random

import pytest

import corvane

FEATURES = ["age", "color"]
TREATMENT = "t"
OUTCOME = "y"
COLORS = ["red", "green", "blue"]

# Constructor defaults for small, quick forests; tests override what they need.
MODEL_DEFAULTS = dict(n_estimators=2, max_features=2, max_depth=3, min_sample_leaf=10,
                      eval_func="ED", max_bins=10, balance=False, regularization=False, alpha=0.5)

# Set by `scripts/test.sh --quick`: the long fuzz and stress runs are shortened.
QUICK = os.environ.get("CORVANE_QUICK_TESTS") == "1"

# Set by the script that runs the suite against a sanitizer build.
UNDER_SANITIZER = os.environ.get("CORVANE_SANITIZER_BUILD") == "1"
needs_plain_address_space = pytest.mark.skipif(
    UNDER_SANITIZER, reason="AddressSanitizer reserves terabytes of address space for its shadow "
    "memory, so a child process with a capped address space cannot even start")

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "

# The model file: an untrained forest's exact text and the member names of
# each record, in file order.
UNTRAINED = ('{"n_estimators":10,"max_features":3,"max_depth":5,"min_sample_leaf":100,"eval_func":"ED",'
             '"max_bins":10,"treatment_col":"","outcome_col":"","balance":true,"regularization":false,'
             '"alpha":0.5,"trees":[]}')
FOREST_KEYS = ["n_estimators", "max_features", "max_depth", "min_sample_leaf", "eval_func", "max_bins",
               "treatment_col", "outcome_col", "balance", "regularization", "alpha", "trees"]
TREE_KEYS = ["nodes", "max_depth", "min_sample_leaf", "max_features", "eval_func", "max_bins",
             "treatment_col", "outcome_col", "feature_cols", "balance", "regularization", "alpha"]
NODE_KEYS = ["col_name", "col_idx", "split_value", "prob", "gain"]
# How a node position that no row reaches is written in a model file.
DEFAULT_NODE = '{"col_name":"","col_idx":-1,"split_value":{"Numeric":0.0},"prob":[],"gain":0.0}'
_TRACEBACK = "\nTraceback (most recent call last):"


def make_data(n, seed, treatments=2, features=True):
    """Column dict with a planted uplift.

    `treatments` is the number of treatment codes, control included: rows get
    codes 0 .. treatments-1. "age" is a float in [0, 1) and "color" a
    category; every treatment raises the positive rate of rows with
    age > 0.5 (more for higher codes) and red rows a little, so trees have
    something real to split on. `features=False` leaves out the feature
    columns (for tests that bring their own).
    """
    rng = random.Random(seed)
    age = [rng.random() for _ in range(n)]
    color = [rng.choice(COLORS) for _ in range(n)]
    t = [i % treatments for i in range(n)]
    rng.shuffle(t)
    y = []
    for a, c, g in zip(age, color, t):
        p = 0.2
        if g:
            p += (0.5 * g / max(treatments - 1, 1)) if a > 0.5 else 0.0
            p += 0.1 if c == "red" else 0.0
        y.append(int(rng.random() < p))
    data = {TREATMENT: t, OUTCOME: y}
    if features:
        data.update(age=age, color=color)
    return data


# Rows shaped like a serving workload: 20 numeric features, then 2 categorical.
WIDE_FEATURES = [f"n{i}" for i in range(20)] + ["k0", "k1"]
WIDE_CATEGORIES = (["red", "green", "blue", "Red", ""], ["a", "b", "c", "d", "e", "f"])


def make_wide_data(n, seed):
    """Column dict over WIDE_FEATURES with uplift planted on several numeric
    features and on both categorical ones, so that deep trees split on both
    kinds; treatments 0..2."""
    rng = random.Random(seed)
    data = {name: [rng.random() for _ in range(n)] for name in WIDE_FEATURES[:20]}
    data["k0"] = [rng.choice(WIDE_CATEGORIES[0]) for _ in range(n)]
    data["k1"] = [rng.choice(WIDE_CATEGORIES[1]) for _ in range(n)]
    t = [i % 3 for i in range(n)]
    y = []
    for i in range(n):
        p = 0.15 + 0.1 * data["n1"][i]
        if t[i]:
            p += 0.2 * t[i] * (data["n0"][i] > 0.5) + 0.1 * data["n2"][i]
            p += 0.25 if data["k0"][i] == "red" else 0.0
            p += 0.15 if data["k1"][i] in "abc" else 0.0
        y.append(int(rng.random() < p))
    data.update({TREATMENT: t, OUTCOME: y})
    return data


def two_valued_data(low, high, n=400):
    """One feature "x" alternating between `low` and `high`; the treatment
    works only where x is `high`, so any tree splits the root on x (between
    the two values, or on one of them if they are categories)."""
    x = [(low, high)[i % 2] for i in range(n)]
    t = [(i // 2) % 2 for i in range(n)]
    y = [int((i % 2 == 1 and t[i] == 1) or i % 7 == 0) for i in range(n)]
    return {"x": x, TREATMENT: t, OUTCOME: y}


def index_out_of_bounds(length, index):
    """The message of a stop on a column or node index past the end."""
    return f"index out of bounds: the len is {length} but the index is {index}"


def placeholder_model():
    """The smallest valid model, for tests that load a file into it or only
    need an instance; its parameters matter to none of them."""
    return corvane._UpliftRandomForestModel(1, 1, 1, 1, "ED", 1, False, False, 0.5)


def new_model(**overrides):
    params = dict(MODEL_DEFAULTS, **overrides)
    return corvane._UpliftRandomForestModel(**params)


def fit(model, data, x_names=FEATURES, treatment_col=TREATMENT, outcome_col=OUTCOME, n_threads=2):
    return model.fit(data, list(x_names), treatment_col, outcome_col, n_threads)


def panic_message(excinfo, keep_traceback=False):
    """The text of a PanicException caught with pytest.raises(BaseException).

    Fails the test when the exception is anything else. Python errors inside
    a stop may carry a traceback after their one-line description; it is cut
    unless asked for, since its frames depend on the caller.
    """
    exc = excinfo.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert type(exc).__module__ == "pyo3_runtime"
    assert len(exc.args) == 1 and isinstance(exc.args[0], str), exc.args
    message = exc.args[0]
    if not keep_traceback:
        message = message.split(_TRACEBACK, 1)[0]
    return message


def _panic_class():
    try:
        placeholder_model().feature_cols()
    except BaseException as e:  # the class is what we are after
        return type(e)
    raise AssertionError("an untrained model answered feature_cols()")


# The class is not reachable from the module; the first stop hands it over.
PanicException = _panic_class()


def call_panic_message(fn, *args):
    """Calls fn(*args), which must stop with a PanicException; its message."""
    with pytest.raises(PanicException) as info:
        fn(*args)
    assert len(info.value.args) == 1
    return info.value.args[0]


def saved_text(model, path):
    model.save(str(path))
    return path.read_bytes().decode("utf-8")


def saved_json(model, path):
    return json.loads(saved_text(model, path))


def tree_count(model, path):
    return len(saved_json(model, path)["trees"])


@pytest.fixture
def progress(capsys):
    """Returns a function giving the stdout lines printed since its last call.

    Progress goes through Python's sys.stdout, which capsys replaces, so the
    lines land here and not on the terminal.
    """
    def read():
        return capsys.readouterr().out.splitlines()
    read()
    return read


@pytest.fixture
def data():
    return make_data(300, seed=7)


# Labels of the treatment groups in `mixed_frame`; "control" is the control group.
MIXED_LABELS = ["control", "email", "sms"]


def mixed_frame(n, seed):
    """A pandas DataFrame with every feature kind, and its treatment and outcome.

    Features: "num" (float, every 17th value NaN), "flag" (bool), "plan"
    (str, every 13th value None) and "region" (categorical, every 11th value
    missing). Treatment labels are the strings of MIXED_LABELS; "sms" raises
    the positive rate from 0.2 to 0.6 where num > 0.5, "email" does nothing.
    Returns (frame, treatment array, outcome array).
    """
    pd = pytest.importorskip("pandas")
    import numpy as np

    rng = np.random.default_rng(seed)
    num = rng.random(n)
    frame = pd.DataFrame({
        "num": num,
        "flag": rng.random(n) < 0.5,
        "plan": rng.choice(["basic", "plus", "pro"], n).astype(object),
        "region": pd.Categorical(rng.choice(["north", "south"], n)),
    })
    frame.loc[::17, "num"] = np.nan
    frame.loc[::13, "plan"] = None
    frame.loc[::11, "region"] = np.nan
    treatment = rng.choice(np.array(MIXED_LABELS), n)
    rate = np.where((treatment == "sms") & (num > 0.5), 0.6, 0.2)
    y = (rng.random(n) < rate).astype(int)
    return frame, treatment, y
