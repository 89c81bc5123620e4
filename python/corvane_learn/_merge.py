"""One forest out of several: the trees of fitted estimators, spliced as model-file text.

The extension writes a forest as a compact JSON object whose members come in
a fixed order with "n_estimators" first and "trees" last, so a forest
without the estimator's metadata member is

    {"n_estimators":N,<settings>,"trees":[<tree>,<tree>,...]}

Merging keeps the settings text of the first forest byte for byte, replaces
N by the total and concatenates the tree arrays. The trees are never parsed
in Python; the extension reads the result as it reads any model file.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any

from ._estimator import UpliftForestClassifier
from ._model_file import METADATA_KEY

_HEAD = re.compile(rb'\{"n_estimators":(-?[0-9]+),')
# A quotation mark inside a JSON string is always escaped, so this byte
# sequence can only be the member itself.
_TREES = b',"trees":['
_TAIL = b"]}"
_METADATA = b',"' + METADATA_KEY.encode() + b'":'
# Runtime settings that do not shape the trees: merged forests take the first one's.
_RUNTIME_PARAMS = frozenset({"n_estimators", "n_jobs", "verbose"})


class ForestText:
    """One fitted forest as the parts of its model-file text, with its metadata.

    `settings` is the text between the forest's "n_estimators" member and its
    "trees" member (the hyper-parameters as the extension stores them),
    `trees` the text inside the trees array (empty for a forest without
    trees). `metadata` is the estimator's (`_metadata()`), `feature_names`
    its `feature_names_in_` as a list.
    """

    def __init__(self, text: bytes, metadata: dict[str, Any], feature_names: list[str]) -> None:
        at = text.rfind(_METADATA)
        if at >= 0 and not text.endswith(_TAIL):
            text = text[:at] + b"}"  # the estimator's own member follows the trees
        head = _HEAD.match(text)
        at = text.find(_TREES)
        if head is None or at < 0 or not text.endswith(_TAIL):
            raise ValueError("unexpected model-file text: not a forest object ending with its "
                             "trees")
        self.n_estimators = int(head.group(1))
        self.settings = text[head.end():at]
        self.trees = text[at + len(_TREES):-len(_TAIL)]
        self.metadata = metadata
        self.feature_names = feature_names

    @classmethod
    def of(cls, estimator: UpliftForestClassifier) -> ForestText:
        """The forest of a fitted estimator; ValueError if it is not fitted."""
        return cls(estimator._model_file_text(), estimator._metadata(),
                   [str(name) for name in estimator.feature_names_in_])


def _same(a: Any, b: Any) -> bool:
    # 1 and "1" (or True and 1) are different labels and settings although
    # some comparisons equate them.
    return (type(a) is type(b) or (isinstance(a, (int, float)) and isinstance(b, (int, float))
                                   and not isinstance(a, bool) and not isinstance(b, bool))) \
        and a == b


def _same_list(a: list[Any], b: list[Any]) -> bool:
    return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))


def _describe(index: int) -> str:
    return "the first estimator" if index == 0 else f"estimator {index}"


def _check_compatible(first: ForestText, other: ForestText, index: int) -> None:
    """Raises ValueError naming what makes `other` unmergeable with `first`."""
    a, b = first.metadata, other.metadata
    where = f"{_describe(index)} and the first estimator"
    if first.feature_names != other.feature_names:
        raise ValueError(f"cannot merge forests: {where} have different features "
                         f"(names or order): {other.feature_names!r} vs {first.feature_names!r}")
    if a["feature_kinds"] != b["feature_kinds"]:
        raise ValueError(f"cannot merge forests: {where} read their features differently "
                         f"(kinds): {b['feature_kinds']!r} vs {a['feature_kinds']!r}")
    if not _same(a["control"], b["control"]):
        raise ValueError(f"cannot merge forests: {where} have different control labels: "
                         f"{b['control']!r} vs {a['control']!r}")
    if not _same_list(a["treatments"], b["treatments"]):
        raise ValueError(f"cannot merge forests: {where} have different treatment labels: "
                         f"{b['treatments']!r} vs {a['treatments']!r}")
    for name in sorted(set(a["params"]) | set(b["params"])):
        if name in _RUNTIME_PARAMS:
            continue
        va, vb = a["params"].get(name), b["params"].get(name)
        if not _same(va, vb):
            raise ValueError(f"cannot merge forests: {where} differ in {name}: "
                             f"{vb!r} vs {va!r}")
    if first.settings != other.settings:
        # Same parameters yet other stored settings: a forest loaded from a
        # plain model file, whose parameters the file does not name.
        raise ValueError(f"cannot merge forests: {where} were trained with different "
                         "settings (their model files differ in the forest's hyper-parameters)")


def merge_texts(parts: Sequence[ForestText],
                params: dict[str, Any] | None = None) -> UpliftForestClassifier:
    """A fitted estimator holding every tree of `parts`, in order.

    Its n_estimators is the sum of the parts' n_estimators. Metadata come
    from the first part, with `params` (JSON-ready hyper-parameters)
    replacing its parameters when given. Raises ValueError as merge_forests.
    """
    if not parts:
        raise ValueError("cannot merge forests: no estimators given")
    first = parts[0]
    for index, other in enumerate(parts[1:], start=1):
        _check_compatible(first, other, index)
    total = sum(p.n_estimators for p in parts)
    text = b"".join([b'{"n_estimators":', str(total).encode(), b",", first.settings, _TREES,
                     b",".join(p.trees for p in parts if p.trees), _TAIL])
    metadata = dict(first.metadata)
    metadata["params"] = dict(first.metadata["params"] if params is None else params,
                              n_estimators=total)
    return UpliftForestClassifier._from_model_file_text(text, metadata)


def merge_forests(estimators: Sequence[UpliftForestClassifier]) -> UpliftForestClassifier:
    """One new fitted estimator holding every tree of `estimators`, in the given order.

    Its `n_estimators` is the total, so `predict` and `feature_importances_`
    average over all trees alike (a forest of 30 trees merged with one of 10
    weighs each of the 40 trees 1/40). The merged estimator saves, loads and
    pickles like any other; its `n_jobs` and `verbose` are the first
    estimator's. The estimators themselves are left unchanged.

    Raises
    ------
    ValueError
        For an empty sequence, an estimator that is not fitted, or estimators
        that differ in what their trees mean: feature names or their order,
        feature kinds, control or treatment labels, or any hyper-parameter
        other than `n_estimators`, `n_jobs` and `verbose` (the message names
        the parameter and both values).
    """
    estimators = list(estimators)
    for index, estimator in enumerate(estimators):
        if not isinstance(estimator, UpliftForestClassifier):
            raise TypeError(f"cannot merge forests: {_describe(index)} is a "
                            f"{type(estimator).__name__}, not an UpliftForestClassifier")
        if not hasattr(estimator, "model_"):
            raise ValueError(f"cannot merge forests: {_describe(index)} is not fitted")
    return merge_texts([ForestText.of(estimator) for estimator in estimators])
