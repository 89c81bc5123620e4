"""A forest whose every tree stays a single leaf only because each split of
the root scored NaN (a treatment group too rare to reach both sides) is
trained with a RuntimeWarning; a forest of single leaves asked for is not."""
import warnings

import pytest

from conftest import FEATURES, OUTCOME, TREATMENT, fit, make_data, new_model, saved_json

WARNING = ("every tree is a single leaf: each candidate split of the root scored NaN because one "
           "side held no rows of some treatment group; the smallest group, treatment code {}, has "
           "only {} rows (gather more rows of it or leave it out)")


def with_rare_group(rare_rows):
    """make_data's rows, the first `rare_rows` of them moved to treatment 2."""
    data = make_data(2000, seed=4)
    data[TREATMENT] = [2 if i < rare_rows else t for i, t in enumerate(data[TREATMENT])]
    return data


def fit_warnings(tmp_path, data, **params):
    model = new_model(**dict(dict(n_estimators=3, max_depth=3, min_sample_leaf=5), **params))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit(model, data)
    roots = [tree["nodes"][0] for tree in saved_json(model, tmp_path / "m.json")["trees"]]
    return [str(w.message) for w in caught if w.category is RuntimeWarning], roots


def test_one_row_group_warns(tmp_path):
    # One row of treatment 2 lies on one side of any split; the other side has
    # no such row, its rate is 0/0 and every gain is NaN.
    messages, roots = fit_warnings(tmp_path, with_rare_group(1))
    assert messages == [WARNING.format(2, 1)]
    assert len(roots) == 3 and all(root["prob"] for root in roots)


@pytest.mark.parametrize("data, params", [
    (with_rare_group(1), dict(max_depth=0)),          # single leaves asked for
    (with_rare_group(1), dict(max_features=0)),       # no candidate at all
    (with_rare_group(1), dict(min_sample_leaf=1000)),  # no side large enough
    (with_rare_group(100), {}),                       # the group is rare, not absent
    (make_data(2000, seed=4), dict(max_bins=2)),      # a real search
], ids=["depth 0", "no features", "leaf too large", "rare group", "plain"])
def test_no_warning(tmp_path, data, params):
    messages, roots = fit_warnings(tmp_path, data, **params)
    assert messages == []
    assert len(roots) == 3


def test_warning_as_error_keeps_the_trees(tmp_path):
    model = new_model(n_estimators=2, max_depth=2, min_sample_leaf=5)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            model.fit(with_rare_group(1), FEATURES, TREATMENT, OUTCOME, 2)
    assert len(saved_json(model, tmp_path / "m.json")["trees"]) == 2
