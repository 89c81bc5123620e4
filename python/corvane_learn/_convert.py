"""Turning user data into the column lists and rows the extension reads.

Everything here works a whole column at a time with numpy; the extension's
own conversion then reads plain Python lists, which `ndarray.tolist()`
builds in C.

Feature kinds: a feature is either numeric (read as 32-bit floats by the
extension, NaN kept and routed right by every split) or categorical (read as
strings, each split tests one category for equality). How a column's kind is
chosen:

- pandas columns by dtype: bool, integer and float dtypes (nullable ones
  included, their missing values becoming NaN) are numeric; categorical,
  string and object dtypes are categorical.
- numpy columns by dtype as above, except object arrays, which are typed by
  content: numeric if every value is a real number or missing (None, NaN),
  with at least one number; otherwise categorical.
- plain lists (a mapping's columns, or rows given as lists) by content, like
  numpy object arrays.

A categorical value is its `str()`; a missing one (None, NaN, pandas.NA,
NaT) becomes the category `MISSING_CATEGORY`, so missing values form a
category of their own in training and prediction alike.
"""

from __future__ import annotations

import gc
import numbers
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np

MISSING_CATEGORY = "<missing>"
NUMERIC = "numeric"
CATEGORICAL = "categorical"

_NUMBER_TYPES = (numbers.Real, np.bool_)


class Columns:
    """Feature columns of one input, each a 1-D numpy array, with their names.

    `kinds` holds the kind each column would get on its own. `matrix`, when
    set, builds the whole input as one C-ordered float64 matrix more cheaply
    than stacking the columns (set only where every column is numeric).
    """

    def __init__(self, names: list[str], arrays: list[Any], kinds: list[str]) -> None:
        self.names = names
        self.arrays = arrays
        self.kinds = kinds
        self.matrix: Callable[[], np.ndarray] | None = None

    @property
    def n_rows(self) -> int:
        return len(self.arrays[0]) if self.arrays else 0


def _pandas() -> Any:
    # pandas objects can only exist once pandas was imported, so looking in
    # sys.modules avoids importing it (and its start-up cost) for numpy users.
    return sys.modules.get("pandas")


def _is_dataframe(x: Any) -> bool:
    pd = _pandas()
    return pd is not None and isinstance(x, pd.DataFrame)


def _is_series(x: Any) -> bool:
    pd = _pandas()
    return pd is not None and isinstance(x, pd.Series)


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
    types.discard(type(None))
    if not types or not all(issubclass(t, _NUMBER_TYPES) for t in types):
        return CATEGORICAL
    return NUMERIC


def _series_kind(series: Any, name: str) -> str:
    pd = _pandas()
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return CATEGORICAL
    if pd.api.types.is_complex_dtype(dtype):
        raise ValueError(f"column {name!r} has unsupported dtype {dtype}")
    if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype):
        return NUMERIC
    if pd.api.types.is_string_dtype(dtype) or pd.api.types.is_object_dtype(dtype):
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
    raise ValueError(f"column {name!r} has unsupported dtype {values.dtype}")


def _column(values: Any, name: str) -> tuple[Any, str]:
    """One input column as a pandas Series or 1-D numpy array, and its own kind."""
    if _is_series(values):
        return values, _series_kind(values, name)
    # numpy would turn a list of strings and NaN into strings, "nan" included.
    array = np.asarray(values) if isinstance(values, np.ndarray) else _object_array(values)
    if array.ndim != 1:
        raise ValueError(f"column {name!r} must be one-dimensional; got shape {array.shape}")
    return array, _array_kind(array, name)


def _object_array(values: Any) -> np.ndarray:
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array


def _object_rows(rows: Sequence[Any]) -> np.ndarray:
    array = np.array(rows, dtype=object)
    if array.ndim != 2:
        raise ValueError(f"X must be two-dimensional; got shape {array.shape}")
    return array


def read_columns(x: Any) -> Columns:
    """Splits `x` (DataFrame, 2-D array or mapping of columns) into named columns.

    A 2-D array's columns are named "x0" .. "x{n-1}". Raises ValueError for
    columns of different lengths, no rows or no columns, TypeError for an
    input of another type or a name that is not a str.
    """
    if _is_dataframe(x):
        names = _check_names(list(x.columns))
        arrays, kinds = [], []
        for i, name in enumerate(names):
            series = x.iloc[:, i]
            arrays.append(series)
            kinds.append(_series_kind(series, name))
        columns = Columns(names, arrays, kinds)
    elif isinstance(x, Mapping):
        names = _check_names(list(x.keys()))
        pairs = [_column(x[name], name) for name in names]
        columns = Columns(names, [p[0] for p in pairs], [p[1] for p in pairs])
        lengths = {name: len(a) for name, a in zip(names, columns.arrays)}
        first = names[0] if names else None
        for name, length in lengths.items():
            if length != lengths[first]:
                raise ValueError(
                    f"column {name!r} has {length} rows but column {first!r} has "
                    f"{lengths[first]}")
    elif isinstance(x, (np.ndarray, Sequence)) and not isinstance(x, (str, bytes)):
        # Rows given as lists are typed by content, like a mapping's lists.
        array = x if isinstance(x, np.ndarray) else _object_rows(x)
        if array.ndim != 2:
            raise ValueError(f"X must be two-dimensional; got shape {array.shape}")
        names = [f"x{i}" for i in range(array.shape[1])]
        arrays = [array[:, i] for i in range(array.shape[1])]
        columns = Columns(names, arrays, [_array_kind(a, n) for a, n in zip(arrays, names)])
        if array.dtype.kind in "biuf":
            columns.matrix = lambda: np.ascontiguousarray(array, dtype=np.float64)
    else:
        raise TypeError(
            "X must be a pandas DataFrame, a 2-D numpy array or a mapping of columns; "
            f"got {type(x).__name__}")
    if not columns.names:
        raise ValueError("X has no feature columns")
    if columns.n_rows == 0:
        raise ValueError("X has no rows")
    return columns


def _object_missing(values: np.ndarray) -> np.ndarray:
    pd = _pandas()
    if pd is not None:
        return np.asarray(pd.isna(values), dtype=bool)
    return np.asarray((values == None) | (values != values), dtype=bool)  # noqa: E711


def numeric_values(column: Any, name: str) -> np.ndarray:
    """A column as float64, missing values as NaN; ValueError if it holds non-numbers."""
    try:
        if _is_series(column):
            if isinstance(column.dtype, _pandas().CategoricalDtype):
                column = column.astype(object)
            if column.dtype.kind == "O":
                column = column.to_numpy(dtype=object)
            else:
                return column.to_numpy(dtype=np.float64, na_value=np.nan)
        array = np.asarray(column)
        if array.dtype.kind == "O":
            if _object_kind(array) != NUMERIC and not _object_missing(array).all():
                raise ValueError
            array = np.where(_object_missing(array), np.nan, array)
        elif array.dtype.kind not in "biuf":
            raise ValueError
        return np.asarray(array, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"column {name!r} is a numeric feature but holds non-numbers") from None


def categorical_values(column: Any) -> np.ndarray:
    """A column as an object array of str, missing values as MISSING_CATEGORY."""
    if _is_series(column) and isinstance(column.dtype, _pandas().CategoricalDtype):
        categories = np.asarray(column.cat.categories, dtype=object).astype(str).astype(object)
        # Code -1 marks a missing value and picks the appended last entry.
        lookup = np.append(categories, np.array([MISSING_CATEGORY], dtype=object))
        return lookup[column.cat.codes.to_numpy()]
    if _is_series(column):
        column = column.to_numpy(dtype=object)
    array = np.asarray(column)
    if array.dtype.kind == "U":
        return array.astype(object)
    if array.dtype.kind == "f":
        missing = np.isnan(array)
    elif array.dtype.kind == "O":
        missing = _object_missing(array)
    else:
        missing = np.zeros(len(array), dtype=bool)
    out = array.astype(str).astype(object)
    out[missing] = MISSING_CATEGORY
    return out


def column_lists(columns: Columns, kinds: Sequence[str]) -> dict[str, list]:
    """The extension's training mapping of feature columns, converted per kind."""
    data: dict[str, list] = {}
    if columns.matrix is not None and all(kind == NUMERIC for kind in kinds):
        # One transposed copy gives contiguous columns, whose `tolist()` is
        # markedly faster than that of strided column views.
        by_column = np.ascontiguousarray(columns.matrix().T)
        return {name: column.tolist() for name, column in zip(columns.names, by_column)}
    for name, array, kind in zip(columns.names, columns.arrays, kinds):
        if kind == NUMERIC:
            data[name] = numeric_values(array, name).tolist()
        else:
            data[name] = categorical_values(array).tolist()
    return data


def rows(columns: Columns, kinds: Sequence[str]) -> list[list]:
    """Row lists (one list of cells per row) of every row at once, for the extension's predict."""
    return [row for _, chunk in row_chunks(columns, kinds, columns.n_rows) for row in chunk]


def row_chunks(columns: Columns, kinds: Sequence[str],
               chunk_rows: int) -> Iterator[tuple[int, list[list]]]:
    """Row lists for the extension's predict, at most `chunk_rows` rows at a time.

    Yields (index of the first row, the rows as lists of cells), never an
    empty chunk. Only one chunk's cell objects exist at a time: the memory of
    one chunk is reused, still in cache, by the next, where building every
    row at once would fault in and later free fresh memory for each cell.
    """
    n_rows, n_cols = columns.n_rows, len(columns.names)
    if all(kind == NUMERIC for kind in kinds):
        if columns.matrix is not None and all(kind == NUMERIC for kind in columns.kinds):
            matrix = columns.matrix()
        else:
            matrix = np.empty((n_rows, n_cols), dtype=np.float64)
            for j, (name, array) in enumerate(zip(columns.names, columns.arrays)):
                matrix[:, j] = numeric_values(array, name)
        for start in range(0, n_rows, chunk_rows):
            with gc_paused():
                chunk = matrix[start:start + chunk_rows].tolist()
            yield start, chunk
            del chunk
        return
    values = [numeric_values(array, name) if kind == NUMERIC else categorical_values(array)
              for name, array, kind in zip(columns.names, columns.arrays, kinds)]
    for start in range(0, n_rows, chunk_rows):
        stop = min(start + chunk_rows, n_rows)
        cells = np.empty((stop - start, n_cols), dtype=object)
        for j, column in enumerate(values):
            # A float64 slice enters the object array as Python floats, the
            # cells the extension reads fastest.
            cells[:, j] = column[start:stop]
        with gc_paused():
            chunk = cells.tolist()
        del cells
        yield start, chunk
        del chunk


@contextmanager
def gc_paused() -> Iterator[None]:
    """Keeps the cyclic collector out of a burst of list creation.

    Building one list per row would otherwise start a collection every few
    hundred rows, each scanning the rows built so far; the lists hold only
    numbers and strings, so they can form no cycles.
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def encode_treatment(treatment: Any, control: Any, n_rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Codes for the extension (control 0, the other labels in sorted order 1..K).

    Returns (codes as int32, the treatment labels other than control in code
    order). Raises ValueError for a length mismatch, missing or unorderable
    labels, a control label that does not occur, or a single group.
    """
    labels = np.asarray(treatment.to_numpy() if _is_series(treatment) else treatment)
    if labels.ndim != 1:
        raise ValueError(f"treatment must be one-dimensional; got shape {labels.shape}")
    if len(labels) != n_rows:
        raise ValueError(f"treatment has {len(labels)} rows but X has {n_rows}")
    if labels.dtype.kind == "O" and _object_missing(labels).any():
        raise ValueError("treatment holds missing labels")
    if labels.dtype.kind == "f" and np.isnan(labels).any():
        raise ValueError("treatment holds missing labels (NaN)")
    try:
        unique, inverse = np.unique(labels, return_inverse=True)
    except TypeError:
        raise ValueError(
            "treatment labels must be mutually comparable (all numbers or all strings)"
        ) from None
    matches = [i for i, label in enumerate(unique.tolist()) if _same_label(label, control)]
    if not matches:
        shown = ", ".join(map(repr, unique.tolist()[:10]))
        raise ValueError(f"control label {control!r} does not occur in treatment (labels: {shown})")
    if len(unique) < 2:
        raise ValueError(f"treatment holds a single group ({control!r}); need control and a "
                         "treatment")
    c = matches[0]
    # Control becomes 0; the other labels keep their sorted order as 1..K.
    codes = np.empty(len(unique), dtype=np.int32)
    codes[:c] = np.arange(1, c + 1)
    codes[c] = 0
    codes[c + 1:] = np.arange(c + 1, len(unique))
    return codes[inverse.reshape(-1)], np.delete(unique, c)


def _same_label(label: Any, control: Any) -> bool:
    # A str never equals a number here even where numpy would compare them.
    if isinstance(label, str) != isinstance(control, str):
        return False
    try:
        return bool(label == control)
    except (TypeError, ValueError):
        return False


def encode_outcome(y: Any, n_rows: int) -> np.ndarray:
    """y as int8 0/1; ValueError for a length mismatch or any other value."""
    values = np.asarray(y.to_numpy() if _is_series(y) else y)
    if values.ndim != 1:
        raise ValueError(f"y must be one-dimensional; got shape {values.shape}")
    if len(values) != n_rows:
        raise ValueError(f"y has {len(values)} rows but X has {n_rows}")
    if values.dtype.kind == "b":
        return values.astype(np.int8)
    if values.dtype.kind not in "iuf":
        try:
            values = values.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError("y must hold only 0 and 1 (outcomes); found non-numbers") from None
    bad = (values != 0) & (values != 1)
    if bad.any():
        raise ValueError(f"y must hold only 0 and 1 (outcomes); found {values[bad][0]!r}")
    return values.astype(np.int8)


def select_columns(x: Any, names: Sequence[str]) -> Columns:
    """The columns `names` of `x`, in that order, for prediction.

    A DataFrame or mapping is looked up by name (columns not named are
    ignored; ValueError lists the missing ones); a 2-D array must have
    exactly len(names) columns, taken in order.
    """
    if _is_dataframe(x) or isinstance(x, Mapping):
        available = set(x.columns) if _is_dataframe(x) else set(x.keys())
        missing = [name for name in names if name not in available]
        if missing:
            raise ValueError(f"X is missing feature columns: {', '.join(map(repr, missing))}")
        if _is_dataframe(x):
            dup = [name for name in names if isinstance(x[name], _pandas().DataFrame)]
            if dup:
                raise ValueError(f"X has duplicate columns: {', '.join(map(repr, dup))}")
        columns = read_columns({name: x[name] for name in names})
        if _is_dataframe(x) and all(kind == NUMERIC for kind in columns.kinds):
            columns.matrix = lambda: np.ascontiguousarray(
                x[list(names)].to_numpy(dtype=np.float64, na_value=np.nan))
        return columns
    columns = read_columns(x)
    if len(columns.names) != len(names):
        raise ValueError(f"X has {len(columns.names)} columns but the model was fitted with "
                         f"{len(names)} features")
    columns.names = list(names)
    return columns
