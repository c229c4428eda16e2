#include "mixture.hpp"

#include <algorithm>

#include "cpu.hpp"

#if VQMIXER_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace vqmixer {
namespace kernels {
namespace {

// One lane per component; each lane runs the per-component loop of
// PointLikelihood:  z = (mean - x) / sigma;  s = s - (z * z * 0.5 + ln sigma),
// then s + ln weight. The division stays a division (a reciprocal would round
// differently).
void log_terms_portable(const double* x, const ComponentBlock& B, double* row) {
    const std::int32_t D = B.D, Kp = B.Kp;
    for (std::int32_t k = 0; k < Kp; ++k) row[k] = 0.0;
    for (std::int32_t d = 0; d < D; ++d) {
        const double xd = x[d];
        const double* m = &B.mean[static_cast<std::size_t>(d) * Kp];
        const double* sg = &B.sigma[static_cast<std::size_t>(d) * Kp];
        const double* ls = &B.ln_sigma[static_cast<std::size_t>(d) * Kp];
        for (std::int32_t k = 0; k < Kp; ++k) {
            const double z = (m[k] - xd) / sg[k];
            row[k] = row[k] - (z * z * 0.5 + ls[k]);
        }
    }
    for (std::int32_t k = 0; k < Kp; ++k) row[k] = row[k] + B.ln_weight[static_cast<std::size_t>(k)];
}

void moment_sums_portable(const double* const* rows, std::int32_t n_rows, std::int32_t D, const double* gamma,
                          std::size_t stride, std::int32_t Kp, double* S1, double* S2) {
    for (std::int32_t n = 0; n < n_rows; ++n) {
        const double* x = rows[n];
        const double* g = gamma + static_cast<std::size_t>(n) * stride;
        for (std::int32_t d = 0; d < D; ++d) {
            const double xd = x[d];
            const double x2 = xd * xd;
            double* a1 = S1 + static_cast<std::size_t>(d) * Kp;
            double* a2 = S2 + static_cast<std::size_t>(d) * Kp;
            for (std::int32_t k = 0; k < Kp; ++k) {
                a1[k] += g[k] * xd;
                a2[k] += x2 * g[k];
            }
        }
    }
}

#if VQMIXER_HAVE_AVX2_PATH

// Sixteen components per pass keep four divisions in flight; the divider
// bounds this loop, the other operations fit in its shadow.
VQMIXER_AVX2 void log_terms_avx2(const double* x, const ComponentBlock& B, double* row) {
    const std::int32_t D = B.D, Kp = B.Kp;
    const __m256d half = _mm256_set1_pd(0.5);
    std::int32_t k = 0;
    for (; k + 16 <= Kp; k += 16) {
        __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd(), s2 = _mm256_setzero_pd(),
                s3 = _mm256_setzero_pd();
        const double* m = B.mean.data() + k;
        const double* sg = B.sigma.data() + k;
        const double* ls = B.ln_sigma.data() + k;
        for (std::int32_t d = 0; d < D; ++d, m += Kp, sg += Kp, ls += Kp) {
            const __m256d xd = _mm256_broadcast_sd(x + d);
            __m256d z;
#define VQMIXER_TERM(s, o)                                                                        \
    z = _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(m + o), xd), _mm256_loadu_pd(sg + o));        \
    s = _mm256_sub_pd(s, _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(z, z), half), _mm256_loadu_pd(ls + o)));
            VQMIXER_TERM(s0, 0)
            VQMIXER_TERM(s1, 4)
            VQMIXER_TERM(s2, 8)
            VQMIXER_TERM(s3, 12)
        }
        const double* w = B.ln_weight.data() + k;
        _mm256_storeu_pd(row + k, _mm256_add_pd(s0, _mm256_loadu_pd(w)));
        _mm256_storeu_pd(row + k + 4, _mm256_add_pd(s1, _mm256_loadu_pd(w + 4)));
        _mm256_storeu_pd(row + k + 8, _mm256_add_pd(s2, _mm256_loadu_pd(w + 8)));
        _mm256_storeu_pd(row + k + 12, _mm256_add_pd(s3, _mm256_loadu_pd(w + 12)));
    }
    for (; k < Kp; k += 4) {
        __m256d s0 = _mm256_setzero_pd();
        const double* m = B.mean.data() + k;
        const double* sg = B.sigma.data() + k;
        const double* ls = B.ln_sigma.data() + k;
        for (std::int32_t d = 0; d < D; ++d, m += Kp, sg += Kp, ls += Kp) {
            const __m256d xd = _mm256_broadcast_sd(x + d);
            __m256d z;
            VQMIXER_TERM(s0, 0)
        }
#undef VQMIXER_TERM
        _mm256_storeu_pd(row + k, _mm256_add_pd(s0, _mm256_loadu_pd(B.ln_weight.data() + k)));
    }
}

// Sixteen components by one coordinate per pass, over a block of rows: the
// 8 accumulators stay in registers while the rows stream by, and each lane
// adds its rows in order, so every sum keeps the order n = 0, 1, ...
VQMIXER_AVX2 void moment_sums_avx2(const double* const* rows, std::int32_t n_rows, std::int32_t D,
                                   const double* gamma, std::size_t stride, std::int32_t Kp, double* S1,
                                   double* S2) {
    for (std::int32_t d = 0; d < D; ++d) {
        double* a1 = S1 + static_cast<std::size_t>(d) * Kp;
        double* a2 = S2 + static_cast<std::size_t>(d) * Kp;
        std::int32_t k = 0;
        for (; k + 16 <= Kp; k += 16) {
            __m256d p0 = _mm256_loadu_pd(a1 + k), p1 = _mm256_loadu_pd(a1 + k + 4),
                    p2 = _mm256_loadu_pd(a1 + k + 8), p3 = _mm256_loadu_pd(a1 + k + 12);
            __m256d q0 = _mm256_loadu_pd(a2 + k), q1 = _mm256_loadu_pd(a2 + k + 4),
                    q2 = _mm256_loadu_pd(a2 + k + 8), q3 = _mm256_loadu_pd(a2 + k + 12);
            const double* g = gamma + k;
            for (std::int32_t n = 0; n < n_rows; ++n, g += stride) {
                const __m256d xd = _mm256_broadcast_sd(rows[n] + d);
                const __m256d x2 = _mm256_mul_pd(xd, xd);
                const __m256d g0 = _mm256_loadu_pd(g), g1 = _mm256_loadu_pd(g + 4), g2 = _mm256_loadu_pd(g + 8),
                              g3 = _mm256_loadu_pd(g + 12);
                p0 = _mm256_add_pd(p0, _mm256_mul_pd(g0, xd)); q0 = _mm256_add_pd(q0, _mm256_mul_pd(x2, g0));
                p1 = _mm256_add_pd(p1, _mm256_mul_pd(g1, xd)); q1 = _mm256_add_pd(q1, _mm256_mul_pd(x2, g1));
                p2 = _mm256_add_pd(p2, _mm256_mul_pd(g2, xd)); q2 = _mm256_add_pd(q2, _mm256_mul_pd(x2, g2));
                p3 = _mm256_add_pd(p3, _mm256_mul_pd(g3, xd)); q3 = _mm256_add_pd(q3, _mm256_mul_pd(x2, g3));
            }
            _mm256_storeu_pd(a1 + k, p0); _mm256_storeu_pd(a1 + k + 4, p1);
            _mm256_storeu_pd(a1 + k + 8, p2); _mm256_storeu_pd(a1 + k + 12, p3);
            _mm256_storeu_pd(a2 + k, q0); _mm256_storeu_pd(a2 + k + 4, q1);
            _mm256_storeu_pd(a2 + k + 8, q2); _mm256_storeu_pd(a2 + k + 12, q3);
        }
        for (; k < Kp; k += 4) {
            __m256d p = _mm256_loadu_pd(a1 + k), q = _mm256_loadu_pd(a2 + k);
            const double* g = gamma + k;
            for (std::int32_t n = 0; n < n_rows; ++n, g += stride) {
                const __m256d xd = _mm256_broadcast_sd(rows[n] + d);
                const __m256d gv = _mm256_loadu_pd(g);
                p = _mm256_add_pd(p, _mm256_mul_pd(gv, xd));
                q = _mm256_add_pd(q, _mm256_mul_pd(_mm256_mul_pd(xd, xd), gv));
            }
            _mm256_storeu_pd(a1 + k, p);
            _mm256_storeu_pd(a2 + k, q);
        }
    }
}

#endif

}  // namespace

ComponentBlock::ComponentBlock(const RModelStage& stage, std::int32_t D_)
    : K(std::max<std::int32_t>(stage.Cls, 0)), D(D_), Kp((K + 3) / 4 * 4) {
    const auto size = static_cast<std::size_t>(D) * static_cast<std::size_t>(Kp);
    mean.assign(size, 0.0);
    sigma.assign(size, 1.0);
    ln_sigma.assign(size, 0.0);
    ln_weight.assign(static_cast<std::size_t>(Kp), 0.0);
    for (std::int32_t k = 0; k < K; ++k) {
        const auto u = static_cast<std::size_t>(k);
        for (std::int32_t d = 0; d < D; ++d) {
            const std::size_t at = static_cast<std::size_t>(d) * static_cast<std::size_t>(Kp) + u;
            mean[at] = stage.Mean[u][static_cast<std::size_t>(d)];
            sigma[at] = stage.Var[u][static_cast<std::size_t>(d)];
            ln_sigma[at] = stage.lnVar[u][static_cast<std::size_t>(d)];
        }
        ln_weight[u] = stage.lnGaussPrb[u];
    }
}

double score_row(const double* x, const ComponentBlock& B, double* row) {
    if (B.K <= 0) return kLogZero;
#if VQMIXER_HAVE_AVX2_PATH
    if (use_avx2() && B.D > 0)  // with no coordinates the blocks are empty
        log_terms_avx2(x, B, row);
    else
#endif
        log_terms_portable(x, B, row);
    double total = kLogZero;
    for (std::int32_t k = 0; k < B.K; ++k) total = ln_add(total, row[k]);
    return total;
}

void moment_sums(const ObservationMatrix& X, const double* gamma, std::size_t stride, std::int32_t K,
                 std::int32_t Kp, double* S1, double* S2, const CancelCheck& cancel) {
    const std::int32_t N = X.rows();
    const std::int32_t D = X.dim();
    std::fill(S1, S1 + static_cast<std::size_t>(D) * Kp, 0.0);
    std::fill(S2, S2 + static_cast<std::size_t>(D) * Kp, 0.0);
    if (K <= 0) return;
    // Blocks of rows small enough that their responsibilities stay in cache
    // while every coordinate passes over them.
    constexpr std::int32_t kBlock = 256;
    const double* rows[kBlock];
    for (std::int32_t begin = 0; begin < N; begin += kBlock) {
        if (cancel && begin % kCancelCheckRows == 0) cancel();
        const std::int32_t n_rows = std::min(kBlock, N - begin);
        for (std::int32_t n = 0; n < n_rows; ++n) rows[n] = X.row(begin + n);
        const double* g = gamma + static_cast<std::size_t>(begin) * stride;
#if VQMIXER_HAVE_AVX2_PATH
        if (use_avx2()) {
            moment_sums_avx2(rows, n_rows, D, g, stride, Kp, S1, S2);
            continue;
        }
#endif
        moment_sums_portable(rows, n_rows, D, g, stride, Kp, S1, S2);
    }
}

}  // namespace kernels
}  // namespace vqmixer
