"""The estimator's hyper-parameters as the native table declares them.

Every hyper-parameter that shapes the trees or a training call is declared
once, in the native core (``corvane_learn._core.PARAMETERS``): its name in
``train()``, the estimator's name, type, default, bounds and a description.
The estimator's defaults, its parameter validation, the keywords it hands to
``train()`` and the settings that merged forests must share come from here.
The estimator adds only what is its own (``n_jobs``, ``control``, ``verbose``,
``random_state``, ``importance_type``) and the richer forms some parameters
take in Python (``max_features`` as "sqrt", "log2" or a fraction;
``max_samples`` as None, a count or a fraction; ``criterion`` and
``splitter`` among the names the core gives).
"""

from __future__ import annotations

import ast
from dataclasses import dataclass
from numbers import Integral, Real
from typing import Any

from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions

from . import _core


@dataclass(frozen=True)
class Parameter:
    """One row of the native parameter table."""

    name: str  # as train() takes it
    estimator: str  # as the estimator's __init__ takes it
    type: str  # "int", "float", "bool" or "str"
    default: Any
    low: float | None
    high: float | None
    closed: str
    doc: str
    group: str  # "forest", "tree" (kept by every tree) or "training"


TABLE: tuple[Parameter, ...] = tuple(
    Parameter(p["name"], p["estimator"], p["type"], ast.literal_eval(p["default"]), p["low"],
              p["high"], p["closed"], p["doc"], p["group"])
    for p in _core.PARAMETERS)
BY_ESTIMATOR_NAME: dict[str, Parameter] = {p.estimator: p for p in TABLE}
DEFAULTS: dict[str, Any] = {p.estimator: p.default for p in TABLE}
# What every tree stores of its settings, by train()'s names: merged forests must agree on them.
TREE_SETTINGS: tuple[str, ...] = tuple(p.name for p in TABLE if p.group == "tree")


def _bound(value: float | None, integral: bool) -> float | int | None:
    if value is None:
        return None
    return int(value) if integral else value


def constraint(p: Parameter) -> list[Any]:
    """scikit-learn's declarative constraint for one table row."""
    if p.type == "bool":
        return ["boolean"]
    if p.type == "int":
        return [Interval(Integral, _bound(p.low, True), _bound(p.high, True), closed=p.closed)]
    if p.type == "float":
        return [Interval(Real, p.low, p.high, closed=p.closed)]
    return []


def constraints(criteria: tuple[str, ...], splitters: tuple[str, ...]) -> dict[str, list[Any]]:
    """The table's constraints with the estimator's own forms of some parameters."""
    result = {p.estimator: constraint(p) for p in TABLE}
    result["max_features"] = [None, StrOptions({"sqrt", "log2"}), *result["max_features"],
                              Interval(RealNotInt, 0.0, 1.0, closed="right")]
    result["max_samples"] = [None, Interval(Integral, 1, None, closed="left"),
                             Interval(RealNotInt, 0.0, 1.0, closed="right")]
    result["criterion"] = [StrOptions(set(criteria))]
    result["splitter"] = [StrOptions(set(splitters))]
    return result


def resolve_max_samples(value: Any, n_rows: int) -> int:
    """Rows drawn per tree out of `n_rows`: 0 (all) for None, a count (capped at
    `n_rows`) or a fraction of the rows (rounded, at least 1)."""
    if value is None:
        return 0
    if isinstance(value, Integral):
        return min(int(value), n_rows)
    return max(1, round(value * n_rows))


def train_keywords(params: dict[str, Any], max_features: int, max_samples: int) -> dict[str, Any]:
    """The table's parameters as train() takes them, from the estimator's `params`.

    `max_features` and `max_samples` are the counts the estimator resolved
    from their richer forms.
    """
    resolved = {"max_features": max_features, "max_samples": max_samples}
    keywords: dict[str, Any] = {}
    for p in TABLE:
        value = resolved[p.estimator] if p.estimator in resolved else params[p.estimator]
        if p.type == "bool":
            value = bool(value)
        elif p.type == "float":
            value = float(value)
        elif p.type == "int":
            value = int(value)
        keywords[p.name] = value
    return keywords
