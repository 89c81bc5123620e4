import math
import sys

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
    # Outcomes are any finite numbers (sums of outcomes), never text or NaN.
    with pytest.raises(ValueError, match="must hold finite numbers"):
        metrics.auuc_score(["2", "0", "0", "1"], SCORE, T)
    with pytest.raises(ValueError, match="in row 2"):
        metrics.auuc_score([2.0, 0.0, float("nan"), 1.0], SCORE, T)
    with pytest.raises(ValueError, match="differ in length"):
        metrics.auuc_score(Y[:3], SCORE, T)


# Six rows with a three-row tie in the middle (by rank): treated positive;
# then tied at 0.5 a control negative, a treated negative, a control
# positive; then tied at 0.1 a treated negative and a control negative.
TY = [1, 0, 0, 1, 0, 0]
TS = [0.9, 0.5, 0.5, 0.5, 0.1, 0.1]
TT = [1, 0, 1, 0, 1, 0]


@pytest.mark.parametrize("args, kwargs, expected", [
    # Top 2 of Y/SCORE/T: the treated positive and the control negative.
    ((Y, SCORE, T), {"k": 2}, 1 / 1 - 0 / 1),
    ((Y, SCORE, T), {"k": 0.5}, 1 / 1 - 0 / 1),       # floor(0.5 * 4) = 2 rows
    ((Y, SCORE, T), {"k": 3}, 1 / 2 - 0 / 1),
    ((Y, SCORE, T), {"k": 1.0}, 1 / 2 - 1 / 2),
    ((Y, SCORE, T), {"k": 1}, math.nan),               # no control row among the top 1
    # Top 2 of the tied rows: the first row whole and 1/3 of the 0.5 group
    # (1/3 of a treated negative, 2/3 control rows holding 1/3 positive):
    # n_t = 4/3, y_t = 1, n_c = 2/3, y_c = 1/3.
    ((TY, TS, TT), {"k": 2}, 1 / (4 / 3) - (1 / 3) / (2 / 3)),
    # Top floor(0.5 * 6) = 3: 2/3 of the group: n_t = 5/3, y_t = 1, n_c = 4/3, y_c = 2/3.
    ((TY, TS, TT), {"k": 0.5}, 1 / (5 / 3) - (2 / 3) / (4 / 3)),
    # by_group: treated alone rank (0.9, 1), (0.5, 0), (0.1, 0); control alone
    # (0.5, 0), (0.5, 1) tied, then (0.1, 0). Top 1 of each: 1 and half of the
    # tied pair, 1/2 positive.
    ((TY, TS, TT), {"k": 1, "strategy": "by_group"}, 1.0 - 0.5),
    ((TY, TS, TT), {"k": 0.5, "strategy": "by_group"}, 1.0 - 0.5),  # floor(1.5) = 1 each
    ((TY, TS, TT), {"k": 2, "strategy": "by_group"}, 1 / 2 - 1 / 2),
])
def test_uplift_at_k_by_hand(args, kwargs, expected):
    result = metrics.uplift_at_k(*args, **kwargs)
    assert result == pytest.approx(expected, nan_ok=True)


def test_uplift_at_k_rounds_fractions_to_the_intended_rows():
    # 0.58 * 50 is 28.999999999999996 in floating point; k=0.58 must take 29
    # rows. Rows alternate treated/control by rank and only rank 28 (treated)
    # is positive: the top 29 hold 15 treated rows (one positive) and 14 control.
    y = np.zeros(50, dtype=int)
    y[28] = 1
    args = (y, -np.arange(50.0), np.arange(50) % 2 == 0)
    assert metrics.uplift_at_k(*args, treated=True, control=False, k=0.58) == pytest.approx(1 / 15)
    assert metrics.uplift_at_k(*args, treated=True, control=False, k=28) == 0.0


# Eight rows with distinct scores, by rank: (treated, y) =
# (1,1) (1,0) (0,0) (1,1) (0,1) (1,0) (0,0) (0,1).
PY = [1, 0, 0, 1, 1, 0, 0, 1]
PS = [0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2, 0.1]
PT = [1, 1, 0, 1, 0, 1, 0, 0]
NAN = math.nan


@pytest.mark.parametrize("kwargs, rate, variance, n", [
    # Four bins of two rows: treated rows (y 1, 0), (1), (0), none.
    ({"bins": 4}, [0.5, 1, 0, NAN], [0.25 / 2, 0, 0, NAN], [2, 1, 1, 0]),
    ({"bins": 4, "group": "control"}, [NAN, 0, 1, 0.5], [NAN, 0, 0, 0.25 / 2], [0, 1, 1, 2]),
    # Treated alone: y 1, 0, 1, 0 in rank order.
    ({"bins": 2, "strategy": "by_group"}, [0.5, 0.5], [0.25 / 2, 0.25 / 2], [2, 2]),
    ({"bins": 4, "strategy": "by_group", "group": "control"}, [0, 1, 0, 1], [0] * 4, [1] * 4),
])
def test_response_rate_by_percentile_by_hand(kwargs, rate, variance, n):
    got_rate, got_variance, got_n = metrics.response_rate_by_percentile(PY, PS, PT, **kwargs)
    assert np.allclose(got_rate, rate, equal_nan=True)
    assert np.allclose(got_variance, variance, equal_nan=True)
    assert got_n.tolist() == n and got_n.dtype == np.int64


@pytest.mark.parametrize("kwargs, expected", [
    # Two bins: first treated 2/3 (3 rows) vs control 0 (1 row), second treated
    # 0 (1 row) vs control 2/3 (3 rows): (3 * 2/3 + 1 * (-2/3)) / (3 + 1).
    ({"bins": 2}, (3 * 2 / 3 + 1 * (-2 / 3)) / 4),
    # Four bins: only bins 2 (1 - 0) and 3 (0 - 1) hold both groups, 1 treated each.
    ({"bins": 4}, (1 * 1 + 1 * -1) / 2),
    # Ten bins of eight rows: no bin holds more than one row, so none has an uplift.
    ({}, NAN),
    # by_group, two bins: treated 1/2, 1/2 and control 1/2, 1/2.
    ({"bins": 2, "strategy": "by_group"}, 0.0),
])
def test_weighted_average_uplift_by_hand(kwargs, expected):
    result = metrics.weighted_average_uplift(PY, PS, PT, **kwargs)
    assert result == pytest.approx(expected, nan_ok=True)


def test_bins_keep_tie_groups_whole():
    # Ten rows into five bins; the six tied rows (ranks 1..6, mean rank 3.5)
    # go whole to bin floor(5 * 3.5 / 10) + 1 = 2, leaving bin 3 empty; rank 7
    # goes to bin 4, ranks 8 and 9 to bin 5.
    score = [0.9] + [0.5] * 6 + [0.2, 0.1, 0.0]
    t = [1, 0, 1, 0, 1, 0, 1, 0, 1, 0]
    y = [1, 0, 1, 1, 0, 0, 0, 1, 1, 0]
    table = metrics.uplift_by_decile(y, score, t, bins=5)
    assert np.asarray(table["decile"]).tolist() == [1, 2, 3, 4, 5]
    assert np.asarray(table["n_treated"]).tolist() == [1, 3, 0, 0, 1]
    assert np.asarray(table["n_control"]).tolist() == [0, 3, 0, 1, 1]
    # Bin 2: treated (1, 0, 0) -> 1/3, control (0, 1, 0) -> 1/3; bin 5: 1 - 0.
    assert np.allclose(np.asarray(table["uplift"]), [NAN, 0.0, NAN, NAN, 1.0], equal_nan=True)
    assert np.allclose(np.asarray(table["predicted_uplift"]), [0.9, 0.5, NAN, 0.2, 0.05],
                       equal_nan=True)
    rate, _, n = metrics.response_rate_by_percentile(y, score, t, bins=5)
    assert n.tolist() == [1, 3, 0, 0, 1] and np.isnan(rate[2])


def test_uplift_by_decile_without_pandas_is_the_same_table(monkeypatch):
    pd = pytest.importorskip("pandas")
    frame = metrics.uplift_by_decile(PY, PS, PT, bins=4)
    assert isinstance(frame, pd.DataFrame)
    monkeypatch.setitem(sys.modules, "pandas", None)
    table = metrics.uplift_by_decile(PY, PS, PT, bins=4)
    assert type(table) is dict and list(table) == list(frame.columns)
    for name, column in table.items():
        assert column.dtype == frame[name].dtype and column.shape == (4,), name
        assert np.array_equal(column, frame[name].to_numpy(), equal_nan=True), name
    assert table["n_treated"].dtype == np.int64 and table["uplift"].dtype == np.float64


def test_new_metrics_ignore_the_order_of_tied_rows():
    rng = np.random.default_rng(5)
    n = 300
    y, t = rng.integers(0, 2, n), rng.integers(0, 2, n)
    score = rng.integers(0, 4, n) / 3.0  # four tie groups
    results = []
    for seed in range(3):
        perm = np.random.default_rng(seed).permutation(n)
        args = (y[perm], score[perm], t[perm])
        results.append([metrics.uplift_at_k(*args, k=0.3),
                        metrics.uplift_at_k(*args, k=50, strategy="by_group"),
                        metrics.weighted_average_uplift(*args, strategy="by_group"),
                        *metrics.response_rate_by_percentile(*args, bins=7)[0].tolist()])
    assert np.allclose(results[0], results[1], equal_nan=True)
    assert np.allclose(results[0], results[2], equal_nan=True)


@pytest.mark.parametrize("call, message", [
    (lambda: metrics.uplift_at_k(Y, SCORE, T, k=5), "k=5 rows is not between 1 and the 4"),
    (lambda: metrics.uplift_at_k(Y, SCORE, T, k=3, strategy="by_group"), "the 2 treated rows"),
    (lambda: metrics.uplift_at_k(Y, SCORE, T, k=1.5), "not a fraction"),
    (lambda: metrics.uplift_at_k(Y, SCORE, T, k=True), "k must be"),
    (lambda: metrics.uplift_at_k(Y, SCORE, T, strategy="top"), "strategy must be"),
    (lambda: metrics.weighted_average_uplift(Y, SCORE, T, bins=0), "bins must be"),
    (lambda: metrics.response_rate_by_percentile(Y, SCORE, T, group="treated"), "group must"),
    (lambda: metrics.uplift_by_decile(Y, SCORE, T, bins=2.5), "bins must be"),
])
def test_argument_errors_name_the_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call()


# Six rows of dollar outcomes, ranked as given: treated 30, control 0,
# treated 10, control 20, treated 0, control 5.
SPEND = [30.0, 0.0, 10.0, 20.0, 0.0, 5.0]
SPEND_SCORE = [0.9, 0.8, 0.7, 0.6, 0.5, 0.4]
SPEND_T = [1, 0, 1, 0, 1, 0]


def test_real_outcomes_are_summed_by_hand():
    # top k : n_t y_t n_c y_c -> q = y_t - y_c n_t/n_c ; u = (y_t/n_t - y_c/n_c) k
    #   1   :  1  30   0   0  -> 30 ; 0 (no control yet)
    #   2   :  1  30   1   0  -> 30 ; 60
    #   3   :  2  40   1   0  -> 40 ; 60
    #   4   :  2  40   2  20  -> 20 ; 40
    #   5   :  3  40   2  20  -> 10 ; 50/3
    #   6   :  3  40   3  25  -> 15 ; 30
    args = (SPEND, SPEND_SCORE, SPEND_T)
    assert metrics.qini_curve(*args)[1].tolist() == [0, 30, 30, 40, 20, 10, 15]
    assert np.allclose(metrics.uplift_curve(*args)[1], [0, 0, 60, 60, 40, 50 / 3, 30])
    # Qini area 15 + 30 + 35 + 30 + 15 + 12.5 = 137.5, random 6 * 15 / 2 = 45.
    # Perfect (treated by outcome, control by the outcome negated): T30, T10,
    # {T0, C0} tied, C5, C20: q = 30, 40, 40 (k=4), 32.5, 15; area 190.
    assert metrics.qini_score(*args) == pytest.approx(92.5 / 145)
    assert metrics.qini_score(*args, normalize="rows") == pytest.approx(92.5 / 36)
    # AUUC: area 575/3 over 36, less u(N)/N/2 = 2.5.
    assert metrics.auuc_score(*args) == pytest.approx(575 / 108 - 2.5)
    with pytest.raises(ValueError, match="needs 0/1 outcomes; use normalize='rows'"):
        metrics.auuc_score(*args, normalize="perfect")
    # Top 3 rows: treated 30 and 10, control 0; top 4 adds control 20; ranked
    # within groups, the top 2 treated (30, 10) against the top 2 control (0, 20).
    assert metrics.uplift_at_k(*args, k=0.5) == 20.0
    assert metrics.uplift_at_k(*args, k=4) == 10.0
    assert metrics.uplift_at_k(*args, k=2, strategy="by_group") == 10.0
    # Three bins of a treated and a control row each: 30 - 0, 10 - 20, 0 - 5.
    table = metrics.uplift_by_decile(*args, bins=3)
    assert np.asarray(table["uplift"]).tolist() == [30.0, -10.0, -5.0]
    assert np.asarray(table["response_rate_control"]).tolist() == [0.0, 20.0, 5.0]
    assert metrics.weighted_average_uplift(*args, bins=3) == pytest.approx(5.0)
    # Two bins: treated 30, 10 | 0 and control 0 | 20, 5; the variance of a
    # bin's mean is the mean squared deviation over the rows, over the rows.
    mean, variance, n = metrics.response_rate_by_percentile(*args, bins=2)
    assert mean.tolist() == [20.0, 0.0] and variance.tolist() == [50.0, 0.0]
    assert n.tolist() == [2, 1]
    mean, variance, _ = metrics.response_rate_by_percentile(*args, bins=2, group="control")
    assert mean.tolist() == [0.0, 12.5] and variance.tolist() == [0.0, 28.125]
