"""The scikit-learn style estimator over the extension's forest."""

from __future__ import annotations

import itertools
import math
import numbers
import os
from typing import Any

import numpy as np

import corvane

from . import _convert, _model_file
from ._base import ParamsMixin
from ._progress import progress

_FORMAT = 1
_CRITERIA = ("KL", "ED", "CHI")
_I32_MAX = 2**31 - 1
# Rows converted and predicted per call of the extension: small enough for one
# chunk's cell objects to stay in cache, large enough that starting the
# prediction threads per call costs nothing measurable.
_PREDICT_CHUNK_ROWS = 16384


def _version() -> str:
    from . import __version__

    return __version__


def _check_int(name: str, value: Any, minimum: int, maximum: int = 2**63 - 1) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be an integer; got {value!r}")
    if not minimum <= int(value) <= maximum:
        raise ValueError(f"{name} must be between {minimum} and {maximum}; got {value!r}")
    return int(value)


def _check_bool(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be True or False; got {value!r}")
    return bool(value)


def _resolve_max_features(value: Any, n_features: int) -> int:
    """Features drawn per split for `n_features` features (see the class docstring)."""
    if value is None:
        return n_features
    if isinstance(value, str):
        if value == "sqrt":
            return max(1, int(math.sqrt(n_features)))
        if value == "log2":
            return max(1, int(math.log2(n_features)))
    elif isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
        if value >= 1:
            return min(int(value), n_features)
    elif isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_)):
        if 0.0 < value <= 1.0:
            return max(1, int(value * n_features))
    raise ValueError('max_features must be None, "sqrt", "log2", an integer >= 1 or a fraction '
                     f"in (0, 1]; got {value!r}")


def _jsonable(value: Any) -> Any:
    """A label or parameter as a JSON value (numpy scalars as Python ones)."""
    if isinstance(value, np.generic):
        value = value.item()
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float) and math.isfinite(value):
        return value
    raise ValueError(f"{value!r} ({type(value).__name__}) cannot be stored in a model file")


def _free_name(base: str, taken: set[str]) -> str:
    name, i = base, 1
    while name in taken:
        name, i = f"{base}_{i}", i + 1
    return name


class UpliftForestClassifier(ParamsMixin):
    """Uplift random forest for a binary outcome and any number of treatments.

    Each tree splits the rows so that the treatment groups' positive-outcome
    rates differ from the control group's as much as possible; a leaf holds,
    per treatment, the treated rate minus the control rate of its rows, and
    the forest averages its trees. Every tree is grown on all rows; the trees
    differ through random feature draws and row samples inside the split
    search (there is no seed: two fits differ).

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
        Maximum depth of a tree.
    min_samples_leaf : int, default 100
        Minimum number of rows in a leaf.
    criterion : {"KL", "ED", "CHI"}, default "KL"
        Divergence between treatment and control outcome rates that splits
        maximise: Kullback-Leibler, squared Euclidean distance or chi-squared.
    max_bins : int, default 10
        Candidate thresholds per numeric feature and node (at least 2).
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
        process may use, None for 1.
    control : label, default 0
        The treatment label of the control group.
    verbose : int, default 0
        0 prints nothing; 1 shows a progress bar of finished trees on stderr
        (tqdm when installed, otherwise a one-line counter).

    Attributes
    ----------
    model_ : corvane._UpliftRandomForestModel
        The fitted forest.
    treatments_ : numpy.ndarray
        Treatment labels other than `control`, in the order of the columns of
        `predict` (sorted).
    feature_names_in_ : numpy.ndarray of str
        Feature names in training order ("x0", "x1", ... for arrays).
    n_features_in_ : int
        Number of features.
    feature_kinds_ : list of str or None
        "numeric" or "categorical" per feature (None after loading a plain
        model file of the extension: kinds then follow the prediction input).
    feature_importances_ : numpy.ndarray
        Summed split gains per feature, normalised to sum 1 (all zeros when
        no tree split).
    max_features_ : int
        Features drawn per split, as resolved from `max_features`.

    Notes
    -----
    Input kinds and missing values are described in `fit`. `save` writes the
    extension's model file with the estimator's metadata as one extra
    member (see `save`); estimators pickle through the same text.
    """

    def __init__(
        self,
        *,
        n_estimators: int = 100,
        max_features: int | float | str | None = "sqrt",
        max_depth: int = 5,
        min_samples_leaf: int = 100,
        criterion: str = "KL",
        max_bins: int = 10,
        balance: bool = False,
        regularization: bool = True,
        alpha: float = 0.9,
        n_jobs: int | None = -1,
        control: Any = 0,
        verbose: int = 0,
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

    # -- validation ---------------------------------------------------------

    def _n_threads(self) -> int:
        if self.n_jobs is None:
            return 1
        n_jobs = _check_int("n_jobs", self.n_jobs, -1, _I32_MAX)
        if n_jobs == 0:
            raise ValueError("n_jobs must be -1 (all processors), None or a positive integer; "
                             "got 0")
        return n_jobs

    def _checked_params(self) -> dict[str, Any]:
        if self.criterion not in _CRITERIA:
            raise ValueError(f'criterion must be one of "KL", "ED", "CHI"; got {self.criterion!r}')
        alpha = self.alpha
        if (isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, numbers.Real)
                or not (math.isfinite(alpha) and 0.0 <= alpha <= 1.0)):
            raise ValueError(f"alpha must be a number in [0, 1]; got {alpha!r}")
        _resolve_max_features(self.max_features, 1)  # refuses bad values before any work
        return dict(
            n_estimators=_check_int("n_estimators", self.n_estimators, 1, _I32_MAX),
            max_depth=_check_int("max_depth", self.max_depth, 1),
            min_sample_leaf=_check_int("min_samples_leaf", self.min_samples_leaf, 1),
            eval_func=str(self.criterion),
            max_bins=_check_int("max_bins", self.max_bins, 2),
            balance=_check_bool("balance", self.balance),
            regularization=_check_bool("regularization", self.regularization),
            alpha=float(alpha),
            n_threads=self._n_threads(),
            verbose=(int(self.verbose) if isinstance(self.verbose, (bool, np.bool_))
                     else _check_int("verbose", self.verbose, 0)),
        )

    # -- training and prediction --------------------------------------------

    def fit(self, X: Any, treatment: Any, y: Any) -> UpliftForestClassifier:
        """Trains a new forest (any earlier one is discarded) and returns self.

        Parameters
        ----------
        X : pandas.DataFrame, 2-D numpy array or mapping of column name to column
            Features. Bool, integer and float columns are numeric features
            (NaN kept: every split sends it right); string, object and
            categorical columns of a DataFrame are categorical features. A
            numpy object column, a list in a mapping or a column of rows
            given as lists is numeric if it holds only numbers and missing
            values (None/NaN), else categorical. A categorical value is its
            `str()`; a missing one (None, NaN, pandas.NA) is the category
            "<missing>" (`corvane_learn.MISSING_CATEGORY`). Names must be
            unique str.
        treatment : array-like of labels
            Treatment label of each row (ints or strings); `control` must
            occur, and at least one other label.
        y : array-like of 0/1
            Binary outcome of each row (bools accepted).

        Raises
        ------
        ValueError
            For an invalid hyper-parameter (named), inputs of different
            lengths, no rows, a missing `control` label, a single group, an
            outcome other than 0/1 or an unsupported column dtype.
        """
        params = self._checked_params()
        n_threads = params.pop("n_threads")
        verbose = params.pop("verbose")
        columns = _convert.read_columns(X)
        n_rows = columns.n_rows
        codes, labels = _convert.encode_treatment(treatment, self.control, n_rows)
        outcome = _convert.encode_outcome(y, n_rows)
        max_features = _resolve_max_features(self.max_features, len(columns.names))

        data = _convert.column_lists(columns, columns.kinds)
        taken = set(columns.names)
        treatment_col = _free_name("treatment", taken)
        outcome_col = _free_name("outcome", taken | {treatment_col})
        data[treatment_col] = codes.tolist()
        data[outcome_col] = outcome.tolist()
        model = corvane._UpliftRandomForestModel(max_features=max_features, **params)
        with progress(params["n_estimators"], verbose):
            model.fit(data, columns.names, treatment_col, outcome_col, n_threads)

        self._set_fitted(model, labels, columns.names, list(columns.kinds), max_features)
        return self

    def _set_fitted(self, model: Any, treatments: np.ndarray, names: list[str],
                    kinds: list[str] | None, max_features: int) -> None:
        self.model_ = model
        self.treatments_ = treatments
        self.feature_names_in_ = np.asarray(names, dtype=object)
        self.n_features_in_ = len(names)
        self.feature_kinds_ = kinds
        self.max_features_ = max_features
        gains = np.asarray(model.get_feature_importance("gain"), dtype=np.float64)
        total = gains.sum()
        self.feature_importances_ = (gains / total if total > 0 and math.isfinite(total)
                                     else np.zeros_like(gains))

    def _check_fitted(self) -> None:
        if not hasattr(self, "model_"):
            raise ValueError(f"this {type(self).__name__} is not fitted yet; call fit first")

    def predict(self, X: Any) -> np.ndarray:
        """Uplift of each treatment over control for each row.

        `X` takes the kinds of input `fit` takes. A DataFrame or mapping must
        hold every training feature by name (other columns are ignored, the
        order does not matter); an array must have the training width, with
        columns in training order. Returns float64 of shape
        (rows, len(treatments_)), columns in `treatments_` order.
        """
        self._check_fitted()
        columns = _convert.select_columns(X, list(self.feature_names_in_))
        kinds = self.feature_kinds_ if self.feature_kinds_ is not None else columns.kinds
        n_threads = self._n_threads()
        model = self.model_
        out: np.ndarray | None = None
        # Each chunk's rows and results are thousands of new lists, which would
        # start a collection of the whole program's objects every few chunks.
        with _convert.gc_paused():
            for start, rows in _convert.row_chunks(columns, kinds, _PREDICT_CHUNK_ROWS):
                result = model.predict(rows, n_threads)
                del rows
                if out is None:
                    out = np.empty((columns.n_rows, len(result[0])), dtype=np.float64)
                # Every row of one forest's prediction has the same length.
                out[start:start + len(result)] = np.fromiter(
                    itertools.chain.from_iterable(result), dtype=np.float64,
                    count=len(result) * out.shape[1]).reshape(len(result), out.shape[1])
                del result
        assert out is not None  # X has at least one row
        return out

    # -- persistence ----------------------------------------------------------

    def _metadata(self) -> dict[str, Any]:
        """What the model file does not hold, as a JSON-ready dict.

        Keys: "format" (1), "version", "params" (get_params()), "control",
        "treatments" (labels in output order) with "treatment_dtype" (numpy
        dtype string), "feature_kinds" (or None), "missing_category",
        "max_features". Raises ValueError for labels JSON cannot hold.
        """
        self._check_fitted()
        return {
            "format": _FORMAT,
            "version": _version(),
            "params": {k: _jsonable(v) for k, v in self.get_params().items()},
            "control": _jsonable(self.control),
            "treatments": [_jsonable(v) for v in self.treatments_.tolist()],
            "treatment_dtype": self.treatments_.dtype.str,
            "feature_kinds": self.feature_kinds_,
            "missing_category": _convert.MISSING_CATEGORY,
            "max_features": self.max_features_,
        }

    def save(self, path: str | os.PathLike) -> None:
        """Writes the model file at `path`.

        The file is the extension's own model file (it loads with
        `corvane._UpliftRandomForestModel.load` as is) with one extra last
        member, "corvane_learn", holding the metadata of `_metadata` (treatment
        labels and their dtype, control label, feature kinds,
        hyper-parameters). It is written under a temporary name and renamed,
        so an existing file survives a failure. Raises OSError if it cannot
        be written, ValueError for treatment labels that JSON cannot hold.
        """
        metadata = self._metadata()
        _model_file.write(self.model_, path, metadata)

    def _model_file_text(self) -> bytes:
        """The extension's model file of the fitted forest, without metadata.

        Together with `_metadata()` this is everything `_from_model_file_text`
        needs to rebuild the estimator, for instance after the forest was
        trained elsewhere.
        """
        self._check_fitted()
        return _model_file.model_bytes(self.model_)

    @classmethod
    def _from_model_file_text(cls, text: bytes | str,
                              metadata: dict[str, Any] | None = None) -> UpliftForestClassifier:
        """An estimator from model-file text, with or without its metadata.

        `metadata` (as from `_metadata()`) overrides any metadata member in
        the text; without either, treatments are the codes 1..K, control 0.
        """
        with _model_file.as_file(text) as path:
            if metadata is None:
                return cls.load(path)
            return cls._from_model(_model_file.load_model(path), metadata, 0)

    @classmethod
    def load(cls, path: str | os.PathLike) -> UpliftForestClassifier:
        """Restores an estimator from a model file written by `save`.

        A plain model file of the extension loads too: its treatments are
        then the codes 1..K with control 0, `get_params` gives the defaults
        (the file's settings stay in its trees) and its feature kinds follow
        the prediction input. Raises
        the OSError of opening the file, or ValueError for a file the
        extension cannot read or one without trees.
        """
        model = _model_file.load_model(path)
        metadata = _model_file.read_metadata(path)
        width = _model_file.first_leaf_width(path) if metadata is None else 0
        return cls._from_model(model, metadata, width)

    @classmethod
    def _from_model(cls, model: Any, metadata: dict[str, Any] | None,
                    width: int) -> UpliftForestClassifier:
        try:
            names = model.feature_cols()
        except BaseException as error:
            if _model_file.is_panic(error):
                raise ValueError("the model file holds no trees") from None
            raise
        if metadata is None:
            estimator = cls()
            estimator._set_fitted(model, np.arange(1, width + 1), names, None, len(names))
            return estimator
        if metadata.get("format") != _FORMAT:
            raise ValueError(f"unsupported estimator metadata format {metadata.get('format')!r}; "
                             f"this version reads format {_FORMAT}")
        valid = set(cls._param_names())
        estimator = cls(**{k: v for k, v in metadata["params"].items() if k in valid})
        estimator.control = metadata["control"]
        dtype = np.dtype(metadata["treatment_dtype"])
        treatments = np.array(metadata["treatments"], dtype=dtype)
        estimator._set_fitted(model, treatments, names, metadata["feature_kinds"],
                              metadata["max_features"])
        return estimator

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        if "model_" in state:
            state["model_"] = _model_file.model_bytes(self.model_)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        state = dict(state)
        if isinstance(state.get("model_"), bytes):
            state["model_"] = _model_file.model_from_bytes(state["model_"])
        self.__dict__.update(state)

