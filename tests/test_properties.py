"""Property-based tests with hostile input: matrices, counts and hand-built
stages. Every call runs in a child process (hostile_worker), so a crash or a
hang fails the example instead of ending the test run.

Whatever the input, a call either behaves as documented or raises TypeError,
ValueError or MemoryError; a returned stage never has lists that disagree
with its Cls; the caller's arguments never change.

The number of examples per property is VQMIXER_HYPOTHESIS_EXAMPLES (default 40).
"""

import math
import os
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vqmixer
from hostile_worker import ArrayView, Worker

EXAMPLES = int(os.environ.get("VQMIXER_HYPOTHESIS_EXAMPLES", "40"))
PROPS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

ACCEPTED = {"TypeError", "ValueError", "MemoryError"}
REFUSAL = "A reliability is not enough!\nYou need either more points or less clusters!\n"
INT32 = (-(2**31), 2**31 - 1)


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.close()


# ---------------------------------------------------------------- strategies

edge_floats = st.sampled_from(
    [0.0, -0.0, 1.0, -1.0, 1e300, -1e300, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308]
)
hostile_floats = st.one_of(st.floats(), edge_floats)
plain_floats = st.floats(-100, 100, allow_nan=False, allow_infinity=False)


@st.composite
def rectangular(draw, values=hostile_floats, max_rows=40):
    n = draw(st.integers(0, max_rows))
    d = draw(st.integers(0, 3))
    return [[draw(values) for _ in range(d)] for _ in range(n)]


ragged = st.lists(st.lists(hostile_floats, max_size=4), max_size=30)

# Objects that the matrix conversion must turn away with TypeError.
not_matrices = st.sampled_from(
    [None, "abc", b"ab", 3.0, 7, {1: [1.0]}, {1.0}, [1.0, 2.0], [[[1.0]]], [["a"]], [[None]],
     [[1.0], "ab"], [[1.0], b"a"], [[1.0], None], np.zeros(5), np.zeros((4, 2, 1)), np.array([["a"]])]
)


@st.composite
def matrices(draw):
    """A hostile matrix and whether it converts (as a list of rows of floats)."""
    kind = draw(st.sampled_from(["rect", "ragged", "tuple", "numpy", "ints", "bad"]))
    if kind == "bad":
        return draw(not_matrices), False
    if kind == "ragged":
        return draw(ragged), True
    X = draw(rectangular())
    if kind == "tuple":
        return tuple(tuple(r) for r in X), True
    if kind == "ints":
        return [[int(v) if math.isfinite(v) else 0 for v in r] for r in X], True
    if kind == "numpy" and X and X[0]:
        with np.errstate(over="ignore"):
            return np.array(X, dtype=draw(st.sampled_from([np.float64, np.float32]))), True
    return X, True


def hostile_counts(n):
    """Counts at and around every boundary for a matrix of n rows."""
    return st.one_of(
        st.sampled_from([0, 1, -1, 2, n, n + 1, n // 12, n // 12 + 1, 2**31 - 1, -(2**31),
                         2**31, -(2**31) - 1, 2**64, True, 2.0, None, "3", np.int64(2)]),
        st.integers(-3, 50),
    )


@st.composite
def hand_stages(draw, dim):
    """A stage whose fields may contradict each other and the data."""
    cls = draw(st.one_of(st.integers(-2, 5), st.sampled_from([2**31 - 1, -(2**31)])))
    size = max(0, min(cls, 6))

    def length():
        return draw(st.integers(max(0, size - 1), size + 1))

    def row():
        return [draw(hostile_floats) for _ in range(draw(st.integers(max(0, dim - 1), dim + 1)))]

    S = vqmixer.RModelStage()
    S.Cls = cls
    S.Flag = draw(st.booleans())
    S.maxVar = draw(hostile_floats)
    S.lnGaussPrb = [draw(hostile_floats) for _ in range(length())]
    S.Mean = [row() for _ in range(length())]
    S.Var = [row() for _ in range(length())]
    S.lnVar = [row() for _ in range(length())]
    return S


# ---------------------------------------------------------------- helpers

def is_int32(k):
    return isinstance(k, (int, np.integer)) and INT32[0] <= int(k) <= INT32[1]


def rows_of(X):
    return [list(map(float, r)) for r in X]


def checked_rows(X, finite):
    """The rows if every row holds at least as many values as row 0 (and, if
    asked, those values are finite); else None."""
    rows = rows_of(X)
    if not rows:
        return None
    d = len(rows[0])
    if any(len(r) < d for r in rows):
        return None
    if finite and not all(math.isfinite(v) for r in rows for v in r[:d]):
        return None
    return rows


def assert_consistent(S, dim, complete=True):
    """A returned stage: Mean has Cls rows; the other lists have Cls entries
    (or, where allowed, none at all); every row has dim values."""
    assert S.Cls >= 0
    assert len(S.Mean) == S.Cls
    for field in (S.Var, S.lnVar, S.lnGaussPrb):
        assert len(field) == S.Cls or (not complete and len(field) == 0)
    for rows in (S.Mean, S.Var, S.lnVar):
        assert all(len(r) == dim for r in rows)


def outcome(answer):
    if answer[0] == "raise":
        assert answer[1] in ACCEPTED, answer
        return answer[1], answer[2]
    return "ok", answer[1]


# ---------------------------------------------------------------- counts

@PROPS
@given(data=st.data(), matrix=matrices())
def test_counts_against_hostile_matrices(worker, data, matrix):
    X, converts = matrix
    n = len(X) if converts else 0
    count = data.draw(hostile_counts(n), label="count")
    method = data.draw(st.sampled_from(["RandomInitPoint", "LindeBuzoGray_N", "EM_Alg"]), label="method")
    cls = "TGaussianMixture" if method == "EM_Alg" else "TLindeBuzoGray"
    answer = worker.call(cls, method, X, count)
    kind, value = outcome(answer)
    text = answer[-1]
    if not converts or not is_int32(count):
        assert kind == "TypeError", answer
        return
    k = int(count)
    rows = rows_of(X)
    if method == "RandomInitPoint":
        if k < 0:
            assert (kind, value) == ("ValueError", "vector too long")
        elif k == 0 or k > n:
            assert kind == "ValueError"
        else:
            assert kind == "ok" and value.Cls == 0 and len(value.Mean) == k
            assert not (value.Var or value.lnVar or value.lnGaussPrb)
            picked = [[float.hex(v) for v in r] for r in value.Mean]
            pool = [[float.hex(v) for v in r] for r in rows]
            assert all(p in pool for p in picked)
        return
    if k <= 0 or n < 12 * k:  # refused: two lines, an empty stage, no exception
        assert kind == "ok" and text == REFUSAL
        assert (value.Flag, value.Cls, value.Mean, value.lnGaussPrb) == (False, 0, [], [])
        return
    if checked_rows(X, finite=True) is None:
        assert kind == "ValueError" and text == ""
        return
    assert kind == "ok" and text == ""
    assert_consistent(value, len(rows[0]), complete=(method == "EM_Alg" or k > 1))
    if method == "LindeBuzoGray_N":
        assert 1 <= value.Cls


@PROPS
@given(a=st.one_of(hostile_floats, st.integers(-(2**70), 2**70), st.sampled_from([True, None, "1", [1.0]])),
       b=hostile_floats, n=hostile_counts(1))
def test_distance_of_two_values(worker, a, b, n):
    """Each argument is one value: a count above 1 is refused rather than
    read past, a count of 0 or less gives 0.0."""
    kind, value = outcome(worker.call("TLindeBuzoGray", "EvklDistance", a, b, n))
    try:
        x = float(a) if not isinstance(a, (str, list, type(None))) else None
    except OverflowError:
        x = None
    if x is None or not is_int32(n):
        assert kind == "TypeError"
    elif n > 1:
        assert kind == "ValueError"
    else:
        expected = math.sqrt((x - b) * (x - b)) if n == 1 else 0.0
        assert kind == "ok"
        assert value == expected or (math.isnan(value) and math.isnan(expected))


# ---------------------------------------------------------------- stages

@PROPS
@given(data=st.data(), dim=st.integers(0, 3), n=st.integers(0, 30))
def test_hand_built_stages(worker, data, dim, n):
    X = data.draw(st.one_of(
        st.just([[data.draw(plain_floats) for _ in range(dim)] for _ in range(n)]),
        ragged,
        rectangular(values=hostile_floats, max_rows=30),
    ), label="X")
    S = data.draw(hand_stages(len(X[0]) if X else dim), label="stage")
    rows = rows_of(X)
    D = len(rows[0]) if rows else 0
    have = lambda field: len(field) >= S.Cls and all(len(r) >= D for r in field[: S.Cls])  # noqa: E731

    kind, value = outcome(worker.call("TGaussianMixture", "Likelihood", X, S))
    if S.Cls < 0:
        assert (kind, value) == ("ValueError", "vector too long")
    elif not rows:
        assert kind == "ok" and value == -5e9
    elif S.Cls == 0:
        assert kind == "ok" and math.isclose(value, -5e9 + math.log(len(rows) + 1))
    else:
        complete = len(S.lnGaussPrb) >= S.Cls and have(S.Mean) and have(S.Var) and have(S.lnVar)
        ok = complete and checked_rows(X, finite=False) is not None
        assert kind == ("ok" if ok else "ValueError"), (kind, value)
        if ok:
            assert isinstance(value, float)

    kind, value = outcome(worker.call("TLindeBuzoGray", "K_MeanGeneral", X, S))
    if S.Cls < 0:
        assert (kind, value) == ("ValueError", "vector too long")
        return
    if S.Cls == 0 or checked_rows(X, finite=True) is None or not have(S.Mean):
        assert kind == "ValueError"
        return
    if all(math.isfinite(v) for r in S.Mean[: S.Cls] for v in r[:D]):
        assert kind == "ok"
    if kind == "ok":
        assert_consistent(value, D)
        assert value.Cls <= S.Cls


@PROPS
@given(k=st.integers(1, 4), d=st.integers(1, 3), data=st.data())
def test_results_feed_back_in(worker, k, d, data):
    """What the module returns, the module takes back: a trained stage is a
    complete stage for its own data."""
    n = data.draw(st.integers(12 * k, 12 * k + 20), label="n")
    X = [[data.draw(plain_floats) for _ in range(d)] for _ in range(n)]
    kind, S = outcome(worker.call("TGaussianMixture", "EM_Alg", X, k))
    assert kind == "ok"
    assert_consistent(S, len(X[0]))
    kind, L = outcome(worker.call("TGaussianMixture", "Likelihood", X, S))
    assert kind == "ok" and isinstance(L, float)
    kind, R = outcome(worker.call("TLindeBuzoGray", "K_MeanGeneral", X, S))
    assert kind == "ok" or (kind == "ValueError" and S.Cls == 0)


@PROPS
@given(points=st.lists(st.lists(st.sampled_from([0.0, 1.0, -2.5, 1e-300, 1e200]), min_size=1, max_size=1),
                       min_size=1, max_size=3),
       d=st.integers(0, 3), copies=st.integers(12, 40), data=st.data())
def test_degenerate_data_ends(worker, points, d, copies, data):
    """Few distinct observations, repeated: splitting cannot make progress and
    clusters empty out, yet every call ends (the worker's timeout catches a
    hang) and returns a consistent stage."""
    X = [p * d for p in points] * copies
    k = data.draw(st.integers(1, max(1, len(X) // 12)), label="k")
    for cls, method in (("TLindeBuzoGray", "LindeBuzoGray_N"), ("TGaussianMixture", "EM_Alg")):
        kind, S = outcome(worker.call(cls, method, X, k))
        assert kind == "ok"
        assert_consistent(S, d, complete=(method == "EM_Alg" or k > 1))
    start = vqmixer.RModelStage()
    start.Cls = k + 1
    start.Mean = [X[0]] * (k + 1)  # identical centroids: all but one win nothing
    kind, S = outcome(worker.call("TLindeBuzoGray", "K_MeanGeneral", X, start))
    assert kind == "ok"
    assert_consistent(S, d)


# ---------------------------------------------------------------- arrays

DTYPES = ["<f8", ">f8", "<f4", ">f4", "f2", "g", "<i8", ">i4", "i2", "i1", "<u8", ">u2", "u1", "?",
          "c16", "O", "V8", [("a", "<f8")]]
LAYOUTS = ["plain", "transposed", "strided", "reversed", "broadcast", "readonly", "unaligned", "memoryview"]


@PROPS
@given(rows=st.integers(0, 40), cols=st.integers(0, 3), dtype=st.sampled_from(DTYPES),
       layout=st.sampled_from(LAYOUTS), k=st.integers(-1, 3), data=st.data())
def test_arrays_convert_like_their_lists(worker, rows, cols, dtype, layout, k, data):
    """An array of any element type, byte order and memory layout gives the
    same outcome as the nested list of its elements: equal results, or the
    same exception. (Complex elements convert as numpy's own float() of them
    does, dropping the imaginary part with a warning.)"""
    values = data.draw(st.lists(st.one_of(hostile_floats, st.integers(-(2**70), 2**70)),
                                min_size=rows * cols, max_size=rows * cols), label="values")
    with np.errstate(all="ignore"):
        try:
            A = np.array(values, dtype=object).reshape(rows, cols).astype(dtype)
        except (ValueError, TypeError, OverflowError):
            A = np.zeros((rows, cols), dtype=dtype)
    if layout == "unaligned" and A.dtype.hasobject:
        layout = "plain"
    if layout == "memoryview" and A.dtype.str not in ("<f8", "<f4", "<i8", "|i1", "<i2", "<u8", "|u1", "|b1"):
        layout = "plain"  # memoryview cannot index the others itself (NotImplementedError)
    view = ArrayView(A, layout)
    built = view.build()
    as_list = [list(r) for r in (np.asarray(built) if layout == "memoryview" else built)]  # numpy scalars
    method = data.draw(st.sampled_from([("TLindeBuzoGray", "LindeBuzoGray_N"), ("TGaussianMixture", "EM_Alg")]))
    got = worker.call(*method, view, k)
    want = worker.call(*method, as_list, k)
    if layout == "memoryview" and got[:2] == ("raise", "NotImplementedError"):
        return  # read as a sequence, a 2-D memoryview refuses to give out its rows itself
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert pickle.dumps(got[1].__getstate__()) == pickle.dumps(want[1].__getstate__())
        assert got[2] == want[2]  # the same refusal text, or none
    else:
        assert got[1] == want[1] and got[1] in ACCEPTED, (got, want)


# ---------------------------------------------------------------- fields and states

field_values = st.one_of(
    hostile_floats, st.integers(), st.booleans(), st.none(), st.text(max_size=2),
    st.lists(hostile_floats, max_size=3), st.lists(st.lists(hostile_floats, max_size=2), max_size=2),
    st.tuples(hostile_floats), st.just({1.0}), st.just([[1.0], "a"]),
)


@PROPS
@given(state=st.one_of(
    st.lists(field_values, max_size=11).map(tuple),
    st.tuples(st.sampled_from([1, 0, 2, True, 1.0, "1", None]), st.booleans(), st.integers(-3, 3),
              field_values, field_values, hostile_floats, st.lists(hostile_floats, max_size=3),
              st.lists(st.lists(hostile_floats, max_size=2), max_size=2), field_values, field_values),
    field_values,
))
def test_forged_pickle_states(worker, state):
    """A forged state either restores a record that reads back exactly that
    state, or is refused with TypeError; never a half-built record."""
    for cls, size in (("RModelStage", 10), ("RArg", 6)):
        kind, value = outcome(worker.call(cls, "__setstate__", state, how="new"))
        assert kind in ("ok", "TypeError"), value
        if kind == "ok":
            assert isinstance(state, tuple) and len(state) == size and type(state[0]) is int
    kind, value = outcome(worker.call("RModelStage", "__setstate__", state, how="init"))
    assert kind in ("ok", "TypeError")


@PROPS
@given(value=field_values, field=st.sampled_from(
    ["Flag", "Cls", "indexCmp", "indexCls", "maxVar", "lnGaussPrb", "Mean", "Var", "lnVar"]))
def test_field_writes(value, field):
    """A write either stores the converted value or raises TypeError and
    leaves every field as it was."""
    S = vqmixer.RModelStage()
    S.Mean = [[1.0]]
    S.Cls = 3
    before = S.__getstate__()
    try:
        setattr(S, field, value)
    except TypeError:
        assert S.__getstate__() == before
        return
    after = S.__getstate__()
    names = ["Flag", "Cls", "indexCmp", "indexCls", "maxVar", "lnGaussPrb", "Mean", "Var", "lnVar"]
    changed = [n for n, a, b in zip(names, before[1:], after[1:]) if a != b]
    assert changed in ([], [field])
