"""Shapley values of the predicted uplift: what each feature adds to each row's uplift.

Exact path-dependent TreeSHAP, computed natively on all cores: for every
row, feature and treatment, the feature's Shapley value in the game whose
value for a set S of known features is the forest's uplift when only the
features in S are known (a split on an unknown feature follows both sides,
each weighted by its share of the training rows at the split, or of the
estimation rows with `honesty`). Values of a row sum, with the treatment's
base value (the rows-weighted mean of the leaves), to `predict` for that row.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _convert

__all__ = ["TreatmentExplanation", "UpliftExplanation", "shap_values"]


@dataclass(frozen=True)
class TreatmentExplanation:
    """One treatment's Shapley values, shaped as the `shap` library's Explanation.

    `values` (rows, features), `base_values` (rows,: the same base for every
    row), `data` (rows, features) and `feature_names`.
    """

    values: np.ndarray
    base_values: np.ndarray
    data: np.ndarray
    feature_names: list[str]


@dataclass(frozen=True)
class UpliftExplanation:
    """Shapley values of the uplift of some rows, for every treatment.

    Attributes
    ----------
    values : numpy.ndarray of float64, shape (rows, features, treatments)
        Each feature's Shapley value of each treatment's uplift, per row.
        `values[i].sum(axis=0) + base_values` equals `predict` for row i.
    base_values : numpy.ndarray of float64, shape (treatments,)
        The uplift when no feature is known: the leaves' mean weighted by
        their training rows, averaged over the trees.
    data : numpy.ndarray of float64, shape (rows, features)
        The cells as the trees read them: numbers (NaN where missing), and
        for a categorical feature the index of the row's category in
        `categories[feature]` (NaN for a category training never saw).
    feature_names : list of str
        The features the estimator reads, in its order.
    treatments : numpy.ndarray
        Treatment labels, in the order of the last axis (`treatments_`).
    categories : tuple of (list of str or None)
        Per feature, the categories that `data` indexes (None for numeric).
    """

    values: np.ndarray
    base_values: np.ndarray
    data: np.ndarray
    feature_names: list[str]
    treatments: np.ndarray
    categories: tuple[list[str] | None, ...]

    def treatment_index(self, treatment: Any = None) -> int:
        """Position of `treatment` among `treatments`; None names the only one.

        Raises ValueError for a label that is no treatment, or for None when
        there are several treatments.
        """
        labels = self.treatments.tolist()
        if treatment is None:
            if len(labels) == 1:
                return 0
            raise ValueError(f"the forest predicts several treatments; choose one of {labels!r}")
        for i, label in enumerate(labels):
            if _convert.same_label(treatment, label):
                return i
        raise ValueError(f"{treatment!r} is no treatment of the forest; expected one of "
                         f"{labels!r}")

    def for_treatment(self, treatment: Any = None) -> Any:
        """One treatment's values as the `shap` library's plots take them.

        A `shap.Explanation` when the `shap` package is installed, else a
        `TreatmentExplanation` with the same fields (`values` 2-D,
        `base_values` one per row, `data`, `feature_names`).
        """
        t = self.treatment_index(treatment)
        fields = dict(values=self.values[:, :, t],
                      base_values=np.full(len(self.values), self.base_values[t]),
                      data=self.data, feature_names=list(self.feature_names))
        try:
            import shap
        except ImportError:
            return TreatmentExplanation(**fields)
        return shap.Explanation(**fields)


def _fitted_estimator(estimator: Any, X: Any) -> tuple[Any, Any]:
    """The estimator to explain and X as it sees it (a Pipeline's steps applied)."""
    from sklearn.pipeline import Pipeline

    if isinstance(estimator, Pipeline):
        if len(estimator.steps) > 1:
            X = estimator[:-1].transform(X)
        estimator = estimator.steps[-1][1]
    if not hasattr(estimator, "_state") or not hasattr(estimator, "_columns"):
        raise TypeError("shap_values explains a fitted corvane_learn estimator (or a Pipeline "
                        f"ending in one); got {type(estimator).__name__}")
    return estimator, X


def _cells(columns: list[np.ndarray], n_rows: int, kinds: tuple[str | None, ...]) -> np.ndarray:
    data = np.empty((n_rows, len(columns)), dtype=np.float64)
    for f, (column, kind) in enumerate(zip(columns, kinds)):
        if kind == _convert.CATEGORICAL:
            data[:, f] = np.where(column >= 0, column, np.nan)
        elif kind is None:
            data[:, f] = np.nan  # no split reads it
        else:
            data[:, f] = column
    return data


def shap_values(estimator: Any, X: Any, *, n_jobs: int | None = None) -> UpliftExplanation:
    """Exact Shapley values of the predicted uplift of every row, feature and treatment.

    `estimator` is a fitted corvane_learn estimator (merged forests too) or
    a `Pipeline` ending in one, whose other steps then transform `X` first;
    the features explained are those the estimator reads. `X` takes what
    `predict` takes, and its cells are read exactly as there (categorical
    and missing cells take the trees' own routes).

    The values are those of path-dependent TreeSHAP, computed exactly per
    tree and averaged over the trees as `predict` averages: for each tree,
    a feature's value is its Shapley value in the game whose worth for a set
    S of known features is the tree's uplift when a split on a feature
    outside S follows both sides, each weighted by its share of the rows of
    the two (training rows, or estimation rows with `honesty`). A feature
    no split tests gets exactly 0. Per row and treatment, the values plus
    the base value equal `predict` (up to rounding).

    `n_jobs` threads share the rows (None: the estimator's own `n_jobs`; -1
    all processors). The computation runs natively without the interpreter
    lock; its cost grows with rows x trees x leaves x depth squared.

    Returns an `UpliftExplanation`; `for_treatment(label)` gives one
    treatment's values in the shape of the `shap` library's Explanation.
    Raises ValueError for a forest read from a plain model file of the
    extension, which keeps no row counts.
    """
    from sklearn.base import clone

    estimator, X = _fitted_estimator(estimator, X)
    state = estimator._state()
    threads = (estimator if n_jobs is None
               else clone(estimator).set_params(n_jobs=n_jobs))._n_threads()
    columns, n_rows = estimator._columns(state, X)
    width = len(state.treatments)
    values = np.empty((n_rows, len(state.names), width), dtype=np.float64)
    base = np.empty(width, dtype=np.float64)
    state.forest.shap_values(columns, threads, values.reshape(-1), base)
    categories = tuple(None if lookup is None else list(lookup.categories)
                       for lookup in state.lookups)
    return UpliftExplanation(values=values, base_values=base,
                             data=_cells(columns, n_rows, state.kinds),
                             feature_names=list(state.names), treatments=state.treatments,
                             categories=categories)
