"""Training and prediction of the uplift forests (`UpliftForestClassifier`, `UpliftForestRegressor`) on a Dask cluster.

Needs ``pip install corvane[dask]``; importing `corvane_learn` alone does not
import Dask.

Training is partition-wise: each task grows a share of the forest's trees on
the rows of one partition, on the worker that holds them, and sends back
only its forest as model-file text; the client joins the shares as
`corvane_learn.merge_forests` joins estimators. Each tree therefore sees one partition, much
like bagging on subsamples: partitions should be large, and shuffled so that
each one is a fair sample of the whole data (every partition must hold rows
of every treatment group).

Prediction maps the fitted estimator over the partitions; the model travels
to each worker once, as one task's result that every partition's task
shares.
"""

from __future__ import annotations

import sys
from typing import Any

import dask
import dask.array as da
import numpy as np

from . import _convert
from ._estimator import _UpliftForest, seed_of
from ._merge import merge_fitted

__all__ = ["fit", "predict"]


def _dask_frame_types() -> tuple[type, ...]:
    # Dask DataFrames exist only once dask.dataframe was imported, which
    # needs pandas and pyarrow; users of Dask arrays may have neither.
    ddf = sys.modules.get("dask.dataframe")
    return () if ddf is None else (ddf.DataFrame, ddf.Series)


def _is_frame(value: Any) -> bool:
    types = _dask_frame_types()
    return bool(types) and isinstance(value, types[0])


def _is_series(value: Any) -> bool:
    types = _dask_frame_types()
    return bool(types) and isinstance(value, types[1])


class _Partitioned:
    """One input as a list of per-partition delayed values, with what is known of its layout.

    `divisions` (Dask DataFrame/Series with known divisions) or `sizes` (row
    counts of a Dask array's chunks, when known) is None when unknown.
    """

    def __init__(self, name: str, parts: list[Any], divisions: tuple | None,
                 sizes: tuple[int, ...] | None) -> None:
        self.name = name
        self.parts = parts
        self.divisions = divisions
        self.sizes = sizes


def _partitioned(value: Any, name: str) -> _Partitioned:
    """`value` (X: Dask DataFrame or 2-D array; else Dask Series or 1-D array) by partition.

    The graphs are kept unoptimised so that inputs cut from one collection
    (``frame[features]``, ``frame["treatment"]``) share its tasks instead of
    each computing the whole collection again.
    """
    is_x = name == "X"
    if (_is_frame(value) if is_x else _is_series(value)):
        divisions = tuple(value.divisions) if value.known_divisions else None
        return _Partitioned(name, list(value.to_delayed(optimize_graph=False)), divisions, None)
    if isinstance(value, da.Array):
        ndim = 2 if is_x else 1
        if value.ndim != ndim:
            raise ValueError(f"{name} must be a {ndim}-dimensional Dask array; got shape "
                             f"{value.shape}")
        if is_x and value.numblocks[1] > 1:
            value = value.rechunk({1: -1})
        parts = list(np.asarray(value.to_delayed(optimize_graph=False), dtype=object).ravel())
        sizes = value.chunks[0]
        return _Partitioned(name, parts, None,
                            None if any(np.isnan(s) for s in sizes) else tuple(sizes))
    kind = "a Dask DataFrame or 2-D Dask array" if is_x else "a Dask Series or 1-D Dask array"
    raise TypeError(f"{name} must be {kind}; got {type(value).__name__}")


def _check_alike(x: _Partitioned, other: _Partitioned) -> None:
    """ValueError unless `other` is partitioned like `x`, as far as that is known up front."""
    if len(other.parts) != len(x.parts):
        raise ValueError(f"{other.name} has {len(other.parts)} partitions but X has "
                         f"{len(x.parts)}; partition them alike")
    if x.divisions is not None and other.divisions is not None and x.divisions != other.divisions:
        raise ValueError(f"{other.name} is partitioned differently from X (their divisions "
                         "differ); partition them alike")
    if x.sizes is not None and other.sizes is not None and x.sizes != other.sizes:
        raise ValueError(f"{other.name} has chunks of {other.sizes} rows but X of {x.sizes}; "
                         "partition them alike")


def shares(n_estimators: int, n_partitions: int) -> list[int]:
    """Trees per task: `n_estimators` split as evenly as possible over at most
    `n_partitions` tasks (earlier tasks take the remainder, one tree each)."""
    tasks = min(n_estimators, n_partitions)
    base, extra = divmod(n_estimators, tasks)
    return [base + (1 if i < extra else 0) for i in range(tasks)]


def _client(client: Any) -> Any:
    if client is not None:
        return client
    from distributed import get_client

    try:
        return get_client()
    except ValueError:
        raise ValueError("corvane_learn.dask.fit needs a dask.distributed Client: connect one "
                         "first (Client('tcp://scheduler:8786') or a LocalCluster) or pass "
                         "client=") from None


def _survey_partition(index: int, x: Any, treatment: Any) -> dict[str, Any]:
    """Worker side: what a partition holds, so that the shares agree before any training.

    The column names and dtypes, each feature's kind, the category keys of
    each categorical feature and the distinct treatment labels.
    """
    try:
        features = _convert.read_features(x)
        keys = {name: _convert.encode_categorical(array, name).categories
                for name, array, kind in zip(features.names, features.arrays, features.kinds)
                if kind == _convert.CATEGORICAL}
    except ValueError as error:
        raise ValueError(f"partition {index}: {error}") from None
    dtypes = [str(x[name].dtype) for name in features.names] if _convert.is_dataframe(x) \
        else [str(np.asarray(x).dtype)]
    return {"names": features.names, "kinds": features.kinds, "dtypes": dtypes,
            "categories": keys, "labels": _labels_of(treatment)}


def _agreed(surveys: list[dict[str, Any]], control: Any) -> tuple[list[Any], dict[str, list[str]]]:
    """The treatment labels and categories of all surveyed partitions.

    Raises ValueError (before any training) naming the first partition whose
    columns, dtypes or feature kinds differ from the first one's, and for
    missing labels, an absent control label or a single group.
    """
    first = surveys[0]
    for index, survey in enumerate(surveys[1:], start=1):
        for key, what in (("names", "columns"), ("dtypes", "dtypes"), ("kinds", "feature kinds")):
            if survey[key] != first[key]:
                raise ValueError(f"partition {index} has other {what} than partition 0: "
                                 f"{survey[key]!r} vs {first[key]!r}; every partition must hold "
                                 "the same columns with the same dtypes")
    values = np.unique(np.asarray([label for s in surveys for label in s["labels"]]))
    _convert.encode_treatment(values, control, len(values))
    categories = {name: sorted(set().union(*(s["categories"][name] for s in surveys)))
                  for name in first["categories"]}
    return values.tolist(), categories


def _labels_of(treatment: Any) -> list[Any]:
    values = treatment.to_numpy() if hasattr(treatment, "to_numpy") else np.asarray(treatment)
    return np.unique(values).tolist()


def _fit_partition(index: int, x: Any, y: Any, treatment: Any, cls: type,
                   params: dict[str, Any], labels: list[Any],
                   categories: dict[str, list[str]]) -> bytes:
    """Worker side: a forest of `params` grown on one partition, as model-file text.

    Errors name the partition.
    """
    try:
        for name, part in (("treatment", treatment), ("y", y)):
            if len(part) != len(x):
                raise ValueError(f"{name} has {len(part)} rows but X has {len(x)}; partition "
                                 "them alike")
        present = set(_labels_of(treatment))
        missing = [label for label in labels if label not in present]
        if missing:
            raise ValueError(f"no rows of treatment label(s) {', '.join(map(repr, missing))}: "
                             "every partition needs rows of every treatment group (shuffle the "
                             "rows across partitions)")
        estimator = cls(**params)._fit(x, y, treatment, categories)
    except ValueError as error:
        raise ValueError(f"partition {index}: {error}") from None
    return estimator._to_bytes()


def _partition_seeds(random_state: Any, count: int) -> list[Any]:
    """One seed per task: None (from each worker's operating system) or derived from one seed."""
    seed = seed_of(random_state)
    if seed is None:
        return [None] * count
    return [int(s) for s in np.random.SeedSequence(seed).generate_state(count, np.uint32)]


def fit(estimator: _UpliftForest, X: Any, y: Any, *args: Any, treatment: Any = None,
        client: Any = None) -> _UpliftForest:
    """Trains `estimator` on a Dask cluster, partition by partition, and returns it fitted.

    Parameters
    ----------
    estimator : UpliftForestClassifier or UpliftForestRegressor
        Its hyper-parameters apply to every share of the forest; `n_jobs` is
        the thread count of each task on its worker (-1: all the worker's
        processors). Any earlier fit is discarded, as with `estimator.fit`.
        With an int `random_state` the whole training is reproducible: each
        task's seed is derived from it.
    X : dask.dataframe.DataFrame or 2-D dask.array.Array
        Features, read per partition as `estimator.fit` reads a pandas
        DataFrame or a numpy array (feature names are the DataFrame's
        columns, "x0", "x1", ... for an array).
    y, treatment : dask.dataframe.Series or 1-D dask.array.Array
        Outcomes (0/1 for the classifier, finite numbers for the regressor)
        and treatment labels (keyword-only, as in `estimator.fit`),
        partitioned like `X` (same number of partitions
        and, where known, the same divisions or chunks).
    client : distributed.Client, optional
        The cluster's client; by default the current one (`distributed.get_client()`).

    The `n_estimators` trees are split over the first min(n_estimators,
    partitions) partitions as evenly as possible (shares differ by at most
    one tree; further partitions are not used). A first pass over those
    partitions gathers only their columns' dtypes, the category keys of
    categorical features and the distinct treatment labels, so that every
    share reads categories alike and every partition is checked to hold all
    labels; then each task grows its share on its partition's rows and
    returns only the forest's model-file text; the rows never reach the
    client.

    Raises
    ------
    ValueError
        For an invalid hyper-parameter, inputs partitioned differently,
        partitions with other columns, dtypes or feature kinds than the first
        (named), a missing or single treatment group, no client; and the
        error of a failed task (naming its partition), for instance a
        partition without rows of some treatment group or with an outcome
        the estimator does not take (other than 0/1 for the classifier,
        NaN or infinite for the regressor).
    TypeError
        For inputs that are not Dask collections of the kinds above, or the
        treatment given by position.
    """
    if not isinstance(estimator, _UpliftForest):
        raise TypeError(f"estimator must be an UpliftForestClassifier or "
                        f"UpliftForestRegressor; got {type(estimator).__name__}")
    if args:
        raise TypeError("corvane_learn.dask.fit takes the treatment as a keyword argument: call "
                        "fit(estimator, X, y, treatment=labels). The order fit(estimator, X, "
                        "treatment, y) of earlier versions is refused so that outcomes and "
                        "treatments are never swapped silently.")
    if treatment is None:
        raise TypeError("corvane_learn.dask.fit needs the treatment of every row: "
                        "fit(estimator, X, y, treatment=labels)")
    estimator._validate_params()
    x_parts = _partitioned(X, "X")
    t_parts = _partitioned(treatment, "treatment")
    y_parts = _partitioned(y, "y")
    _check_alike(x_parts, t_parts)
    _check_alike(x_parts, y_parts)
    client = _client(client)

    counts = shares(estimator.n_estimators, len(x_parts.parts))
    survey = dask.delayed(_survey_partition, pure=False)
    futures = client.compute([survey(i, x_parts.parts[i], t_parts.parts[i])
                              for i in range(len(counts))])
    labels, categories = _agreed(_gather(client, futures), estimator.control)

    params = estimator.get_params()
    task = dask.delayed(_fit_partition, pure=False)
    seeds = _partition_seeds(estimator.random_state, len(counts))
    tasks = [task(i, x_parts.parts[i], y_parts.parts[i], t_parts.parts[i], type(estimator),
                  dict(params, n_estimators=share, verbose=0, random_state=seeds[i]), labels,
                  categories)
             for i, share in enumerate(counts)]
    texts = _gather(client, client.compute(tasks))
    parts = [type(estimator)._from_bytes(text, f"of partition {i}")
             for i, text in enumerate(texts)]
    merged = merge_fitted(parts, params)
    for name, value in vars(merged).items():
        if name.endswith("_") or name == "_fitted":
            setattr(estimator, name, value)
    return estimator


def _gather(client: Any, futures: Any) -> Any:
    try:
        return client.gather(futures)
    except BaseException:
        client.cancel(futures)
        raise


def _load(cls: type, text: bytes) -> _UpliftForest:
    return cls._from_bytes(text, "shipped to a worker")


def _predict_part(part: Any, estimator: _UpliftForest, dtypes: list[str] | None = None,
                  partition_info: dict[str, Any] | None = None) -> np.ndarray:
    if dtypes is not None and _convert.is_dataframe(part):
        found = [str(part[name].dtype) for name in estimator.feature_names_in_]
        if found != dtypes:
            where = "a partition" if partition_info is None else \
                f"partition {partition_info['number']}"
            raise ValueError(f"{where} has other dtypes than the Dask DataFrame declares: "
                             f"{found!r} vs {dtypes!r}")
    return estimator.predict(part)


def predict(estimator: _UpliftForest, X: Any) -> Any:
    """Uplift of each treatment over control for each row of a Dask DataFrame or array.

    Returns a lazy `dask.array.Array` of float64, shape (rows, treatments),
    one block per partition of `X`, columns in `estimator.treatments_` order;
    its values equal `estimator.predict` on the same rows. Chunk sizes are
    known for a Dask array input and unknown (NaN) for a DataFrame, whose
    partition lengths Dask does not know (`compute_chunk_sizes()` finds
    them). The model is one task of the graph: each worker receives it once,
    whatever the number of partitions. Nothing runs until the result is
    computed, on the current Dask scheduler.

    Raises ValueError if the estimator is not fitted, a DataFrame lacks a
    feature column or an array's width is not the number of features, TypeError for another kind of `X`; errors of
    `estimator.predict` on a partition surface when computing.
    """
    if not isinstance(estimator, _UpliftForest):
        raise TypeError(f"estimator must be an UpliftForestClassifier or "
                        f"UpliftForestRegressor; got {type(estimator).__name__}")
    # One read of the fitted state: a refit meanwhile cannot mix two fits.
    state = estimator._state()
    text = state.forest.to_bytes(estimator._fields(state))
    blocks = X.npartitions if _is_frame(X) else X.numblocks[0] if isinstance(X, da.Array) else 0
    if blocks == 1:
        # One block needs the model once anyway, and Dask fails to fuse a
        # graph of one partition read from files with a delayed argument
        # ("Cannot fuse tasks with multiple outputs"): the model goes in as is.
        model = _load(type(estimator), text)
    else:
        model = dask.delayed(_load, pure=True)(type(estimator), text)
    width = state.width
    if _is_frame(X):
        missing = [name for name in state.names if name not in X.columns]
        if missing:
            raise ValueError(f"X is missing feature columns: {', '.join(map(repr, missing))}")
        dtypes = [str(X[name].dtype) for name in state.names]
        return X.map_partitions(_predict_part, model, dtypes,
                                meta=np.empty((0, width), np.float64))
    if isinstance(X, da.Array):
        if X.ndim != 2 or X.shape[1] != len(state.names):
            raise ValueError(f"X must be a 2-D Dask array of {len(state.names)} "
                             f"columns; got shape {X.shape}")
        if X.numblocks[1] > 1:
            X = X.rechunk({1: -1})
        return X.map_blocks(_predict_part, model, dtype=np.float64,
                            chunks=(X.chunks[0], (width,)), meta=np.empty((0, 0), np.float64))
    raise TypeError(f"X must be a Dask DataFrame or a 2-D Dask array; got {type(X).__name__}")
