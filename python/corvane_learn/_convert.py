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
  value is a number or missing (None, NaN, pandas.NA, NaT), with at least one
  number; otherwise categorical. Numbers are Python's and numpy's numbers and
  any other `numbers.Number` but complex ones (`decimal.Decimal`, what SQL
  readers return for prices, `fractions.Fraction`); complex numbers are no
  feature values and refused.
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

import decimal
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

BINARY = "binary"
# Outcomes of any finite real value (revenue, say).
REAL = "real"


def _is_number_type(t: type) -> bool:
    """Numbers a feature or outcome may hold: real ones and Decimal, never complex."""
    if issubclass(t, (numbers.Real, np.bool_)):
        return True
    return issubclass(t, numbers.Number) and not _is_complex_type(t)


def is_number(value: Any) -> bool:
    """Whether a value is a number a feature, outcome or cost may be (see `_is_number_type`)."""
    return _is_number_type(type(value))


def _is_complex_type(t: type) -> bool:
    return issubclass(t, (numbers.Complex, np.complexfloating)) and not issubclass(
        t, numbers.Real)


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
    if isinstance(value, decimal.Decimal):
        return value.is_nan()
    return False


def _check_names(names: list[Any]) -> list[str]:
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"feature names must be str; got {name!r} ({type(name).__name__})")
        if not _valid_text(name):
            raise ValueError(f"feature name {name!r} is not valid text (it cannot be written "
                             "as UTF-8)")
    seen: set[str] = set()
    duplicates = sorted({n for n in names if n in seen or seen.add(n)})
    if duplicates:
        raise ValueError(f"duplicate feature names: {', '.join(map(repr, duplicates))}")
    return list(names)


def _complex_column(name: str) -> ValueError:
    return ValueError(f"column {name!r} holds complex numbers, which are no feature values")


def _object_kind(values: np.ndarray, name: str) -> str:
    """Kind of an object array by content (see the module docstring)."""
    types = set(map(type, values))
    if any(_is_complex_type(t) for t in types):
        raise _complex_column(name)
    numbers_seen = False
    for t in types:
        if _is_number_type(t):
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
        raise _complex_column(name)
    if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype):
        return NUMERIC
    if pd.api.types.is_object_dtype(dtype):
        return _object_kind(series.to_numpy(dtype=object), name)
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
        return _object_kind(values, name)
    if kind == "c":
        raise _complex_column(name)
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
            if _object_kind(array, name) != NUMERIC and not _missing_mask(array).all():
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
    if _is_number_type(type(value)):
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


def _valid_text(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _check_text(keys: list[str], name: str) -> None:
    for key in keys:
        if not _valid_text(key):
            raise ValueError(f"column {name!r} holds a category that is not valid text "
                             f"({key!r} cannot be written as UTF-8)")


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
    _check_labels(unique)
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


def _check_labels(unique: np.ndarray) -> None:
    """Refuses treatment labels that a model file (and so a pickle) could not keep exactly.

    Labels are kept as JSON values with the labels' dtype: numbers (bool,
    int, finite float) and valid text are; dates, bytes and other objects
    are not.
    """
    plain = unique.dtype.kind in "biufUSO"
    for label in unique.tolist() if plain else unique[:1]:
        if not plain or not isinstance(label, (bool, int, float, str)):
            raise ValueError(f"treatment label {label!r} ({type(label).__name__}) cannot be "
                             "kept in a model file or pickle: labels must be numbers or text")
        if isinstance(label, float) and not math.isfinite(label):
            raise ValueError(f"treatment label {label!r} cannot be kept in a model file or "
                             "pickle: a number label must be finite")
        if isinstance(label, str) and not _valid_text(label):
            raise ValueError(f"treatment label {label!r} is not valid text (it cannot be "
                             "written as UTF-8)")


def group_labels(treatments: np.ndarray, control: Any) -> np.ndarray:
    """The control label, then the treatments, in the treatments' dtype when it holds control.

    So that what `recommend` returns keeps the labels' own type (a uint64
    label stays uint64); object dtype when the control label does not fit.
    """
    dtype = treatments.dtype
    if dtype.kind in "US" and isinstance(control, (str, bytes)):
        dtype = np.result_type(dtype, np.asarray(control).dtype)
    try:
        head = np.array([control], dtype=dtype)
        if dtype.kind != "O" and not same_label(head[0].item(), control):
            raise ValueError
    except (TypeError, ValueError, OverflowError):
        dtype = np.dtype(object)
        head = np.array([control], dtype=object)
    return np.concatenate([head, treatments.astype(dtype)])


def same_label(label: Any, control: Any) -> bool:
    """Whether a treatment label is `control`; a str never equals a number here."""
    if isinstance(label, str) != isinstance(control, str):
        return False
    try:
        return bool(label == control)
    except (TypeError, ValueError):
        return False


def outcome_values(y: Any, *, name: str = "y", n_rows: int | None = None,
                   kind: str = BINARY, hint: str = "") -> np.ndarray:
    """Outcomes as training, `score` and every metric read them, so that all accept the same.

    `kind` says what the outcomes are; "binary" takes 0 and 1 as numbers of
    any type (ints, floats, bools, Decimal; in numpy arrays of any of those
    dtypes, object arrays included, in lists and pandas Series) and returns
    them as int8; "real" takes any finite numbers of those types and returns
    them as float64 (NaN or an infinity is refused naming its first row).
    Text ("0", "1"), complex numbers, missing values and (for "binary")
    other numbers are refused with a ValueError that names the argument
    (`name`) and, with `n_rows`, a length other than the rows of X. `hint`
    is appended to the message about values that are no numbers.
    """
    if kind not in (BINARY, REAL):
        raise ValueError(f"unknown kind of outcome {kind!r}")
    if kind == REAL:
        values = _outcome_numbers(y, name, "a finite number",
                                  "must hold finite numbers (outcomes)", hint, nan_row=True)
    else:
        values = _outcome_numbers(y, name, "0 or 1", "must hold only 0 and 1 (outcomes)", hint)
    if n_rows is not None and len(values) != n_rows:
        raise ValueError(f"{name} has {len(values)} rows but X has {n_rows}")
    if kind == REAL:
        values = values.astype(np.float64)
        bad = ~np.isfinite(values)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError(f"{name} holds {float(values[row])!r} in row {row}; outcomes must be "
                             "finite numbers")
        return values
    if values.dtype.kind == "b":
        return values.astype(np.int8)
    bad = (values != 0) & (values != 1)
    if bad.any():
        raise ValueError(f"{name} must hold only 0 and 1 (outcomes); found {values[bad][0]!r}")
    return values.astype(np.int8)


def _outcome_numbers(y: Any, name: str, expected: str, rule: str, hint: str,
                     nan_row: bool = False) -> np.ndarray:
    """y as a 1-D bool, int or float array; ValueError for anything but numbers.

    `expected` and `rule` word the messages for the kind of outcome; with
    `nan_row`, NaN is left for the caller, which names its row.
    """
    if is_series(y):
        missing = y.isna().to_numpy()
        if missing.any() and nan_row:
            raise ValueError(f"{name} holds a missing value in row {int(missing.argmax())}; "
                             "outcomes must be finite numbers")
        if missing.any():
            raise ValueError(f"{name} holds missing values (NA); every row needs an outcome of "
                             f"{expected}")
        values = y.to_numpy() if y.dtype.kind in "biuf" else y.to_numpy(dtype=object)
    else:
        values = np.asarray(y)
    if values.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional; got shape {values.shape}")
    found = None
    if values.dtype.kind == "f" and not nan_row and np.isnan(values).any():
        raise ValueError(f"{name} holds missing values (NaN); every row needs an outcome of "
                         f"{expected}")
    if values.dtype.kind == "c":
        found = "complex numbers"
    elif values.dtype.kind in "US":
        found = f"text ({values[:1].tolist()[0]!r})"
    elif values.dtype.kind == "O":
        types = set(map(type, values))
        if _missing_mask(values).any():
            raise ValueError(f"{name} holds missing values; every row needs an outcome of "
                             f"{expected}")
        if any(_is_complex_type(t) for t in types):
            found = "complex numbers"
        elif any(issubclass(t, (str, bytes)) for t in types):
            found = f"text ({next(v for v in values if isinstance(v, (str, bytes)))!r})"
        elif not all(_is_number_type(t) for t in types):
            found = "values that are no numbers"
        else:
            try:
                values = values.astype(np.float64)
            except OverflowError:
                found = "a number too large for a floating-point number"
    elif values.dtype.kind not in "biuf":
        found = "values that are no numbers"
    if found is not None:
        # The hint is for values that may be labels given in the outcome's place.
        raise ValueError(f"{name} {rule}; found {found}"
                         f"{'' if found.startswith(('complex', 'a number')) else hint}")
    return values


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
