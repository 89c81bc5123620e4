"""The type stub shipped for editors names the same methods and parameters
as the class really has."""
import ast
import inspect
import pathlib

import corvane

STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "corvane.pyi"


def stub_methods():
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef))
    return {f.name: [a.arg for a in f.args.args] for f in cls.body if isinstance(f, ast.FunctionDef)}


def test_stub_matches_the_class():
    methods = stub_methods()
    cls = corvane._UpliftRandomForestModel
    runtime = {name for name in vars(cls) if not name.startswith("__")}
    assert set(methods) - {"__new__"} == runtime
    for name in runtime:
        params = list(inspect.signature(getattr(cls, name)).parameters)
        assert methods[name] == params, name
    assert methods["__new__"][1:] == [
        "n_estimators", "max_features", "max_depth", "min_sample_leaf", "eval_func",
        "max_bins", "balance", "regularization", "alpha"]
