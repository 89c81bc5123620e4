"""The scikit-learn estimator over the native forest of `corvane_learn._core`."""

from __future__ import annotations

import math
import os
import types
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from numbers import Integral, Real
from typing import Any, Self

import numpy as np
from sklearn.base import BaseEstimator
from sklearn.utils import Tags
from sklearn.utils._param_validation import (
    Interval,
    StrOptions,
    validate_parameter_constraints,
)

from . import _convert, _core, _model_file, _params
from ._progress import progress

_I32_MAX = 2**31 - 1
_CRITERIA = _core.CRITERIA
_SPLITTERS = _core.SPLITTERS
# The hyper-parameters' defaults, as their one declaration gives them.
_DEFAULT = _params.DEFAULTS


def _version() -> str:
    from . import __version__

    return __version__


def resolve_max_features(value: Any, n_features: int) -> int:
    """Features drawn per split for `n_features` features (see the class docstring)."""
    if value is None:
        return n_features
    if value == "sqrt":
        return max(1, int(math.sqrt(n_features)))
    if value == "log2":
        return max(1, int(math.log2(n_features)))
    if isinstance(value, Integral):
        return min(int(value), n_features)
    return max(1, int(value * n_features))


def final_step(estimator: Any, accepts: Any) -> Any | None:
    """`estimator` itself, or the last step of a Pipeline (however nested) ending in
    what `accepts(step)` takes; None when neither is."""
    step = estimator
    while not accepts(step):
        steps = getattr(step, "steps", None)
        if not steps:
            return None
        step = steps[-1][1]
    return step


def _label_text(label: Any) -> str:
    """A label as Python writes it: 'a' and 3, never np.str_('a')."""
    return repr(label.item() if isinstance(label, np.generic) else label)


def seed_of(random_state: Any) -> int | None:
    """The native training's seed: None (drawn from the operating system) or 64 bits.

    An int gives the same seed every time; a numpy Generator or RandomState
    gives the next draw from it, so successive fits with one generator
    differ, reproducibly.
    """
    if random_state is None:
        return None
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**64, dtype=np.uint64))
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**64, dtype=np.uint64))
    # Spreads nearby ints (0, 1, 2, ...) over the whole 64-bit range.
    return int(np.random.SeedSequence(int(random_state)).generate_state(1, np.uint64)[0])


@dataclass(frozen=True)
class Fitted:
    """Everything a fit produced, replaced whole by the next fit or load.

    Every public method reads this once at its start and passes it down, so
    a call never mixes one fit's trees with another's columns or labels,
    whatever other threads do meanwhile.
    """

    forest: Any  # corvane_learn._core.Forest
    names: tuple[str, ...]
    # How the trees read each feature; None where no split tests it.
    kinds: tuple[str | None, ...]
    lookups: tuple[_convert.CategoryLookup | None, ...]
    treatments: np.ndarray
    control: Any
    # The control label, then the treatments, as `recommend` returns them.
    groups: np.ndarray
    max_features: int
    # Whether the categories are all of training's (so that others are new).
    knows_categories: bool
    # What the outcome is: "binary" (0/1) or "real".
    outcome: str

    @property
    def width(self) -> int:
        return len(self.treatments)


class _UpliftForest(BaseEstimator):
    """What the uplift forests share: parameters, training, prediction, persistence.

    A subclass says what its outcome is (`_outcome`) and which criteria apply
    to it; see `UpliftForestClassifier` and `UpliftForestRegressor`.
    """

    # "binary" or "real": how `fit`, `score` and model files read outcomes.
    _outcome: str = _convert.BINARY

    # The table's parameters (see _params), then the estimator's own.
    _parameter_constraints: dict = {
        **_params.constraints(_CRITERIA, _SPLITTERS),
        "n_jobs": [Interval(Integral, None, -1, closed="right"),
                   Interval(Integral, 1, _I32_MAX, closed="both"), None],
        "control": "no_validation",
        "verbose": ["verbose"],
        "random_state": ["random_state", np.random.Generator],
        "importance_type": [StrOptions({"gain", "split"})],
    }

    # `treatment` is metadata of fit and score, as sample weights are, and is
    # requested by default: with metadata routing enabled, model selection
    # passes it on with no further set-up.
    __metadata_request__fit = {"treatment": True}
    __metadata_request__score = {"treatment": True}

    def __init__(
        self,
        *,
        n_estimators: int = _DEFAULT["n_estimators"],
        max_features: int | float | str | None = _DEFAULT["max_features"],
        max_depth: int = _DEFAULT["max_depth"],
        min_samples_leaf: int = _DEFAULT["min_samples_leaf"],
        criterion: str = _DEFAULT["criterion"],
        max_bins: int = _DEFAULT["max_bins"],
        balance: bool = _DEFAULT["balance"],
        regularization: bool = _DEFAULT["regularization"],
        alpha: float = _DEFAULT["alpha"],
        n_jobs: int | None = -1,
        control: Any = 0,
        verbose: int = 0,
        random_state: Any = None,
        honesty: bool = _DEFAULT["honesty"],
        estimation_sample_size: float = _DEFAULT["estimation_sample_size"],
        splitter: str = _DEFAULT["splitter"],
        max_samples: int | float | None = _DEFAULT["max_samples"],
        importance_type: str = "gain",
    ) -> None:
        self.n_estimators = n_estimators
        self.max_features = max_features
        self.max_depth = max_depth
        self.min_samples_leaf = min_samples_leaf
        self.criterion = criterion
        self.max_bins = max_bins
        self.balance = balance
        self.regularization = regularization
        self.alpha = alpha
        self.n_jobs = n_jobs
        self.control = control
        self.verbose = verbose
        self.random_state = random_state
        self.honesty = honesty
        self.estimation_sample_size = estimation_sample_size
        self.splitter = splitter
        self.max_samples = max_samples
        self.importance_type = importance_type

    def __sklearn_tags__(self) -> Tags:
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        tags.input_tags.allow_nan = True
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        tags.input_tags.dict = True
        return tags

    # -- training -----------------------------------------------------------

    def _n_threads(self) -> int:
        n_jobs = self.n_jobs
        if n_jobs is None:
            return 1
        if isinstance(n_jobs, bool) or not isinstance(n_jobs, Integral) or n_jobs == 0 or \
                n_jobs > _I32_MAX:
            raise ValueError("n_jobs must be None, -1 (all processors), -2 (all but one), ... "
                             f"or a positive integer; got {n_jobs!r}")
        if n_jobs < -1:
            return max(1, len(os.sched_getaffinity(0)) + 1 + int(n_jobs))
        return int(n_jobs)

    def fit(self, X: Any, y: Any, *args: Any, treatment: Any = None) -> Self:
        """Trains a new forest (any earlier one is replaced) and returns self.

        Parameters
        ----------
        X : pandas.DataFrame, 2-D numpy array, rows as lists or mapping of column to values
            Features. Bool, integer and float columns are numeric features
            (NaN kept: every split sends it right); string, object and
            categorical columns of a DataFrame are categorical features. A
            numpy object column, a list in a mapping or a column of rows
            given as lists is numeric if it holds only numbers and missing
            values (None, NaN, pandas.NA, NaT), else categorical. Categories
            are compared by value (1, 1.0 and "1" are one category); a
            missing one is the category "<missing>"
            (`corvane_learn.MISSING_CATEGORY`). Names must be unique str.
        y : array-like of numbers
            The outcome of each row: 0/1 (bools accepted) for the
            classifier, any finite number for the regressor.
        treatment : array-like of labels, keyword-only
            Treatment label of each row (ints or strings); `control` must
            occur, and at least one other label. Metadata of the fit, as
            sample weights are: with metadata routing, scikit-learn's model
            selection passes it on.

        Raises
        ------
        TypeError
            When the treatment is missing or given by position (the order
            `fit(X, treatment, y)` of earlier versions).
        ValueError
            For an invalid hyper-parameter (named), inputs of different
            lengths, no rows, a missing `control` label, a single group, an
            outcome the estimator does not take (other than 0/1 for the
            classifier; NaN or infinite for the regressor, naming the row),
            a criterion that does not apply to the outcome or an
            unsupported column.
        """
        if args:
            raise TypeError(
                f"{type(self).__name__}.fit takes the treatment as a keyword argument: call "
                "fit(X, y, treatment=labels). The order fit(X, treatment, y) of earlier "
                "versions is refused so that outcomes and treatments are never swapped "
                "silently.")
        if treatment is None:
            raise TypeError(f"{type(self).__name__}.fit needs the treatment of every row: "
                            "fit(X, y, treatment=labels)")
        return self._fit(X, y, treatment)

    def _fit(self, X: Any, y: Any, treatment: Any,
             categories: Mapping[str, list[str]] | None = None) -> Self:
        """fit, with the categories of some columns given (sorted keys) instead of found.

        Partition-wise training gives every share the categories of all
        partitions, so that the shares' trees read codes alike.
        """
        self._validate_params()
        self._check_criterion()
        n_threads = self._n_threads()
        features = _convert.read_features(X)
        n_rows = features.n_rows
        if n_rows == 0:
            raise ValueError("X has no rows")
        codes, labels = _convert.encode_treatment(treatment, self.control, n_rows)
        outcome = _convert.outcome_values(
            y, n_rows=n_rows, kind=self._outcome, hint=" (is the treatment passed as y? the "
            "order is fit(X, y, treatment=labels))")
        max_features = resolve_max_features(self.max_features, len(features.names))

        columns: list[np.ndarray] = []
        tables: list[list[str] | None] = []
        for name, array, kind in zip(features.names, features.arrays, features.kinds):
            if kind == _convert.NUMERIC:
                columns.append(_convert.numeric_values(array, name))
                tables.append(None)
            elif categories is not None and name in categories:
                table = list(categories[name])
                codes_of, unseen = _convert.CategoryLookup(table).codes(array)
                if unseen:
                    raise ValueError(f"column {name!r} holds categories outside the given ones")
                columns.append(codes_of)
                tables.append(table)
            else:
                encoded = _convert.encode_categorical(array, name)
                columns.append(encoded.codes)
                tables.append(encoded.categories)
        names = features.names
        del features
        with progress(self.n_estimators, int(self.verbose)) as callback:
            forest, nan_group = _core.train(
                columns, tables, names, codes, outcome,
                **_params.train_keywords(self.get_params(deep=False), max_features,
                                         _params.resolve_max_samples(self.max_samples, n_rows)),
                n_threads=n_threads, seed=seed_of(self.random_state), progress=callback)
        del columns
        self._set_fitted(forest, labels, self.control, max_features, self._outcome)
        if nan_group is not None or sum(forest.importance("split")) == 0.0:
            warnings.warn(self._constant_forest_text(nan_group, labels, codes, outcome),
                          RuntimeWarning if nan_group is not None else UserWarning,
                          stacklevel=3)
        return self

    def _constant_forest_text(self, nan_group: Any, labels: np.ndarray, codes: np.ndarray,
                              outcome: np.ndarray) -> str:
        """Why every tree stayed a single leaf, from what is true of the data.

        `nan_group` is what training reports when every candidate split of
        every root scored NaN: the smallest group's code and rows.
        """
        groups = [self.control, *labels.tolist()]
        binary = self._outcome == _convert.BINARY
        # What no split can change: a group's rate of a 0/1 outcome, its mean otherwise.
        what = "rate" if binary else "mean outcome"

        def shown(value: float) -> str:
            return str(int(value)) if binary else repr(float(value))

        # Groups whose outcome is the same in every row: no split changes their rate or mean.
        low = np.full(len(groups), np.inf)
        high = np.full(len(groups), -np.inf)
        np.minimum.at(low, codes, outcome)
        np.maximum.at(high, codes, outcome)
        fixed = [(g, shown(lo)) for g, lo, hi in zip(groups, low, high) if lo == hi]
        text = "every tree is a single leaf: "
        same = "; predictions are the same for every row"
        if outcome.min() == outcome.max():
            return text + (f"every outcome is {shown(outcome[0])}, so no split can change any "
                           f"group's {what}; every predicted uplift is 0")
        if len(fixed) == len(groups):
            return text + ("each group has one outcome in all its rows (" +
                           ", ".join(f"{_label_text(g)}: {v}" for g, v in fixed) +
                           f"), so no split can change any group's {what}" + same)
        facts = [f"group {_label_text(g)} has outcome {v} in every row" for g, v in fixed]
        if nan_group is not None:
            code, smallest = nan_group
            text += (f"each candidate split of the root scored NaN under criterion "
                     f"{self.criterion!r}, as it does when one side holds no rows of some group" +
                     (" or, for 'KL' and 'CHI', when a group's rate on a side is exactly 0 or 1"
                      if binary else "") + "; ")
            small = (f"the smallest group, {_label_text(groups[code])}, has {smallest} "
                     f"row{'' if smallest == 1 else 's'}")
            return text + "; ".join([small] + facts) + same
        leaf = self.min_samples_leaf
        if len(codes) <= 2 * leaf + 1:
            return text + (f"min_samples_leaf={leaf} leaves no split: each side needs more "
                           f"than {leaf} rows, and there are {len(codes)}") + same
        return text + (f"no split with more than min_samples_leaf={leaf} rows on both sides "
                       "had a positive gain" + "".join(f"; {f}" for f in facts)) + same

    def _check_criterion(self) -> None:
        """Refuses a criterion that does not apply to the estimator's outcome."""

    def _set_fitted(self, forest: Any, treatments: np.ndarray, control: Any,
                    max_features: int, outcome: str,
                    kinds: list[str | None] | None = None) -> None:
        infos = forest.features()
        names = tuple(forest.feature_names())
        reads = tuple(kind for kind, _ in infos)
        lookups = tuple(_convert.CategoryLookup(cats) if kind == _convert.CATEGORICAL else None
                        for (kind, cats) in infos)
        treatments = np.asarray(treatments)
        state = Fitted(forest, names, reads, lookups, treatments, control,
                       _convert.group_labels(treatments, control), max_features,
                       bool(forest.info()["knows_categories"]), outcome)
        # The whole state first, then the attributes users read.
        self._fitted = state
        self.forest_ = forest
        self.treatments_ = state.treatments
        self.feature_names_in_ = np.asarray(names, dtype=object)
        self.n_features_in_ = len(names)
        # A kind the trees do not say (no split tests the feature) may come
        # from the file's own fields.
        self.feature_kinds_ = [kind if kind is not None else (kinds[i] if kinds else None)
                               for i, kind in enumerate(reads)]
        self.max_features_ = max_features

    def _state(self) -> Fitted:
        state = getattr(self, "_fitted", None)
        if state is None:
            raise ValueError(f"this {type(self).__name__} is not fitted yet; call fit first")
        return state

    # -- prediction ---------------------------------------------------------

    def _columns(self, state: Fitted, X: Any) -> tuple[list[np.ndarray], int]:
        if isinstance(X, Mapping) and X and all(np.ndim(v) == 0 for v in X.values()):
            raise ValueError("X is a mapping of single values: give each feature a sequence of "
                             "values (one row is {'age': [40.0], ...}) or pass a DataFrame")
        features = _convert.select_features(X, state.names)
        n_rows = features.n_rows
        columns = []
        for f, (name, array, own) in enumerate(zip(state.names, features.arrays,
                                                   features.kinds)):
            kind = state.kinds[f]
            if kind is None:
                # No split reads it: any values do.
                columns.append(np.broadcast_to(np.float64(0.0), (n_rows,)))
            elif kind == _convert.NUMERIC:
                if own == _convert.CATEGORICAL and not _convert.all_missing(array):
                    raise ValueError(f"column {name!r} holds text but the model reads it as "
                                     "numbers")
                columns.append(_convert.numeric_values(array, name))
            else:
                lookup = state.lookups[f]
                assert lookup is not None
                codes, unseen = lookup.codes(array)
                if unseen and state.knows_categories:
                    _convert.warn_unseen(name, unseen, n_rows)
                columns.append(codes)
        return columns, n_rows

    def predict(self, X: Any, *, return_std: bool = False) -> Any:
        """Uplift of each treatment over control for each row.

        `X` takes the kinds of input `fit` takes. A DataFrame or mapping must
        hold every training feature by name (other columns are ignored, the
        order does not matter); an array must have the training width, with
        columns in training order. Returns float64 of shape
        (rows, len(treatments_)), columns in `treatments_` order.

        With `return_std`, returns (uplift, std): std is, per row and
        treatment, the standard deviation of the trees' uplifts around their
        mean (over the trees, dividing by their count). It is large where the
        trees disagree. Without `max_samples` every tree is grown on all
        rows, so without `honesty` they differ only by their random feature
        draws and samples (with the "hist" splitter, by their feature draws
        alone); with `max_samples` each tree sees rows of its own, as in
        subsampled random forests, and the spread then reflects how much the
        fitted uplift moves with the rows trained on; with `honesty` each
        tree estimates its leaves from rows of its own, and the spread grows
        where training rows are sparse. It is a spread of tree predictions,
        not a confidence interval of the true uplift.

        Categories never seen in training give a UserWarning naming the
        column and the share of rows; every split on the column sends them
        right.
        """
        return self._predict_with(self._state(), X, return_std)

    def _predict_with(self, state: Fitted, X: Any, return_std: bool = False) -> Any:
        columns, n_rows = self._columns(state, X)
        return self._predict_columns(state, columns, n_rows, return_std)

    def _predict_columns(self, state: Fitted, columns: list[np.ndarray], n_rows: int,
                         return_std: bool = False) -> Any:
        """predict on columns already read for `state` (see `_columns`)."""
        out = np.empty((n_rows, state.width), dtype=np.float64)
        spread = np.empty_like(out) if return_std else None
        if n_rows:
            state.forest.predict(columns, self._n_threads(), out.reshape(-1),
                                 None if spread is None else spread.reshape(-1))
        return (out, spread) if return_std else out

    def predict_response(self, X: Any) -> np.ndarray:
        """Mean outcome of every group, control first, for each row.

        Returns float64 of shape (rows, 1 + len(treatments_)): column 0 is
        the control group's mean outcome (its positive rate, for a 0/1
        outcome), then one column per treatment in `treatments_` order; each
        is the forest's mean of the leaves' group means (the outcomes of that
        group's rows in the leaf over their number). Treatment minus control
        equals `predict` up to rounding. Needs the row counts that the
        estimator keeps per node (not in plain model files of the extension:
        ValueError).
        """
        state = self._state()
        columns, n_rows = self._columns(state, X)
        out = np.empty((n_rows, state.width + 1), dtype=np.float64)
        if n_rows:
            state.forest.predict_response(columns, self._n_threads(), out.reshape(-1))
        return out

    def recommend(self, X: Any, *, value: float = 1.0, costs: Any = None) -> np.ndarray:
        """The group (control included) with the highest expected net value, per row.

        Treating a row with treatment t is worth `value` times its uplift
        minus the cost of t; leaving it in control is worth 0 (a
        regressor's uplift is already in the outcome's units: with revenue
        as the outcome, `value` 1.0 and costs in the same currency). `costs` gives
        each treatment's cost per row treated: a mapping or pandas Series
        from treatment label to cost, read by label (a label that is no
        treatment is refused, named; a treatment not named costs 0), or an
        unlabelled sequence of one cost per treatment in `treatments_`
        order; None means no cost. Ties go to control, then to the earlier
        treatment. Returns the labels, one per row (the control label or
        one of `treatments_`), with the labels' own dtype where it holds the
        control label too (object dtype otherwise).
        """
        state = self._state()
        if isinstance(value, bool) or not isinstance(value, Real) or not math.isfinite(value):
            raise ValueError(f"value must be a finite number; got {value!r}")
        cost = _costs(state.treatments, costs)
        net = self._predict_with(state, X) * float(value) - cost
        choice = np.argmax(np.concatenate([np.zeros((len(net), 1)), net], axis=1), axis=1)
        return state.groups[choice]

    def score(self, X: Any, y: Any, sample_weight: None = None, *,
              treatment: Any = None) -> float:
        """Qini coefficient of the predictions on (X, y, treatment), averaged over treatments.

        For each treatment, `corvane_learn.metrics.qini_score` of its column
        of `predict(X)` on the rows of that treatment and of control (other
        groups' rows ignored); the mean of these coefficients is returned
        (higher is better). `y` takes what `fit` takes. `treatment` is
        metadata, requested by default. `sample_weight` is accepted for
        scikit-learn's callers, which pass None; rows cannot be weighted
        (ValueError).
        """
        if sample_weight is not None:
            raise ValueError("score cannot weight rows: sample_weight must be None")
        if treatment is None:
            raise TypeError(f"{type(self).__name__}.score needs the treatment of every row: "
                            "score(X, y, treatment=labels)")
        state = self._state()
        return self._score_uplift(state, self._predict_with(state, X), y, treatment)

    @staticmethod
    def _score_uplift(state: Fitted, uplift: np.ndarray, y: Any, treatment: Any) -> float:
        """score of predicted uplifts (one column per treatment of `state`)."""
        from .metrics import qini_score

        outcome = _convert.outcome_values(y, n_rows=len(uplift), kind=state.outcome)
        labels = np.asarray(treatment.to_numpy() if _convert.is_series(treatment) else treatment)
        scores = [qini_score(outcome, uplift[:, i], labels, treated=t, control=state.control)
                  for i, t in enumerate(state.treatments.tolist())]
        return float(np.mean(scores))

    @property
    def feature_importances_(self) -> np.ndarray:
        """Importance per feature (see `importance_type`), summing to 1 (zeros without splits).

        Raises ValueError when `importance_type` was set to something other
        than "gain" or "split".
        """
        state = self._state()
        validate_parameter_constraints(
            {"importance_type": self._parameter_constraints["importance_type"]},
            {"importance_type": self.importance_type}, caller_name=type(self).__name__)
        values = np.asarray(state.forest.importance(self.importance_type), dtype=np.float64)
        total = values.sum()
        return values / total if total > 0 and math.isfinite(total) else np.zeros_like(values)

    # -- persistence ----------------------------------------------------------

    def _fields(self, state: Fitted) -> bytes:
        params = {k: _model_file.jsonable(v) for k, v in self.get_params().items()
                  if (k != "random_state" or v is None or isinstance(v, Integral)) and
                  not (k in _model_file.LATER_PARAMS and v == _model_file.LATER_PARAMS[k])}
        return _model_file.fields_text({
            "format": _model_file.FORMAT,
            "version": _version(),
            "params": params,
            "control": _model_file.jsonable(state.control),
            "treatments": [_model_file.jsonable(v) for v in state.treatments.tolist()],
            "treatment_dtype": state.treatments.dtype.str,
            "max_features": state.max_features,
            # A file of a real-valued outcome is format 3: earlier versions,
            # which know only 0/1 outcomes, refuse it rather than misread it.
            **({"format": 3, "outcome": _convert.REAL} if state.outcome == _convert.REAL
               else {}),
        })

    def save(self, path: str | os.PathLike) -> None:
        """Writes the model file at `path`.

        The file is the extension's own model file (it loads with
        `corvane._UpliftRandomForestModel.load` as is) with one extra last
        member, "corvane_learn", holding the estimator's part: treatment
        labels and their dtype, control label, hyper-parameters, each
        feature's kind and categories, and the row counts of every node.
        It is written as the extension writes: to a new file next to the
        target, synced, then renamed over it, so a failure never destroys
        an earlier file; a symbolic link is followed, a replaced file keeps
        its permissions, a FIFO or device is written in place.

        Raises an OSError subclass (with errno, and `path` as filename) when
        the file cannot be written, ValueError for treatment labels that
        JSON cannot hold.
        """
        state = self._state()
        state.forest.save(os.fspath(path), self._fields(state))

    def _to_bytes(self) -> bytes:
        """The model file text of the fitted estimator (as `save` writes it)."""
        state = self._state()
        return state.forest.to_bytes(self._fields(state))

    @classmethod
    def _from_bytes(cls, data: bytes, source: str = "text") -> Self:
        forest, fields = _core.from_bytes(data)
        return cls._from_read(forest, fields, source)

    @classmethod
    def load(cls, path: str | os.PathLike) -> Self:
        """Restores an estimator from a model file written by `save`.

        The file is read once, so a pipe or a device loads as a file does. A
        plain model file of the extension loads too: its treatments are then
        the codes 1..K with control 0, `get_params` gives the defaults (the
        file's settings stay in its trees), and each feature's kind is what
        its splits test. Raises the OSError subclass of opening the file
        (with errno and `path` as filename), or ValueError naming the file
        and what is wrong for a file that is no model file, one without
        trees, one whose estimator part is damaged, or one the other
        estimator wrote (a classifier's file loaded as a regressor, or the
        other way round).
        """
        source = _model_file.source_name(path)
        try:
            forest, fields = _core.load(os.fspath(path))
        except ValueError as error:
            raise ValueError(f"cannot read model file {source}: {error}") from None
        return cls._from_read(forest, fields, source)

    @classmethod
    def _from_read(cls, forest: Any, fields: bytes | None, source: str) -> Self:
        info = forest.info()
        if fields is None:
            # A plain model file of the extension: its leaves are uplifts in
            # the outcome's units, whichever estimator reads them.
            estimator = cls()
            estimator._set_fitted(forest, np.arange(1, info["width"] + 1), 0,
                                  info["max_features"], cls._outcome)
            return estimator
        checked = _model_file.read_fields(fields, source, info["width"],
                                          len(forest.feature_names()),
                                          set(cls._get_param_names()))
        if checked.outcome != cls._outcome or (info["has_counts"] and
                                               info["outcome"] != checked.outcome):
            writer = UpliftForestRegressor if checked.outcome == _convert.REAL \
                else UpliftForestClassifier
            raise ValueError(
                f"model file {source} holds an {writer.__name__} (a "
                f"{'real-valued' if writer is UpliftForestRegressor else '0/1'} outcome), not "
                f"an {cls.__name__}: load it with {writer.__name__}.load")
        estimator = cls(**checked.params)
        estimator.control = checked.control
        estimator._set_fitted(forest, checked.treatments, checked.control,
                              checked.max_features, cls._outcome, checked.feature_kinds)
        return estimator

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        fitted = state.pop("_fitted", None)
        state.pop("forest_", None)
        if fitted is not None:
            # The state read once above, whatever a refit does meanwhile.
            state["_model_text"] = fitted.forest.to_bytes(self._fields(fitted))
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        state = dict(state)
        text = state.pop("_model_text", None)
        self.__dict__.update(state)
        if text is not None:
            # The parameters are the pickled ones; the fitted state is the text's.
            loaded = type(self)._from_bytes(text, "from a pickle")
            self.__dict__.update({k: v for k, v in vars(loaded).items()
                                  if k.endswith("_") or k == "_fitted"})

    def __deepcopy__(self, memo: dict[int, Any]) -> Self:
        import copy

        result = type(self).__new__(type(self))
        memo[id(self)] = result
        for key, value in self.__dict__.items():
            # The fitted state never changes once made: copies share it.
            result.__dict__[key] = value if key in ("_fitted", "forest_") else copy.deepcopy(
                value, memo)
        return result



def _keyword_defaults(init: Any, **defaults: Any) -> Any:
    """A copy of `init` whose keyword-only defaults `defaults` replace.

    scikit-learn reads an estimator's parameters and their defaults from its
    `__init__` signature: a subclass whose only difference is a default
    takes the shared `__init__` this way instead of repeating it.
    """
    copy = types.FunctionType(init.__code__, init.__globals__, init.__name__,
                              init.__defaults__, init.__closure__)
    copy.__kwdefaults__ = {**init.__kwdefaults__, **defaults}
    copy.__annotations__ = dict(init.__annotations__)
    copy.__qualname__ = init.__qualname__
    copy.__doc__ = init.__doc__
    return copy


class UpliftForestClassifier(_UpliftForest):
    """Uplift random forest for a binary outcome and any number of treatments.

    Each tree splits the rows so that the treatment groups' positive-outcome
    rates differ from the control group's as much as possible; a leaf holds,
    per treatment, the treated rate minus the control rate of its rows, and
    the forest averages its trees. Every tree is grown on all rows (or on
    `max_samples` of them, drawn per tree); the trees differ through random
    feature draws, row samples inside the split search (with the "quantile"
    splitter) and those per-tree rows, drawn from `random_state`.

    Parameters
    ----------
    n_estimators : int, default 100
        Number of trees.
    max_features : None, "sqrt", "log2", int or float, default "sqrt"
        Features drawn at random as split candidates at each node: None for
        all, "sqrt"/"log2" for that function of the feature count (at least
        1), an int (capped at the feature count) or a fraction of the feature
        count (at least 1).
    max_depth : int, default 5
        Maximum depth of a tree, at most 63.
    min_samples_leaf : int, default 100
        Splits must leave more than this many rows on both sides.
    criterion : {"KL", "ED", "CHI", "CTS"}, default "KL"
        The score of a set of rows that splits raise. With p_t the positive
        rate of treatment group t, q the control group's and w_t the weight
        of group t (1/T for T treatments under `balance`, else its share of
        the treated rows), "KL" (Kullback-Leibler) is sum over t of
        w_t [p_t log2(p_t/q) + (1 - p_t) log2((1 - p_t)/(1 - q))], "ED"
        (squared Euclidean distance) sum of w_t 2 (p_t - q)^2, "CHI"
        (chi-squared) sum of w_t [(p_t - q)^2/q + (p_t - q)^2/(1 - q)], and
        "CTS" (contextual treatment selection) the best rate of any group,
        control included. A split's gain is w_L score(left) + w_R
        score(right) - score(node), w_L and w_R the sides' shares of the
        node's rows, divided under `regularization` by a penalty for uneven
        group shares; so under "CTS" a split gains when the best group does
        better on its sides than in the node. KL and CHI score a rate of
        exactly 0 with a fixed stand-in (log2 10^6 and 10^6).
    max_bins : int, default 10
        With ``splitter="quantile"``: candidate thresholds per numeric
        feature and node, plus one (at least 2), taken from a sample of the
        node's rows. With ``splitter="hist"``: bins per numeric feature for
        the whole fit (at most 255 are used; 255 searches finest).
    balance : bool, default False
        Weigh every treatment group equally in the divergence instead of by
        its share of the treated rows.
    regularization : bool, default True
        Divide a split's gain by a penalty for uneven treatment/control shares
        between its two sides.
    alpha : float, default 0.9
        Weight of the treatment/control imbalance within that penalty, in [0, 1].
    n_jobs : int or None, default -1
        Threads for training and prediction; -1 for all processors the
        process may use (-2 for all but one, ...), None for 1.
    control : label, default 0
        The treatment label of the control group.
    verbose : int, default 0
        0 prints nothing; 1 shows a progress bar of finished trees on stderr
        (tqdm when installed, otherwise a one-line counter).
    random_state : None, int, numpy.random.Generator or RandomState, default None
        Seed of every random draw of training. None draws a fresh seed from
        the operating system for each fit; an int makes `fit` reproducible:
        the same data and parameters give the same trees, bit for bit,
        whatever `n_jobs`; a Generator gives each fit the next seed from it.
    honesty : bool, default False
        Honest trees: each tree chooses its splits on one part of the rows
        and computes every leaf's values from the other part (the
        `estimation_sample_size` share of each treatment group's rows,
        rounded half up, drawn per tree). A leaf whose estimation rows miss a treatment group takes
        the values of its nearest ancestor whose estimation rows hold every
        group (if even the root's do not, it keeps the values of its own
        splitting rows). Without honesty, a leaf whose training rows miss a
        group takes its nearest complete ancestor's values likewise, so
        predictions are never NaN.
    estimation_sample_size : float, default 0.5
        With `honesty`, the share of the rows that estimate the leaves, in
        (0, 1).
    splitter : {"quantile", "hist"}, default "quantile"
        How a node finds its candidate splits. "quantile": each node draws a
        sample of its rows (500 per bin) and takes its quantiles as
        thresholds and up to ``max_bins - 1`` of its categories as
        candidates. "hist": every numeric feature is binned once per fit into
        ``max_bins`` (at most 255) quantile bins, kept as one byte per cell
        instead of a float copy of the data; a node counts its rows into
        per-bin group statistics (or subtracts its sibling's from its
        parent's) and scores every bin edge and every category it holds.
        Much faster and leaner on large data; the thresholds are values of
        the data either way, and models save, load and predict alike.
    max_samples : None, int or float, default None
        Rows drawn for each tree, without replacement: None for all rows, an
        int (capped at the row count) or a fraction of the rows (rounded, at
        least 1). Drawn per tree from `random_state` (the same for every
        `n_jobs`); with `honesty`, each tree's drawn rows are split in two.
        Fewer rows grow trees faster and make them differ more.
    importance_type : {"gain", "split"}, default "gain"
        What `feature_importances_` measures: "gain" sums each split's gain
        weighted by its node's share of the tree's training rows; "split"
        counts splits.

    Attributes
    ----------
    forest_ : corvane_learn._core.Forest
        The fitted native forest (immutable).
    treatments_ : numpy.ndarray
        Treatment labels other than `control`, in the order of the columns of
        `predict` (sorted).
    feature_names_in_ : numpy.ndarray of str
        Feature names in training order ("x0", "x1", ... for arrays).
    n_features_in_ : int
        Number of features.
    feature_kinds_ : list of str or None
        "numeric" or "categorical" per feature; None for a feature of a
        plain model file of the extension that no split tests.
    feature_importances_ : numpy.ndarray
        Importance per feature as `importance_type` says, normalised to sum 1
        (all zeros when no tree split).
    max_features_ : int
        Features drawn per split, as resolved from `max_features`.

    Notes
    -----
    Input kinds and missing values are described in `fit`. `save` writes the
    extension's model file with the estimator's part as one extra member
    (see `save`); estimators pickle through the same text.
    """

    _outcome = _convert.BINARY

    def __sklearn_tags__(self) -> Tags:
        tags = super().__sklearn_tags__()
        tags.estimator_type = "classifier"
        return tags


class UpliftForestRegressor(_UpliftForest):
    """Uplift random forest for a real-valued outcome (revenue) and any number of treatments.

    The classifier's forest for outcomes that are any finite numbers: each
    tree splits the rows so that the treatment groups' mean outcomes differ
    from the control group's as much as possible, a leaf holds, per
    treatment, the group's mean outcome minus the control group's among its
    rows (in the outcome's units: dollars of extra spend per customer, say),
    and the forest averages its trees. A leaf whose rows miss some group
    takes its nearest complete ancestor's values, so no prediction is NaN.

    Parameters and attributes are the classifier's (see
    `UpliftForestClassifier`), with these differences:

    criterion : {"ED", "CTS"}, default "ED"
        "ED": the score of a set of rows is the treatment groups' squared
        distances from the control group's mean, sum over t of
        w_t * 2 (mean_t - mean_0)^2, with w_t = 1/T under `balance` and
        the group's share of the treated rows otherwise; a split's gain is
        w_L score(left) + w_R score(right) - score(node) (w the sides'
        shares of the node's rows), divided by the classifier's penalty for
        uneven group shares under `regularization`: the binary ED's
        arithmetic with rates replaced by means. "CTS" (contextual
        treatment selection): the score is the best mean outcome of any
        group, control included, so that the gain is how much better the
        best group does on each side, weighted by the sides' rows, than in
        the node (divided by the same penalty under `regularization`). "KL"
        and "CHI" compare rates of a 0/1 outcome and are refused with a
        ValueError.

    `score` is the Qini coefficient of each treatment on the outcome's sums,
    averaged over the treatments; `predict_response` gives each group's mean
    outcome; `recommend(value=...)` weighs uplifts in outcome units
    (`value` 1.0: the outcome is already money).

    Sums of outcomes (and of their squares) are kept as compensated
    (double-double) sums: within their final rounding plus about
    (n * 2^-53)^2 of the sum of the values' sizes of the exact sum, so 10^7
    dollar amounts of up to 10,000 each are summed to within 10^-7, and
    cents beside millions are never lost.
    """

    _outcome = _convert.REAL
    __init__ = _keyword_defaults(_UpliftForest.__init__, criterion="ED")

    def __sklearn_tags__(self) -> Tags:
        tags = super().__sklearn_tags__()
        tags.estimator_type = "regressor"
        return tags

    def _check_criterion(self) -> None:
        if self.criterion in ("KL", "CHI"):
            raise ValueError(
                f"criterion {self.criterion!r} compares rates of a 0/1 outcome (their "
                "logarithms or squared relative differences), which a real-valued outcome does "
                "not have: use 'ED' (squared distances of the groups' means) or 'CTS' (the "
                "best group's mean)")


def _costs(treatments: np.ndarray, costs: Any) -> np.ndarray:
    """Each treatment's cost for `recommend`, from a mapping or Series by label or a sequence."""
    labels = treatments.tolist()
    cost = np.zeros(len(labels))
    if costs is None:
        return cost
    if _convert.is_series(costs) or isinstance(costs, Mapping):
        pairs = zip(costs.index.tolist(), costs.tolist()) if _convert.is_series(costs) \
            else costs.items()
        given: set[int] = set()
        unknown = []
        for key, amount in pairs:
            found = [i for i, label in enumerate(labels) if _convert.same_label(key, label)]
            if not found:
                unknown.append(key)
                continue
            if found[0] in given:
                raise ValueError(f"costs gives treatment {_label_text(key)} two costs")
            given.add(found[0])
            cost[found[0]] = _cost_value(amount, key)
        if unknown:
            raise ValueError(f"costs names labels that are no treatment: "
                             f"{', '.join(map(_label_text, unknown))} (treatments_: "
                             f"{', '.join(map(_label_text, labels))})")
        return cost
    values = np.asarray(costs)
    if values.ndim != 1 or len(values) != len(labels):
        raise ValueError(f"costs must give one cost per treatment, in treatments_ order "
                         f"({', '.join(map(_label_text, labels))}): {len(labels)} values; got "
                         f"shape {values.shape} (or give a mapping from label to cost)")
    for i, amount in enumerate(values.tolist()):
        cost[i] = _cost_value(amount, labels[i])
    return cost


def _cost_value(amount: Any, label: Any) -> float:
    if isinstance(amount, (bool, np.bool_)) or not _convert.is_number(amount) or \
            not math.isfinite(amount):
        raise ValueError(f"the cost of treatment {_label_text(label)} must be a finite number; "
                         f"got {amount!r}")
    return float(amount)
