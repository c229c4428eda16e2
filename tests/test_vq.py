"""K-means, the codebook splitting and their choices at the edges."""

import math
import random

import pytest

import reference as ref
import vqmixer

REFUSAL = "A reliability is not enough!\nYou need either more points or less clusters!\n"


def stage(cls, means):
    s = vqmixer.RModelStage()
    s.Cls, s.Mean = cls, means
    return s


def corners(copies):
    return [[10.0, 1.0]] * copies + [[10.0, -1.0]] * copies + [[-10.0, 1.0]] * copies + [[-10.0, -1.0]] * copies


# K-means --------------------------------------------------------------------


def test_k_means_worked_example(vq):
    r = vq.K_MeanGeneral([[0.0], [2.0], [10.0], [12.0]], stage(2, [[1.0], [11.0]]))
    assert (r.Flag, r.Cls, r.Mean, r.Var, r.lnVar) == (False, 2, [[1.0], [11.0]], [[1.0], [1.0]], [[0.0], [0.0]])
    assert r.lnGaussPrb == [-0.6931471805599453] * 2
    assert (r.indexCls, r.indexCmp, r.maxVar) == (0, 0, 1.0)


def test_equidistant_row_joins_the_lower_cluster(vq):
    r = vq.K_MeanGeneral([[0.0], [1.0], [2.0]], stage(2, [[0.0], [2.0]]))
    assert r.Mean == [[0.5], [2.0]]


def test_identical_centroids(vq):
    X = [[float(i)] for i in range(10)]
    dropped = vq.K_MeanGeneral(X, stage(2, [[4.0], [4.0]]))  # threshold 0.1*10/2 -> 0
    assert dropped.Cls == 2 and math.isnan(dropped.Mean[1][0]) and dropped.lnGaussPrb[1] == -math.inf
    X = [[float(i)] for i in range(20)]
    kept = vq.K_MeanGeneral(X, stage(2, [[4.0], [4.0]]))  # threshold 1
    assert kept.Cls == 1 and kept.Mean == [[9.5]] and kept.lnGaussPrb == [0.0]


def test_thin_cluster_is_dropped_for_good(vq):
    X = [[0.0]] * 33 + [[10.0]] * 33 + [[20.0]] * 33 + [[100.0]]
    r = vq.K_MeanGeneral(X, stage(4, [[0.0], [10.0], [20.0], [100.0]]))
    assert r.Cls == 3 and r.Mean == [[0.0], [10.0], [20.0]]
    assert len(r.Var) == len(r.lnVar) == len(r.lnGaussPrb) == 3
    assert (r.indexCls, r.indexCmp, r.maxVar) == (-1, -1, 0.0)  # every sigma is 0
    assert r.lnVar == [[-math.inf]] * 3


def test_empty_cluster_is_kept_when_threshold_is_zero(vq):
    X = [[float(i % 3)] for i in range(30)]
    start = stage(4, [[0.0], [1.0], [2.0], [50.0]])
    r = vq.K_MeanGeneral(X, start)
    assert r.Cls == 4 and math.isnan(r.Mean[3][0]) and math.isnan(r.Var[3][0]) and r.lnGaussPrb[3] == -math.inf
    ref.assert_same_stage(r, ref.k_mean_general(X, ref.stage_from(start)))


def test_largest_sigma_tie_goes_to_the_first(vq):
    X = [[0.0, 5.0], [2.0, 7.0], [10.0, 0.0], [12.0, 2.0]]
    r = vq.K_MeanGeneral(X, stage(2, [[1.0, 6.0], [11.0, 1.0]]))
    assert (r.indexCls, r.indexCmp, r.maxVar) == (0, 0, 1.0)
    assert r.Var == [[1.0, 1.0], [1.0, 1.0]]


def test_weights_sum_to_one_when_nothing_is_dropped(vq):
    rng = random.Random(5)
    X = [[rng.gauss(0, 1), rng.gauss(0, 1)] for _ in range(300)]
    r = vq.K_MeanGeneral(X, stage(5, X[:5]))
    assert r.Cls == 5
    assert math.fsum(math.exp(w) for w in r.lnGaussPrb) == pytest.approx(1.0, abs=1e-15)


def _tie_heavy(rng, n, d):
    return [[float(rng.randint(-2, 2)) for _ in range(d)] for _ in range(n)]


@pytest.mark.parametrize("seed", range(6))
def test_k_means_matches_the_reference(vq, seed):
    rng = random.Random(seed)
    n, d, k = rng.randint(5, 60), rng.randint(1, 4), rng.randint(1, 6)
    X = _tie_heavy(rng, n, d) if seed % 2 else [[rng.uniform(-3, 3) for _ in range(d)] for _ in range(n)]
    start = stage(k, [list(X[rng.randrange(n)]) for _ in range(k)])
    ref.assert_same_stage(vq.K_MeanGeneral(X, start), ref.k_mean_general(X, ref.stage_from(start)))


def test_large_magnitude_rows_join_the_truly_nearest(vq):
    X = [[1e12], [1.1e12], [-1e12], [-1.2e12]]
    r = vq.K_MeanGeneral(X, stage(2, [[0.0], [1.0]]))
    ref.assert_same_stage(r, ref.k_mean_general(X, ref.stage_from(stage(2, [[0.0], [1.0]]))))
    assert r.Cls == 2
    huge = [[1e200], [-1e200], [1e200]]  # every distance overflows to inf
    assert vq.K_MeanGeneral(huge, stage(1, [[0.0]])).Mean == [[pytest.approx(1e200 / 3)]]


@pytest.mark.parametrize(
    "X, s, error, text",
    [
        ([[1.0]], stage(-1, []), ValueError, "^vector too long$"),
        ([[1.0]], stage(0, []), ValueError, "Cls 0"),
        ([], stage(1, [[0.0]]), ValueError, "empty"),
        ([[1.0, 2.0]], stage(2, [[0.0, 0.0]]), ValueError, "Mean holds only 1 rows"),
        ([[1.0, 2.0]], stage(1, [[0.0]]), ValueError, "Mean row 0 of the stage has 1 values"),
        ([[1.0, 2.0], [3.0]], stage(1, [[0.0, 0.0]]), ValueError, "observation row 1 has 1 values, but row 0 has 2"),
        ([[1.0], [math.nan]], stage(1, [[0.0]]), ValueError, "row 1, column 0 is not finite"),
        ([[1.0], [-math.inf]], stage(1, [[0.0]]), ValueError, "row 1, column 0 is not finite"),
        ([[1.0], [2.0]], stage(2, [[math.nan], [math.nan]]), ValueError, "observation row 0 to every centroid is not a number"),
    ],
)
def test_k_means_refusals(vq, X, s, error, text):
    with pytest.raises(error, match=text):
        vq.K_MeanGeneral(X, s)


def test_nan_centroid_never_wins(vq):
    r = vq.K_MeanGeneral([[1.0], [2.0]], stage(2, [[math.nan], [0.0]]))
    assert r.Cls == 2 and r.Mean[1] == [1.5]


# Codebook splitting ---------------------------------------------------------


@pytest.mark.parametrize("n, k, refused", [(0, 1, True), (23, 2, True), (24, 2, False), (11, 1, True), (12, 1, False), (50, 0, True), (50, -3, True)])
def test_reliability_check(vq, capfd, n, k, refused):
    X = [[float(i), float(i % 2)] for i in range(n)]
    r = vq.LindeBuzoGray_N(X, k)
    out = capfd.readouterr().out
    if refused:
        assert out == REFUSAL
        assert (r.Flag, r.Cls, r.Mean, r.Var, r.lnVar, r.lnGaussPrb) == (False, 0, [], [], [], [])
        assert (r.indexCmp, r.indexCls, r.maxVar) == (0, 0, 0.0)
    else:
        assert out == "" and r.Cls >= k


def test_refusal_lines_bypass_python_stdout(tmp_path):
    import subprocess
    import sys

    script = "import io, sys, contextlib, vqmixer\nwith contextlib.redirect_stdout(io.StringIO()):\n    vqmixer.TLindeBuzoGray().LindeBuzoGray_N([], 1)\n"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out == REFUSAL


def test_single_cluster_is_the_mean(vq):
    X = [[float(i), 2.0 * i] for i in range(12)]
    r = vq.LindeBuzoGray_N(X, 1)
    assert (r.Flag, r.Cls, r.Mean) == (True, 1, [[5.5, 11.0]])
    assert r.Var == r.lnVar == r.lnGaussPrb == []


def test_splitting_worked_examples(vq):
    r = vq.LindeBuzoGray_N(corners(6), 2)
    assert (r.Flag, r.Cls, r.Mean) == (False, 2, [[10.0, 0.0], [-10.0, 0.0]])
    r = vq.LindeBuzoGray_N(corners(12), 3)
    assert r.Cls == 3 and r.Mean == [[-10.0, 0.0], [10.0, 1.0], [10.0, -1.0]]
    ref.assert_same_stage(r, ref.linde_buzo_gray(corners(12), 3))


def test_first_split_moves_the_lower_of_two_equal_coordinates(vq):
    X = [[float(a), float(b)] for a in (-1, 1) for b in (-1, 1)] * 6
    r = vq.LindeBuzoGray_N(X, 2)
    assert r.Mean == [[1.0, 0.0], [-1.0, 0.0]]


@pytest.mark.parametrize("seed", range(6))
def test_splitting_matches_the_reference(vq, seed):
    rng = random.Random(100 + seed)
    d, k = rng.randint(1, 3), rng.randint(2, 6)
    n = 12 * k + rng.randint(0, 60)
    if seed % 2:
        X = [[float(rng.randint(0, 3)) for _ in range(d)] for _ in range(n)]
    else:
        centres = [[rng.uniform(-10, 10) for _ in range(d)] for _ in range(k)]
        X = [[c + rng.gauss(0, 1) for c in rng.choice(centres)] for _ in range(n)]
    r = vq.LindeBuzoGray_N(X, k)
    ref.assert_same_stage(r, ref.linde_buzo_gray(X, k))
    assert len(r.Mean) == len(r.Var) == len(r.lnVar) == len(r.lnGaussPrb) == r.Cls


def test_splitting_without_spread_stops(vq):
    X = [[3.0, -1.0]] * 40
    r = vq.LindeBuzoGray_N(X, 3)
    assert (r.Cls, r.Mean, r.Var, r.lnGaussPrb) == (1, [[3.0, -1.0]], [[0.0, 0.0]], [0.0])
    # two distinct points cannot make three clusters: the model as it stands comes back
    X = [[0.0]] * 20 + [[1.0]] * 20
    r = vq.LindeBuzoGray_N(X, 3)
    assert r.Cls == 2 and sorted(r.Mean) == [[0.0], [1.0]]
    ref.assert_same_stage(r, ref.linde_buzo_gray(X, 3))


def test_splitting_refuses_non_finite_and_ragged_data(vq):
    X = [[float(i)] for i in range(24)]
    X[7] = [math.inf]
    with pytest.raises(ValueError, match="LindeBuzoGray_N: observation row 7, column 0 is not finite"):
        vq.LindeBuzoGray_N(X, 2)
    X[7] = []
    with pytest.raises(ValueError, match="observation row 7 has 0 values"):
        vq.LindeBuzoGray_N(X, 2)
