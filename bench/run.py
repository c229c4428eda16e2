"""Side-by-side timings of vqmixer and scikit-learn on one core.

Run from the repository root after installing the package:

    python bench/run.py            # all cases, about two minutes
    python bench/run.py --quick    # fewer repeats, smaller whole-fit cases

Both libraries see the same numpy data in the same process. scikit-learn is
held to one thread with threadpoolctl (vqmixer never starts threads). Every
case is warmed up once, then timed several times; the table shows medians.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

# OpenBLAS tuning variables that some machines here set for old OpenBLAS
# builds slow down a current numpy. Drop them for this process only (the
# re-exec happens before numpy loads), so scikit-learn runs its best kernel.
_BLAS_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
if __name__ == "__main__" and any(v in os.environ for v in _BLAS_VARS) and os.environ.get("VQMIXER_BENCH_KEEP_BLAS_ENV") != "1":
    env = {k: v for k, v in os.environ.items() if k not in _BLAS_VARS}
    os.execve(sys.executable, [sys.executable, *sys.argv], env)

import numpy as np  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

import vqmixer  # noqa: E402

# One core of the reference machine class (AVX2, about 2.85 GHz): the
# K-means assignment is bound by two add pipes, the scoring by the divider.
ASSIGN_LIMIT = 11.4e9  # pair-dimensions per second
SCORE_LIMIT = 2.5e9


def blobs(n, d, centres, spread, seed):
    """Gaussian blobs with unequal sizes and spreads, float64, C order."""
    rng = np.random.default_rng(seed)
    c = rng.uniform(-10.0, 10.0, size=(centres, d))
    share = rng.dirichlet(np.full(centres, 3.0))
    label = rng.choice(centres, size=n, p=share)
    scale = rng.uniform(0.5, 1.5, size=(centres, 1)) * spread
    return np.ascontiguousarray(c[label] + rng.standard_normal((n, d)) * scale[label]), c


def timed(fn, repeats):
    """Median processor time of `repeats` runs after one warm-up run.

    Processor time of this (single-threaded) process, not wall time: on a
    shared machine it does not count the time other processes hold the core.
    """
    fn()  # warm-up: page faults, caches, lazy imports
    times = []
    result = None
    for _ in range(repeats):
        t0 = time.process_time()
        result = fn()
        times.append(time.process_time() - t0)
    return statistics.median(times), result


def stage_from(centres):
    s = vqmixer.RModelStage()
    s.Cls = len(centres)
    s.Mean = [list(map(float, r)) for r in centres]
    return s


def sk_kmeans_step(X, centres):
    """One Lloyd iteration of scikit-learn: assignment plus centre update."""
    from sklearn.cluster._k_means_lloyd import lloyd_iter_chunked_dense

    k = centres.shape[0]
    w = np.ones(X.shape[0])
    old = np.array(centres)
    new = np.empty_like(old)
    wic = np.zeros(k)
    labels = np.empty(X.shape[0], dtype=np.int32)
    shift = np.empty(k)

    def run():
        lloyd_iter_chunked_dense(X, w, old, new, wic, labels, shift, 1, True)
        return new

    return run


def mixture_for_sklearn(stage, d):
    from sklearn.mixture import GaussianMixture

    k = stage.Cls
    sigma = np.array(stage.Var[:k], dtype=float)
    gm = GaussianMixture(k, covariance_type="diag")
    gm.weights_ = np.exp(np.array(stage.lnGaussPrb[:k]))
    gm.means_ = np.array(stage.Mean[:k], dtype=float)
    gm.covariances_ = sigma**2
    gm.precisions_cholesky_ = 1.0 / sigma
    gm.precisions_ = 1.0 / sigma**2
    return gm


def mean_sq_nearest(X, centres):
    c = np.asarray(centres, dtype=float)
    best = np.full(X.shape[0], np.inf)
    for row in c:
        best = np.minimum(best, ((X - row) ** 2).sum(axis=1))
    return float(best.mean())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer repeats and smaller whole fits")
    ap.add_argument("--repeats", type=int, default=None)
    ap.add_argument("--only", default="", help="comma list of case numbers to run (1-5)")
    args = ap.parse_args()
    repeats = args.repeats or (3 if args.quick else 11)
    only = {int(c) for c in args.only.split(",") if c}

    blas = [f"{i['internal_api']} {i.get('architecture') or ''}".strip() for i in threadpool_info()]
    print(f"python {platform.python_version()}, numpy {np.__version__}, {platform.machine()}, "
          f"{os.cpu_count()} cpus, threadpools: {', '.join(blas)}")
    try:
        with open("/proc/cpuinfo") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
        print(f"cpu: {model}")
    except OSError:
        pass

    rows = []
    lbg = vqmixer.TLindeBuzoGray()
    gmm = vqmixer.TGaussianMixture()

    with threadpool_limits(limits=1):
        from sklearn.cluster import KMeans
        from sklearn.mixture import GaussianMixture

        # 1. One K-means step on a converged stage.
        if not only or 1 in only:
            N, D, K = 100_000, 16, 64
            X, c = blobs(N, D, K, 1.0, seed=1)
            conv = lbg.K_MeanGeneral(X, stage_from(c))
            assert conv.Cls == K
            t_vq, r = timed(lambda: lbg.K_MeanGeneral(X, conv), repeats)
            assert r.Mean == conv.Mean, "the stage was not at a fixed point: more than one step ran"
            t_sk, _ = timed(sk_kmeans_step(X, np.array(conv.Mean)), repeats)
            pd = N * K * D
            rows.append(("1 K-means step N=100k D=16 K=64", t_vq, t_sk,
                         f"{pd / t_vq / 1e9:.2f} G/s = {pd / t_vq / ASSIGN_LIMIT:.0%} of 11.4", ""))

        # 2. A whole codebook.
        if not only or 2 in only:
            N, D, K = (20_000 if args.quick else 50_000), 13, 64
            X, _ = blobs(N, D, 48, 1.5, seed=2)
            reps = max(1, repeats // 2)
            t_vq, r = timed(lambda: lbg.LindeBuzoGray_N(X, K), reps)
            t_sk, km = timed(lambda: KMeans(K, n_init=1, random_state=0).fit(X), reps)
            rows.append((f"2 codebook LBG K=64 N={N // 1000}k D=13", t_vq, t_sk, "",
                         f"msd {mean_sq_nearest(X, r.Mean[:r.Cls]):.4f} (Cls {r.Cls}) "
                         f"vs {mean_sq_nearest(X, km.cluster_centers_):.4f}"))

        # 3. One scoring pass.
        if not only or 3 in only:
            N, D, K = 50_000, 13, 32
            X, _ = blobs(N, D, 24, 1.5, seed=3)
            stage = lbg.LindeBuzoGray_N(X, K)
            gm = mixture_for_sklearn(stage, D)
            t_vq, _ = timed(lambda: gmm.Likelihood(X, stage), repeats)
            t_sk, _ = timed(lambda: gm.score_samples(X), repeats)
            pd = N * stage.Cls * D
            rows.append((f"3 Likelihood N=50k D=13 K={stage.Cls}", t_vq, t_sk,
                         f"{pd / t_vq / 1e9:.2f} G/s = {pd / t_vq / SCORE_LIMIT:.0%} of 2.5", ""))

        # 4. A whole mixture fit.
        if not only or 4 in only:
            N, D, K = (20_000 if args.quick else 50_000), 13, 32
            X, _ = blobs(N, D, 24, 1.5, seed=4)
            reps = max(1, repeats // 3)
            t_vq, st = timed(lambda: gmm.EM_Alg(X, K), reps)
            t_sk, skm = timed(lambda: GaussianMixture(K, covariance_type="diag", random_state=0).fit(X), reps)
            ours = mixture_for_sklearn(st, D).score(X) if st.Cls else float("nan")
            rows.append((f"4 EM_Alg K=32 N={N // 1000}k D=13", t_vq, t_sk, "",
                         f"mean loglik {ours:.4f} (Cls {st.Cls}) vs {skm.score(X):.4f} ({skm.n_iter_} it)"))

        # 5. Input conversion: the same matrix as lists and as a numpy array.
        if not only or 5 in only:
            N, D = 100_000, 16
            X, _ = blobs(N, D, 8, 1.0, seed=5)
            L = X.tolist()
            t_list, _ = timed(lambda: lbg.RandomInitPoint(L, 1), repeats)
            t_np, _ = timed(lambda: lbg.RandomInitPoint(X, 1), repeats)
            XF = np.asfortranarray(X)
            t_f, _ = timed(lambda: lbg.RandomInitPoint(XF, 1), repeats)
            rows.append(("5 input N=100k D=16: list vs numpy", t_list, t_np, "",
                         f"numpy {t_np * 1e3:.2f} ms, F-order {t_f * 1e3:.2f} ms "
                         "(ratio column: list/numpy)"))

    print()
    print("median processor seconds per call; sk/vq > 1 means vqmixer is faster")
    print(f"{'case':40s} {'vqmixer s':>10s} {'sklearn s':>10s} {'sk/vq':>7s}  {'throughput':26s} note")
    for name, a, b, thr, note in rows:
        print(f"{name:40s} {a:10.4f} {b:10.4f} {b / a:7.2f}  {thr:26s} {note}")


if __name__ == "__main__":
    main()
