"""numpy arrays as observation matrices: every dtype and memory layout gives
the values the generic sequence path gives, bit for bit; what that path
rejects is still rejected the same way."""

import ctypes
import ctypes.util
import warnings

import pytest

np = pytest.importorskip("numpy")

import vqmixer  # noqa: E402
from reference import same  # noqa: E402

_libc = ctypes.CDLL(ctypes.util.find_library("c"))


def rows_via_generic(a):
    """What the sequence path sees: the array's rows as lists of numpy scalars."""
    return [list(r) for r in a]


def drawn_rows(X, count):
    """All values of the matrix as the module converted them, in a fixed
    order: RandomInitPoint copies whole rows, and re-seeding the C library's
    generator makes two calls draw the same rows."""
    _libc.srand(12345)
    return vqmixer.TLindeBuzoGray().RandomInitPoint(X, count).Mean


def base_values(dtype):
    rng = np.random.default_rng(3)
    kind = np.dtype(dtype).kind
    if kind == "b":
        return rng.integers(0, 2, size=(7, 5)).astype(dtype)
    if kind in "iu":
        info = np.iinfo(dtype)
        a = rng.integers(info.min, info.max, size=(7, 5), dtype=np.dtype(dtype).newbyteorder("="), endpoint=True)
        a[0, :3] = [info.min, info.max, 0]
        if info.bits == 64:  # above 2^53: float() rounds to nearest, ties to even
            a[1, :3] = [2**53 + 1, 2**62 + 2**9 + 1, (info.max - 1024) if kind == "u" else -(2**53) - 3]
        return a.astype(dtype)
    a = rng.standard_normal((7, 5)) * 10.0 ** rng.integers(-30, 30, size=(7, 5))
    a = a.astype(dtype)
    a[0, :4] = [np.nan, np.inf, -np.inf, -0.0]
    if np.dtype(dtype).itemsize > 8:  # long double: more bits than a double holds
        a[1, 0] = np.longdouble(1) + np.longdouble(2) ** -60
    return a


DTYPES = ["<f8", ">f8", "<f4", ">f4", "longdouble", "int8", "int16", "<i4", ">i4", "<i8", ">i8",
          "uint8", "uint16", "<u4", ">u8", "<u8", "bool"]


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_and_layout_matches_the_sequence_path(dtype):
    a = base_values(dtype)
    layouts = {
        "C": np.ascontiguousarray(a),
        "F": np.asfortranarray(a),
        "rows and columns skipped": np.ascontiguousarray(np.repeat(a, 2, axis=0))[::2, :],
        "reversed": a[::-1, ::-1],
        "column slice": np.ascontiguousarray(a)[:, 1:4],
        "transposed": np.ascontiguousarray(a.T).T,
    }
    for name, X in layouts.items():
        want = drawn_rows(rows_via_generic(X), X.shape[0])
        got = drawn_rows(X, X.shape[0])
        assert same(got, want), (dtype, name)


def test_unaligned_and_readonly_buffers():
    raw = np.zeros(8 * 12 + 1, dtype=np.uint8)
    X = raw[1:].view("<f8").reshape(4, 3)  # misaligned doubles
    X[...] = np.arange(12.0).reshape(4, 3) / 7
    ro = np.arange(12.0).reshape(4, 3) / 3
    ro.setflags(write=False)
    for arr in (X, ro):
        assert same(drawn_rows(arr, 4), drawn_rows(rows_via_generic(arr), 4))


def test_results_of_every_operation_match_lists():
    rng = np.random.default_rng(8)
    X = np.concatenate([rng.normal(c, 0.5, size=(40, 3)) for c in (-4.0, 0.0, 4.0)])
    L = X.tolist()
    lbg, gm = vqmixer.TLindeBuzoGray(), vqmixer.TGaussianMixture()
    fields = ("Cls", "Mean", "Var", "lnVar", "lnGaussPrb", "indexCls", "indexCmp", "maxVar")
    for x_np, x_l in ((X, L), (X.astype(np.float32), X.astype(np.float32).tolist()), (np.asfortranarray(X), L)):
        a, b = lbg.LindeBuzoGray_N(x_np, 3), lbg.LindeBuzoGray_N(x_l, 3)
        assert all(same(getattr(a, f), getattr(b, f)) for f in fields)
        assert same(lbg.K_MeanGeneral(x_np, a).Mean, lbg.K_MeanGeneral(x_l, a).Mean)
        e1, e2 = gm.EM_Alg(x_np, 3), gm.EM_Alg(x_l, 3)
        assert all(same(getattr(e1, f), getattr(e2, f)) for f in fields)
        assert same(gm.Likelihood(x_np, e1), gm.Likelihood(x_l, e1))


def test_empty_shapes_behave_like_empty_lists():
    lbg, gm = vqmixer.TLindeBuzoGray(), vqmixer.TGaussianMixture()
    st = vqmixer.RModelStage()
    assert gm.Likelihood(np.zeros((0, 3)), st) == gm.Likelihood([], st) == -5e9
    # rows without coordinates: D is 0 either way
    assert same(drawn_rows(np.zeros((3, 0)), 3), drawn_rows([[], [], []], 3))


@pytest.mark.parametrize("bad", [np.arange(6.0), np.zeros((2, 2, 2)), np.array([["a", "b"]])])
def test_arrays_the_generic_path_rejects_are_rejected_alike(bad):
    lbg = vqmixer.TLindeBuzoGray()
    with pytest.raises(TypeError) as from_array:
        lbg.RandomInitPoint(bad, 1)
    with pytest.raises(TypeError) as from_list:
        lbg.RandomInitPoint(bad.tolist(), 1)
    assert "incompatible function arguments" in str(from_array.value)
    assert str(from_array.value).split("Invoked with")[0] == str(from_list.value).split("Invoked with")[0]


def test_other_dtypes_take_the_generic_path():
    a = np.array([[0.1, 2.5], [-3.25, 1e4]])
    for dtype in (np.float16, object, np.complex128):
        X = a.astype(dtype)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", np.exceptions.ComplexWarning)
            assert same(drawn_rows(X, 2), drawn_rows(rows_via_generic(X), 2))
    # a 2-D memoryview of doubles is read like the array it views
    assert same(drawn_rows(memoryview(a), 2), drawn_rows(a.tolist(), 2))


def test_signature_text_is_unchanged():
    for f in (vqmixer.TLindeBuzoGray.K_MeanGeneral, vqmixer.TGaussianMixture.Likelihood):
        assert "arg0: list[list[float]]" in f.__doc__
