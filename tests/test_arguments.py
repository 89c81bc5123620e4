"""What Python sees of the module and its class: facts, argument binding,
argument conversion, exception types and the in-use marker."""
import inspect
import math
import operator
import sys

import pytest

import corvane
from conftest import FEATURES, MODEL_DEFAULTS, UNWRAP_NONE, fit, make_data, new_model, saved_json

M = corvane._UpliftRandomForestModel
ARGS = (10, 3, 5, 100, "ED", 10, True, False, 0.5)
CTOR = "_UpliftRandomForestModel.__new__()"
FIT = "_UpliftRandomForestModel.fit()"


def interpreter_error(fn, *args):
    """The exception the interpreter itself raises, so expectations follow
    its wording instead of a copy of it."""
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001
        return exc
    raise AssertionError("expected the interpreter to refuse")


class Holder:
    class Flag:
        pass


def test_module_and_class_facts():
    assert corvane.__all__ == ["_UpliftRandomForestModel"]
    assert corvane.__doc__ == ""
    assert M.__name__ == "_UpliftRandomForestModel"
    assert M.__module__ == "builtins"
    assert M.__doc__ is None
    assert M.__bases__ == (object,)
    assert not hasattr(corvane, "PanicException")
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (M,), {})
    with pytest.raises(AttributeError):
        M(*ARGS).extra = 1  # no instance dictionary


@pytest.mark.parametrize("name, params", [
    ("fit", ["data", "x_names", "treatment_col", "outcome_col", "n_threads"]),
    ("save", ["path"]),
    ("feature_cols", []),
])
def test_method_signatures(name, params):
    method = getattr(M, name)
    # The docstring is the text signature alone, so nothing is left for __doc__.
    assert method.__doc__ is None
    assert method.__text_signature__ == "(" + ", ".join(["$self"] + params) + ")"
    assert list(inspect.signature(method).parameters) == ["self"] + params


def test_constructor_accepts_keywords_in_any_order(tmp_path):
    params = dict(reversed(list(MODEL_DEFAULTS.items())), alpha=1, max_bins=True, eval_func="anything")
    saved = saved_json(M(**params), tmp_path / "m.json")
    # Integers stand in for floats and bools are integers; an unknown word
    # waits for fit to refuse it.
    assert (saved["alpha"], saved["max_bins"], saved["eval_func"]) == (1.0, 1, "anything")
    assert [saved[k] for k in ("n_estimators", "max_features", "max_depth")] == [2, 2, 3]


@pytest.mark.parametrize("args, kwargs, exc_type, message", [
    ((), {}, TypeError, CTOR + " missing 9 required positional arguments: 'n_estimators', 'max_features', "
     "'max_depth', 'min_sample_leaf', 'eval_func', 'max_bins', 'balance', 'regularization', and 'alpha'"),
    ((), {k: v for k, v in MODEL_DEFAULTS.items() if k not in ("n_estimators", "max_features")}, TypeError,
     CTOR + " missing 2 required positional arguments: 'n_estimators' and 'max_features'"),
    (ARGS[:8], {}, TypeError, CTOR + " missing 1 required positional argument: 'alpha'"),
    (ARGS + (1,), {}, TypeError, CTOR + " takes 9 positional arguments but 10 were given"),
    (ARGS + (1,), {"bogus": 1}, TypeError, CTOR + " takes 9 positional arguments but 10 were given"),
    (ARGS, {"bogus": 1, "alpha": 1}, TypeError, CTOR + " got an unexpected keyword argument 'bogus'"),
    (ARGS, {"alpha": 1, "bogus": 1}, TypeError, CTOR + " got multiple values for argument 'alpha'"),
    # Binding is checked before any conversion.
    (("x",) + ARGS[1:], {"bogus": 1}, TypeError, CTOR + " got an unexpected keyword argument 'bogus'"),
    (ARGS[:6] + (1,) + ARGS[7:], {}, TypeError, "argument 'balance': 'int' object cannot be converted to 'PyBool'"),
    (ARGS[:7] + (None,) + ARGS[8:], {}, TypeError,
     "argument 'regularization': 'NoneType' object cannot be converted to 'PyBool'"),
    (ARGS[:6] + (Holder.Flag(),) + ARGS[7:], {}, TypeError,
     "argument 'balance': 'Holder.Flag' object cannot be converted to 'PyBool'"),
    (ARGS[:4] + (5,) + ARGS[5:], {}, TypeError, "argument 'eval_func': 'int' object cannot be converted to 'PyString'"),
    ((2**31,) + ARGS[1:], {}, OverflowError, "out of range integral type conversion attempted"),
    ((-2**31 - 1,) + ARGS[1:], {}, OverflowError, "out of range integral type conversion attempted"),
    (ARGS[:2] + (-1,) + ARGS[3:], {}, OverflowError, str(interpreter_error(int.to_bytes, -1, 8, "little"))),
    ((10, 3.0) + ARGS[2:], {}, TypeError, "argument 'max_features': " + str(interpreter_error(operator.index, 3.0))),
    (ARGS[:8] + ("x",), {}, TypeError, "argument 'alpha': " + str(interpreter_error(math.sqrt, "x"))),
    # Conversion runs in parameter order and the first failure is reported.
    (ARGS[:2] + ("x",) + ARGS[3:8] + ("y",), {}, TypeError,
     "argument 'max_depth': " + str(interpreter_error(operator.index, "x"))),
])
def test_constructor_refusals(args, kwargs, exc_type, message):
    with pytest.raises(BaseException) as excinfo:
        M(*args, **kwargs)
    exc = excinfo.value
    assert type(exc) is exc_type
    assert exc.args == (message,)
    if message.startswith("argument '"):
        # The wrapped error keeps the conversion's own error as its cause.
        cause = exc.__cause__
        assert type(cause) is TypeError
        assert message == message.split("': ", 1)[0] + "': " + str(cause)
    else:
        assert exc.__cause__ is None


@pytest.mark.parametrize("args", [
    (2**64,) + ARGS[1:],
    ARGS[:5] + (2**64,) + ARGS[6:],
])
def test_big_integers_raise_overflow_without_parameter_name(args):
    with pytest.raises(OverflowError) as excinfo:
        M(*args)
    assert "argument" not in str(excinfo.value)


def test_lone_surrogate_is_raised_unchanged():
    expected = interpreter_error(str.encode, "\udc80", "utf-8")
    with pytest.raises(UnicodeEncodeError) as excinfo:
        M(*ARGS[:4], "\udc80", *ARGS[5:])
    assert excinfo.value.args == expected.args
    with pytest.raises(UnicodeEncodeError) as excinfo:
        fit(new_model(), make_data(20, 1), treatment_col="\udc80")
    assert excinfo.value.args == expected.args
    with pytest.raises(UnicodeEncodeError) as excinfo:
        fit(new_model(), {**make_data(20, 1), "\udc80": []})
    assert excinfo.value.args == expected.args


class ListSub(list):
    pass


class DictSub(dict):
    pass


def test_fit_accepts_tuple_names_and_container_subclasses(data):
    model = new_model()
    frame = DictSub({k: ListSub(v) for k, v in data.items()})
    model.fit(frame, tuple(FEATURES), "t", "y", 2)
    assert model.feature_cols() == FEATURES


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda m, d: m.fit(), TypeError, FIT + " missing 5 required positional arguments: "
     "'data', 'x_names', 'treatment_col', 'outcome_col', and 'n_threads'"),
    (lambda m, d: m.fit(d, FEATURES), TypeError,
     FIT + " missing 3 required positional arguments: 'treatment_col', 'outcome_col', and 'n_threads'"),
    (lambda m, d: m.fit(d, FEATURES, "t", "y"), TypeError,
     FIT + " missing 1 required positional argument: 'n_threads'"),
    (lambda m, d: m.fit(d, FEATURES, "t", "y", 4, 5), TypeError,
     FIT + " takes 5 positional arguments but 6 were given"),
    (lambda m, d: m.fit(d, FEATURES, "t", "y", threads=4), TypeError,
     FIT + " got an unexpected keyword argument 'threads'"),
    (lambda m, d: m.fit(d, FEATURES, "t", "y", 4, data=d), TypeError,
     FIT + " got multiple values for argument 'data'"),
    (lambda m, d: m.fit(d, "abc", "t", "y", 4), TypeError, "argument 'x_names': Can't extract `str` to `Vec`"),
    (lambda m, d: m.fit(d, 5, "t", "y", 4), TypeError,
     "argument 'x_names': 'int' object cannot be converted to 'Sequence'"),
    (lambda m, d: m.fit(d, ["age", 1], "t", "y", 4), TypeError,
     "argument 'x_names': 'int' object cannot be converted to 'PyString'"),
    (lambda m, d: m.fit(dict(d, age=tuple(d["age"])), FEATURES, "t", "y", 4), TypeError,
     "argument 'data': 'tuple' object cannot be converted to 'PyList'"),
    (lambda m, d: m.fit(list(d.items()), FEATURES, "t", "y", 4), TypeError,
     "argument 'data': 'list' object cannot be converted to 'PyDict'"),
    (lambda m, d: m.fit({**d, 1: []}, FEATURES, "t", "y", 4), TypeError,
     "argument 'data': 'int' object cannot be converted to 'PyString'"),
    (lambda m, d: m.fit(d, FEATURES, 1, "y", 4), TypeError,
     "argument 'treatment_col': 'int' object cannot be converted to 'PyString'"),
    (lambda m, d: m.fit(d, FEATURES, "t", b"y", 4), TypeError,
     "argument 'outcome_col': 'bytes' object cannot be converted to 'PyString'"),
    (lambda m, d: m.fit(d, FEATURES, "t", "y", 2**31), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda m, d: m.fit(d, FEATURES, "t", "y", 2.0), TypeError,
     "argument 'n_threads': " + str(interpreter_error(operator.index, 2.0))),
])
def test_fit_refusals_change_nothing(tmp_path, data, progress, call, exc_type, message):
    model = new_model()
    fit(model, data, treatment_col="t", outcome_col="y")
    progress()
    with pytest.raises(BaseException) as excinfo:
        call(model, data)
    assert type(excinfo.value) is exc_type
    assert excinfo.value.args == (message,)
    # Refused before any work: nothing printed, column names and trees kept.
    assert progress() == []
    saved = saved_json(model, tmp_path / "m.json")
    assert (saved["treatment_col"], saved["outcome_col"], len(saved["trees"])) == ("t", "y", 2)


def test_panic_escapes_except_exception_but_not_base_exception(capfd):
    model = new_model()
    caught = None
    try:
        try:
            model.feature_cols()
        except Exception:  # noqa: BLE001
            pytest.fail("PanicException was caught as an Exception")
    except BaseException as exc:  # noqa: BLE001
        caught = exc
    assert type(caught).__bases__ == (BaseException,)
    assert type(caught).__qualname__ == "PanicException"
    assert caught.args == (UNWRAP_NONE,)
    assert UNWRAP_NONE in capfd.readouterr().err  # also reported on the process's stderr
    assert "native code" in type(caught).__doc__
    # The class is made once per process: a second stop raises the same class.
    with pytest.raises(BaseException) as again:
        model.feature_cols()
    assert type(again.value) is type(caught)


class ReentrantStdout:
    """A sys.stdout whose write() calls back into the model being trained."""

    def __init__(self, model, data, tmp_path):
        self.model, self.data, self.tmp_path = model, data, tmp_path
        self.lines, self.errors = [], []

    def write(self, text):
        self.lines.append(text)
        if text.startswith("Start training"):
            for call in (lambda: fit(self.model, self.data, n_threads=1),
                         lambda: self.model.feature_cols(),
                         lambda: self.model.save(str(self.tmp_path / "inner.json"))):
                try:
                    call()
                except BaseException as exc:  # noqa: BLE001
                    self.errors.append((type(exc), exc.args))
                else:
                    self.errors.append(None)
        return len(text)

    def flush(self):
        pass


def test_reentry_from_progress_output_is_refused(tmp_path, data, monkeypatch):
    model = new_model(n_estimators=2)
    out = ReentrantStdout(model, data, tmp_path)
    monkeypatch.setattr(sys, "stdout", out)
    fit(model, data)
    monkeypatch.undo()
    assert out.errors == [(RuntimeError, ("Already borrowed",)),
                          (RuntimeError, ("Already mutably borrowed",)),
                          (RuntimeError, ("Already mutably borrowed",))]
    assert not (tmp_path / "inner.json").exists()
    # The outer call went on as if nothing had happened.
    assert "".join(out.lines).splitlines() == [
        "Start training with 2 threads...", "Tree [1] is finished!", "Tree [2] is finished!"]
    assert model.feature_cols() == FEATURES
    # The marker was released: the instance is usable again, exclusively too.
    fit(model, data, n_threads=1)
    assert len(saved_json(model, tmp_path / "m.json")["trees"]) == 4


@pytest.mark.parametrize("failing_call", [
    lambda m, d, tmp: m.fit(d),
    lambda m, d, tmp: m.fit(d, "abc", "t", "y", 2),
    lambda m, d, tmp: fit(m, d, x_names=["missing"]),
    lambda m, d, tmp: fit(m, d, n_threads=0),
    lambda m, d, tmp: m.feature_cols(),
    lambda m, d, tmp: m.save(str(tmp / "no" / "such.json")),
])
def test_in_use_marker_is_cleared_after_failures(tmp_path, data, failing_call):
    model = new_model()
    with pytest.raises(BaseException):  # noqa: B017 - each call fails in its own way
        failing_call(model, data, tmp_path)
    fit(model, data)
    assert model.feature_cols() == FEATURES
    model.save(str(tmp_path / "ok.json"))
    assert (tmp_path / "ok.json").exists()
