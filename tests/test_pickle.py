"""Pickle and copy of the four classes: the records round-trip every field
exactly under every protocol; the algorithm classes come back as fresh,
working objects."""

import copy
import math
import pickle

import pytest

import vqmixer

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
COPIES = [lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)) for p in PROTOCOLS]
COPIES += [copy.copy, copy.deepcopy]
COPY_IDS = [f"pickle{p}" for p in PROTOCOLS] + ["copy", "deepcopy"]

ODD = [0.0, -0.0, 5e-324, -1e300, float("inf"), float("-inf"), float("nan"), 0.1]


def bits(x):
    """A float's identity for exact comparison (every NaN counts as one)."""
    return "nan" if math.isnan(x) else float.hex(x)


def stage_fields(S):
    return (S.Flag, S.Cls, S.indexCmp, S.indexCls, bits(S.maxVar), [bits(v) for v in S.lnGaussPrb],
            [[bits(v) for v in r] for r in S.Mean], [[bits(v) for v in r] for r in S.Var],
            [[bits(v) for v in r] for r in S.lnVar])


def arg_fields(A):
    return A.indexCmp, A.indexCls, bits(A.maxVar), [bits(v) for v in A.Mean], [bits(v) for v in A.Var]


def odd_stage():
    # Deliberately inconsistent: records store what they are given.
    S = vqmixer.RModelStage()
    S.Flag, S.Cls, S.indexCmp, S.indexCls, S.maxVar = True, 7, -(2**31), 2**31 - 1, float("nan")
    S.lnGaussPrb = ODD
    S.Mean = [ODD, [], [1.0]]
    S.Var = [[-1.0, 0.0]]
    S.lnVar = []
    return S


def odd_arg():
    A = vqmixer.RArg()
    A.indexCmp, A.indexCls, A.maxVar = -1, 2**31 - 1, -0.0
    A.Mean, A.Var = ODD, ODD[::-1]
    return A


@pytest.mark.parametrize("dup", COPIES, ids=COPY_IDS)
def test_records_round_trip_exactly(dup):
    for make, fields in ((odd_stage, stage_fields), (odd_arg, arg_fields),
                         (vqmixer.RModelStage, stage_fields), (vqmixer.RArg, arg_fields)):
        original = make()
        before = fields(original)
        twin = dup(original)
        assert type(twin) is type(original) and twin is not original
        assert fields(twin) == before == fields(original)
        twin.indexCmp = 5  # independent storage
        twin.Mean = [[2.0]] if isinstance(twin, vqmixer.RModelStage) else [2.0]
        assert fields(original) == before


@pytest.mark.parametrize("dup", COPIES, ids=COPY_IDS)
def test_algorithm_classes_come_back_working(dup):
    X = [[float(i % 7), float(i % 3)] for i in range(48)]
    lbg, gm = dup(vqmixer.TLindeBuzoGray()), dup(vqmixer.TGaussianMixture())
    assert type(lbg) is vqmixer.TLindeBuzoGray and type(gm) is vqmixer.TGaussianMixture
    ref = vqmixer.TGaussianMixture().EM_Alg(X, 2)
    assert stage_fields(gm.EM_Alg(X, 2)) == stage_fields(ref)
    assert stage_fields(lbg.LindeBuzoGray_N(X, 2)) == stage_fields(vqmixer.TLindeBuzoGray().LindeBuzoGray_N(X, 2))


def test_trained_stage_survives_pickle_and_scores_the_same():
    X = [[float(i % 5), float((i * 7) % 11)] for i in range(60)]
    gm = vqmixer.TGaussianMixture()
    S = gm.EM_Alg(X, 3)
    for p in PROTOCOLS:
        assert gm.Likelihood(X, pickle.loads(pickle.dumps(S, p))) == gm.Likelihood(X, S)


def test_subclass_instances_keep_their_class():
    class Model(vqmixer.RModelStage):
        pass

    globals()["Model"] = Model  # pickle finds classes by name
    Model.__qualname__ = "Model"
    m = Model()
    m.Cls, m.Mean = 1, [[3.0]]
    for dup in COPIES:
        twin = dup(m)
        assert type(twin) is Model and (twin.Cls, twin.Mean) == (1, [[3.0]])


def test_uninitialised_instances_refuse_to_pickle():
    for cls in (vqmixer.RArg, vqmixer.RModelStage, vqmixer.TLindeBuzoGray, vqmixer.TGaussianMixture):
        raw = cls.__new__(cls)
        for dup in COPIES:
            with pytest.raises(TypeError, match="not initialized"):
                dup(raw)


BAD_STATES = [
    None, 1, "state", [1, False, 0, 0, 0, 0.0, [], [], [], []],  # not a tuple
    (), (1,), (1, False, 0, 0, 0, 0.0, [], [], []),  # wrong length
    (2, False, 0, 0, 0, 0.0, [], [], [], []), (True, False, 0, 0, 0, 0.0, [], [], [], []),
    (1.0, False, 0, 0, 0, 0.0, [], [], [], []), ("1", False, 0, 0, 0, 0.0, [], [], [], []),  # version
    (1, 1, 0, 0, 0, 0.0, [], [], [], []), (1, None, 0, 0, 0, 0.0, [], [], [], []),  # Flag
    (1, False, 2**31, 0, 0, 0.0, [], [], [], []), (1, False, 1.0, 0, 0, 0.0, [], [], [], []),
    (1, False, 0, 0, 0, "x", [], [], [], []), (1, False, 0, 0, 0, 0.0, "ab", [], [], []),
    (1, False, 0, 0, 0, 0.0, [], [1.0], [], []), (1, False, 0, 0, 0, 0.0, [], [[1.0], "a"], [], []),
    (1, False, 0, 0, 0, 0.0, [], [], [[None]], []), (1, False, 0, 0, 0, 0.0, [], [], [], {1.0}),
]


@pytest.mark.parametrize("state", BAD_STATES, ids=range(len(BAD_STATES)))
def test_malformed_state_is_a_type_error(state):
    raw = vqmixer.RModelStage.__new__(vqmixer.RModelStage)
    with pytest.raises(TypeError):
        raw.__setstate__(state)
    with pytest.raises(TypeError, match="not initialized"):
        raw.Cls  # still unusable, never half-built
    good = (1, True, 2, 0, 1, 0.5, [0.0], [[1.0]], [[2.0]], [[3.0]])
    raw.__setstate__(good)
    assert raw.__getstate__() == good


def test_malformed_states_of_the_other_classes():
    for cls, good in ((vqmixer.RArg, (1, 0, 0, 0.0, [], [])), (vqmixer.TLindeBuzoGray, (1,)),
                      (vqmixer.TGaussianMixture, (1,))):
        for bad in (None, (), good + (0,), (2,) + good[1:], ("x",) + good[1:]):
            with pytest.raises(TypeError):
                cls.__new__(cls).__setstate__(bad)
    with pytest.raises(TypeError):
        vqmixer.RArg.__new__(vqmixer.RArg).__setstate__((1, 0, 0, 0.0, [], [[1.0]]))
