// EM training of a diagonal Gaussian mixture, started from the codebook.
#include <cmath>
#include <vector>

#include "../kernels/mixture.hpp"
#include "../vq/statistics.hpp"
#include "vqmixer/gaussian_mixture.hpp"

namespace vqmixer {
namespace {

using kernels::kLogZero;

constexpr int kMaxIterations = 200;
constexpr double kStopChange = 1e-4;
constexpr double kSigmaFloor = 1e-7;
constexpr double kInitialScore = -1000.0;
constexpr double kChangeAfterDrop = 100.0;

// A one-cluster codebook carries only its mean: add the deviations of all
// observations (population form), their logs and the weight ln 1 = 0.
void complete_single_component(const ObservationMatrix& X, RModelStage& stage) {
    const RArg all = mean_var_all(X);
    std::vector<double> sigma(all.Var.size()), ln_sigma(all.Var.size());
    for (std::size_t d = 0; d < all.Var.size(); ++d) {
        sigma[d] = std::sqrt(all.Var[d]);
        ln_sigma[d] = std::log(sigma[d]);
    }
    stage.Var.assign(1, sigma);
    stage.lnVar.assign(1, ln_sigma);
    stage.lnGaussPrb.assign(1, 0.0);
}

}  // namespace

RModelStage TGaussianMixture::EM_Alg(const ObservationMatrix& X, std::int32_t K, const CancelCheck& cancel) const {
    RModelStage stage = LBG->LindeBuzoGray_N(X, K, cancel);
    const std::int32_t N = X.rows();
    // A refused request returns before any observation is read; an empty
    // matrix is always refused, so N >= 1 from here on.
    if (N == 0) return stage;
    // Past a refusal the splitting has checked every row (finite, D values).
    const std::int32_t D = X.dim();
    if (stage.Cls == 1 && stage.Var.empty()) complete_single_component(X, stage);

    const auto n_size = static_cast<std::size_t>(N);
    const auto d_size = static_cast<std::size_t>(D);
    // Allocated once, for the initial K; rows are padded to a multiple of 4
    // so the vector kernels may write and read whole lanes past the last
    // component (those lanes are never used).
    const auto k0 = static_cast<std::size_t>((stage.Cls + 3) / 4 * 4);
    std::vector<double> gamma(n_size * k0, 0.0);
    std::vector<double> S1, S2;
    double previous = kInitialScore;

    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        if (cancel) cancel();
        const std::int32_t K_now = stage.Cls;
        const auto k_size = static_cast<std::size_t>(K_now);
        std::vector<double> W(k_size, 0.0);
        const kernels::ComponentBlock block(stage, D);

        // E-step. The per-observation scores are those Likelihood would
        // compute for this same stage, so their LnAdd fold is this
        // iteration's score.
        double score = kLogZero;
        for (std::size_t n = 0; n < n_size; ++n) {
            if (cancel && n % kCancelCheckRows == 0) cancel();
            double* g = gamma.data() + n * k0;  // no element when the stage is empty
            const double ll = kernels::score_row(X.row(static_cast<std::int32_t>(n)), block, g);
            score = kernels::ln_add(score, ll);
            for (std::size_t k = 0; k < k_size; ++k) {
                g[k] = kernels::exp_or_zero(g[k] - ll);
                W[k] = W[k] + g[k];
            }
        }
        std::vector<double> ln_weight(k_size);
        for (std::size_t k = 0; k < k_size; ++k) ln_weight[k] = std::log(W[k] / static_cast<double>(N));

        // M-step. All the weighted sums first, in one cache-friendly sweep
        // (each still adds the observations in order); the sums of a
        // component that turns out to collapse are simply not used.
        const auto kp = static_cast<std::size_t>(block.Kp);
        S1.resize(d_size * kp);
        S2.resize(d_size * kp);
        kernels::moment_sums(X, gamma.data(), k0, K_now, block.Kp, S1.data(), S2.data(), cancel);
        RModelStage next;
        bool dropped = false;
        for (std::size_t k = 0; k < k_size; ++k) {
            if (cancel) cancel();
            std::vector<double> mean, sigma, ln_sigma;
            bool kept = true;
            for (std::size_t d = 0; d < d_size; ++d) {
                const double mu = S1[d * kp + k] / W[k];
                const double v = S2[d * kp + k] / W[k] - mu * mu;
                const double sd = std::sqrt(v);
                const double lsd = std::log(sd);
                if (!(sd > kSigmaFloor)) {  // collapsed, or NaN
                    kept = false;
                    break;
                }
                mean.push_back(mu);
                sigma.push_back(sd);
                ln_sigma.push_back(lsd);
            }
            if (!kept) {
                dropped = true;
                continue;
            }
            next.Mean.push_back(std::move(mean));
            next.Var.push_back(std::move(sigma));
            next.lnVar.push_back(std::move(ln_sigma));
            next.lnGaussPrb.push_back(ln_weight[k]);
            ++next.Cls;
        }

        double L = previous;
        double change = kChangeAfterDrop;
        if (!dropped) {
            L = score;
            change = L - previous;
        }
        stage = std::move(next);  // Flag and the index fields return to their initial values
        if (!(change > kStopChange)) break;
        previous = L;
    }
    return stage;
}

}  // namespace vqmixer
