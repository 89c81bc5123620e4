import math

import numpy as np
import pytest

from corvane_learn import metrics

# Four rows, ranked as given: treated positive, control negative, treated
# negative, control positive.
Y = [1, 0, 0, 1]
SCORE = [0.9, 0.8, 0.7, 0.6]
T = [1, 0, 1, 0]


def test_curves_by_hand():
    # top k : n_t y_t n_c y_c
    #   1   :  1   1   0   0  -> u = 0 (no control yet), q = 1 - 0        = 1
    #   2   :  1   1   1   0  -> u = (1/1 - 0/1) * 2 = 2,  q = 1 - 0*1/1  = 1
    #   3   :  2   1   1   0  -> u = (1/2 - 0/1) * 3 = 1.5, q = 1 - 0*2/1 = 1
    #   4   :  2   1   2   1  -> u = (1/2 - 1/2) * 4 = 0,  q = 1 - 1*2/2  = 0
    x, u = metrics.uplift_curve(Y, SCORE, T)
    assert x.tolist() == [0, 1, 2, 3, 4]
    assert u.tolist() == [0.0, 0.0, 2.0, 1.5, 0.0]
    x, q = metrics.qini_curve(Y, SCORE, T)
    assert q.tolist() == [0.0, 1.0, 1.0, 1.0, 0.0]


def test_scores_by_hand():
    # AUUC on f = k/4 and u/4 = 0, 0, .5, .375, 0; trapezoids of width .25:
    # .25 * (0 + 0 + .5 + .5 + .375 + .375 + 0) / 2 = 0.21875; random line ends at 0.
    assert metrics.auuc_score(Y, SCORE, T) == pytest.approx(0.21875)
    # Reversed order: k=1 control positive (u 0, q 0 - 1*0/1 = 0); k=2 + treated
    # negative: u = (0 - 1) * 2 = -2, q = 0 - 1*1/1 = -1; k=3 + control negative:
    # u = (0 - 1/2) * 3 = -1.5, q = 0 - 1*1/2 = -.5; k=4: u = 0, q = 0.
    # AUUC = .25 * (0 - .5 - .5 - .375 - .375 + 0) / 2 = -0.21875.
    assert metrics.auuc_score(Y, [-s for s in SCORE], T) == pytest.approx(-0.21875)
    # Qini areas (unit steps): model 0.5 + 1 + 1 + 0.5 = 3, random 0 (q(N) = 0);
    # the perfect model (treated positive, then the two zeros tied, then the
    # control positive) has q = 1 at k=1 and k=3: area 0.5 + 2 + 0.5 = 3.
    assert metrics.qini_score(Y, SCORE, T) == pytest.approx(1.0)
    # Reversed: areas 0 - 0.5 - 0.75 - 0.25 = -1.5, so -1.5 / 3.
    assert metrics.qini_score(Y, [-s for s in SCORE], T) == pytest.approx(-0.5)


def test_ties_do_not_depend_on_row_order():
    rng = np.random.default_rng(0)
    n = 400
    y = rng.integers(0, 2, n)
    t = rng.integers(0, 2, n)
    score = rng.integers(0, 5, n) / 4.0  # five tie groups
    # Within the first tie group the curve must jump straight to its end:
    # (0, 0) is followed by the count of rows in the top group.
    x, _ = metrics.qini_curve(y, score, t)
    assert x[1] == np.sum(score == 1.0) and len(x) == 6
    results = []
    for seed in range(3):
        perm = np.random.default_rng(seed).permutation(n)
        args = (y[perm], score[perm], t[perm])
        table = metrics.uplift_by_decile(*args)
        results.append((metrics.auuc_score(*args), metrics.qini_score(*args),
                        metrics.uplift_curve(*args)[1].tolist(),
                        np.nan_to_num(np.asarray(table["uplift"]), nan=-9.0).tolist()))
    assert results[0] == results[1] == results[2]


def test_ranking_quality_orders_the_scores():
    rng = np.random.default_rng(1)
    n = 20000
    x = rng.random(n)
    t = rng.integers(0, 2, n)
    effect = np.where(x > 0.5, 0.3, -0.1)
    y = (rng.random(n) < 0.3 + effect * t).astype(int)
    for score in (metrics.auuc_score, metrics.qini_score):
        perfect = score(y, effect + x * 1e-3, t)
        random = score(y, rng.random(n), t)
        reversed_ = score(y, -effect - x * 1e-3, t)
        assert perfect > random + 0.02 > reversed_ + 0.04, score.__name__


def test_other_groups_and_labels():
    # Rows of group 2 are ignored; string labels select by treated/control.
    y2 = Y + [1, 1, 0]
    s2 = SCORE + [0.95, 0.1, 0.5]
    t2 = T + [2, 2, 2]
    assert metrics.auuc_score(y2, s2, t2) == pytest.approx(0.21875)
    names = ["mail" if v else "none" for v in T]
    assert metrics.qini_score(Y, SCORE, names, treated="mail", control="none") == 1.0
    with pytest.raises(ValueError, match="no row has the treated label 1"):
        metrics.qini_score(Y, SCORE, names)


def test_uplift_by_decile_by_hand():
    # 20 rows, two per decile; in decile d (scores 1 - d/20) one treated and
    # one control row; the treated row is positive in the first five deciles,
    # the control row in the last two.
    score = np.repeat(1 - np.arange(10) / 20, 2)
    t = np.tile([1, 0], 10)
    y = np.zeros(20, dtype=int)
    y[0:10:2] = 1
    y[17::2] = 1
    table = metrics.uplift_by_decile(y, score, t)
    assert np.asarray(table["decile"]).tolist() == list(range(1, 11))
    assert np.asarray(table["n_treated"]).tolist() == [1] * 10
    assert np.asarray(table["uplift"]).tolist() == [1.0] * 5 + [0.0] * 3 + [-1.0] * 2
    assert np.allclose(np.asarray(table["predicted_uplift"]), 1 - np.arange(10) / 20)


def test_degenerate_inputs():
    assert math.isnan(metrics.qini_score([0, 0, 0, 0], SCORE, T))
    with pytest.raises(ValueError, match="only 0 and 1"):
        metrics.auuc_score([2, 0, 0, 1], SCORE, T)
    with pytest.raises(ValueError, match="differ in length"):
        metrics.auuc_score(Y[:3], SCORE, T)
