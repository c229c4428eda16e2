"""A plain, auditable Python rendering of every operation, step by step.

Python floats are IEEE doubles and ``math`` calls the C library for sqrt, log
and exp, so this reference reproduces the module's arithmetic to the last bit.
The helpers below give the C semantics where Python would raise instead
(division by zero, log of zero or of a negative number, overflow), and the
single-precision steps go through ctypes (C float conversion and libm's expf).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import struct
from dataclasses import dataclass, field

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.expf.restype = ctypes.c_float
_libm.expf.argtypes = [ctypes.c_float]

INF = math.inf
NAN = math.nan


def f32(x: float) -> float:
    """Round to single precision the way a C cast does (inf on overflow)."""
    return ctypes.c_float(x).value


def expf(x: float) -> float:
    return float(_libm.expf(x))


def div(a: float, b: float) -> float:
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def sqrt(x: float) -> float:
    return NAN if x < 0.0 else math.sqrt(x)


def log(x: float) -> float:
    if math.isnan(x) or x < 0.0:
        return NAN
    if x == 0.0:
        return -INF
    return math.log(x)


def exp(x: float) -> float:
    try:
        return math.exp(x)
    except OverflowError:
        return INF


@dataclass
class Stage:
    Flag: bool = False
    Cls: int = 0
    indexCmp: int = 0
    indexCls: int = 0
    maxVar: float = 0.0
    lnGaussPrb: list = field(default_factory=list)
    Mean: list = field(default_factory=list)
    Var: list = field(default_factory=list)
    lnVar: list = field(default_factory=list)


FIELDS = ("Flag", "Cls", "indexCmp", "indexCls", "maxVar", "lnGaussPrb", "Mean", "Var", "lnVar")


def stage_from(obj) -> Stage:
    return Stage(**{f: getattr(obj, f) for f in FIELDS})


def bits(x: float):
    """Bit pattern of a double, with every NaN mapped to one value."""
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def same(a, b) -> bool:
    """Exact equality of nested floats/ints, NaN equal to NaN."""
    if isinstance(a, (list, tuple)):
        return isinstance(b, (list, tuple)) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) or isinstance(b, float):
        return bits(float(a)) == bits(float(b))
    return a == b


def assert_same_stage(actual, expected: Stage) -> None:
    for f in FIELDS:
        got, want = getattr(actual, f), getattr(expected, f)
        assert same(got, want), f"{f}: {got!r} != {want!r}"


# Vector quantization --------------------------------------------------------


def evkl(a, b, n: int) -> float:
    s = 0.0
    for i in range(n):
        t = a[i] - b[i]
        s += t * t
    return sqrt(s)


def nearest(x, means, K: int, D: int, sentinel: float) -> int:
    best, chosen = sentinel, -1
    for j in range(K):
        r = evkl(means[j], x, D)
        if r < best:
            best, chosen = r, j
    if chosen >= 0:
        return chosen
    for j in range(K):  # nothing below the sentinel: the truly nearest
        r = evkl(means[j], x, D)
        if math.isnan(r):
            continue
        if chosen < 0 or r < best:
            best, chosen = r, j
    return chosen


def k_mean_step(X, S: Stage) -> Stage:
    N, D, K = len(X), len(X[0]), S.Cls
    threshold = int(float(N) * 0.1 / float(K))
    count = [0] * K
    s1 = [[0.0] * D for _ in range(K)]
    s2 = [[0.0] * D for _ in range(K)]
    for x in X:
        j = nearest(x, S.Mean, K, D, 1e10)
        assert j >= 0
        count[j] += 1
        for k in range(D):
            s1[j][k] += x[k]
            s2[j][k] += x[k] * x[k]
    R = Stage(indexCls=-1, indexCmp=-1)
    largest, n_kept, kept = 0.0, 0, []
    for j in range(K):
        n = count[j]
        if n < threshold:
            continue
        n_kept += n
        kept.append(n)
        mean, sd, lsd = [], [], []
        for k in range(D):
            m = div(s1[j][k], float(n))
            s = sqrt(div(s2[j][k], float(n)) - m * m)
            mean.append(m)
            sd.append(s)
            lsd.append(log(s))
            if s > largest:
                largest, R.indexCls, R.indexCmp = s, j, k
        R.Mean.append(mean)
        R.Var.append(sd)
        R.lnVar.append(lsd)
        R.Cls += 1
    R.lnGaussPrb = [log(n / n_kept) for n in kept]
    R.maxVar = sqrt(largest)
    return R


def centroid_shift(A: Stage, B: Stage) -> float:
    D = len(B.Mean[0])
    used = [False] * A.Cls
    total = 0.0
    for i in range(B.Cls):
        best, match = 1e20, -1
        for j in range(A.Cls):
            if used[j]:
                continue
            r = evkl(A.Mean[j], B.Mean[i], D)
            if r < best:
                best, match = r, j
        if match >= 0:
            used[match] = True
        total += best
    return total


def k_mean_general(X, S: Stage, max_steps: int = 200) -> Stage:
    R = S
    for _ in range(max_steps):
        R = k_mean_step(X, S)
        shift = centroid_shift(S, R)
        S = R
        if not shift > 0.0001:
            break
    return R


def mean_var_all(X):
    N, D = len(X), len(X[0])
    s, s2 = [0.0] * D, [0.0] * D
    for x in X:
        for d in range(D):
            s[d] += x[d]
            s2[d] += x[d] * x[d]
    means, variances = [], []
    best, index, max_var = 0.0, 0, 0.0
    for d in range(D):
        m = s[d] / N
        v = s2[d] / N - m * m
        means.append(m)
        variances.append(v)
        if v > best:
            best, index, max_var = v, d, sqrt(v)
    return means, variances, index, max_var


def max_var_cluster(X, model: Stage):
    D = len(X[0])
    members = [[] for _ in range(model.Cls)]
    for k, x in enumerate(X):
        members[nearest(x, model.Mean, model.Cls, D, 1e20)].append(k)
    best, cls, cmp_, max_var = 0.0, 0, 0, 0.0
    for i in range(model.Cls):
        n = len(members[i])
        if n == 0:
            continue
        for d in range(D):
            s = s2 = 0.0
            for k in members[i]:
                s += X[k][d]
                s2 += X[k][d] * X[k][d]
            v = s2 / n - (s / n) * (s / n)
            if v > best:
                best, max_var, cmp_, cls = v, sqrt(v), d, i
    return cls, cmp_, max_var


def linde_buzo_gray(X, K: int) -> Stage | None:
    """None stands for a refused request."""
    N = len(X)
    if K <= 0 or N // K <= 0 or 1.0 - 1.0 / math.sqrt(N // K) < 0.7:
        return None
    means, _, index, max_var = mean_var_all(X)
    R = Stage(Mean=[list(means)])
    if K == 1:
        R.Flag, R.Cls = True, 1
        return R
    if not max_var > 0.0:
        R.Cls = 1
        return k_mean_general(X, R)
    R.Mean.append(list(means))
    delta = 0.01 * max_var
    R.Mean[0][index] += delta
    R.Mean[1][index] -= delta
    R.Cls = 2
    R = k_mean_general(X, R)
    while R.Cls < K:
        i, d, mv = max_var_cluster(X, R)
        if not mv > 0.0:
            break
        delta = 0.01 * mv
        R.Mean.append(list(R.Mean[i]))
        R.Mean.append(list(R.Mean[i]))
        R.Mean[-2][d] += delta
        R.Mean[-1][d] -= delta
        before = R.Cls
        R.Cls += 2
        R = k_mean_general(X, R)
        if R.Cls <= before:
            break
    return R


# Gaussian mixtures ----------------------------------------------------------


def ln_add(x: float, y: float) -> float:
    if y > x:
        hi, lo = y, f32(x)
    else:
        hi, lo = x, y
    diff = f32(lo - hi)
    if diff < -30.0:
        return -1e10 if hi < -5e9 else hi
    return hi + log(1.0 + expf(diff))


def point_likelihood(x, S: Stage, D: int, row: list) -> float:
    if S.Cls <= 0:
        return -5e9
    total = -5e9
    for k in range(S.Cls):
        s = 0.0
        for d in range(D):
            z = div(S.Mean[k][d] - x[d], S.Var[k][d])
            s = s - (z * z * 0.5 + S.lnVar[k][d])
        s = s + S.lnGaussPrb[k]
        row[k] = s
        total = ln_add(total, s)
    return total


def likelihood(X, S: Stage) -> float:
    if not X:
        return -5e9
    D = len(X[0])
    row = [0.0] * max(S.Cls, 0)
    total = -5e9
    for x in X:
        total = ln_add(total, point_likelihood(x, S, D, row))
    return total


def em(X, K: int) -> Stage:
    stage = linde_buzo_gray(X, K)
    if stage is None:
        stage = Stage()
    if not X:
        return stage
    N, D = len(X), len(X[0])
    if stage.Cls == 1 and not stage.Var:
        means, variances, _, _ = mean_var_all(X)
        sd = [sqrt(v) for v in variances]
        stage.Var, stage.lnVar, stage.lnGaussPrb = [sd], [[log(s) for s in sd]], [0.0]
    gamma = [[0.0] * stage.Cls for _ in range(N)]
    previous = -1000.0
    for _ in range(200):
        K_now = stage.Cls
        W = [0.0] * K_now
        for n, x in enumerate(X):
            ll = point_likelihood(x, stage, D, gamma[n])
            for k in range(K_now):
                gamma[n][k] = exp(gamma[n][k] - ll)
                W[k] = W[k] + gamma[n][k]
        ln_w = [log(div(W[k], float(N))) for k in range(K_now)]
        nxt = Stage()
        dropped = False
        for k in range(K_now):
            mean, sd, lsd = [], [], []
            for d in range(D):
                S1 = S2 = 0.0
                for n in range(N):
                    S1 += gamma[n][k] * X[n][d]
                    S2 += (X[n][d] * X[n][d]) * gamma[n][k]
                mu = div(S1, W[k])
                s = sqrt(div(S2, W[k]) - mu * mu)
                if not s > 1e-7:
                    break
                mean.append(mu)
                sd.append(s)
                lsd.append(log(s))
            else:
                nxt.Mean.append(mean)
                nxt.Var.append(sd)
                nxt.lnVar.append(lsd)
                nxt.lnGaussPrb.append(ln_w[k])
                nxt.Cls += 1
                continue
            dropped = True
        if dropped:
            change, L = 100.0, previous
        else:
            L = likelihood(X, stage)
            change = L - previous
        stage = nxt
        if not change > 1e-4:
            break
        previous = L
    return stage
