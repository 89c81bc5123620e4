"""Turning user data into the arrays the native module reads.

Everything works a whole column at a time with numpy (and pandas where the
input is pandas); the native module then reads the arrays where they lie.

Feature kinds: a feature is either numeric (read as 32-bit floats, NaN kept
and routed right by every split) or categorical (each split tests one
category for equality). How a column's kind is chosen:

- pandas columns by dtype: bool, integer and float dtypes (nullable ones
  included, their missing values becoming NaN) are numeric; categorical,
  string and object dtypes are categorical, except object columns that hold
  only numbers and missing values, which are numeric.
- numpy columns by dtype as above, object arrays by content: numeric if every
  value is a real number or missing (None, NaN, pandas.NA, NaT), with at
  least one number; otherwise categorical.
- plain lists (a mapping's columns, or rows given as lists) by content, like
  numpy object arrays.

Categories are compared by value: a category's key is the value's text, with
numbers written as Python writes them once integral floats are made integers
(1, 1.0 and numpy's 1 are all "1"; 1.5 is "1.5"), booleans as "True" and
"False", and any missing value (None, NaN, pandas.NA, NaT) as
`MISSING_CATEGORY`, so missing values form a category of their own in
training and prediction alike.
"""

from __future__ import annotations

import math
import numbers
import sys
import warnings
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

MISSING_CATEGORY = "<missing>"
NUMERIC = "numeric"
CATEGORICAL = "categorical"

_NUMBER_TYPES = (numbers.Real, np.bool_)


class Features:
    """The feature columns of one input, each a 1-D numpy array or pandas Series."""

    def __init__(self, names: list[str], arrays: list[Any], kinds: list[str]) -> None:
        self.names = names
        self.arrays = arrays
        self.kinds = kinds

    @property
    def n_rows(self) -> int:
        return len(self.arrays[0]) if self.arrays else 0


class Encoded:
    """One categorical column as int32 codes into `categories` (their keys)."""

    def __init__(self, codes: np.ndarray, categories: list[str]) -> None:
        self.codes = codes
        self.categories = categories


def _pandas() -> Any:
    # pandas objects can only exist once pandas was imported, so looking in
    # sys.modules avoids importing it (and its start-up cost) for numpy users.
    return sys.modules.get("pandas")


def is_dataframe(x: Any) -> bool:
    pd = _pandas()
    return pd is not None and isinstance(x, pd.DataFrame)


def is_series(x: Any) -> bool:
    pd = _pandas()
    return pd is not None and isinstance(x, pd.Series)


def _is_missing_scalar(value: Any) -> bool:
    if value is None:
        return True
    if isinstance(value, float):
        return value != value
    pd = _pandas()
    if pd is not None and (value is pd.NA or value is pd.NaT):
        return True
    if isinstance(value, (np.floating, np.datetime64, np.timedelta64)):
        return bool(np.isnan(value))
    return False


def _check_names(names: list[Any]) -> list[str]:
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"feature names must be str; got {name!r} ({type(name).__name__})")
    seen: set[str] = set()
    duplicates = sorted({n for n in names if n in seen or seen.add(n)})
    if duplicates:
        raise ValueError(f"duplicate feature names: {', '.join(map(repr, duplicates))}")
    return list(names)


def _object_kind(values: np.ndarray) -> str:
    """Kind of an object array by content (see the module docstring)."""
    types = set(map(type, values))
    numbers_seen = False
    for t in types:
        if issubclass(t, _NUMBER_TYPES):
            numbers_seen = True
        elif not _missing_type(t):
            return CATEGORICAL
    if not numbers_seen:
        return CATEGORICAL
    return NUMERIC


def _missing_type(t: type) -> bool:
    if t is type(None):
        return True
    pd = _pandas()
    return pd is not None and (t is type(pd.NA) or t is type(pd.NaT))


def _series_kind(series: Any, name: str) -> str:
    pd = _pandas()
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return CATEGORICAL
    if pd.api.types.is_complex_dtype(dtype):
        raise ValueError(f"column {name!r} holds complex numbers, which are no feature values")
    if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype):
        return NUMERIC
    if pd.api.types.is_object_dtype(dtype):
        return _object_kind(series.to_numpy(dtype=object))
    if pd.api.types.is_string_dtype(dtype):
        return CATEGORICAL
    raise ValueError(f"column {name!r} has unsupported dtype {dtype}")


def _array_kind(values: np.ndarray, name: str) -> str:
    kind = values.dtype.kind
    if kind in "biuf":
        return NUMERIC
    if kind in "US":
        return CATEGORICAL
    if kind == "O":
        return _object_kind(values)
    if kind == "c":
        raise ValueError(f"column {name!r} holds complex numbers, which are no feature values")
    raise ValueError(f"column {name!r} has unsupported dtype {values.dtype}")


def _object_array(values: Any) -> np.ndarray:
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array


def _column(values: Any, name: str) -> tuple[Any, str]:
    """One input column as a pandas Series or 1-D numpy array, and its own kind."""
    pd = _pandas()
    if pd is not None and isinstance(values, (pd.api.extensions.ExtensionArray, pd.Index)):
        values = pd.Series(values, copy=False)  # a Categorical stays categorical
    if is_series(values):
        return values, _series_kind(values, name)
    # numpy would turn a list of strings and NaN into strings, "nan" included.
    array = np.asarray(values) if isinstance(values, np.ndarray) else _object_array(values)
    if array.ndim != 1:
        raise ValueError(f"column {name!r} must be one-dimensional; got shape {array.shape}")
    return array, _array_kind(array, name)


def read_features(x: Any) -> Features:
    """Splits `x` (DataFrame, 2-D array, rows as lists, or mapping of columns) into columns.

    A 2-D array's columns are named "x0" .. "x{n-1}". Raises ValueError for
    columns of different lengths or no columns, TypeError for an input of
    another type or a name that is not a str.
    """
    if is_dataframe(x):
        names = _check_names(list(x.columns))
        arrays, kinds = [], []
        for i, name in enumerate(names):
            series = x.iloc[:, i]
            arrays.append(series)
            kinds.append(_series_kind(series, name))
        features = Features(names, arrays, kinds)
    elif isinstance(x, Mapping):
        names = _check_names(list(x.keys()))
        pairs = [_column(x[name], name) for name in names]
        features = Features(names, [p[0] for p in pairs], [p[1] for p in pairs])
        for name, array in zip(names, features.arrays):
            if len(array) != features.n_rows:
                raise ValueError(f"column {name!r} has {len(array)} rows but column "
                                 f"{names[0]!r} has {features.n_rows}")
    elif isinstance(x, (np.ndarray, Sequence)) and not isinstance(x, (str, bytes)):
        if isinstance(x, np.ndarray):
            array = x
        elif len(x) == 0:
            array = np.empty((0, 0))
        else:
            # Rows given as lists are typed by content, like a mapping's lists.
            array = np.array(x, dtype=object)
        if array.ndim != 2:
            raise ValueError(f"X must be two-dimensional; got shape {array.shape}")
        names = [f"x{i}" for i in range(array.shape[1])]
        arrays = [array[:, i] for i in range(array.shape[1])]
        features = Features(names, arrays, [_array_kind(a, n) for a, n in zip(arrays, names)])
    else:
        raise TypeError(
            "X must be a pandas DataFrame, a 2-D numpy array or a mapping of columns; "
            f"got {type(x).__name__}")
    if not features.names:
        raise ValueError("X has no feature columns")
    return features


def _missing_mask(values: np.ndarray) -> np.ndarray:
    pd = _pandas()
    if pd is not None:
        return np.asarray(pd.isna(values), dtype=bool)
    return np.fromiter((_is_missing_scalar(v) for v in values), dtype=bool, count=len(values))


def all_missing(column: Any) -> bool:
    """Whether every value of a column is missing (such a column reads as text or numbers)."""
    values = column.to_numpy(dtype=object) if is_series(column) else np.asarray(column)
    if values.dtype.kind == "f":
        return bool(np.isnan(values).all())
    return values.dtype.kind == "O" and bool(_missing_mask(values).all())


def numeric_values(column: Any, name: str) -> np.ndarray:
    """A numeric column as float32 or float64, missing values as NaN.

    float32 and float64 arrays are returned as they are (views, no copy);
    other numbers become float64. ValueError (naming the column) for
    values that are no numbers or too large for a float.
    """
    try:
        if is_series(column):
            dtype = column.dtype
            if isinstance(dtype, _pandas().CategoricalDtype):
                column = column.astype(object).to_numpy(dtype=object)
            elif (isinstance(dtype, np.dtype) and dtype.kind == "f" and dtype.itemsize in (4, 8)
                  and dtype.isnative):
                return column.to_numpy()
            elif dtype.kind in "biuf":
                # Nullable dtypes too: their missing values become NaN.
                return column.to_numpy(dtype=np.float64, na_value=np.nan)
            else:
                column = column.to_numpy(dtype=object)
        array = np.asarray(column)
        if array.dtype.kind == "f" and array.dtype.itemsize in (4, 8) and array.dtype.isnative:
            return array
        if array.dtype.kind == "O":
            if _object_kind(array) != NUMERIC and not _missing_mask(array).all():
                raise ValueError(f"column {name!r} is a numeric feature but holds values that "
                                 "are no numbers")
            missing = _missing_mask(array)
            if missing.any():
                array = array.copy()
                array[missing] = np.nan
        elif array.dtype.kind not in "biuf":
            raise ValueError(f"column {name!r} is a numeric feature but holds values that are "
                             "no numbers")
        return np.asarray(array, dtype=np.float64)
    except OverflowError:
        raise ValueError(f"column {name!r} holds an integer too large for a floating-point "
                         "number") from None
    except TypeError:
        raise ValueError(f"column {name!r} is a numeric feature but holds values that are no "
                         "numbers") from None


def category_key(value: Any) -> str:
    """The text by which a category is compared (see the module docstring)."""
    if isinstance(value, str):
        return value
    if _is_missing_scalar(value):
        return MISSING_CATEGORY
    if isinstance(value, (bool, np.bool_)):
        return "True" if value else "False"
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        v = float(value)
        if math.isfinite(v) and v == int(v):
            return str(int(v))
        return repr(v)
    return str(value)


def _factorize(values: Any) -> tuple[np.ndarray, np.ndarray]:
    """(codes, uniques) of a column, missing values coded -1, in C where pandas is there."""
    pd = _pandas()
    if pd is not None:
        codes, uniques = pd.factorize(values, use_na_sentinel=True)
        return np.asarray(codes, dtype=np.intp), np.asarray(uniques, dtype=object)
    array = np.asarray(values)
    if array.dtype.kind in "US":
        uniques, codes = np.unique(array, return_inverse=True)
        return codes.reshape(-1), uniques.astype(object)
    index: dict[Any, int] = {}
    codes = np.empty(len(array), dtype=np.intp)
    for i, value in enumerate(array):
        if _is_missing_scalar(value):
            codes[i] = -1
        else:
            codes[i] = index.setdefault(value, len(index))
    uniques = np.empty(len(index), dtype=object)
    for value, i in index.items():
        uniques[i] = value
    return codes, uniques


def _keys_and_codes(column: Any) -> tuple[np.ndarray, list[str]]:
    """The column's codes into its distinct keys, and those keys (first-seen order)."""
    if is_series(column) and isinstance(column.dtype, _pandas().CategoricalDtype):
        codes = column.cat.codes.to_numpy().astype(np.intp)
        uniques = np.asarray(column.cat.categories, dtype=object)
    else:
        # A Series is factorized as it is: its values never become Python
        # objects one by one (a string column may be held by pyarrow).
        codes, uniques = _factorize(column)
    # Values of one key (1 and 1.0, "1" and 1) become one category.
    keys: dict[str, int] = {}
    remap = np.empty(len(uniques) + 1, dtype=np.int32)
    for i, value in enumerate(uniques.tolist()):
        remap[i] = keys.setdefault(category_key(value), len(keys))
    remap[len(uniques)] = keys.setdefault(MISSING_CATEGORY, len(keys)) if (codes < 0).any() \
        else -1
    return remap[codes], list(keys)


def encode_categorical(column: Any, name: str) -> Encoded:
    """A training column as int32 codes into its sorted category keys."""
    codes, keys = _keys_and_codes(column)
    _check_text(keys, name)
    order = sorted(range(len(keys)), key=keys.__getitem__)
    rank = np.empty(len(keys), dtype=np.int32)
    rank[order] = np.arange(len(keys), dtype=np.int32)
    return Encoded(rank[codes], [keys[i] for i in order])


def _check_text(keys: list[str], name: str) -> None:
    for key in keys:
        try:
            key.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"column {name!r} holds a category that is not valid text "
                             f"({key!r} cannot be written as UTF-8)") from None


class CategoryLookup:
    """Maps a prediction column's values to the codes of the training categories."""

    def __init__(self, categories: list[str]) -> None:
        self.categories = categories
        self._index = {key: i for i, key in enumerate(categories)}

    def codes(self, column: Any) -> tuple[np.ndarray, int]:
        """(int32 codes, -1 for a category training never saw; the number of such rows)."""
        codes, keys = _keys_and_codes(column)
        known = np.fromiter((self._index.get(k, -1) for k in keys), dtype=np.int32,
                            count=len(keys))
        result = known[codes] if len(keys) else np.full(len(codes), -1, dtype=np.int32)
        return result, int(np.count_nonzero(result < 0))


def warn_unseen(name: str, unseen: int, rows: int) -> None:
    share = unseen / rows
    warnings.warn(f"column {name!r}: {unseen} of {rows} rows ({share:.1%}) hold categories "
                  "never seen in training; every split on this column sends them right",
                  UserWarning, stacklevel=3)


def encode_treatment(treatment: Any, control: Any, n_rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Codes for the core (control 0, the other labels in sorted order 1..K).

    Returns (codes as the narrowest of int8, int16 and int32 that holds them,
    the treatment labels other than control in code order). Raises
    ValueError for a length mismatch, missing or unorderable labels, a
    control label that does not occur, or a single group.
    """
    if treatment is None:
        raise TypeError("fit needs the treatment of every row: fit(X, y, treatment=labels)")
    if is_series(treatment):
        # Extension dtypes (nullable, pyarrow strings) as plain labels.
        treatment = treatment.to_numpy(dtype=None if treatment.dtype.kind in "biufUS" else object)
    labels = np.asarray(treatment)
    if labels.ndim != 1:
        raise ValueError(f"treatment must be one-dimensional; got shape {labels.shape}")
    if len(labels) != n_rows:
        raise ValueError(f"treatment has {len(labels)} rows but X has {n_rows}")
    if labels.dtype.kind == "O" and _missing_mask(labels).any():
        raise ValueError("treatment holds missing labels")
    if labels.dtype.kind == "f" and np.isnan(labels).any():
        raise ValueError("treatment holds missing labels (NaN)")
    try:
        unique, inverse = np.unique(labels, return_inverse=True)
    except TypeError:
        raise ValueError(
            "treatment labels must be mutually comparable (all numbers or all strings)"
        ) from None
    matches = [i for i, label in enumerate(unique.tolist()) if same_label(label, control)]
    if not matches:
        shown = ", ".join(map(repr, unique.tolist()[:10]))
        raise ValueError(f"control label {control!r} does not occur in treatment (labels: {shown})")
    if len(unique) < 2:
        raise ValueError(f"treatment holds a single group ({control!r}); need control and a "
                         "treatment")
    c = matches[0]
    # Control becomes 0; the other labels keep their sorted order as 1..K.
    dtype = next(t for t in (np.int8, np.int16, np.int32) if len(unique) <= np.iinfo(t).max)
    codes = np.empty(len(unique), dtype=dtype)
    codes[:c] = np.arange(1, c + 1)
    codes[c] = 0
    codes[c + 1:] = np.arange(c + 1, len(unique))
    return codes[inverse.reshape(-1)], np.delete(unique, c)


def same_label(label: Any, control: Any) -> bool:
    """Whether a treatment label is `control`; a str never equals a number here."""
    if isinstance(label, str) != isinstance(control, str):
        return False
    try:
        return bool(label == control)
    except (TypeError, ValueError):
        return False


def encode_outcome(y: Any, n_rows: int) -> np.ndarray:
    """y as int8 0/1; ValueError for a length mismatch, missing values or any other value."""
    if is_series(y):
        if y.isna().any():
            raise ValueError("y holds missing values (NA); every row needs an outcome of 0 or 1")
        values = y.to_numpy(dtype=object) if y.dtype.kind not in "biuf" else y.to_numpy()
    else:
        values = np.asarray(y)
    if values.ndim != 1:
        raise ValueError(f"y must be one-dimensional; got shape {values.shape}")
    if len(values) != n_rows:
        raise ValueError(f"y has {len(values)} rows but X has {n_rows}")
    if values.dtype.kind == "b":
        return values.astype(np.int8)
    complex_message = "y must hold only 0 and 1 (outcomes); found complex numbers"
    if values.dtype.kind == "c":
        raise ValueError(complex_message)
    if values.dtype.kind == "O" and _missing_mask(values).any():
        raise ValueError("y holds missing values; every row needs an outcome of 0 or 1")
    if values.dtype.kind not in "iuf":
        try:
            values = values.astype(np.float64)
        except (TypeError, ValueError):
            if any(isinstance(v, complex) for v in values):
                raise ValueError(complex_message) from None
            raise ValueError("y must hold only 0 and 1 (outcomes); found values that are no "
                             "numbers (is the treatment passed as y? the order is "
                             "fit(X, y, treatment=labels))") from None
    bad = (values != 0) & (values != 1)
    if bad.any():
        raise ValueError(f"y must hold only 0 and 1 (outcomes); found {values[bad][0]!r}")
    return values.astype(np.int8)


def select_features(x: Any, names: Sequence[str]) -> Features:
    """The columns `names` of `x`, in that order, for prediction.

    A DataFrame or mapping is looked up by name (columns not named are
    ignored; ValueError lists the missing ones); a 2-D array must have
    exactly len(names) columns, taken in order.
    """
    if is_dataframe(x) or isinstance(x, Mapping):
        available = set(x.columns) if is_dataframe(x) else set(x.keys())
        missing = [name for name in names if name not in available]
        if missing:
            raise ValueError(f"X is missing feature columns: {', '.join(map(repr, missing))}")
        if is_dataframe(x):
            dup = [name for name in names if isinstance(x[name], _pandas().DataFrame)]
            if dup:
                raise ValueError(f"X has duplicate columns: {', '.join(map(repr, dup))}")
        elif any(not hasattr(x[name], "__len__") or isinstance(x[name], (str, bytes))
                 for name in names):
            raise ValueError("X is a mapping whose values are not columns: give each feature "
                             "a sequence of values (one row is {'age': [40.0], ...})")
        return read_features({name: x[name] for name in names})
    features = read_features(x)
    if len(features.names) != len(names):
        raise ValueError(f"X has {len(features.names)} columns but the model was fitted with "
                         f"{len(names)} features")
    features.names = list(names)
    return features
