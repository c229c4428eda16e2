// General K-means: assignment by nearest centroid, clusters below the drop
// threshold removed for good, convergence by greedy centroid matching.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "../kernels/assign.hpp"
#include "../stage_checks.hpp"
#include "nearest.hpp"
#include "vqmixer/linde_buzo_gray.hpp"

namespace vqmixer {
namespace {

constexpr int kMaxSteps = 200;
constexpr double kShiftTolerance = 0.0001;
constexpr double kMatchSentinel = 1e20;

}  // namespace

RModelStage TLindeBuzoGray::K_MeanStep(const ObservationMatrix& X, const RModelStage& S,
                                       const CancelCheck& cancel) const {
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
    std::vector<std::int32_t> label(static_cast<std::size_t>(std::min(N, kCancelCheckRows)));
    for (std::int32_t begin = 0; begin < N; begin += kCancelCheckRows) {
        if (cancel) cancel();
        const std::int32_t end = std::min(N, begin + kCancelCheckRows);
        kernels::assign_rows(X, begin, end, block, label.data());
        for (std::int32_t i = begin; i < end; ++i) {
            const std::int32_t j = label[static_cast<std::size_t>(i - begin)];
            if (j < 0) throw_no_nearest("K_MeanGeneral", i);
            const double* x = X.row(i);
            ++count[static_cast<std::size_t>(j)];
            double* a1 = &s1[static_cast<std::size_t>(j) * d_size];
            double* a2 = &s2[static_cast<std::size_t>(j) * d_size];
            for (std::int32_t k = 0; k < D; ++k) {
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
        n_kept += n;
        kept_counts.push_back(n);
        std::vector<double> mean(d_size), sigma(d_size), ln_sigma(d_size);
        const double* a1 = &s1[static_cast<std::size_t>(j) * d_size];
        const double* a2 = &s2[static_cast<std::size_t>(j) * d_size];
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
    return R;
}

double TLindeBuzoGray::CentroidShift(const RModelStage& A, const RModelStage& B) const {
    const auto D = static_cast<std::int32_t>(B.Mean.front().size());
    std::vector<bool> matched(static_cast<std::size_t>(A.Cls), false);
    double sum = 0.0;
    for (std::int32_t i = 0; i < B.Cls; ++i) {
        double best = kMatchSentinel;
        std::int32_t match = -1;
        const double* b = B.Mean[static_cast<std::size_t>(i)].data();
        for (std::int32_t j = 0; j < A.Cls; ++j) {
            if (matched[static_cast<std::size_t>(j)]) continue;
            const double r = EvklDistance(A.Mean[static_cast<std::size_t>(j)].data(), b, D);
            if (r < best) {
                best = r;
                match = j;
            }
        }
        if (match >= 0) matched[static_cast<std::size_t>(match)] = true;
        sum += best;  // 1e20 when no unmatched old centroid came below it
    }
    return sum;
}

RModelStage TLindeBuzoGray::RunKMeans(const ObservationMatrix& X, RModelStage S,
                                      const CancelCheck& cancel) const {
    RModelStage R;
    for (int step = 0; step < kMaxSteps; ++step) {
        R = K_MeanStep(X, S, cancel);
        const double shift = CentroidShift(S, R);
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
