// General K-means: assignment by nearest centroid, clusters below the drop
// threshold removed for good, convergence by greedy centroid matching.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "../kernels/assign.hpp"
#include "../kernels/bounds.hpp"
#include "kmeans_run.hpp"
#include "../stage_checks.hpp"
#include "nearest.hpp"
#include "vqmixer/linde_buzo_gray.hpp"

namespace vqmixer {
namespace {

constexpr int kMaxSteps = 200;
constexpr double kShiftTolerance = 0.0001;
constexpr double kMatchSentinel = 1e20;

// Member counts and sums of every cluster of one step, kept for the next.
struct ClusterSums {
    std::vector<std::int32_t> count;
    std::vector<double> s1, s2;
};

// One K-means step. `assigner` carries the bounds of earlier steps of the
// same run (or none); `kept` receives, for each cluster of the result, its
// number in S. `carry`, when given, holds the previous step's sums in the
// numbering of S and receives this step's in the numbering of the result.
RModelStage kmeans_step(const ObservationMatrix& X, const RModelStage& S, const CancelCheck& cancel,
                        kernels::BoundedAssigner& assigner, std::vector<std::int32_t>& kept,
                        ClusterSums* carry = nullptr) {
    const std::int32_t N = X.rows();
    const std::int32_t D = X.dim();
    const std::int32_t K = S.Cls;
    if (K < 0) throw std::length_error("vector too long");
    const auto threshold = static_cast<std::int32_t>(static_cast<double>(N) * 0.1 / static_cast<double>(K));

    const auto k_size = static_cast<std::size_t>(K);
    const auto d_size = static_cast<std::size_t>(D);
    std::vector<std::int32_t> count(k_size, 0);
    std::vector<double> s1(k_size * d_size, 0.0);
    std::vector<double> s2(k_size * d_size, 0.0);

    // Assignment in blocks of kCancelCheckRows rows: the centroids are laid
    // out once per step for the vector kernel, which picks the same centroid
    // per row as nearest_centroid() with this step's sentinel (see
    // kernels/assign.hpp). The sums then add the rows in order, as before.
    const kernels::CentroidBlock block(S.Mean, K, D);
    for (std::int32_t begin = 0; begin < N; begin += kCancelCheckRows) {
        if (cancel) cancel();
        const std::int32_t end = std::min(N, begin + kCancelCheckRows);
        assigner.assign(block, begin, end);
        const std::int32_t* label = assigner.labels();
        for (std::int32_t i = begin; i < end; ++i)
            if (label[i] < 0) throw_no_nearest("K_MeanGeneral", i);
    }

    // A cluster whose members are the very rows of its predecessor in the
    // previous step has the same sums: the same values added in the same
    // (row) order. Those are taken over; every other cluster is summed anew,
    // its rows in order.
    const bool reuse = carry != nullptr && !assigner.all_changed() &&
                       carry->count.size() == k_size && carry->s1.size() == k_size * d_size;
    std::vector<char> fresh(k_size, 1);
    for (std::size_t j = 0; j < k_size; ++j) {
        if (!reuse || assigner.changed(static_cast<std::int32_t>(j))) continue;
        fresh[j] = 0;
        count[j] = carry->count[j];
        std::copy_n(carry->s1.data() + j * d_size, d_size, s1.data() + j * d_size);
        std::copy_n(carry->s2.data() + j * d_size, d_size, s2.data() + j * d_size);
    }
    {
        const std::int32_t* label = assigner.labels();
        for (std::int32_t i = 0; i < N; ++i) {
            const auto j = static_cast<std::size_t>(label[i]);
            if (!fresh[j]) continue;
            const double* __restrict x = X.row(i);
            ++count[j];
            double* __restrict a1 = s1.data() + j * d_size;  // (no element when D is 0)
            double* __restrict a2 = s2.data() + j * d_size;
            for (std::int32_t k = 0; k < D; ++k) {  // independent sums, one per coordinate
                a1[k] += x[k];
                a2[k] += x[k] * x[k];
            }
        }
    }

    RModelStage R;
    R.indexCls = -1;
    R.indexCmp = -1;
    double largest = 0.0;
    std::int32_t n_kept = 0;
    std::vector<std::int32_t> kept_counts;
    for (std::int32_t j = 0; j < K; ++j) {
        const std::int32_t n = count[static_cast<std::size_t>(j)];
        if (n < threshold) continue;  // dropped for good, never re-seeded
        kept.push_back(j);
        n_kept += n;
        kept_counts.push_back(n);
        std::vector<double> mean(d_size), sigma(d_size), ln_sigma(d_size);
        const double* a1 = s1.data() + static_cast<std::size_t>(j) * d_size;
        const double* a2 = s2.data() + static_cast<std::size_t>(j) * d_size;
        for (std::int32_t k = 0; k < D; ++k) {
            const double m = a1[k] / n;
            // one-pass variance, unclamped: a negative difference gives NaN
            const double sd = std::sqrt(a2[k] / n - m * m);
            mean[static_cast<std::size_t>(k)] = m;
            sigma[static_cast<std::size_t>(k)] = sd;
            ln_sigma[static_cast<std::size_t>(k)] = std::log(sd);
            if (sd > largest) {  // strict: the first in cluster-then-coordinate order wins
                largest = sd;
                R.indexCls = j;
                R.indexCmp = k;
            }
        }
        R.Mean.push_back(std::move(mean));
        R.Var.push_back(std::move(sigma));
        R.lnVar.push_back(std::move(ln_sigma));
        ++R.Cls;
    }
    R.lnGaussPrb.reserve(kept_counts.size());
    for (const std::int32_t n : kept_counts)
        R.lnGaussPrb.push_back(std::log(static_cast<double>(n) / static_cast<double>(n_kept)));
    R.maxVar = std::sqrt(largest);  // the fourth root of the largest variance
    if (carry != nullptr) {
        ClusterSums next;
        next.count.reserve(kept.size());
        next.s1.reserve(kept.size() * d_size);
        next.s2.reserve(kept.size() * d_size);
        for (const std::int32_t j : kept) {
            const auto u = static_cast<std::size_t>(j);
            next.count.push_back(count[u]);
            next.s1.insert(next.s1.end(), s1.data() + u * d_size, s1.data() + u * d_size + d_size);
            next.s2.insert(next.s2.end(), s2.data() + u * d_size, s2.data() + u * d_size + d_size);
        }
        *carry = std::move(next);
    }
    return R;
}

}  // namespace

RModelStage TLindeBuzoGray::K_MeanStep(const ObservationMatrix& X, const RModelStage& S,
                                       const CancelCheck& cancel) const {
    kernels::BoundedAssigner fresh(X);
    std::vector<std::int32_t> kept;
    return kmeans_step(X, S, cancel, fresh, kept);
}

double TLindeBuzoGray::CentroidShift(const RModelStage& A, const RModelStage& B) const {
    return centroid_shift(*this, A, B);
}

double centroid_shift(const TLindeBuzoGray&, const RModelStage& A, const RModelStage& B) {
    const auto D = static_cast<std::int32_t>(B.Mean.front().size());
    // For each new centroid, the squared sums to all old ones in one vector
    // pass (the sums EvklDistance(old, new) takes roots of); matched old
    // centroids are masked as NaN, which never wins. pick_nearest gives the
    // lowest index among the smallest roots, which is what the scan from the
    // 1e20 sentinel finds whenever that root is below 1e20.
    const kernels::CentroidBlock old_block(A.Mean, A.Cls, D);
    std::vector<double> sums(static_cast<std::size_t>(old_block.Kp));
    std::vector<bool> matched(static_cast<std::size_t>(A.Cls), false);
    double sum = 0.0;
    for (std::int32_t i = 0; i < B.Cls; ++i) {
        kernels::row_sums(B.Mean[static_cast<std::size_t>(i)].data(), old_block, sums.data());
        for (std::int32_t j = 0; j < A.Cls; ++j)
            if (matched[static_cast<std::size_t>(j)]) sums[static_cast<std::size_t>(j)] = std::nan("");
        const std::int32_t match = kernels::pick_nearest(sums.data(), A.Cls);
        double best = kMatchSentinel;
        if (match >= 0) {
            const double r = std::sqrt(sums[static_cast<std::size_t>(match)]);
            if (r < best) {
                best = r;
                matched[static_cast<std::size_t>(match)] = true;
            }
        }
        sum += best;  // 1e20 when no unmatched old centroid came below it
    }
    return sum;
}

RModelStage TLindeBuzoGray::RunKMeans(const ObservationMatrix& X, RModelStage S,
                                      const CancelCheck& cancel) const {
    kernels::BoundedAssigner assigner(X);
    return run_kmeans(*this, X, std::move(S), cancel, assigner);
}

RModelStage run_kmeans(const TLindeBuzoGray& vq, const ObservationMatrix& X, RModelStage S,
                       const CancelCheck& cancel, kernels::BoundedAssigner& assigner) {
    RModelStage R;
    // Bounds carried from step to step spare the rows whose nearest centroid
    // cannot have changed (see kernels/bounds.hpp); the labels are the same.
    std::vector<std::int32_t> kept;
    ClusterSums carry;
    for (int step = 0; step < kMaxSteps; ++step) {
        kept.clear();
        R = kmeans_step(X, S, cancel, assigner, kept, &carry);
        assigner.advance(S.Mean, S.Cls, kept, R.Mean);
        const double shift = centroid_shift(vq, S, R);
        S = R;
        if (!(shift > kShiftTolerance)) break;
    }
    return R;
}

RModelStage TLindeBuzoGray::K_MeanGeneral(const ObservationMatrix& X, RModelStage S,
                                          const CancelCheck& cancel) const {
    require_nonnegative_cls(S);
    if (S.Cls == 0) throw std::invalid_argument("K_MeanGeneral: the stage has Cls 0; it needs at least one centroid");
    X.require_finite_rows("K_MeanGeneral");
    require_centroids(S, X.dim(), "K_MeanGeneral");
    return RunKMeans(X, std::move(S), cancel);
}

}  // namespace vqmixer
