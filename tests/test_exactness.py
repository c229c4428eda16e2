"""The vector kernels give the results of the plain step-by-step algorithms
(tests/reference.py) to the last bit, on random data and on data full of ties:
duplicated rows, integer grids, points at equal distances, clusters that drop
out and degenerate clusters whose statistics are NaN."""

import math
import os
import pickle
import random
import subprocess
import sys

import pytest

import reference as ref
import vqmixer

FIELDS = ref.FIELDS


def dataset(kind, seed, n=None, d=None):
    rng = random.Random(seed * 31 + kind)
    n = n or rng.choice([36, 60, 97, 150])
    d = d or rng.choice([1, 2, 3, 5, 6])
    if kind == 0:  # blobs
        cs = [[rng.uniform(-20, 20) for _ in range(d)] for _ in range(rng.randint(2, 6))]
        return [[c + rng.gauss(0, rng.uniform(0.2, 3)) for c in rng.choice(cs)] for _ in range(n)]
    if kind == 1:  # integer grid: exact ties everywhere
        return [[float(rng.randint(-2, 2)) for _ in range(d)] for _ in range(n)]
    if kind == 2:  # a few rows, each many times over
        base = [[rng.uniform(-5, 5) for _ in range(d)] for _ in range(rng.randint(3, 8))]
        return [list(rng.choice(base)) for _ in range(n)]
    if kind == 3:  # corners of the unit cube: equal distances
        return [[float(rng.randint(0, 1)) for _ in range(d)] for _ in range(n)]
    if kind == 4:  # tiny steps on a large offset
        return [[1e8 + rng.randint(0, 4) * 1e-8 for _ in range(d)] for _ in range(n)]
    return [[rng.gauss(0, 1) * 10.0 ** rng.randint(-3, 3) for _ in range(d)] for _ in range(n)]


def starting_stages(X, seed):
    """Drawn rows, a duplicated centroid, and a codebook that loses clusters."""
    rng = random.Random(seed)
    n = len(X)
    for variant in range(3):
        K = rng.randint(1, min(19, n))
        rows = [list(X[rng.randrange(n)]) for _ in range(K)]
        if variant == 1 and K > 1:
            rows[-1] = list(rows[0])
        if variant == 2:
            rows = [[v * 50.0 for v in r] for r in rows]
        st = vqmixer.RModelStage()
        st.Cls, st.Mean = K, rows
        yield st


@pytest.mark.parametrize("kind", range(6))
@pytest.mark.parametrize("seed", range(3))
def test_k_means_and_splitting_match_the_reference(kind, seed):
    X = dataset(kind, seed)
    lbg = vqmixer.TLindeBuzoGray()
    for st in starting_stages(X, seed):
        ref.assert_same_stage(lbg.K_MeanGeneral(X, st), ref.k_mean_general(X, ref.stage_from(st)))
    for K in (2, 3, max(2, len(X) // 24)):
        want = ref.linde_buzo_gray(X, K)
        got = lbg.LindeBuzoGray_N(X, K)
        if want is None:
            assert not got.Flag and got.Cls == 0
        else:
            ref.assert_same_stage(got, want)


@pytest.mark.parametrize("kind", range(6))
def test_scoring_and_em_match_the_reference(kind):
    X = dataset(kind, 7, n=72, d=3)
    gm = vqmixer.TGaussianMixture()
    for K in (2, 3):
        got = gm.EM_Alg(X, K)
        ref.assert_same_stage(got, ref.em(X, K))
        if got.Cls:
            assert ref.same(gm.Likelihood(X, got), ref.likelihood(X, ref.stage_from(got)))


def test_far_components_underflow_exactly():
    # Responsibilities of far components are exp of terms below -745: zero.
    rng = random.Random(5)
    X = [[rng.gauss(c, 0.3), rng.gauss(-c, 0.3)] for c in (-60.0, 0.0, 60.0) for _ in range(24)]
    gm = vqmixer.TGaussianMixture()
    got = gm.EM_Alg(X, 3)
    ref.assert_same_stage(got, ref.em(X, 3))
    got.Var = [[v * 0.01 for v in r] for r in got.Var]
    got.lnVar = [[ref.log(v) for v in r] for r in got.Var]
    assert ref.same(gm.Likelihood(X, got), ref.likelihood(X, ref.stage_from(got)))
    assert math.exp(-745.2) == 0.0 and math.exp(-745.13) > 0.0


def test_different_sums_with_one_root_go_to_the_lower_index():
    # Two squared distances that differ in the last bit but share a square
    # root are a tie: the lower-numbered centroid wins even with the larger sum.
    # Centroid 0 sums to 1 + 2^-52, centroid 1 to exactly 1: both roots are 1.
    small = 2.0**-26
    assert 1.0 + small * small != 1.0 and math.sqrt(1.0 + small * small) == 1.0
    X = [[0.0, 0.0]] * 4 + [[5.0, 5.0]] * 4
    st = vqmixer.RModelStage()
    st.Cls, st.Mean = 3, [[1.0, small], [1.0, 0.0], [5.0, 5.0]]
    got = vqmixer.TLindeBuzoGray().K_MeanGeneral(X, st)
    ref.assert_same_stage(got, ref.k_mean_general(X, ref.stage_from(st)))
    assert got.Cls == 3 and got.Mean[0] == [0.0, 0.0] and math.isnan(got.Mean[1][0])


def test_more_than_64_centroids():
    # wider than one 64-lane candidate mask, with a partial last vector
    rng = random.Random(2)
    centres = [[float(i % 9) * 10, float(i // 9) * 10] for i in range(70)]
    X = [[c[0] + rng.choice([-1.0, 0.0, 1.0]), c[1] + rng.choice([-1.0, 1.0])] for c in centres for _ in range(10)]
    st = vqmixer.RModelStage()
    st.Cls, st.Mean = 70, [[c[0] + 0.5, c[1]] for c in centres]
    ref.assert_same_stage(vqmixer.TLindeBuzoGray().K_MeanGeneral(X, st), ref.k_mean_general(X, ref.stage_from(st)))


def test_long_runs_with_distance_bounds():
    # Overlapping blobs: many K-means steps and split passes, where most rows
    # are settled by carried bounds and the rest are searched in full.
    rng = random.Random(4)
    cs = [[rng.uniform(-4, 4) for _ in range(3)] for _ in range(7)]
    X = [[c + rng.gauss(0, 1.2) for c in rng.choice(cs)] for _ in range(900)]
    ref.assert_same_stage(vqmixer.TLindeBuzoGray().LindeBuzoGray_N(X, 14), ref.linde_buzo_gray(X, 14))
    # squared distances that overflow: no bound may be taken from them
    X = [[rng.choice([-1, 1]) * rng.uniform(1e153, 1e155), rng.uniform(-1, 1) * 1e154] for _ in range(60)]
    st = vqmixer.RModelStage()
    st.Cls, st.Mean = 4, [list(X[i]) for i in range(4)]
    ref.assert_same_stage(vqmixer.TLindeBuzoGray().K_MeanGeneral(X, st), ref.k_mean_general(X, ref.stage_from(st)))


_PORTABLE_SCRIPT = r"""
import pickle, random, sys
import vqmixer
sys.path.insert(0, sys.argv[1])
from test_exactness import dataset, run_all
with open(sys.argv[2], "wb") as f:
    pickle.dump(run_all(), f)
"""


def run_all():
    """Results of every operation on mid-sized data, as bit patterns."""
    lbg, gm = vqmixer.TLindeBuzoGray(), vqmixer.TGaussianMixture()
    out = []
    for kind in range(6):
        X = dataset(kind, 11, n=600, d=[3, 7, 13, 4, 2, 9][kind])
        code = lbg.LindeBuzoGray_N(X, 21)
        out.append([ref.bits(v) if isinstance(v, float) else v for v in _flat(code)])
        for st in starting_stages(X, kind):
            out.append([ref.bits(v) if isinstance(v, float) else v for v in _flat(lbg.K_MeanGeneral(X, st))])
        em = gm.EM_Alg(X, 5)
        out.append([ref.bits(v) if isinstance(v, float) else v for v in _flat(em)])
        if code.Cls and code.Var:
            out.append(ref.bits(gm.Likelihood(X, code)))
    return out


def _flat(stage):
    vals = []
    for f in FIELDS:
        v = getattr(stage, f)
        if isinstance(v, list):
            for r in v:
                vals.extend(r if isinstance(r, list) else [r])
        else:
            vals.append(v)
    return vals


def test_portable_kernels_agree_with_the_vector_kernels(tmp_path):
    # VQMIXER_NO_AVX2=1 selects the plain loops; both builds of every kernel
    # must give the same bits.
    here = os.path.dirname(os.path.abspath(__file__))
    out = tmp_path / "portable.pickle"
    env = dict(os.environ, VQMIXER_NO_AVX2="1")
    subprocess.run([sys.executable, "-c", _PORTABLE_SCRIPT, here, str(out)], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    with open(out, "rb") as f:
        portable = pickle.load(f)
    assert portable == run_all()
