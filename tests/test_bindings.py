"""The Python face: module contents, signatures, records, conversions, refusals."""

import glob
import os
import subprocess
import sys
import textwrap

import pytest

import vqmixer
from vqmixer import RArg, RModelStage, TGaussianMixture, TLindeBuzoGray

CLASSES = ["RArg", "RModelStage", "TLindeBuzoGray", "TGaussianMixture"]


def test_module_holds_exactly_the_four_classes_in_order():
    own = [k for k in vars(vqmixer) if not (k.startswith("__") and k.endswith("__"))]
    assert own == CLASSES
    assert vqmixer.__doc__ is None
    for name in CLASSES:
        cls = getattr(vqmixer, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("vqmixer", name, name)


@pytest.mark.parametrize(
    "member, text",
    [
        (TLindeBuzoGray.EvklDistance, "EvklDistance(self: vqmixer.TLindeBuzoGray, arg0: float, arg1: float, arg2: int) -> float"),
        (TLindeBuzoGray.RandomInitPoint, "RandomInitPoint(self: vqmixer.TLindeBuzoGray, arg0: list[list[float]], arg1: int) -> vqmixer.RModelStage"),
        (TLindeBuzoGray.LindeBuzoGray_N, "LindeBuzoGray_N(self: vqmixer.TLindeBuzoGray, arg0: list[list[float]], arg1: int) -> vqmixer.RModelStage"),
        (TLindeBuzoGray.K_MeanGeneral, "K_MeanGeneral(self: vqmixer.TLindeBuzoGray, arg0: list[list[float]], arg1: vqmixer.RModelStage) -> vqmixer.RModelStage"),
        (TGaussianMixture.EM_Alg, "EM_Alg(self: vqmixer.TGaussianMixture, arg0: list[list[float]], arg1: int) -> vqmixer.RModelStage"),
        (TGaussianMixture.Likelihood, "Likelihood(self: vqmixer.TGaussianMixture, arg0: list[list[float]], arg1: vqmixer.RModelStage) -> float"),
        (TGaussianMixture.__init__, "__init__(self: vqmixer.TGaussianMixture) -> None"),
        (RModelStage.Mean.fget, "(self: vqmixer.RModelStage) -> list[list[float]]"),
        (RModelStage.Mean.fset, "(self: vqmixer.RModelStage, arg0: list[list[float]]) -> None"),
        (RArg.Var.fset, "(self: vqmixer.RArg, arg0: list[float]) -> None"),
    ],
)
def test_signature_texts(member, text):
    assert member.__doc__.splitlines()[0] == text


def test_methods_are_in_registration_order():
    assert [k for k in vars(TLindeBuzoGray) if not k.startswith("_")] == [
        "EvklDistance", "RandomInitPoint", "LindeBuzoGray_N", "K_MeanGeneral"]
    assert [k for k in vars(TGaussianMixture) if not k.startswith("_")] == ["EM_Alg", "Likelihood"]
    assert [k for k in vars(RModelStage) if not k.startswith("_")] == [
        "Flag", "Cls", "indexCmp", "indexCls", "maxVar", "lnGaussPrb", "Mean", "Var", "lnVar"]
    assert [k for k in vars(RArg) if not k.startswith("_")] == ["indexCmp", "indexCls", "maxVar", "Mean", "Var"]


# Records --------------------------------------------------------------------


def test_new_records_read_their_initial_values():
    s = RModelStage()
    assert (s.Flag, s.Cls, s.indexCmp, s.indexCls, s.maxVar) == (False, 0, 0, 0, 0.0)
    assert (s.lnGaussPrb, s.Mean, s.Var, s.lnVar) == ([], [], [], [])
    a = RArg()
    assert (a.indexCmp, a.indexCls, a.maxVar, a.Mean, a.Var) == (0, 0, 0.0, [], [])
    assert type(a.maxVar) is float and type(s.Flag) is bool


def test_vector_fields_are_copied_both_ways():
    s = RModelStage()
    rows = [[1, 2], [3, 4]]
    s.Mean = rows
    rows[0][0] = 99
    assert s.Mean == [[1.0, 2.0], [3.0, 4.0]]
    s.Mean = ((1, 2), (3, 4))
    assert s.Mean == [[1.0, 2.0], [3.0, 4.0]]
    read = s.Mean
    read.append([5.0])
    read[0][0] = -1.0
    assert s.Mean == [[1.0, 2.0], [3.0, 4.0]]
    assert s.Mean == s.Mean and s.Mean is not s.Mean
    s.Var = [[1.0], [2.0, 3.0]]  # ragged rows are stored as given
    assert s.Var == [[1.0], [2.0, 3.0]]
    s.lnGaussPrb = range(3)
    assert s.lnGaussPrb == [0.0, 1.0, 2.0]


class Indexable:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "field, value, expected",
    [
        ("maxVar", 2, 2.0),
        ("maxVar", True, 1.0),
        ("Cls", True, 1),
        ("Cls", Indexable(), 7),
        ("Cls", -(2**31), -(2**31)),
        ("Flag", 1, True),
        ("Flag", None, False),
        ("Flag", 0.0, False),
    ],
)
def test_scalar_fields_accept_numbers(field, value, expected):
    s = RModelStage()
    setattr(s, field, value)
    got = getattr(s, field)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "field, value",
    [
        ("Cls", 2.5),
        ("Cls", 2.0),
        ("Cls", 2**31),
        ("Cls", -(2**31) - 1),
        ("Cls", "3"),
        ("Flag", "yes"),
        ("Flag", [1]),
        ("maxVar", "1.0"),
        ("maxVar", None),
        ("lnGaussPrb", "abc"),
        ("lnGaussPrb", {1.0, 2.0}),
        ("lnGaussPrb", iter([1.0])),
        ("Mean", [1.0, 2.0]),
        ("Mean", [[1.0], "ab"]),
        ("Mean", [[1.0], [None]]),
    ],
)
def test_bad_writes_raise_type_error_and_keep_the_field(field, value):
    s = RModelStage()
    s.Cls, s.Flag, s.maxVar, s.lnGaussPrb, s.Mean = 3, True, 1.5, [0.5], [[1.0]]
    before = {f: getattr(s, f) for f in ("Cls", "Flag", "maxVar", "lnGaussPrb", "Mean")}
    with pytest.raises(TypeError, match="incompatible function arguments"):
        setattr(s, field, value)
    assert {f: getattr(s, f) for f in before} == before


@pytest.mark.parametrize("obj", [RArg(), RModelStage(), TLindeBuzoGray(), TGaussianMixture()])
def test_no_attributes_beyond_the_fields(obj):
    with pytest.raises(AttributeError):
        obj.extra = 1
    if isinstance(obj, RModelStage):
        with pytest.raises(AttributeError):
            del obj.Mean


# Constructors and calls -----------------------------------------------------


def test_constructors_take_no_arguments():
    with pytest.raises(TypeError, match=r"__init__\(\): incompatible constructor arguments"):
        RArg(1)


@pytest.mark.parametrize("cls", [RArg, RModelStage, TLindeBuzoGray, TGaussianMixture])
def test_subclass_that_skips_base_init_is_refused(cls):
    class Sub(cls):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=rf"^vqmixer\.{cls.__name__}\.__init__\(\) must be called when overriding __init__$"):
        Sub()

    class Good(cls):
        pass

    assert isinstance(Good(), cls)


def test_wrong_or_missing_instance_is_incompatible():
    X = [[float(i)] for i in range(24)]
    with pytest.raises(TypeError, match="incompatible function arguments"):
        TGaussianMixture.EM_Alg(None, X, 2)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        TGaussianMixture.Likelihood(TLindeBuzoGray(), X, RModelStage())
    with pytest.raises(TypeError, match="incompatible function arguments"):
        TLindeBuzoGray.EvklDistance(None, 1.0, 2.0, 1)


def test_argument_errors_name_the_signature(vq):
    with pytest.raises(TypeError) as info:
        vq.EvklDistance(1.0, 4.0, 1.0)
    text = str(info.value)
    assert text.startswith("EvklDistance(): incompatible function arguments. The following argument types are supported:")
    assert "(self: vqmixer.TLindeBuzoGray, arg0: float, arg1: float, arg2: int) -> float" in text
    assert "Invoked with:" in text
    with pytest.raises(TypeError, match="incompatible"):
        vq.EvklDistance(1.0, 4.0, n=1)


def test_evkl_distance(vq):
    assert vq.EvklDistance(1.0, 4.0, 1) == 3.0
    assert vq.EvklDistance(1, 4, 1) == 3.0
    assert vq.EvklDistance(1.5, -2.0, 1) == 3.5
    assert vq.EvklDistance(1.0, 4.0, 0) == 0.0
    assert vq.EvklDistance(1.0, 4.0, -5) == 0.0
    assert vq.EvklDistance(-2.0, 1.5, 1) == vq.EvklDistance(1.5, -2.0, 1)
    with pytest.raises(ValueError, match="count 2"):
        vq.EvklDistance(1.0, 4.0, 2)


@pytest.mark.parametrize(
    "matrix",
    ["abc", [[1.0], "ab"], [[1.0], ["x"]], None, [1.0, 2.0], {(1.0,)}, b"ab"],
)
def test_observation_matrix_must_be_sequences_of_numbers(gm, matrix):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        gm.EM_Alg(matrix, 1)


def test_stage_arguments_must_be_stages(vq, gm):
    X = [[0.0], [1.0]]
    for bad in (None, RArg(), {"Cls": 1}):
        with pytest.raises(TypeError):
            vq.K_MeanGeneral(X, bad)
        with pytest.raises(TypeError):
            gm.Likelihood(X, bad)


@pytest.mark.parametrize("count", [2**31, 2.0, "2", None])
def test_counts_are_32_bit_ints(gm, count):
    with pytest.raises(TypeError, match="incompatible"):
        gm.EM_Alg([[0.0]] * 24, count)


def test_tuple_matrix_converts_like_lists(gm):
    X = [[float(i % 5), float(i % 3)] for i in range(30)]
    a = gm.EM_Alg(X, 2)
    b = gm.EM_Alg(tuple(tuple(r) for r in X), 2)
    assert (a.Cls, a.Mean, a.Var, a.lnVar, a.lnGaussPrb) == (b.Cls, b.Mean, b.Var, b.lnVar, b.lnGaussPrb)


def test_calls_never_change_the_callers_stage(vq, gm):
    X = [[0.0], [2.0], [10.0], [12.0]]
    s = RModelStage()
    s.Cls, s.Mean, s.Flag, s.indexCls = 2, [[1.0], [11.0]], True, 5
    r = vq.K_MeanGeneral(X, s)
    assert r is not s
    assert (s.Cls, s.Mean, s.Flag, s.indexCls, s.Var) == (2, [[1.0], [11.0]], True, 5, [])
    r2 = vq.K_MeanGeneral(X, r)
    assert r2 is not r
    snapshot = (r.Cls, r.Mean, r.Var, r.lnVar, r.lnGaussPrb, r.indexCls, r.indexCmp, r.maxVar)
    gm.Likelihood(X, r)
    assert snapshot == (r.Cls, r.Mean, r.Var, r.lnVar, r.lnGaussPrb, r.indexCls, r.indexCmp, r.maxVar)


# Random initial centroids ---------------------------------------------------


def test_random_init_point_draws_distinct_rows(vq):
    X = [[float(i), -float(i)] for i in range(10)]
    one = vq.RandomInitPoint(X, 1)
    assert len(one.Mean) == 1 and one.Mean[0] in X
    every = vq.RandomInitPoint(X, 10)
    assert sorted(every.Mean) == X
    assert (every.Flag, every.Cls, every.indexCmp, every.indexCls, every.maxVar) == (False, 0, 0, 0, 0.0)
    assert every.lnGaussPrb == every.Var == every.lnVar == []
    assert vq.RandomInitPoint(X, 3) is not vq.RandomInitPoint(X, 3)


def test_random_init_point_copies_whole_rows(vq):
    X = [[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]]
    assert sorted(vq.RandomInitPoint(X, 3).Mean) == sorted(X)


def test_random_init_point_is_reproducible_in_a_fresh_process():
    script = textwrap.dedent(
        """
        import vqmixer
        X = [[float(i)] for i in range(1000)]
        t = vqmixer.TLindeBuzoGray()
        print([r[0] for r in t.RandomInitPoint(X, 5).Mean], [r[0] for r in t.RandomInitPoint(X, 5).Mean])
        """
    )
    runs = [subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout for _ in range(2)]
    assert runs[0] == runs[1]
    first, second = eval(runs[0].replace("] [", "], ["))
    assert first != second  # the second call continues the generator's sequence


@pytest.mark.parametrize(
    "X, count, error, text",
    [
        ([[1.0]], -1, ValueError, "^vector too long$"),
        ([], -1, ValueError, "^vector too long$"),
        ([[1.0]], 0, ValueError, "count must be at least 1"),
        ([], 1, ValueError, "empty"),
        ([[1.0], [2.0]], 3, ValueError, "count 3 exceeds the 2 observation rows"),
    ],
)
def test_random_init_point_refusals(vq, X, count, error, text):
    with pytest.raises(error, match=text):
        vq.RandomInitPoint(X, count)


# Interpreter version check --------------------------------------------------


def _other_pythons():
    found = []
    for pattern in ("~/.pyenv/versions/3.1[013]*/bin/python3.1?", "/root/.pyenv/versions/3.1[013]*/bin/python3.1?"):
        found += glob.glob(os.path.expanduser(pattern))
    found += [p for p in ("/usr/bin/python3.11", "/usr/bin/python3.13") if os.path.exists(p)]
    return sorted({p for p in found if os.access(p, os.X_OK)})


LOAD_FOREIGN = textwrap.dedent(
    """
    import importlib.util, os, sys
    sys.setdlopenflags(os.RTLD_LAZY)  # let the loader reach the entry function
    spec = importlib.util.spec_from_file_location("vqmixer", sys.argv[1])
    try:
        importlib.util.module_from_spec(spec)
    except ImportError as e:
        print("ImportError:", e)
    """
)


def test_other_interpreters_are_refused():
    pythons = _other_pythons()
    if not pythons:
        pytest.skip("no other CPython installed")
    for python in pythons:
        out = subprocess.run([python, "-c", LOAD_FOREIGN, vqmixer.__file__], capture_output=True, text=True, timeout=60)
        version = subprocess.run([python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True).stdout.strip()
        expected = (
            "ImportError: Python version mismatch: module was compiled for Python 3.12, "
            f"but the interpreter version is incompatible: {version}."
        )
        assert out.stdout.strip() == expected, (python, out.stdout, out.stderr)
