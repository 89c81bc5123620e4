"""One forest out of several: the trees of fitted estimators, joined natively."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from . import _core
from ._estimator import _UpliftForest
from ._model_file import jsonable
from ._params import TREE_SETTINGS

# Runtime settings that do not shape the trees: merged forests take the first one's.
_RUNTIME_PARAMS = frozenset({"n_estimators", "n_jobs", "verbose", "random_state"})
# What the forests themselves store of their settings.
_SETTINGS = TREE_SETTINGS


def _same(a: Any, b: Any) -> bool:
    # 1 and "1" (or True and 1) are different labels and settings although
    # some comparisons equate them.
    a, b = jsonable(a) if _plain(a) else a, jsonable(b) if _plain(b) else b
    return (type(a) is type(b) or (isinstance(a, (int, float)) and isinstance(b, (int, float))
                                   and not isinstance(a, bool) and not isinstance(b, bool))) \
        and a == b


def _plain(value: Any) -> bool:
    try:
        jsonable(value)
    except ValueError:
        return False
    return True


def _difference(b: list[str], a: list[str], index: int) -> str:
    """How estimator `index`'s categories `b` differ from the first estimator's `a`, in words."""
    in_a, in_b = set(a), set(b)
    extra = [c for c in b if c not in in_a]
    lacking = [c for c in a if c not in in_b]

    def shown(cats: list[str]) -> str:
        return ", ".join(map(repr, cats[:5])) + (f" and {len(cats) - 5} more"
                                                 if len(cats) > 5 else "")

    parts = ([f"has {shown(extra)}, which the first estimator lacks,"] if extra else []) + \
        ([f"lacks {shown(lacking)}"] if lacking else [])
    if not parts:
        return f"{_describe(index)} orders them otherwise: {b!r} vs {a!r}"
    return f"{_describe(index)} " + " and ".join(parts)


def _describe(index: int) -> str:
    return "the first estimator" if index == 0 else f"estimator {index}"


def check_compatible(first: _UpliftForest, other: _UpliftForest,
                     index: int) -> None:
    """Raises ValueError naming what makes `other` unmergeable with `first`."""
    a, b = first._state(), other._state()
    where = f"{_describe(index)} and the first estimator"
    if a.names != b.names:
        raise ValueError(f"cannot merge forests: {where} have different features "
                         f"(names or order): {list(b.names)!r} vs {list(a.names)!r}")
    for name, kind_a, kind_b, lookup_a, lookup_b in zip(
            a.names, first.feature_kinds_, other.feature_kinds_, a.lookups, b.lookups):
        if kind_a != kind_b:
            raise ValueError(f"cannot merge forests: {where} read column {name!r} differently: "
                             f"as {kind_b} vs as {kind_a}")
        cats_a = lookup_a.categories if lookup_a else []
        cats_b = lookup_b.categories if lookup_b else []
        if cats_a != cats_b:
            raise ValueError(f"cannot merge forests: {where} have other categories in column "
                             f"{name!r}: {_difference(cats_b, cats_a, index)}")
    if not _same(a.control, b.control):
        raise ValueError(f"cannot merge forests: {where} have different control labels: "
                         f"{b.control!r} vs {a.control!r}")
    ta, tb = a.treatments.tolist(), b.treatments.tolist()
    if len(ta) != len(tb) or not all(_same(x, y) for x, y in zip(ta, tb)):
        raise ValueError(f"cannot merge forests: {where} have different treatment labels: "
                         f"{tb!r} vs {ta!r}")
    pa, pb = first.get_params(), other.get_params()
    for name in sorted(set(pa) | set(pb)):
        if name in _RUNTIME_PARAMS:
            continue
        if not _same(pa.get(name), pb.get(name)):
            raise ValueError(f"cannot merge forests: {where} differ in {name}: "
                             f"{pb.get(name)!r} vs {pa.get(name)!r}")
    sa, sb = a.forest.info(), b.forest.info()
    for name in _SETTINGS:
        if not _same(sa[name], sb[name]):
            # Same parameters yet other stored settings: a forest loaded from
            # a plain model file, whose parameters the file does not name.
            raise ValueError(f"cannot merge forests: {where} were trained with different "
                             f"settings ({name} {sb[name]!r} vs {sa[name]!r})")
    if sa["has_counts"] != sb["has_counts"]:
        raise ValueError(f"cannot merge forests: {where} differ in whether they keep row "
                         "counts per node (one comes from a plain model file)")


def merge_fitted(estimators: Sequence[_UpliftForest],
                 params: dict[str, Any] | None = None) -> _UpliftForest:
    """A new fitted estimator holding every tree of `estimators`, in order.

    Its parameters are the first one's (or `params`), with n_estimators the
    total. Raises ValueError as merge_forests.
    """
    if not estimators:
        raise ValueError("cannot merge forests: no estimators given")
    first = estimators[0]
    for index, other in enumerate(estimators[1:], start=1):
        check_compatible(first, other, index)
    forest = _core.merge([e._state().forest for e in estimators])
    merged = type(first)(**(first.get_params() if params is None else params))
    merged.set_params(n_estimators=forest.info()["n_estimators"])
    state = first._state()
    merged._set_fitted(forest, state.treatments, state.control, state.max_features, state.outcome,
                       first.feature_kinds_)
    return merged


def merge_forests(estimators: Sequence[_UpliftForest]) -> _UpliftForest:
    """One new fitted estimator holding every tree of `estimators`, in the given order.

    Its `n_estimators` is the total, so `predict` and `feature_importances_`
    average over all trees alike (a forest of 30 trees merged with one of 10
    weighs each of the 40 trees 1/40). The merged estimator saves, loads and
    pickles like any other; its `n_jobs`, `verbose` and `random_state` are
    the first estimator's. The estimators themselves are left unchanged (the
    trees are shared, never copied: fitted forests do not change).

    Raises
    ------
    ValueError
        For an empty sequence, an estimator that is not fitted, or estimators
        that differ in what their trees mean: feature names or their order,
        feature kinds or categories, control or treatment labels, or any
        hyper-parameter other than `n_estimators`, `n_jobs`, `verbose` and
        `random_state` (the message names the parameter and both values).
    TypeError
        For an element that is no UpliftForestClassifier or UpliftForestRegressor, or a
        mix of the two.
    """
    estimators = list(estimators)
    for index, estimator in enumerate(estimators):
        if not isinstance(estimator, _UpliftForest):
            raise TypeError(f"cannot merge forests: {_describe(index)} is a "
                            f"{type(estimator).__name__}, not an UpliftForestClassifier or "
                            "UpliftForestRegressor")
        if type(estimator) is not type(estimators[0]):
            # Leaves of rates and leaves of mean outcomes never average together.
            raise TypeError(f"cannot merge forests: {_describe(index)} is an "
                            f"{type(estimator).__name__} but the first estimator an "
                            f"{type(estimators[0]).__name__}")
        if getattr(estimator, "_fitted", None) is None:
            raise ValueError(f"cannot merge forests: {_describe(index)} is not fitted")
    return merge_fitted(estimators)
