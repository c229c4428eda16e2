// Mixture log-likelihood with the single-precision log-domain addition.
#include <cmath>
#include <vector>

#include "../stage_checks.hpp"
#include "vqmixer/gaussian_mixture.hpp"

namespace vqmixer {
namespace {

constexpr double kLogZero = -5e9;   // start of every accumulation; stands for ln 0
constexpr double kFloor = -1e10;    // result when both operands are far below kLogZero
constexpr float kCutOff = -30.0f;   // a term this far below the larger is ignored

}  // namespace

TGaussianMixture::TGaussianMixture() : LBG(std::make_unique<TLindeBuzoGray>()) {}

double TGaussianMixture::LnAdd(double x, double y) {
    double hi, lo;
    if (y > x) {
        hi = y;
        // the running total is rounded to single precision when it is the smaller operand
        lo = static_cast<double>(static_cast<float>(x));
    } else {  // also when either operand is NaN
        hi = x;
        lo = y;
    }
    const auto diff = static_cast<float>(lo - hi);
    if (diff < kCutOff) return hi < kLogZero ? kFloor : hi;
    const float e = expf(diff);  // single-precision exponential, by design
    return hi + std::log(1.0 + static_cast<double>(e));
}

double TGaussianMixture::PointLikelihood(const ObservationMatrix& X, const RModelStage& stage, double* row,
                                         std::int32_t n) const {
    const std::int32_t D = X.dim();
    const std::int32_t K = stage.Cls;
    if (K <= 0) return kLogZero;
    const double* x = X.row(n);
    double total = kLogZero;
    for (std::int32_t k = 0; k < K; ++k) {
        const auto u = static_cast<std::size_t>(k);
        const double* mean = stage.Mean[u].data();
        const double* sigma = stage.Var[u].data();
        const double* ln_sigma = stage.lnVar[u].data();
        double s = 0.0;
        for (std::int32_t d = 0; d < D; ++d) {
            const double z = (mean[d] - x[d]) / sigma[d];  // divide before squaring: Var holds sigma
            s = s - (z * z * 0.5 + ln_sigma[d]);
        }
        s = s + stage.lnGaussPrb[u];
        row[k] = s;
        total = LnAdd(total, s);
    }
    return total;
}

double TGaussianMixture::Likelihood(const ObservationMatrix& X, RModelStage stage) const {
    require_nonnegative_cls(stage);
    const std::int32_t N = X.rows();
    if (N <= 0) return kLogZero;
    if (stage.Cls > 0) {
        X.require_rows("Likelihood");
        require_complete_stage(stage, X.dim(), "Likelihood");
    }
    // sized only after the checks, so a stage claiming a huge Cls fails cheaply
    std::vector<double> scratch(static_cast<std::size_t>(stage.Cls), 0.0);
    double total = kLogZero;
    for (std::int32_t n = 0; n < N; ++n) total = LnAdd(total, PointLikelihood(X, stage, scratch.data(), n));
    return total;
}

}  // namespace vqmixer
