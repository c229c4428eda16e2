"""The binding layer's own hazards: instances whose native value was never
constructed, __class__ reassignment, multiple inheritance of two of the
module's classes, wrong instances passed as self, the binding library's
shared base class, and objects that misbehave while they are converted.

Each case runs in a fresh interpreter, so a crash is a failed case."""

import subprocess
import sys
import textwrap

import pytest

import vqmixer

PRELUDE = """
import vqmixer as v
X = [[float(i % 7), float(i % 3)] for i in range(48)]
S = v.RModelStage(); S.Cls = 1; S.Mean = [[1.0, 1.0]]; S.Var = [[1.0, 1.0]]; S.lnVar = [[0.0, 0.0]]
S.lnGaussPrb = [0.0]
def expect(exc, fn, *args, match=""):
    try:
        fn(*args)
    except exc as e:
        assert match in str(e), (match, str(e))
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")
"""

CASES = {
    "new_without_init": """
        for cls in (v.RArg, v.RModelStage, v.TLindeBuzoGray, v.TGaussianMixture):
            raw = cls.__new__(cls)
            for name in dir(cls):
                attr = getattr(cls, name)
                if isinstance(attr, property):
                    expect(TypeError, getattr, raw, name, match="not initialized")
                    expect(TypeError, setattr, raw, name, 1, match="not initialized")
        g = v.TGaussianMixture.__new__(v.TGaussianMixture)
        expect(TypeError, g.EM_Alg, X, 2, match="not initialized")
        expect(TypeError, g.Likelihood, X, S, match="not initialized")
        t = v.TLindeBuzoGray.__new__(v.TLindeBuzoGray)
        expect(TypeError, t.EvklDistance, 1.0, 2.0, 1, match="not initialized")
        expect(TypeError, t.LindeBuzoGray_N, X, 2, match="not initialized")
        raw = v.RModelStage.__new__(v.RModelStage)
        expect(TypeError, v.TGaussianMixture().Likelihood, X, raw, match="not initialized")
        expect(TypeError, v.TLindeBuzoGray().K_MeanGeneral, X, raw, match="not initialized")
        raw.__init__()  # late construction makes it a normal record
        assert raw.Cls == 0 and raw.Mean == []
    """,
    "self_used_before_base_init": """
        class Early(v.TGaussianMixture):
            def __init__(self):
                expect(TypeError, self.EM_Alg, X, 2, match="not initialized")
                super().__init__()
                assert self.EM_Alg(X, 2).Cls >= 2
        Early()
        class Lazy(v.RModelStage):
            def __init__(self):
                self.Cls
        expect(TypeError, Lazy, match="not initialized")
    """,
    "subclass_skipping_init": """
        for cls in (v.RArg, v.RModelStage, v.TLindeBuzoGray, v.TGaussianMixture):
            Sub = type("Sub", (cls,), {"__init__": lambda self: None})
            expect(TypeError, Sub, match="__init__() must be called when overriding __init__")
    """,
    "class_assignment": """
        classes = (v.RArg, v.RModelStage, v.TLindeBuzoGray, v.TGaussianMixture)
        set_class = object.__dict__["__class__"].__set__  # the path no descriptor can intercept
        for a in classes:
            SubA = type("SubA", (a,), {})
            for b in classes:
                if a is b:
                    continue
                SubB = type("SubB", (b,), {"__slots__": ()})
                for obj in (a(), SubA()):
                    for target in (b, SubB):
                        expect(TypeError, setattr, obj, "__class__", target)
                        expect(TypeError, set_class, obj, target)
                        assert type(obj) in (a, SubA)
        t = v.TLindeBuzoGray()
        expect(TypeError, setattr, t, "__class__", v.TGaussianMixture)
        assert v.TGaussianMixture().EM_Alg(X, 2).Cls >= 2
    """,
    "two_module_bases": """
        classes = (v.RArg, v.RModelStage, v.TLindeBuzoGray, v.TGaussianMixture)
        for a in classes:
            for b in classes:
                if a is not b:
                    expect(TypeError, type, "Both", (a, b), {}, match="lay-out conflict")
    """,
    "wrong_instance_through_class": """
        objs = [v.RArg(), v.RModelStage(), v.TLindeBuzoGray(), v.TGaussianMixture(), None, 3, "x", object()]
        calls = {
            v.TLindeBuzoGray: [("EvklDistance", (1.0, 2.0, 1)), ("RandomInitPoint", (X, 1)),
                               ("LindeBuzoGray_N", (X, 2)), ("K_MeanGeneral", (X, S))],
            v.TGaussianMixture: [("EM_Alg", (X, 2)), ("Likelihood", (X, S))],
        }
        for cls, members in calls.items():
            for name, args in members:
                for obj in objs:
                    if type(obj) is not cls:
                        expect(TypeError, getattr(cls, name), obj, *args, match="incompatible")
        for cls in (v.RArg, v.RModelStage):
            for name in ("indexCmp", "Mean"):
                prop = getattr(cls, name)
                for obj in objs:
                    if type(obj) is not cls:
                        expect(TypeError, prop.fget, obj)
                        expect(TypeError, prop.fset, obj, 1)
            for obj in objs:
                if type(obj) is not cls:
                    expect(TypeError, cls.__getstate__, obj)
                    expect(TypeError, cls.__init__, obj)
    """,
    "shared_base_class": """
        base = v.RArg.__mro__[1]
        assert base.__name__ == "pybind11_object"
        expect(TypeError, base)
        expect(TypeError, base.__new__, base)
        Orphan = type("Orphan", (base,), {})
        expect(TypeError, Orphan)
        assert v.RArg().Mean == []
    """,
    "double_init_is_harmless": """
        s = v.RModelStage(); s.Mean = [[1.0]]
        s.__init__(); v.RModelStage.__init__(s)
        s.__setstate__((1, False, 0, 0, 0, 0.0, [], [], [], []))  # ignored on a live record
        assert s.Mean == [[1.0]]
        g = v.TGaussianMixture(); g.__init__()
        assert g.EM_Alg(X, 2).Cls >= 2
    """,
    "conversion_raises": """
        class BadFloat:
            def __float__(self): raise ZeroDivisionError("boom")
        class BadIndex:
            def __index__(self): raise ZeroDivisionError("boom")
        class BadSeq:
            def __len__(self): return 3
            def __getitem__(self, i): raise ZeroDivisionError("boom")
        class LyingSeq:  # claims more items than it yields
            def __len__(self): return 10**6
            def __getitem__(self, i):
                if i < 2: return [1.0, 2.0]
                raise IndexError(i)
        class HugeLen:
            def __len__(self): return 2**62
            def __getitem__(self, i): return [1.0]
        lbg, gm = v.TLindeBuzoGray(), v.TGaussianMixture()
        expect(TypeError, lbg.RandomInitPoint, [[BadFloat()]], 1)
        expect(TypeError, lbg.RandomInitPoint, X, BadIndex())
        expect(TypeError, gm.EM_Alg, X, BadIndex())
        for bad in (BadSeq(), [BadSeq()], LyingSeq(), HugeLen(), [HugeLen()]):
            try:
                lbg.LindeBuzoGray_N(bad, 1)
            except (TypeError, ValueError, MemoryError, ZeroDivisionError, IndexError, OverflowError):
                pass
        expect(TypeError, setattr, S, "Mean", [[BadFloat()]])
        expect(TypeError, setattr, S, "Cls", BadIndex())
        assert S.Mean == [[1.0, 1.0]] and S.Cls == 1
    """,
    "changes_while_read": """
        rows = [[1.0, 2.0] for _ in range(30)]
        class Shrinker:  # empties the matrix and its own row while being read
            def __float__(self):
                rows.clear(); del inner[:]
                return 1.0
        inner = [1.0, Shrinker(), 3.0]
        rows.insert(1, inner)
        class Grower:  # a row that keeps adding rows to the matrix
            def __len__(self): return 2
            def __getitem__(self, i):
                if i >= 2: raise IndexError(i)
                grown.extend([[0.0, 0.0]] * 100)
                return 1.0
        grown = [Grower() for _ in range(24)]
        lbg = v.TLindeBuzoGray()
        for X in (rows, grown):
            for call in (lambda: lbg.LindeBuzoGray_N(X, 1), lambda: lbg.RandomInitPoint(X, 1)):
                try:
                    call()
                except (TypeError, ValueError, IndexError):
                    pass
    """,
    "degenerate_shapes": """
        # Zero-width rows and refused requests leave working arrays empty;
        # nothing may index into them (the sanitizer build checks this).
        gm, lbg = v.TGaussianMixture(), v.TLindeBuzoGray()
        for X0 in ([[]] * 24, [[1.0]] * 5):
            for k in (0, 1, 2, 3):
                S0 = gm.EM_Alg(X0, k)
                assert len(S0.Mean) == len(S0.Var) == len(S0.lnGaussPrb) == S0.Cls
        s0 = v.RModelStage(); s0.Cls = 2; s0.Mean = [[], []]
        assert lbg.K_MeanGeneral([[]] * 12, s0).Cls >= 1
        assert lbg.LindeBuzoGray_N([[]] * 24, 2).Cls == 1
        s0.Var = s0.lnVar = [[], []]; s0.lnGaussPrb = [0.0, 0.0]
        assert gm.Likelihood([[]] * 3, s0) > -5e9
    """,
    "module_surface": """
        public = sorted(n for n in dir(v) if not n.startswith("__"))
        assert public == ["RArg", "RModelStage", "TGaussianMixture", "TLindeBuzoGray"], public
        for cls in (v.RArg, v.RModelStage, v.TLindeBuzoGray, v.TGaussianMixture):
            assert cls.__module__ == "vqmixer" and cls.__qualname__ == cls.__name__
            expect(AttributeError, setattr, cls(), "extra", 1)
    """,
}


def run_case(body):
    code = textwrap.dedent(PRELUDE) + textwrap.dedent(body) + "\nprint('done')\n"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("case", sorted(CASES))
def test_binding_hazard(case):
    r = run_case(CASES[case])
    assert r.returncode == 0 and r.stdout.endswith("done\n"), f"status {r.returncode}\n{r.stderr[-3000:]}"


def test_callers_objects_never_change():
    X = [[float(i % 5), float(i % 4)] for i in range(60)]
    X_copy = [list(r) for r in X]
    lbg, gm = vqmixer.TLindeBuzoGray(), vqmixer.TGaussianMixture()
    S = gm.EM_Alg(X, 2)
    before = S.__getstate__()
    results = [lbg.K_MeanGeneral(X, S), lbg.LindeBuzoGray_N(X, 2), gm.EM_Alg(X, 2),
               lbg.RandomInitPoint(X, 3), lbg.RandomInitPoint(X, 3)]
    gm.Likelihood(X, S)
    assert X == X_copy and S.__getstate__() == before
    assert len({id(r) for r in results + [S]}) == len(results) + 1
