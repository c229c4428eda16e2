#include "bounds.hpp"

#include <cmath>
#include <limits>

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
inline double lower_from_sum(double s, double eps) { return std::sqrt(s) * (1.0 - eps) - kTiny; }

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

void BoundedAssigner::assign(const CentroidBlock& B, std::int32_t begin, std::int32_t end) {
    if (begin == 0) {
        changed_.assign(static_cast<std::size_t>(B.K), 0);
        all_changed_ = !comparable_;
    }
    redo_.clear();
    for (std::int32_t i = begin; i < end; ++i) {
        const auto u = static_cast<std::size_t>(i);
        if (valid_ && label_[u] >= 0) {
            if (settled(lower_[u], upper_[u], eps_)) continue;
            // Tighten u with the one distance to the chosen centroid.
            const std::int32_t a = label_[u];
            const double* x = X_.row(i);
            double s = 0.0;
            const double* c = B.c.data() + a;
            for (std::int32_t d = 0; d < D_; ++d) {
                const double t = c[static_cast<std::size_t>(d) * static_cast<std::size_t>(B.Kp)] - x[d];
                s += t * t;
            }
            upper_[u] = upper_from_sum(s, eps_);
            if (settled(lower_[u], upper_[u], eps_)) continue;
        }
        redo_.push_back(i);
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
    // Bounds are only sound for centroids of finite coordinates: a NaN or
    // infinite centroid turns every later step into a full search.
    const std::size_t K_new = from.size();
    const auto k_old = static_cast<std::size_t>(K_old);
    if (!all_finite(new_means, K_new, D_) || !all_finite(old_means, k_old, D_)) {
        valid_ = false;
        comparable_ = false;
        return;
    }
    valid_ = true;
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
    for (std::size_t u = 0; u < label_.size(); ++u) {
        const std::int32_t a = label_[u];
        const std::int32_t a_new = a >= 0 ? renumber[static_cast<std::size_t>(a)] : -1;
        label_[u] = a_new;  // -1: its centroid was dropped, search afresh
        if (a_new < 0) continue;
        upper_[u] = add_up(upper_[u], moved[static_cast<std::size_t>(a_new)]);
        lower_[u] = sub_down(lower_[u], static_cast<std::size_t>(a_new) == most_at ? second : most);
    }
}

void BoundedAssigner::append(const CentroidBlock& B, std::int32_t K_old) {
    if (!valid_) return;
    const std::int32_t N = X_.rows();
    for (std::int32_t i = 0; i < N; ++i) {
        const auto u = static_cast<std::size_t>(i);
        if (label_[u] < 0) continue;
        const double* x = X_.row(i);
        for (std::int32_t j = K_old; j < B.K; ++j) {
            double s = 0.0;
            const double* c = B.c.data() + j;
            for (std::int32_t d = 0; d < D_; ++d) {
                const double t = c[static_cast<std::size_t>(d) * static_cast<std::size_t>(B.Kp)] - x[d];
                s += t * t;
            }
            const double l = lower_from_sum(s, eps_);
            if (!(l >= lower_[u])) lower_[u] = l;  // NaN too: the row is searched afresh
        }
    }
    comparable_ = false;
}

}  // namespace kernels
}  // namespace vqmixer
