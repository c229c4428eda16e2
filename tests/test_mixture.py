"""Mixture scoring (with its single-precision log addition) and EM training."""

import math
import random

import pytest

import reference as ref
import vqmixer

LN2 = 0.6931471805599453


def mixture(weights, means, sigmas):
    s = vqmixer.RModelStage()
    s.Cls = len(weights)
    s.lnGaussPrb = weights
    s.Mean = means
    s.Var = sigmas
    s.lnVar = [[ref.log(v) for v in row] for row in sigmas]
    return s


def ln_add_via_likelihood(gm, total, term):
    """Scores one observation under two components whose log terms are `total`
    and `term`, so the result is LnAdd(total, term)."""
    s = mixture([total, term], [[0.0], [0.0]], [[1.0], [1.0]])
    return gm.Likelihood([[0.0]], s)


@pytest.mark.parametrize(
    "x, y, expected",
    [
        (0.0, -30.0, ref.log(1.0 + ref.expf(-30.0))),
        (0.0, -30.001, 0.0),
        (-1000.1, -999.9, None),
        (-999.9, -1000.1, None),
        (-5e9 + 40, -5e9 + 40, None),
    ],
)
def test_log_addition(gm, x, y, expected):
    got = ln_add_via_likelihood(gm, x, y)
    want = ref.ln_add(x, y) if expected is None else expected
    assert ref.bits(got) == ref.bits(want)


def test_log_addition_rounds_the_smaller_running_total():
    # the running total is rounded to single precision when it is the smaller operand
    assert ref.ln_add(-1000.1, -999.9) == pytest.approx(-999.301850, abs=5e-7)
    assert ref.ln_add(-999.9, -1000.1) == pytest.approx(-999.301861, abs=5e-7)
    assert ref.ln_add(0.0, -30.0) == pytest.approx(9.35e-14, rel=1e-2)
    assert ref.ln_add(-6e9, -7e9) == -1e10
    assert ref.ln_add(-5e9, -5e9 - 100) == -5e9
    assert ref.ln_add(-5e9, -12.5) == -12.5


def test_scores_of_edge_stages(gm):
    assert gm.Likelihood([], mixture([0.0], [[1.0]], [[1.0]])) == -5e9
    empty = vqmixer.RModelStage()
    assert gm.Likelihood([[1.0]], empty) == ref.ln_add(-5e9, -5e9)
    assert gm.Likelihood([[1.0]] * 3, empty) == ref.likelihood([[1.0]] * 3, ref.Stage())
    assert gm.Likelihood([[1.0]], empty) == pytest.approx(-5e9 + LN2)
    negative = vqmixer.RModelStage()
    negative.Cls = -1
    with pytest.raises(ValueError, match="^vector too long$"):
        gm.Likelihood([[1.0]], negative)
    with pytest.raises(ValueError, match="^vector too long$"):
        gm.Likelihood([], negative)


def test_no_two_pi_term_and_sum_not_product(gm):
    x = [0.25, -3.0, 7.5]
    one = mixture([0.0], [x], [[1.0, 1.0, 1.0]])
    assert gm.Likelihood([x], one) == 0.0
    assert gm.Likelihood([x, x], one) == LN2


def test_nan_is_carried_into_the_score(gm):
    s = mixture([0.0], [[0.0]], [[1.0]])
    assert math.isnan(gm.Likelihood([[0.0], [math.nan]], s))
    zero_sigma = mixture([0.0], [[0.0]], [[0.0]])
    assert math.isnan(gm.Likelihood([[1.0]], zero_sigma))


@pytest.mark.parametrize(
    "X, s, text",
    [
        ([[1.0, 2.0]], mixture([0.0], [[0.0]], [[1.0]]), "Mean row 0 of the stage has 1 values"),
        ([[1.0]], mixture([0.0, 0.0], [[0.0], [1.0]], [[1.0]]), "Var holds only 1 rows"),
        ([[1.0, 2.0], [1.0]], mixture([0.0], [[0.0, 0.0]], [[1.0, 1.0]]), "observation row 1 has 1 values"),
    ],
)
def test_incomplete_stage_or_short_rows_are_refused(gm, X, s, text):
    with pytest.raises(ValueError, match=text):
        gm.Likelihood(X, s)


def test_short_weight_list_is_refused(gm):
    s = mixture([0.0], [[0.0], [1.0]], [[1.0], [1.0]])
    s.Cls = 2
    with pytest.raises(ValueError, match="lnGaussPrb holds only 1 entries"):
        gm.Likelihood([[1.0]], s)


@pytest.mark.parametrize("seed", range(4))
def test_scores_match_the_reference(gm, seed):
    rng = random.Random(seed)
    k, d = rng.randint(1, 5), rng.randint(1, 4)
    s = mixture(
        [rng.uniform(-5, 0) for _ in range(k)],
        [[rng.uniform(-5, 5) for _ in range(d)] for _ in range(k)],
        [[rng.uniform(0.1, 3) for _ in range(d)] for _ in range(k)],
    )
    X = [[rng.uniform(-30, 30) for _ in range(d)] for _ in range(rng.randint(1, 80))]
    assert ref.bits(gm.Likelihood(X, s)) == ref.bits(ref.likelihood(X, ref.stage_from(s)))


# EM training ------------------------------------------------------------------


def blobs(seed, n, centres, spread=1.0):
    rng = random.Random(seed)
    return [[c + rng.gauss(0, spread) for c in rng.choice(centres)] for _ in range(n)]


@pytest.mark.parametrize("seed, k", [(1, 2), (2, 3), (3, 4), (4, 2)])
def test_em_matches_the_reference(gm, seed, k):
    X = blobs(seed, 12 * k + 30, [[0.0, 0.0], [6.0, 1.0], [0.0, 7.0], [-6.0, -5.0]])
    r = gm.EM_Alg(X, k)
    ref.assert_same_stage(r, ref.em(X, k))
    assert len(r.Mean) == len(r.Var) == len(r.lnVar) == len(r.lnGaussPrb) == r.Cls > 0
    assert (r.Flag, r.indexCmp, r.indexCls, r.maxVar) == (False, 0, 0, 0.0)
    assert math.fsum(math.exp(w) for w in r.lnGaussPrb) == pytest.approx(1.0, abs=1e-6)


def test_em_with_one_component_is_the_fitted_gaussian(gm):
    X = blobs(7, 50, [[1.0, -2.0, 3.0]], spread=2.0)
    r = gm.EM_Alg(X, 1)
    ref.assert_same_stage(r, ref.em(X, 1))
    n = len(X)
    for d in range(3):
        col = [x[d] for x in X]
        mean = math.fsum(col) / n
        assert r.Mean[0][d] == pytest.approx(mean, rel=1e-12)
        assert r.Var[0][d] == pytest.approx(math.sqrt(math.fsum((v - mean) ** 2 for v in col) / n), rel=1e-9)
    assert r.lnGaussPrb == [pytest.approx(0.0, abs=1e-12)]


def test_em_with_a_collapsed_start_ends_empty(gm, capfd):
    # the codebook has sigma 0 along coordinate 0, so every score is NaN
    X = [[10.0, 1.0]] * 12 + [[10.0, -1.0]] * 12 + [[-10.0, 1.0]] * 12 + [[-10.0, -1.0]] * 12
    r = gm.EM_Alg(X, 2)
    assert (r.Cls, r.Mean, r.Var, r.lnVar, r.lnGaussPrb) == (0, [], [], [], [])
    ref.assert_same_stage(r, ref.em(X, 2))
    assert capfd.readouterr().out == ""


def test_em_refusals(gm, capfd):
    for X, k in (([], 2), ([[1.0, 2.0]] * 20, 2), ([[1.0]] * 30, 0)):
        r = gm.EM_Alg(X, k)
        assert capfd.readouterr().out == "A reliability is not enough!\nYou need either more points or less clusters!\n"
        assert (r.Flag, r.Cls, r.Mean, r.Var, r.lnVar, r.lnGaussPrb) == (False, 0, [], [], [], [])
    with pytest.raises(ValueError, match="EM_Alg|LindeBuzoGray_N"):
        gm.EM_Alg([[1.0]] * 23 + [[math.nan]], 2)


def test_em_drops_a_collapsing_component(gm):
    # a tight cluster (sigma about 3e-9) next to a broad one: its deviation
    # falls under the floor in the first M-step and it is dropped
    X = blobs(11, 60, [[100.0]], spread=1.0) + [[1e-9 * i] for i in range(12)]
    start = vqmixer.TLindeBuzoGray().LindeBuzoGray_N(X, 2)
    assert start.Cls == 2 and min(start.Var)[0] < 1e-7
    r = gm.EM_Alg(X, 2)
    assert r.Cls == 1  # the survivor then takes all the data
    assert len(r.Mean) == len(r.Var) == len(r.lnVar) == len(r.lnGaussPrb) == 1
    ref.assert_same_stage(r, ref.em(X, 2))
