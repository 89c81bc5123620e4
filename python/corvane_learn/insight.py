"""Looking into a fitted forest: permutation importance, Shapley values and the trees.

`permutation_importance` measures how much the Qini coefficient on held-out
rows drops when one feature's values are shuffled. `shap_values` gives the
exact Shapley values of each row's predicted uplift per feature and
treatment (see `corvane_learn._shap`). `export_text` and
`plot_tree` (needs matplotlib, drawn without graphviz) show one tree: its
splits with feature names, thresholds and categories, and each leaf's
uplifts and row counts.

Row counts are the training rows that reached the node, or with `honesty`
its estimation rows (see `UpliftForestClassifier`); a leaf whose rows miss
some group shows its own rows although its values are its nearest complete
ancestor's. Plain model files of the extension keep no row counts; their
trees are shown without them.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _convert
from ._shap import TreatmentExplanation, UpliftExplanation, shap_values

__all__ = ["TreatmentExplanation", "UpliftExplanation", "export_text", "permutation_importance",
           "plot_tree", "shap_values"]


def _shuffled(X: Any, column: int, name: str, order: np.ndarray) -> Any:
    """A copy of X whose feature `column` (named `name`) has its rows in `order`."""
    if _convert.is_dataframe(X):
        copy = X.copy(deep=False)
        copy[name] = X[name].iloc[order].to_numpy()
        return copy
    if isinstance(X, dict):
        copy = dict(X)
        column_values = X[name]
        if not isinstance(column_values, np.ndarray):
            column_values = _convert._object_array(column_values)
        copy[name] = column_values[order]
        return copy
    array = np.array(X, dtype=None if isinstance(X, np.ndarray) else object)
    array[:, column] = array[order, column]
    return array


def _uplift_forest(estimator: Any) -> Any:
    """The fitted uplift forest itself, or the last step of a Pipeline ending in one."""
    from ._estimator import _UpliftForest, final_step

    step = final_step(estimator, lambda s: isinstance(s, _UpliftForest))
    if step is None:
        raise TypeError(f"permutation_importance needs a fitted UpliftForestClassifier or "
                        f"UpliftForestRegressor, or a Pipeline ending in one; got "
                        f"{type(estimator).__name__}")
    return step


def permutation_importance(estimator: Any, X: Any, y: Any, *, treatment: Any, n_repeats: int = 5,
                           random_state: Any = None) -> Any:
    """Drop of the Qini coefficient when each feature is shuffled, on (X, y, treatment).

    The score is what `estimator.score` gives (the Qini coefficient averaged
    over treatments). For each feature, its values are permuted across rows
    `n_repeats` times (the other features and the outcomes stay), and the
    importance is the unshuffled score minus each shuffled score. Use
    held-out rows: on training rows it measures what the forest memorised.

    `estimator` is a fitted `UpliftForestClassifier` or
    `UpliftForestRegressor` (whose score is the Qini coefficient on the
    outcome's sums), or a fitted scikit-learn Pipeline ending in one; the features shuffled are then
    the columns of `X` as the Pipeline takes them. The fitted state is read
    once, so a refit meanwhile does not mix two forests.

    Cost: `X` is converted once; each shuffle then re-reads one column and
    predicts all rows, so the time is about features x `n_repeats`
    predictions of `X` (a feature that no split tests changes no prediction
    and costs nothing: its drops are 0). Through a Pipeline every shuffle
    also runs the Pipeline's transforms on the whole of `X`.

    Returns a `sklearn.utils.Bunch` with `importances` (features x repeats),
    `importances_mean`, `importances_std` and `feature_names`, in the order
    of `estimator.feature_names_in_` (for a Pipeline, of the columns of X).
    """
    from sklearn.utils import Bunch

    if not isinstance(n_repeats, (int, np.integer)) or isinstance(n_repeats, bool) or \
            n_repeats < 1:
        raise ValueError(f"n_repeats must be a positive integer; got {n_repeats!r}")
    forest = _uplift_forest(estimator)
    state = forest._state()
    rng = np.random.default_rng(random_state if not isinstance(
        random_state, np.random.RandomState) else random_state.randint(2**31))

    if forest is estimator:
        columns, n_rows = forest._columns(state, X)
        names = list(state.names)
        # A feature no split tests changes no prediction: its drops are 0 exactly.
        tested = np.asarray(state.forest.importance("split")) > 0

        def score(j: int | None, order: np.ndarray | None) -> float:
            shuffled = columns if j is None else [
                c[order] if i == j else c for i, c in enumerate(columns)]
            return forest._score_uplift(state, forest._predict_columns(state, shuffled, n_rows),
                                        y, treatment)
    else:
        head = estimator[:-1] if len(estimator.steps) > 1 else None
        features = _convert.read_features(X)
        names, n_rows = list(features.names), features.n_rows
        del features
        tested = np.ones(len(names), dtype=bool)

        def score(j: int | None, order: np.ndarray | None) -> float:
            shuffled = X if j is None else _shuffled(X, j, names[j], order)
            inner = shuffled if head is None else head.transform(shuffled)
            return forest._score_uplift(state, forest._predict_with(state, inner), y, treatment)

    # Converted once for all the scores (and checked before any of them).
    y = _convert.outcome_values(y, n_rows=n_rows, kind=state.outcome)
    treatment = np.asarray(treatment.to_numpy() if _convert.is_series(treatment) else treatment)
    baseline = score(None, None)
    scores = np.full((len(names), n_repeats), baseline)
    for j in range(len(names)):
        for r in range(n_repeats):
            # Drawn for every feature, so that each feature's shuffles stay
            # the same whichever features are skipped.
            order = rng.permutation(n_rows)
            if tested[j]:
                scores[j, r] = score(j, order)
    drops = baseline - scores
    return Bunch(importances=drops, importances_mean=drops.mean(axis=1),
                 importances_std=drops.std(axis=1), feature_names=np.asarray(names, dtype=object))


class _Node:
    """One stored node of a tree, as `Forest.tree` lists them."""

    def __init__(self, tree: dict[str, list], k: int, names: tuple[str, ...]) -> None:
        self.position = tree["positions"][k]
        feature = tree["features"][k]
        self.feature = None if feature < 0 else names[feature]
        self.test = tree["thresholds"][k]
        self.values = tree["values"][k]
        self.counts = tree["counts"][k]
        self.rows: int | None = tree["rows"][k]

    def condition(self) -> str:
        if isinstance(self.test, str):
            return f"{self.feature} == {self.test!r}"
        # The threshold is a 32-bit float, and so is the value tested: printed
        # with the fewest digits that give that float back, so that reading
        # the rule sends every row the way the tree does.
        return f"{self.feature} <= {float(str(np.float32(self.test)))!r}"


def _tree(estimator: Any, tree_index: int) -> tuple[list[Any], dict[int, _Node]]:
    """The treatment labels and the stored nodes of one tree, from one fitted state."""
    state = estimator._state()
    if isinstance(tree_index, bool) or not isinstance(tree_index, (int, np.integer)):
        raise TypeError(f"tree_index must be an integer; got {tree_index!r}")
    n_trees = state.forest.info()["n_trees"]
    if not 0 <= tree_index < n_trees:
        raise IndexError(f"tree_index must be in [0, {n_trees}); got {tree_index}")
    tree = state.forest.tree(int(tree_index))
    return state.treatments.tolist(), {node.position: node for node in (
        _Node(tree, k, state.names) for k in range(len(tree["positions"])))}


def _leaf_text(node: _Node, treatments: list[Any]) -> str:
    uplifts = ", ".join(f"{t}: {v:+.4f}" for t, v in zip(treatments, node.values))
    rows = "" if node.rows is None else f"; {node.rows} rows"
    return f"uplift {uplifts}{rows}"


def export_text(estimator: Any, tree_index: int = 0) -> str:
    """One tree as indented text: each split's test, each leaf's uplifts and rows.

    A numeric split reads "feature <= threshold" (NaN goes right, to the
    "else" side), a categorical one "feature == 'category'". The tree
    compares values as 32-bit floats; the threshold is printed with the
    fewest digits that give its 32-bit float back, so a row's value read
    as a 32-bit float goes left exactly when it is at most the number shown. A leaf lists
    its uplift per treatment (the treated group's positive rate minus the
    control group's, or for `UpliftForestRegressor` its mean outcome minus
    the control group's, in the outcome's units) and, where the model keeps
    them, the rows its values rest on.
    """
    treatments, nodes = _tree(estimator, tree_index)
    lines: list[str] = []

    def walk(position: int, depth: int) -> None:
        node = nodes.get(position)
        pad = "|   " * depth
        if node is None:
            lines.append(f"{pad}(no node)")
            return
        if node.feature is None:
            lines.append(f"{pad}{_leaf_text(node, treatments)}")
            return
        rows = "" if node.rows is None else f"  ({node.rows} rows)"
        lines.append(f"{pad}if {node.condition()}:{rows}")
        walk(2 * position + 1, depth + 1)
        lines.append(f"{pad}else:")
        walk(2 * position + 2, depth + 1)

    walk(0, 0)
    return "\n".join(lines) + "\n"


def plot_tree(estimator: Any, tree_index: int = 0, ax: Any = None) -> Any:
    """Draws one tree with matplotlib (no graphviz) and returns the Axes.

    Splits show their test and rows, leaves their uplifts and rows; the left
    branch of a split is where its test holds. Leaves are coloured by the
    first treatment's uplift (red for negative, green for positive). Without
    `ax`, a new figure is made, wide enough for the tree's leaves.
    """
    treatments, nodes = _tree(estimator, tree_index)
    leaves = sum(1 for p in nodes if nodes[p].feature is None)
    if ax is None:
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("plot_tree needs matplotlib: pip install corvane[plot]") from None
        ax = plt.subplots(figsize=(max(6.0, 1.25 * leaves), 4.5))[1]
    depth = max((p + 1).bit_length() - 1 for p in nodes)
    # Leaves are spread evenly; a split sits above the middle of its leaves.
    places: dict[int, tuple[float, float]] = {}
    next_leaf = [0]

    def place(position: int, level: int) -> float:
        node = nodes.get(position)
        y = -float(level)
        if node is None or node.feature is None:
            x = float(next_leaf[0])
            # Every other leaf a little lower, so that wide labels of
            # neighbouring leaves do not overlap.
            y -= 0.45 * (next_leaf[0] % 2)
            next_leaf[0] += 1
        else:
            x = (place(2 * position + 1, level + 1) + place(2 * position + 2, level + 1)) / 2
        places[position] = (x, y)
        return x

    place(0, 0)
    scale = max(abs(n.values[0]) for n in nodes.values() if n.feature is None and n.values) or 1.0
    for position in sorted(places):  # the root first, then level by level
        x, y = places[position]
        node = nodes.get(position)
        if position:
            px, py = places[(position - 1) // 2]
            ax.plot([px, x], [py, y], color="0.6", linewidth=0.8, zorder=1)
        if node is None:
            continue
        if node.feature is None:
            label = "\n".join(f"{t}: {v:+.3f}" for t, v in zip(treatments, node.values))
            colour = (0.85, 0.3, 0.3) if node.values[0] < 0 else (0.3, 0.7, 0.4)
            strength = 0.25 + 0.6 * min(1.0, abs(node.values[0]) / scale)
            # Blended with white rather than transparent: edges stay behind.
            face = tuple(1.0 - strength * (1.0 - c) for c in colour)
        else:
            label = node.condition()
            face = (0.92, 0.92, 0.95)
        if node.rows is not None:
            label += f"\n{node.rows} rows"
        ax.text(x, y, label, ha="center", va="center", fontsize=7, zorder=2,
                bbox=dict(boxstyle="round,pad=0.3", facecolor=face, edgecolor="0.5"))
    ax.set_xlim(-0.7, max(next_leaf[0] - 0.3, 0.7))
    ax.set_ylim(-depth - 1.0, 0.6)
    ax.set_axis_off()
    ax.set_title(f"tree {tree_index} (left: the test holds)")
    return ax
