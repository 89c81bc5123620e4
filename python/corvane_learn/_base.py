"""Hyper-parameter handling in scikit-learn's manner, without scikit-learn."""

from __future__ import annotations

import inspect
from typing import Any


class ParamsMixin:
    """`get_params`, `set_params` and `__repr__` from `__init__`'s keyword-only parameters.

    Follows scikit-learn's contract: `__init__` stores each parameter
    unchanged under its own name, so `sklearn.base.clone` can rebuild an
    unfitted copy from `get_params()`.
    """

    @classmethod
    def _param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return sorted(p.name for p in signature.parameters.values()
                      if p.kind is inspect.Parameter.KEYWORD_ONLY)

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The hyper-parameters by name (`deep` is accepted for compatibility;
        no parameter is itself an estimator)."""
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> ParamsMixin:
        """Sets hyper-parameters by name and returns the estimator.

        Raises ValueError naming a parameter the estimator does not have.
        """
        valid = set(self._param_names())
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"invalid parameter {name!r} for {type(self).__name__}; "
                                 f"valid parameters: {', '.join(sorted(valid))}")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__)
                    .parameters.values() if p.kind is inspect.Parameter.KEYWORD_ONLY}
        changed = []
        for name, value in self.get_params().items():
            default = defaults.get(name, inspect.Parameter.empty)
            if type(value) is not type(default) or value != default:
                changed.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(changed)})"
