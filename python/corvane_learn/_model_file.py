"""The estimator's fields in model files, written and checked.

The native module writes a forest as the extension's model file plus one
last member, "corvane_learn", which the extension skips when it reads the
file. The native side fills that member's "features" (kind and categories
of each feature) and "node_counts" (rows per group at every node); the
estimator adds its own fields, kept here:

- "format": 2 (files of format 1, written before the native side kept
  features and node counts, still load);
- "version": the corvane_learn version that wrote the file;
- "params": `get_params()`, less the parameters added after format 2
  (`LATER_PARAMS`) where they hold their defaults: a fit that does not use
  them writes the file it always wrote, which earlier versions read too
  (a missing parameter reads as its default);
- "control", "treatments" (labels in `predict`'s column order) and
  "treatment_dtype" (the numpy dtype string of the labels);
- "max_features": features drawn per split, as resolved at fit.

Fields read back are checked before use: a file whose fields were edited or
damaged is refused with a ValueError that names the file and the field.
"""

from __future__ import annotations

import json
import math
import os
from typing import Any

import numpy as np

from ._params import DEFAULTS

FORMAT = 2
# 3: a real-valued outcome (the regressor's), with "outcome": "real".
_FORMATS = (1, 2, 3)
# Parameters that format 2 gained later, with their defaults: written only
# when set otherwise.
LATER_PARAMS: dict[str, Any] = {name: DEFAULTS[name] for name in ("splitter", "max_samples")}


def jsonable(value: Any) -> Any:
    """A label or parameter as a JSON value (numpy scalars as Python ones)."""
    if isinstance(value, np.generic):
        value = value.item()
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float) and math.isfinite(value):
        return value
    raise ValueError(f"{value!r} ({type(value).__name__}) cannot be stored in a model file")


def fields_text(fields: dict[str, Any]) -> bytes:
    return json.dumps(fields, ensure_ascii=False, allow_nan=False,
                      separators=(",", ":")).encode("utf-8")


class Fields:
    """Checked fields of a model file: what the estimator needs besides the forest."""

    def __init__(self, params: dict[str, Any], control: Any, treatments: np.ndarray,
                 max_features: int | None, feature_kinds: list[str | None] | None,
                 outcome: str = "binary") -> None:
        self.params = params
        self.outcome = outcome
        self.control = control
        self.treatments = treatments
        self.max_features = max_features
        self.feature_kinds = feature_kinds


def _where(source: str) -> str:
    return f"model file {source}"


def _fail(source: str, field: str, problem: str) -> ValueError:
    return ValueError(f"{_where(source)}: field {field!r} of its estimator part {problem}")


def read_fields(raw: bytes, source: str, width: int, n_features: int,
                param_names: set[str]) -> Fields:
    """Checks the estimator's fields of a model file (`raw`, a JSON object text).

    `width` is the number of treatments the forest predicts and `n_features`
    the number of features its trees read; `source` names the file in
    messages.
    """
    try:
        fields = json.loads(raw.decode("utf-8"))
    except ValueError as error:
        raise ValueError(f"{_where(source)}: its estimator part is not valid JSON ({error})") \
            from None
    if not isinstance(fields, dict):
        raise ValueError(f"{_where(source)}: its estimator part is no JSON object")
    fmt = fields.get("format")
    if fmt not in _FORMATS or isinstance(fmt, bool):
        raise _fail(source, "format", f"is {fmt!r}; this version reads formats 1, 2 and 3")
    for key in ("params", "control", "treatments", "treatment_dtype", "max_features"):
        if key not in fields:
            raise _fail(source, key, "is missing")
    params = fields["params"]
    if not isinstance(params, dict) or not all(isinstance(k, str) for k in params):
        raise _fail(source, "params", "is no object of parameters")
    params = {k: v for k, v in params.items() if k in param_names}
    control = fields["control"]
    if not (control is None or isinstance(control, (bool, int, float, str))):
        raise _fail(source, "control", f"is {control!r}, which is no label")
    treatments = fields["treatments"]
    if not isinstance(treatments, list) or not all(
            isinstance(t, (bool, int, float, str)) for t in treatments):
        raise _fail(source, "treatments", "is no list of labels")
    if len(treatments) != width:
        raise _fail(source, "treatments", f"names {len(treatments)} treatments but the forest "
                    f"predicts {width}")
    dtype = fields["treatment_dtype"]
    try:
        if not isinstance(dtype, str):
            raise TypeError
        labels = np.array(treatments, dtype=np.dtype(dtype))
    except (TypeError, ValueError):
        raise _fail(source, "treatment_dtype", f"is {dtype!r}, which does not hold the "
                    "treatment labels") from None
    if labels.dtype.kind not in "biufUSO":
        raise _fail(source, "treatment_dtype", f"is {dtype!r}, which is no label type")
    max_features = fields["max_features"]
    if isinstance(max_features, bool) or not isinstance(max_features, int) or max_features < 1:
        raise _fail(source, "max_features", f"is {max_features!r}; expected a positive integer")
    kinds = None
    if fmt == 1:
        kinds = fields.get("feature_kinds")
        if kinds is not None and (not isinstance(kinds, list) or len(kinds) != n_features or
                                  any(k not in ("numeric", "categorical") for k in kinds)):
            raise _fail(source, "feature_kinds", f"must list 'numeric' or 'categorical' for each "
                        f"of the {n_features} features")
    outcome = fields.get("outcome", "binary") if fmt == 3 else "binary"
    if outcome not in ("binary", "real"):
        raise _fail(source, "outcome", f"is {outcome!r}; expected 'binary' or 'real'")
    return Fields(params, control, labels, max_features, kinds, outcome)


def source_name(path: str | os.PathLike) -> str:
    return repr(os.fspath(path))
