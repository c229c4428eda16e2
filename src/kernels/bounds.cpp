#include "bounds.hpp"

#include <cmath>
#include <limits>

#include "cpu.hpp"

#if VQMIXER_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace vqmixer {
namespace kernels {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Absolute slack: subnormal products and sums in a distance of up to 2^31
// terms lose at most (2D + 1) * 2^-1075 in the squared sum, under 2^-1010,
// whose root is under 2^-505.
constexpr double kTiny = 0x1p-500;

// How a computed squared sum s^ of D terms relates to the true squared
// distance s: the differences c - x, their squares and the D - 1 additions
// of non-negative terms each round once, so |s^ - s| <= gamma(D + 2) * s plus
// underflow, and the root adds one more rounding. With
// eps = (D + 8) * 2^-52 (more than twice that relative error, leaving room
// for the few roundings of the bound arithmetic itself) the true distance t
// and the computed root r^ = sqrt(s^) satisfy
//     r^ (1 - eps) - kTiny  <=  t  <=  r^ (1 + eps) + kTiny,
// and the same holds with the roles of t and r^ exchanged.
inline double upper_from_sum(double s, double eps) { return std::sqrt(s) * (1.0 + eps) + kTiny; }
// A sum that overflowed to +inf says only that the true distance is large,
// not that it is infinite: it gives no usable lower bound.
inline double lower_from_sum(double s, double eps) {
    return s < kInf ? std::sqrt(s) * (1.0 - eps) - kTiny : -kInf;
}

// Bound updates rounded outward: the result is never below (a + b) or above
// (a - b) as real numbers.
inline double add_up(double a, double b) { return (a + b) * (1.0 + 0x1p-51); }
inline double sub_down(double a, double b) {
    const double v = a - b;
    return v - std::fabs(v) * 0x1p-51 - kTiny;
}

// True when the chosen centroid is certainly the strict winner: every other
// true distance is at least l and the chosen one at most u, so every other
// computed root is at least l (1 - eps) - kTiny and the chosen one at most
// u (1 + eps) + kTiny. Doubling eps and kTiny absorbs the rounding of this
// very test. NaN or infinite bounds never pass.
inline bool settled(double l, double u, double eps) {
    return l * (1.0 - 2.0 * eps) - 2.0 * kTiny > u * (1.0 + 2.0 * eps) + 2.0 * kTiny;
}

bool all_finite(const std::vector<std::vector<double>>& means, std::size_t count, std::int32_t D) {
    for (std::size_t j = 0; j < count; ++j)
        for (std::int32_t d = 0; d < D; ++d)
            if (!std::isfinite(means[j][static_cast<std::size_t>(d)])) return false;
    return true;
}

double squared_sum(const double* a, const double* b, std::int32_t D) {
    double s = 0.0;
    for (std::int32_t d = 0; d < D; ++d) {
        const double t = a[d] - b[d];
        s += t * t;
    }
    return s;
}

}  // namespace

BoundedAssigner::BoundedAssigner(const ObservationMatrix& X)
    : X_(X),
      D_(X.dim()),
      eps_((static_cast<double>(X.dim()) + 8.0) * 0x1p-52),
      label_(static_cast<std::size_t>(X.rows()), -1),
      upper_(static_cast<std::size_t>(X.rows()), kInf),
      lower_(static_cast<std::size_t>(X.rows()), -kInf) {}

void BoundedAssigner::apply_pending(std::size_t u) {
    const std::int32_t a = label_[u];
    if (a < 0) return;
    upper_[u] = add_up(upper_[u], moved_[static_cast<std::size_t>(a)]);
    lower_[u] = sub_down(lower_[u], a == most_at_ ? second_ : most_);
}

void BoundedAssigner::apply_all_pending() {
    if (!pending_) return;
    for (std::size_t u = 0; u < label_.size(); ++u) apply_pending(u);
    pending_ = false;
}

bool BoundedAssigner::tighten(const CentroidBlock& B, std::int32_t i) {
    // The one distance to the chosen centroid replaces the drifted upper bound.
    const auto u = static_cast<std::size_t>(i);
    const std::int32_t a = label_[u];
    const double* x = X_.row(i);
    const double s = squared_sum(B.rows.data() + static_cast<std::size_t>(a) * static_cast<std::size_t>(D_), x, D_);
    upper_[u] = upper_from_sum(s, eps_);
    return settled(lower_[u], upper_[u], eps_);
}

#if VQMIXER_HAVE_AVX2_PATH
// Four rows at a time: the same outward-rounded updates and the same test
// as apply_pending() and settled(), lane by lane.
VQMIXER_AVX2 static std::int32_t scan_avx2(std::int32_t begin, std::int32_t end, const std::int32_t* label,
                                           double* upper, double* lower, bool pending, const double* moved,
                                           double most, double second, std::int32_t most_at, double eps,
                                           std::int32_t* unsettled) {
    std::int32_t count = 0;
    const __m256d up_factor = _mm256_set1_pd(1.0 + 0x1p-51);
    const __m256d down_factor = _mm256_set1_pd(0x1p-51);
    const __m256d tiny = _mm256_set1_pd(kTiny);
    const __m256d two_tiny = _mm256_set1_pd(2.0 * kTiny);
    const __m256d lo_factor = _mm256_set1_pd(1.0 - 2.0 * eps);
    const __m256d hi_factor = _mm256_set1_pd(1.0 + 2.0 * eps);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    const __m128i most_at_v = _mm_set1_epi32(most_at);
    const __m256d most_v = _mm256_set1_pd(most), second_v = _mm256_set1_pd(second);
    std::int32_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const __m128i lab = _mm_loadu_si128(reinterpret_cast<const __m128i*>(label + i));
        const __m128i has = _mm_cmpgt_epi32(lab, _mm_set1_epi32(-1));
        const __m256d has_d = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(has));
        __m256d u = _mm256_loadu_pd(upper + i);
        __m256d l = _mm256_loadu_pd(lower + i);
        if (pending) {
            const __m256d mv = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), moved, lab, has_d, 8);
            const __m256d own = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(lab, most_at_v)));
            const __m256d dec = _mm256_blendv_pd(most_v, second_v, own);
            const __m256d nu = _mm256_mul_pd(_mm256_add_pd(u, mv), up_factor);
            const __m256d v = _mm256_sub_pd(l, dec);
            const __m256d nl = _mm256_sub_pd(_mm256_sub_pd(v, _mm256_mul_pd(_mm256_and_pd(v, abs_mask), down_factor)), tiny);
            // rows without a centroid keep their (unused) bounds
            u = _mm256_blendv_pd(u, nu, has_d);
            l = _mm256_blendv_pd(l, nl, has_d);
            _mm256_storeu_pd(upper + i, u);
            _mm256_storeu_pd(lower + i, l);
        }
        const __m256d left = _mm256_sub_pd(_mm256_mul_pd(l, lo_factor), two_tiny);
        const __m256d right = _mm256_add_pd(_mm256_mul_pd(u, hi_factor), two_tiny);
        const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(left, right, _CMP_GT_OQ), has_d);
        unsigned bits = static_cast<unsigned>(_mm256_movemask_pd(ok)) ^ 0xFu;
        while (bits) {
            unsettled[count++] = i + __builtin_ctz(bits);
            bits &= bits - 1;
        }
    }
    return count;  // the rows past the last whole group of four are left to the caller
}
#endif

void BoundedAssigner::scan(const CentroidBlock& B, std::int32_t begin, std::int32_t end) {
    if (!valid_) {
        for (std::int32_t i = begin; i < end; ++i) redo_.push_back(i);
        return;
    }
    std::int32_t i = begin;
#if VQMIXER_HAVE_AVX2_PATH
    if (use_avx2()) {
        unsettled_.resize(static_cast<std::size_t>(end - begin));
        const std::int32_t n = scan_avx2(begin, end, label_.data(), upper_.data(), lower_.data(), pending_,
                                         moved_.data(), most_, second_, most_at_, eps_, unsettled_.data());
        // the unsettled rows and the tail, in row order
        const std::int32_t stop = end - ((end - begin) % 4);
        // Four rows' distances at a time: each sum is one chain of dependent
        // adds, so interleaving four hides their latency.
        std::int32_t group[4];
        int filled = 0;
        const auto flush = [&]() {
            const std::size_t dd = static_cast<std::size_t>(D_);
            if (filled == 4) {
                const double* x[4];
                const double* c[4];
                double sum[4] = {0.0, 0.0, 0.0, 0.0};
                for (int k = 0; k < 4; ++k) {
                    x[k] = X_.row(group[k]);
                    c[k] = B.rows.data() + static_cast<std::size_t>(label_[static_cast<std::size_t>(group[k])]) * dd;
                }
                for (std::int32_t d = 0; d < D_; ++d) {
                    for (int k = 0; k < 4; ++k) {
                        const double t = c[k][d] - x[k][d];
                        sum[k] += t * t;
                    }
                }
                for (int k = 0; k < 4; ++k) {
                    const auto u = static_cast<std::size_t>(group[k]);
                    upper_[u] = upper_from_sum(sum[k], eps_);
                    if (!settled(lower_[u], upper_[u], eps_)) redo_.push_back(group[k]);
                }
            } else {
                for (int k = 0; k < filled; ++k)
                    if (!tighten(B, group[k])) redo_.push_back(group[k]);
            }
            filled = 0;
        };
        for (std::int32_t r = 0; r < n; ++r) {
            const std::int32_t row = unsettled_[static_cast<std::size_t>(r)];
            if (label_[static_cast<std::size_t>(row)] < 0) {
                redo_.push_back(row);
                continue;
            }
            group[filled++] = row;
            if (filled == 4) flush();
        }
        flush();
        i = stop;
    }
#endif
    for (; i < end; ++i) {
        const auto u = static_cast<std::size_t>(i);
        if (pending_) apply_pending(u);
        if (label_[u] >= 0) {
            if (settled(lower_[u], upper_[u], eps_)) continue;
            if (tighten(B, i)) continue;
        }
        redo_.push_back(i);
    }
}

void BoundedAssigner::assign(const CentroidBlock& B, std::int32_t begin, std::int32_t end) {
    if (begin == 0) {
        changed_.assign(static_cast<std::size_t>(B.K), 0);
        all_changed_ = !comparable_;
    }
    if (first_pass_) {
        assign_rows(X_, begin, end, B, label_.data() + begin);
        if (end == X_.rows()) {
            first_pass_ = false;
            last_pass_labels_only_ = true;
        }
        return;
    }
    redo_.clear();
    scan(B, begin, end);
    if (end == X_.rows()) {
        pending_ = false;  // every row has taken the movement in
        last_pass_labels_only_ = false;
    }
    const auto n = redo_.size();
    if (n == 0) return;
    redo_label_.resize(n);
    redo_win_.resize(n);
    redo_other_.resize(n);
    assign_listed_rows(X_, redo_.data(), static_cast<std::int32_t>(n), B, redo_label_.data(), redo_win_.data(),
                       redo_other_.data());
    for (std::size_t r = 0; r < n; ++r) {
        const auto u = static_cast<std::size_t>(redo_[r]);
        const std::int32_t before = label_[u], after = redo_label_[r];
        if (before != after) {
            if (before >= 0 && before < B.K) changed_[static_cast<std::size_t>(before)] = 1;
            if (after >= 0) changed_[static_cast<std::size_t>(after)] = 1;
        }
        label_[u] = after;
        upper_[u] = upper_from_sum(redo_win_[r], eps_);
        lower_[u] = lower_from_sum(redo_other_[r], eps_);
    }
}

void BoundedAssigner::advance(const std::vector<std::vector<double>>& old_means, std::int32_t K_old,
                              const std::vector<std::int32_t>& from,
                              const std::vector<std::vector<double>>& new_means) {
    apply_all_pending();  // only if a pass over the rows was cut short
    // Bounds are only sound for centroids of finite coordinates: a NaN or
    // infinite centroid turns every later step into a full search.
    const std::size_t K_new = from.size();
    const auto k_old = static_cast<std::size_t>(K_old);
    if (!all_finite(new_means, K_new, D_) || !all_finite(old_means, k_old, D_)) {
        valid_ = false;
        comparable_ = false;
        return;
    }
    // After a pass that found labels only there are no bounds to move yet:
    // the labels are carried over (for the sums) and the next pass
    // computes bounds for every row.
    valid_ = !last_pass_labels_only_;
    comparable_ = true;
    std::vector<std::int32_t> renumber(k_old, -1);
    std::vector<double> moved(K_new);
    // The largest and second largest movement: the other centroids of a row
    // whose own centroid moved most moved at most the second largest.
    double most = 0.0, second = 0.0;
    std::size_t most_at = K_new;
    for (std::size_t i = 0; i < K_new; ++i) {
        const auto j = static_cast<std::size_t>(from[i]);
        renumber[j] = static_cast<std::int32_t>(i);
        moved[i] = upper_from_sum(squared_sum(old_means[j].data(), new_means[i].data(), D_), eps_);
        if (moved[i] > most) {
            second = most;
            most = moved[i];
            most_at = i;
        } else if (moved[i] > second) {
            second = moved[i];
        }
    }
    bool renumbered = false;
    for (std::size_t i = 0; i < K_new; ++i) renumbered = renumbered || from[i] != static_cast<std::int32_t>(i);
    if (renumbered || K_new != k_old) {
        for (std::size_t u = 0; u < label_.size(); ++u) {
            const std::int32_t a = label_[u];
            label_[u] = a >= 0 ? renumber[static_cast<std::size_t>(a)] : -1;  // -1: dropped, search afresh
        }
    }
    moved_ = std::move(moved);
    most_ = most;
    second_ = second;
    most_at_ = most_at < K_new ? static_cast<std::int32_t>(most_at) : -1;
    pending_ = valid_;
}

void BoundedAssigner::append(const CentroidBlock& B, std::int32_t K_old) {
    if (!valid_) return;
    apply_all_pending();
    const std::int32_t N = X_.rows();
    for (std::int32_t i = 0; i < N; ++i) {
        const auto u = static_cast<std::size_t>(i);
        if (label_[u] < 0) continue;
        const double* x = X_.row(i);
        for (std::int32_t j = K_old; j < B.K; ++j) {
            const double s =
                squared_sum(B.rows.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(D_), x, D_);
            const double l = lower_from_sum(s, eps_);
            if (!(l >= lower_[u])) lower_[u] = l;  // NaN too: the row is searched afresh
        }
    }
    comparable_ = false;
}

}  // namespace kernels
}  // namespace vqmixer
