import numpy as np
import pytest

from corvane_learn import metrics

# Six rows, by rank: A (0.9, treated, revenue 2.5); B, C, D tied at 0.5
# (control 0, treated 1, control 1); E, F tied at 0.1 (treated 0, control 0).
# ê = 3/6, so Γ = 2y for treated rows and -2y for control rows:
# A 5, B 0, C 2, D -2, E 0, F 0; mean 5/6. Tie groups share their mean:
# B, C, D get 0 each, E, F 0 each. Sums over the top k: 5 for every k, so
# TOC(k/6) = 5/k - 5/6 = 25/6, 10/6, 5/6, 5/12, 1/6, 0.
RY = [2.5, 0, 1, 1, 0, 0]
RS = [0.9, 0.5, 0.5, 0.5, 0.1, 0.1]
RT = [1, 0, 1, 0, 1, 0]


@pytest.mark.parametrize("target, expected", [
    # (25/6 + 10/6 + 5/6 + 5/12 + 1/6 + 0) / 6 = (87/12) / 6
    ("AUTOC", 87 / 72),
    # (1/36) * sum_k k TOC(k/6) = (1/36) * sum_k (5 - 5k/6) = (30 - 17.5) / 36
    ("QINI", 12.5 / 36),
])
def test_rate_score_by_hand(target, expected):
    assert metrics.rate_score(RY, RS, RT, target=target) == pytest.approx(expected)
    # The order of tied rows, and rows of another group, change nothing.
    order = [5, 3, 0, 2, 4, 1]
    assert metrics.rate_score(np.r_[np.take(RY, order), 9.0], np.r_[np.take(RS, order), 1.0],
                              np.r_[np.take(RT, order), 2], target=target) == pytest.approx(
        expected)


def test_toc_curve_by_hand():
    q, toc = metrics.toc_curve(RY, RS, RT)
    assert np.allclose(q, [1 / 6, 4 / 6, 1.0])
    assert np.allclose(toc, [25 / 6, 5 / 12, 0.0])


def test_rate_score_arguments():
    with pytest.raises(ValueError, match="target must be 'AUTOC' or 'QINI'"):
        metrics.rate_score(RY, RS, RT, target="auc")
    with pytest.raises(ValueError, match="y_true holds nan in row 0"):
        metrics.rate_score([np.nan, 0, 1, 1, 0, 0], RS, RT)


# The four rows of test_learn_metrics: uplift curve u = 0, 0, 2, 1.5, 0 at
# k = 0..4 (area 3.5), Qini curve 0, 1, 1, 1, 0 (area 3); both random lines
# end at 0.
Y, SCORE, T = [1, 0, 0, 1], [0.9, 0.8, 0.7, 0.6], [1, 0, 1, 0]


def test_normalisations_by_hand():
    # The uplift curve's perfect ranking takes the treated positive and the
    # control negative first, u(2) = (1/1 - 0/1) * 2 = 2, then the treated
    # negative, u(3) = (1/2 - 0/1) * 3 = 1.5, the control positive last,
    # u(4) = 0: area 2 + 1.75 + 0.75 = 4.5.
    assert metrics.auuc_score(Y, SCORE, T, normalize="perfect") == pytest.approx(3.5 / 4.5)
    assert metrics.qini_score(Y, SCORE, T, normalize="rows") == pytest.approx(3 / 16)
    with pytest.raises(ValueError, match="normalize must be 'rows' or 'perfect'"):
        metrics.auuc_score(Y, SCORE, T, normalize="sklift")


def test_perfect_normalisation_scores_the_perfect_ranking_1():
    rng = np.random.default_rng(3)
    y, t = rng.integers(0, 2, 500), rng.integers(0, 2, 500)
    best = 2.0 * ((y == 1) == (t == 1)) + ((y == 0) & (t == 1))
    assert metrics.auuc_score(y, best, t, normalize="perfect") == pytest.approx(1.0)
    assert metrics.qini_score(y, y * np.where(t == 1, 1, -1), t) == pytest.approx(1.0)
    assert metrics.auuc_score(y, -best, t, normalize="perfect") < 0


def test_cost_curve_of_one_treatment_at_unit_cost_is_the_qini_curve():
    # Rows come in pairs of one treated and one control row with the same
    # score, so every top k at a tie-group end holds the groups in their
    # overall proportion, where N_t * gain(k) = y_t(k) - y_c(k) N_t / N_c is
    # the Qini curve's q(k) exactly.
    rng = np.random.default_rng(5)
    n = 300
    score = np.repeat(rng.integers(0, 40, n // 2) / 7.0, 2)
    t = np.tile([1, 0], n // 2)
    y = rng.integers(0, 2, n)
    spend, gain = metrics.cost_curve(y, score, t, costs={1: 1.0})
    x, q = metrics.qini_curve(y, score, t)
    assert np.allclose(spend * n, x) and np.allclose(gain * (n // 2), q)
    # Unbalanced groups: the two still meet at the end, where targeting
    # everyone gains the average uplift.
    t = rng.integers(0, 2, n)
    spend, gain = metrics.cost_curve(y, score, t, costs={1: 1.0})
    x, q = metrics.qini_curve(y, score, t)
    assert np.allclose(spend * n, x) and gain[-1] * np.sum(t == 1) == pytest.approx(q[-1])


def test_cost_curve_of_two_treatments_by_hand():
    # Predicted uplift (a, b) at costs 1 and 2; the hull of (0, 0), (1, a),
    # (2, b) per row gives the upgrades and their efficiencies:
    # r0 (.5, .6): control->a .5, a->b .1;  r1 (.1, .8): a lies under the
    # line to b, control->b .4;  r2 (-.2, .3): control->b .15;
    # r3 (.3, -.1): control->a .3, a->b -.4. The row of group "x" is ignored.
    uplift = np.array([[0.5, 0.6], [0.1, 0.8], [-0.2, 0.3], [0.3, -0.1], [9.0, 9.0]])
    t = np.array(["a", "b", "c", "c", "x"])
    y = np.array([1, 1, 1, 0, 1])
    # Shares: control 2/4, a 1/4, b 1/4; a row adds y / share to its own
    # group's option and takes y / share(control) from control's. In order:
    # r0->a +4, r1->b +4, r3->a 0, r2->b -2, r0 a->b -4, r3 a->b 0, each /4.
    expected_spend = [0, 1, 3, 4, 6, 7, 8]
    expected_gain = [0, 4, 8, 8, 6, 2, 2]
    for columns, labels in ((slice(None), ["a", "b"]), (slice(None, None, -1), ["b", "a"])):
        spend, gain = metrics.cost_curve(y, uplift[:, columns], t, control="c",
                                         costs={"a": 1.0, "b": 2.0}, treatments=labels,
                                         value=2.0)
        assert np.allclose(spend * 4, expected_spend)
        assert np.allclose(gain * 4, np.multiply(expected_gain, 2.0))


@pytest.mark.parametrize("kwargs, message", [
    ({"costs": {"a": 0.0, "b": 1.0}}, "the cost of 'a' must be a positive finite number"),
    ({"costs": {"a": 1.0}}, "costs has no cost for the treatments"),
    ({"treatments": ["a"], "costs": {"a": 1.0}}, "uplift has 2 columns but there are 1"),
    ({"value": -1.0}, "value must be a positive finite number"),
    ({"control": "z"}, "no row has the label 'z'"),
])
def test_cost_curve_arguments(kwargs, message):
    call = {"control": "c", "costs": {"a": 1.0, "b": 2.0}, "treatments": ["a", "b"], **kwargs}
    with pytest.raises(ValueError, match=message):
        metrics.cost_curve([1, 0, 1], [[0.1, 0.2]] * 3, ["a", "b", "c"], **call)
