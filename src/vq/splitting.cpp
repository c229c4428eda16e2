// Linde-Buzo-Gray codebook splitting: grow a codebook from the mean of all
// observations by splitting along the widest spread, refining with K-means.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <vector>

#include "../kernels/assign.hpp"
#include "kmeans_run.hpp"
#include "nearest.hpp"
#include "statistics.hpp"
#include "vqmixer/linde_buzo_gray.hpp"

namespace vqmixer {
namespace {

constexpr double kReliabilityFloor = 0.7;
constexpr double kSplitFactor = 0.01;

bool reliable(std::int32_t N, std::int32_t K) {
    if (K <= 0) return false;  // no defined reliability: refuse like an unreliable request
    const std::int32_t q = N / K;
    const double reliability = 1.0 - 1.0 / std::sqrt(static_cast<double>(q));  // q = 0 gives -inf
    return !(reliability < kReliabilityFloor);
}

void print_refusal() {
    // The process's own standard output, not Python's sys.stdout.
    std::cout << "A reliability is not enough!" << std::endl;
    std::cout << "You need either more points or less clusters!" << std::endl;
}

}  // namespace

RArg mean_var_all(const ObservationMatrix& X) {
    const std::int32_t N = X.rows();
    const std::int32_t D = X.dim();
    const auto d_size = static_cast<std::size_t>(D);
    std::vector<double> s(d_size, 0.0), s2(d_size, 0.0);
    for (std::int32_t i = 0; i < N; ++i) {  // observation order within every sum
        const double* x = X.row(i);
        for (std::int32_t d = 0; d < D; ++d) {
            s[static_cast<std::size_t>(d)] += x[d];
            s2[static_cast<std::size_t>(d)] += x[d] * x[d];
        }
    }
    RArg A;
    A.Mean.resize(d_size);
    A.Var.resize(d_size);
    double best = 0.0;
    for (std::int32_t d = 0; d < D; ++d) {
        const auto u = static_cast<std::size_t>(d);
        const double mean = s[u] / N;
        const double var = s2[u] / N - mean * mean;  // one pass, uncorrected
        A.Mean[u] = mean;
        A.Var[u] = var;
        if (var > best) {
            best = var;
            A.indexCmp = d;
            A.indexCls = 0;
            A.maxVar = std::sqrt(var);
        }
    }
    return A;
}

RArg TLindeBuzoGray::MeanVarAll(const ObservationMatrix& X) const { return mean_var_all(X); }

std::vector<std::vector<std::int32_t>> TLindeBuzoGray::ClusterMembers(const ObservationMatrix& X,
                                                                      const RModelStage& model) const {
    std::vector<std::vector<std::int32_t>> members(static_cast<std::size_t>(model.Cls));
    // The vector kernel picks what nearest_centroid() with this sentinel
    // picks: the lowest index among the smallest distances that are numbers.
    const kernels::CentroidBlock block(model.Mean, model.Cls, X.dim());
    const std::int32_t N = X.rows();
    std::vector<std::int32_t> label(static_cast<std::size_t>(std::min(N, kCancelCheckRows)));
    for (std::int32_t begin = 0; begin < N; begin += kCancelCheckRows) {
        const std::int32_t end = std::min(N, begin + kCancelCheckRows);
        kernels::assign_rows(X, begin, end, block, label.data());
        for (std::int32_t k = begin; k < end; ++k) {
            const std::int32_t j = label[static_cast<std::size_t>(k - begin)];
            if (j < 0) throw_no_nearest("LindeBuzoGray_N", k);
            members[static_cast<std::size_t>(j)].push_back(k);
        }
    }
    return members;
}

namespace {

// ClusterMembers with the bounds the last K-means run left in `assigner`
// (they describe exactly the centroids of `model`): the same lists.
std::vector<std::vector<std::int32_t>> members_with_bounds(const ObservationMatrix& X, const RModelStage& model,
                                                           kernels::BoundedAssigner& assigner) {
    std::vector<std::vector<std::int32_t>> members(static_cast<std::size_t>(model.Cls));
    const kernels::CentroidBlock block(model.Mean, model.Cls, X.dim());
    const std::int32_t N = X.rows();
    for (std::int32_t begin = 0; begin < N; begin += kCancelCheckRows) {
        const std::int32_t end = std::min(N, begin + kCancelCheckRows);
        assigner.assign(block, begin, end);
        const std::int32_t* label = assigner.labels();
        for (std::int32_t k = begin; k < end; ++k) {
            if (label[k] < 0) throw_no_nearest("LindeBuzoGray_N", k);
            members[static_cast<std::size_t>(label[k])].push_back(k);
        }
    }
    return members;
}

RArg max_var_of_members(const ObservationMatrix& X, const RModelStage& model,
                        const std::vector<std::vector<std::int32_t>>& members) {
    const std::int32_t D = X.dim();
    RArg A;
    double best = 0.0;
    const auto d_size = static_cast<std::size_t>(D);
    std::vector<double> s(d_size), s2(d_size);
    for (std::int32_t i = 0; i < model.Cls; ++i) {
        const auto& list = members[static_cast<std::size_t>(i)];
        if (list.empty()) continue;
        const auto n = static_cast<double>(list.size());
        // One pass over the members (row by row, not column by column); each
        // coordinate's two sums still add the members in list order.
        std::fill(s.begin(), s.end(), 0.0);
        std::fill(s2.begin(), s2.end(), 0.0);
        double* __restrict a1 = s.data();
        double* __restrict a2 = s2.data();
        for (const std::int32_t k : list) {
            const double* __restrict x = X.row(k);
            for (std::size_t d = 0; d < d_size; ++d) {  // independent sums, one per coordinate
                a1[d] += x[d];
                a2[d] += x[d] * x[d];
            }
        }
        for (std::int32_t d = 0; d < D; ++d) {
            const auto u = static_cast<std::size_t>(d);
            const double var = s2[u] / n - (s[u] / n) * (s[u] / n);
            if (var > best) {  // strict: cluster-major, lowest coordinate wins ties
                best = var;
                A.maxVar = std::sqrt(var);
                A.indexCmp = d;
                A.indexCls = i;
            }
        }
    }
    return A;
}

}  // namespace

RArg TLindeBuzoGray::MaxVarCluster(const ObservationMatrix& X, const RModelStage& model) const {
    return max_var_of_members(X, model, ClusterMembers(X, model));
}

RModelStage TLindeBuzoGray::LindeBuzoGray_N(const ObservationMatrix& X, std::int32_t K,
                                            const CancelCheck& cancel) const {
    RModelStage R;
    if (!reliable(X.rows(), K)) {
        R.Flag = false;
        print_refusal();
        return R;
    }
    X.require_finite_rows("LindeBuzoGray_N");

    const RArg S = MeanVarAll(X);
    R.Mean.push_back(S.Mean);
    if (K == 1) {
        R.Flag = true;
        R.Cls = 1;
        return R;
    }
    if (!(S.maxVar > 0.0)) {
        // No coordinate spreads (all observations equal, or no coordinates):
        // a split could only copy the mean. Return the one-cluster model,
        // refined so that its statistics are complete.
        R.Cls = 1;
        return RunKMeans(X, std::move(R), cancel);
    }

    // First split: the global mean, moved either way along its widest coordinate.
    R.Mean.push_back(S.Mean);
    const auto d0 = static_cast<std::size_t>(S.indexCmp);
    const double delta0 = kSplitFactor * S.maxVar;
    R.Mean[0][d0] += delta0;
    R.Mean[1][d0] -= delta0;
    R.Cls = 2;
    // One set of distance bounds serves every K-means run and membership
    // search of this call: each run leaves it describing the centroids it
    // returns, and a split only appends centroids (kernels/bounds.hpp).
    kernels::BoundedAssigner assigner(X);
    R = run_kmeans(*this, X, std::move(R), cancel, assigner);

    while (R.Cls < K) {
        const RArg A = max_var_of_members(X, R, members_with_bounds(X, R, assigner));
        if (!(A.maxVar > 0.0)) break;  // nothing left to split
        const auto i = static_cast<std::size_t>(A.indexCls);
        const auto d = static_cast<std::size_t>(A.indexCmp);
        const double delta = kSplitFactor * A.maxVar;
        const std::vector<double> parent = R.Mean[i];
        R.Mean.push_back(parent);
        R.Mean.push_back(parent);
        R.Mean[R.Mean.size() - 2][d] += delta;
        R.Mean[R.Mean.size() - 1][d] -= delta;
        const std::int32_t before = R.Cls;
        R.Cls += 2;
        assigner.append(kernels::CentroidBlock(R.Mean, R.Cls, X.dim()), before);
        R = run_kmeans(*this, X, std::move(R), cancel, assigner);
        // A pass that gains nothing means K-means keeps dropping what the
        // splits add (the clusters would fall under the drop threshold):
        // further passes tend to oscillate around this size for ever.
        if (R.Cls <= before) break;
    }
    return R;
}

}  // namespace vqmixer
