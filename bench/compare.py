"""Bit-for-bit comparison of two builds of vqmixer on many data sets.

    python bench/compare.py OTHER_PYTHON [--cases N] [--seed S]

runs the same calls under this interpreter's vqmixer and under OTHER_PYTHON's
(for example a virtual environment holding a build of an older commit) and
reports every result that differs in any bit. Data sets mix random blobs with
tie-heavy ones: duplicated rows, integer grids, points at equal distances,
clusters that drop out and degenerate clusters that produce NaN.
"""

from __future__ import annotations

import argparse
import math
import pickle
import random
import struct
import subprocess
import sys
import tempfile


def bits(v):
    """A float as its bit pattern, every NaN alike; containers recursively."""
    if isinstance(v, float):
        return "nan" if math.isnan(v) else struct.unpack("<q", struct.pack("<d", v))[0]
    if isinstance(v, (list, tuple)):
        return [bits(x) for x in v]
    return v


def stage_dict(s):
    return {f: bits(getattr(s, f)) for f in
            ("Flag", "Cls", "indexCmp", "indexCls", "maxVar", "lnGaussPrb", "Mean", "Var", "lnVar")}


def datasets(count, seed):
    rng = random.Random(seed)
    out = []
    for case in range(count):
        kind = case % 8
        n = rng.choice([40, 97, 240, 500, 1200])
        d = rng.choice([1, 2, 3, 5, 8, 13, 17])
        if kind == 0:  # blobs
            cs = [[rng.uniform(-20, 20) for _ in range(d)] for _ in range(rng.randint(2, 9))]
            X = [[c + rng.gauss(0, rng.uniform(0.2, 3)) for c in rng.choice(cs)] for _ in range(n)]
        elif kind == 1:  # integer grid: many exact ties
            X = [[float(rng.randint(-3, 3)) for _ in range(d)] for _ in range(n)]
        elif kind == 2:  # duplicated rows
            base = [[rng.uniform(-5, 5) for _ in range(d)] for _ in range(rng.randint(3, 12))]
            X = [list(rng.choice(base)) for _ in range(n)]
        elif kind == 3:  # binary values: equal distances everywhere
            X = [[float(rng.randint(0, 1)) for _ in range(d)] for _ in range(n)]
        elif kind == 4:  # large offset and tiny spread: roots of different sums collide
            X = [[1e8 + rng.randint(0, 4) * 1e-8 for _ in range(d)] for _ in range(n)]
        elif kind == 5:  # one constant coordinate, the rest uniform
            X = [[0.5] + [rng.random() for _ in range(d - 1)] for _ in range(n)]
        elif kind == 6:  # wide dynamic range
            X = [[rng.gauss(0, 1) * 10 ** rng.randint(-3, 3) for _ in range(d)] for _ in range(n)]
        else:  # few distinct half-integers, small data
            n = rng.choice([24, 36, 60])
            X = [[rng.randint(0, 3) * 0.5 for _ in range(d)] for _ in range(n)]
        out.append((case, X, rng.randint(1, 2**31)))
    return out


def run(count, seed):
    import vqmixer

    lbg = vqmixer.TLindeBuzoGray()
    gm = vqmixer.TGaussianMixture()
    results = {}

    def call(key, fn):
        try:
            results[key] = fn()
        except Exception as e:  # the error type and text must agree too
            results[key] = ("error", type(e).__name__, str(e))

    for case, X, s in datasets(count, seed):
        rng = random.Random(s)
        n = len(X)
        for K in sorted({1, 2, 3, rng.randint(2, max(2, n // 12)), n // 12}):
            if K < 1:
                continue
            call((case, "lbg", K), lambda: stage_dict(lbg.LindeBuzoGray_N(X, K)))
        # K-means from drawn rows, duplicated centroids, and far-off centroids
        for variant in range(3):
            K = rng.randint(1, min(12, n))
            st = vqmixer.RModelStage()
            st.Cls = K
            rows = [list(X[rng.randrange(n)]) for _ in range(K)]
            if variant == 1 and K > 1:
                rows[-1] = list(rows[0])
            if variant == 2:
                rows = [[v * 1e3 + rng.choice([0.0, 1e-9]) for v in r] for r in rows]
            st.Mean = rows
            call((case, "kmeans", variant), lambda: stage_dict(lbg.K_MeanGeneral(X, st)))
        for K in sorted({2, max(2, n // 40)}):
            if n >= 12 * K:
                call((case, "em", K), lambda: stage_dict(gm.EM_Alg(X, K)))
        code = lbg.LindeBuzoGray_N(X, max(2, n // 24))
        if code.Cls >= 1 and len(code.Var) >= code.Cls:
            call((case, "lik", 0), lambda: bits(gm.Likelihood(X, code)))
            far = vqmixer.RModelStage()
            far.Cls = code.Cls
            far.Mean = [[v + 40 * k for v in r] for k, r in enumerate(code.Mean)]
            far.Var = [[abs(v) * 0.01 + 1e-3 for v in r] for r in code.Var]
            far.lnVar = [[math.log(v) for v in r] for r in far.Var]
            far.lnGaussPrb = list(code.lnGaussPrb)
            call((case, "lik", 1), lambda: bits(gm.Likelihood(X, far)))
    return results


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        with open(sys.argv[4], "wb") as f:  # stdout carries the refusal lines
            pickle.dump(run(int(sys.argv[2]), int(sys.argv[3])), f)
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("other")
    ap.add_argument("--cases", type=int, default=48)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    mine = run(a.cases, a.seed)
    with tempfile.NamedTemporaryFile(suffix=".pickle") as tmp:
        subprocess.run([a.other, __file__, "--child", str(a.cases), str(a.seed), tmp.name],
                       check=True, stdout=subprocess.DEVNULL)
        with open(tmp.name, "rb") as f:
            theirs = pickle.load(f)
    diff = [k for k in mine if mine[k] != theirs.get(k)]
    diff += [k for k in theirs if k not in mine]
    print(f"{len(mine)} results compared, {len(diff)} differ")
    for k in diff[:20]:
        print("  ", k)
    sys.exit(1 if diff else 0)


if __name__ == "__main__":
    main()
