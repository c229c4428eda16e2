#include "assign.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "cpu.hpp"

#if VQMIXER_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace vqmixer {
namespace kernels {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Why squared sums can be compared without their roots: sqrt is correctly
// rounded, hence monotone, so s < s' gives sqrt(s) <= sqrt(s'), and two sums
// can share a root only when they lie within 2^-51 (relative) of each other,
// or both below 2^-1021 where the roots are tiny. Every centroid whose sum is
// above  m * (1 + 2^-50) + 2^-1000,  m being the smallest sum, therefore has a
// root strictly above sqrt(m) and cannot win. If only one sum lies at or under
// that bound it is the winner; otherwise the few candidates are decided by
// their true roots (C library sqrt), lowest index first, exactly as the
// distance search does. NaN sums fail every comparison and never qualify.
inline double candidate_bound(double m) { return m * (1.0 + 0x1p-50) + 0x1p-1000; }

std::int32_t decide_by_roots(const double* sums, std::int32_t K, std::int32_t first, double bound) {
    std::int32_t winner = first;
    double best = std::sqrt(sums[first]);
    for (std::int32_t j = first + 1; j < K; ++j) {
        if (!(sums[j] <= bound)) continue;
        const double r = std::sqrt(sums[j]);
        if (r < best) {  // strict: the lowest index keeps a tie
            best = r;
            winner = j;
        }
    }
    return winner;
}

std::int32_t pick_nearest_portable(const double* sums, std::int32_t K) {
    double m = std::numeric_limits<double>::infinity();
    for (std::int32_t j = 0; j < K; ++j)
        if (sums[j] < m) m = sums[j];
    const double bound = candidate_bound(m);
    std::int32_t first = -1, count = 0;
    for (std::int32_t j = 0; j < K; ++j) {
        if (sums[j] <= bound) {
            if (first < 0) first = j;
            ++count;
        }
    }
    if (count <= 1) return first;  // -1: every sum is NaN
    return decide_by_roots(sums, K, first, bound);
}

// Squared sums of one row against every centroid, one lane per centroid: each
// lane does  sum += (c - x) * (c - x)  over d = 0 .. D-1 in order, the very
// operations of EvklDistance before its root.
void row_sums_portable(const double* x, const CentroidBlock& B, double* out) {
    const std::int32_t D = B.D, Kp = B.Kp;
    for (std::int32_t j = 0; j < Kp; ++j) out[j] = 0.0;
    const double* c = B.c.data();
    for (std::int32_t d = 0; d < D; ++d, c += Kp) {
        const double xd = x[d];
        for (std::int32_t j = 0; j < Kp; ++j) {
            const double t = c[j] - xd;
            out[j] += t * t;
        }
    }
}

#if VQMIXER_HAVE_AVX2_PATH

// Two rows against 16 centroids per pass: eight independent accumulators
// hide the add latency, and each centroid load serves both rows. Lanes are
// independent sums; nothing is reassociated, and the product t * t is added
// by a separate add (contraction is off).
//
// The second row's difference c - x is computed as fma(x, -1, c): x * -1 is
// exact, so the one rounding of the fused operation is the rounding of
// c - x itself, bit for bit the same as a subtraction (signed zeros
// included: -x + c and c - x both give +0 for c == x). It moves that work
// from the two add pipes, which bound this loop, to the multiply pipes.
//
// It also returns each row's smallest sum. MINPD returns its second operand
// unless the first is strictly smaller, so NaN lanes leave the running
// minimum alone, and the minimum of values that are not NaN is the same
// whatever order it is taken in.
VQMIXER_AVX2 inline double horizontal_min(__m256d v) {
    v = _mm256_min_pd(v, _mm256_permute2f128_pd(v, v, 1));
    v = _mm256_min_pd(v, _mm256_shuffle_pd(v, v, 5));
    return _mm256_cvtsd_f64(v);
}

// With `second0`/`second1` given it also tracks, lane by lane, the smallest
// and second smallest sum (MAXPD(m, s) is NaN when s is, and MINPD then keeps
// the old value), and returns the second smallest of each row's sums counted
// with repetition.
VQMIXER_AVX2 inline void track_two(__m256d s, __m256d& m, __m256d& n) {
    n = _mm256_min_pd(_mm256_max_pd(m, s), n);
    m = _mm256_min_pd(s, m);
}

VQMIXER_AVX2 inline double second_smallest(__m256d m, __m256d n) {
    alignas(32) double a[4], b[4];
    _mm256_store_pd(a, m);
    _mm256_store_pd(b, n);
    double f = std::numeric_limits<double>::infinity(), g = f;
    for (int l = 0; l < 4; ++l) {
        if (a[l] < f) {
            g = f;
            f = a[l];
        } else if (a[l] < g) {
            g = a[l];
        }
        if (b[l] < g) g = b[l];  // b[l] >= a[l] >= f: it can only be second
    }
    return g;
}

VQMIXER_AVX2 void two_row_sums_avx2(const double* x0, const double* x1, const CentroidBlock& B, double* out0,
                                    double* out1, double& min0, double& min1, double* second0 = nullptr,
                                    double* second1 = nullptr) {
    const std::int32_t D = B.D, Kp = B.Kp;
    const double* c = B.c.data();
    __m256d m0 = _mm256_set1_pd(std::numeric_limits<double>::infinity()), m1 = m0;
    __m256d n0 = m0, n1 = m0;
    const bool seconds = second0 != nullptr;
    std::int32_t j = 0;
    for (; j + 16 <= Kp; j += 16) {
        __m256d a0 = _mm256_setzero_pd(), a1 = _mm256_setzero_pd(), a2 = _mm256_setzero_pd(),
                a3 = _mm256_setzero_pd();
        __m256d b0 = _mm256_setzero_pd(), b1 = _mm256_setzero_pd(), b2 = _mm256_setzero_pd(),
                b3 = _mm256_setzero_pd();
        const double* cp = c + j;
        for (std::int32_t d = 0; d < D; ++d, cp += Kp) {
            const __m256d xa = _mm256_broadcast_sd(x0 + d);
            const __m256d xb = _mm256_broadcast_sd(x1 + d);
            const __m256d neg1 = _mm256_set1_pd(-1.0);
            const __m256d c0 = _mm256_loadu_pd(cp), c1 = _mm256_loadu_pd(cp + 4), c2 = _mm256_loadu_pd(cp + 8),
                          c3 = _mm256_loadu_pd(cp + 12);
            __m256d t;
            t = _mm256_sub_pd(c0, xa); a0 = _mm256_add_pd(a0, _mm256_mul_pd(t, t));
            t = _mm256_sub_pd(c1, xa); a1 = _mm256_add_pd(a1, _mm256_mul_pd(t, t));
            t = _mm256_sub_pd(c2, xa); a2 = _mm256_add_pd(a2, _mm256_mul_pd(t, t));
            t = _mm256_sub_pd(c3, xa); a3 = _mm256_add_pd(a3, _mm256_mul_pd(t, t));
            t = _mm256_fmadd_pd(xb, neg1, c0); b0 = _mm256_add_pd(b0, _mm256_mul_pd(t, t));
            t = _mm256_fmadd_pd(xb, neg1, c1); b1 = _mm256_add_pd(b1, _mm256_mul_pd(t, t));
            t = _mm256_fmadd_pd(xb, neg1, c2); b2 = _mm256_add_pd(b2, _mm256_mul_pd(t, t));
            t = _mm256_fmadd_pd(xb, neg1, c3); b3 = _mm256_add_pd(b3, _mm256_mul_pd(t, t));
        }
        _mm256_storeu_pd(out0 + j, a0); _mm256_storeu_pd(out0 + j + 4, a1);
        _mm256_storeu_pd(out0 + j + 8, a2); _mm256_storeu_pd(out0 + j + 12, a3);
        _mm256_storeu_pd(out1 + j, b0); _mm256_storeu_pd(out1 + j + 4, b1);
        _mm256_storeu_pd(out1 + j + 8, b2); _mm256_storeu_pd(out1 + j + 12, b3);
        if (seconds) {
            track_two(a0, m0, n0); track_two(a1, m0, n0); track_two(a2, m0, n0); track_two(a3, m0, n0);
            track_two(b0, m1, n1); track_two(b1, m1, n1); track_two(b2, m1, n1); track_two(b3, m1, n1);
        } else {
            m0 = _mm256_min_pd(a0, m0); m0 = _mm256_min_pd(a1, m0); m0 = _mm256_min_pd(a2, m0);
            m0 = _mm256_min_pd(a3, m0);
            m1 = _mm256_min_pd(b0, m1); m1 = _mm256_min_pd(b1, m1); m1 = _mm256_min_pd(b2, m1);
            m1 = _mm256_min_pd(b3, m1);
        }
    }
    for (; j < Kp; j += 4) {
        __m256d a = _mm256_setzero_pd(), b = _mm256_setzero_pd();
        const double* cp = c + j;
        for (std::int32_t d = 0; d < D; ++d, cp += Kp) {
            const __m256d cv = _mm256_loadu_pd(cp);
            __m256d t = _mm256_sub_pd(cv, _mm256_broadcast_sd(x0 + d));
            a = _mm256_add_pd(a, _mm256_mul_pd(t, t));
            t = _mm256_sub_pd(cv, _mm256_broadcast_sd(x1 + d));
            b = _mm256_add_pd(b, _mm256_mul_pd(t, t));
        }
        _mm256_storeu_pd(out0 + j, a);
        _mm256_storeu_pd(out1 + j, b);
        if (seconds) {
            track_two(a, m0, n0);
            track_two(b, m1, n1);
        } else {
            m0 = _mm256_min_pd(a, m0);
            m1 = _mm256_min_pd(b, m1);
        }
    }
    min0 = horizontal_min(m0);
    min1 = horizontal_min(m1);
    if (seconds) {
        *second0 = second_smallest(m0, n0);
        *second1 = second_smallest(m1, n1);
    }
}

// pick_nearest over a padded row of Kp sums (lanes past K are NaN) whose
// smallest value m is known. The candidates' bits are gathered without
// branches; only a row with two or more candidates takes the exact path.
VQMIXER_AVX2 std::int32_t pick_nearest_avx2(const double* sums, std::int32_t K, std::int32_t Kp, double m) {
    const double bound = candidate_bound(m);
    const __m256d bv = _mm256_set1_pd(bound);
    std::int32_t first = -1, count = 0;
    for (std::int32_t g = 0; g < Kp; g += 64) {
        const std::int32_t stop = std::min(Kp, g + 64);
        std::uint64_t bits = 0;
        for (std::int32_t j = g; j < stop; j += 4) {
            const auto b = static_cast<unsigned>(
                _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(sums + j), bv, _CMP_LE_OQ)));
            bits |= static_cast<std::uint64_t>(b) << (j - g);
        }
        if (bits == 0) continue;
        if (first < 0) first = g + __builtin_ctzll(bits);
        count += __builtin_popcountll(bits);
    }
    if (count <= 1) return first;
    return decide_by_roots(sums, K, first, bound);
}

VQMIXER_AVX2 void assign_rows_avx2(const ObservationMatrix& X, std::int32_t begin, std::int32_t end,
                                   const CentroidBlock& B, std::int32_t* labels, double* s0, double* s1) {
    std::int32_t i = begin;
    for (; i + 2 <= end; i += 2) {
        double m0, m1;
        two_row_sums_avx2(X.row(i), X.row(i + 1), B, s0, s1, m0, m1);
        labels[i - begin] = pick_nearest_avx2(s0, B.K, B.Kp, m0);
        labels[i + 1 - begin] = pick_nearest_avx2(s1, B.K, B.Kp, m1);
    }
    if (i < end) {
        double m0, m1;
        two_row_sums_avx2(X.row(i), X.row(i), B, s0, s1, m0, m1);
        labels[i - begin] = pick_nearest_avx2(s0, B.K, B.Kp, m0);
    }
}

VQMIXER_AVX2 void assign_listed_avx2(const ObservationMatrix& X, const std::int32_t* rows, std::int32_t count,
                                     const CentroidBlock& B, std::int32_t* labels, double* s0, double* s1,
                                     double* win, double* other);

#endif

// Smallest sum other than the winner's; NaN sums fail the comparison.
double other_minimum(const double* sums, std::int32_t K, std::int32_t winner) {
    double m = std::numeric_limits<double>::infinity();
    for (std::int32_t j = 0; j < K; ++j)
        if (j != winner && sums[j] < m) m = sums[j];
    return m;
}

#if VQMIXER_HAVE_AVX2_PATH
// The smallest sum among the centroids other than the winner: the smallest
// sum m itself if the winner's sum is above it (a tie decided by the roots),
// else the second smallest counted with repetition.
inline double other_of(double winner_sum, double m, double second) { return winner_sum == m ? second : m; }

VQMIXER_AVX2 void assign_listed_avx2(const ObservationMatrix& X, const std::int32_t* rows, std::int32_t count,
                                     const CentroidBlock& B, std::int32_t* labels, double* s0, double* s1,
                                     double* win, double* other) {
    std::int32_t i = 0;
    for (; i < count; i += 2) {
        const bool pair = i + 1 < count;
        double m0, m1, n0, n1;
        two_row_sums_avx2(X.row(rows[i]), X.row(rows[pair ? i + 1 : i]), B, s0, s1, m0, m1, &n0, &n1);
        std::int32_t w = pick_nearest_avx2(s0, B.K, B.Kp, m0);
        labels[i] = w;
        if (win) {
            win[i] = w >= 0 ? s0[w] : std::numeric_limits<double>::quiet_NaN();
            other[i] = w >= 0 ? other_of(s0[w], m0, n0) : m0;
        }
        if (!pair) break;
        w = pick_nearest_avx2(s1, B.K, B.Kp, m1);
        labels[i + 1] = w;
        if (win) {
            win[i + 1] = w >= 0 ? s1[w] : std::numeric_limits<double>::quiet_NaN();
            other[i + 1] = w >= 0 ? other_of(s1[w], m1, n1) : m1;
        }
    }
}
#endif

}  // namespace

void assign_listed_rows(const ObservationMatrix& X, const std::int32_t* rows, std::int32_t count,
                        const CentroidBlock& B, std::int32_t* labels, double* winner_sum, double* other_sum) {
    std::vector<double> scratch(2 * static_cast<std::size_t>(B.Kp) + 8);
    double* s0 = scratch.data();
    double* s1 = s0 + B.Kp;
#if VQMIXER_HAVE_AVX2_PATH
    if (use_avx2() && B.D > 0) {
        assign_listed_avx2(X, rows, count, B, labels, s0, s1, winner_sum, other_sum);
        return;
    }
#endif
    for (std::int32_t i = 0; i < count; ++i) {
        row_sums_portable(X.row(rows[i]), B, s0);
        const std::int32_t w = pick_nearest_portable(s0, B.K);
        labels[i] = w;
        if (winner_sum) {
            winner_sum[i] = w >= 0 ? s0[w] : std::numeric_limits<double>::quiet_NaN();
            other_sum[i] = other_minimum(s0, B.K, w);
        }
    }
}

CentroidBlock::CentroidBlock(const std::vector<std::vector<double>>& means, std::int32_t K_, std::int32_t D_)
    : K(K_), D(D_), Kp((K_ + 3) / 4 * 4) {
    c.assign(static_cast<std::size_t>(D) * static_cast<std::size_t>(Kp), kNaN);
    rows.resize(static_cast<std::size_t>(D) * static_cast<std::size_t>(K));
    for (std::int32_t j = 0; j < K; ++j) {
        const double* m = means[static_cast<std::size_t>(j)].data();
        std::copy_n(m, D, rows.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(D));
        for (std::int32_t d = 0; d < D; ++d)
            c[static_cast<std::size_t>(d) * static_cast<std::size_t>(Kp) + static_cast<std::size_t>(j)] = m[d];
    }
    // With D = 0 every sum is 0.0 and no lane carries a NaN: keep the padding
    // out of reach by leaving K as the bound of every search.
}

std::int32_t pick_nearest(const double* sums, std::int32_t K) { return pick_nearest_portable(sums, K); }

void row_sums(const double* x, const CentroidBlock& B, double* out) {
#if VQMIXER_HAVE_AVX2_PATH
    if (use_avx2() && B.D > 0) {
        std::vector<double> spare(static_cast<std::size_t>(B.Kp));
        double m0, m1;
        two_row_sums_avx2(x, x, B, out, spare.data(), m0, m1);
        return;
    }
#endif
    row_sums_portable(x, B, out);
}

void assign_rows(const ObservationMatrix& X, std::int32_t begin, std::int32_t end, const CentroidBlock& B,
                 std::int32_t* labels) {
    std::vector<double> scratch(2 * static_cast<std::size_t>(B.Kp) + 8);
    double* s0 = scratch.data();
    double* s1 = s0 + B.Kp;
#if VQMIXER_HAVE_AVX2_PATH
    if (use_avx2() && B.D > 0) {
        assign_rows_avx2(X, begin, end, B, labels, s0, s1);
        return;
    }
#endif
    for (std::int32_t i = begin; i < end; ++i) {
        row_sums_portable(X.row(i), B, s0);
        labels[i - begin] = pick_nearest_portable(s0, B.K);
    }
}

}  // namespace kernels
}  // namespace vqmixer
