// Mixture log-likelihood with the single-precision log-domain addition.
#include <cmath>
#include <vector>

#include "../kernels/mixture.hpp"
#include "../stage_checks.hpp"
#include "vqmixer/gaussian_mixture.hpp"

namespace vqmixer {

using kernels::kLogZero;

TGaussianMixture::TGaussianMixture() : LBG(std::make_unique<TLindeBuzoGray>()) {}

double TGaussianMixture::LnAdd(double x, double y) { return kernels::ln_add(x, y); }

// The straightforward form of one observation's score; the operations use the
// vector kernel, which computes the same values (kept as their reference).
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
    // Laid out once, dimension by dimension, for the vector kernel; each row's
    // score is the PointLikelihood value (see kernels/mixture.hpp).
    // Sized only after the checks, so a stage claiming a huge Cls fails cheaply.
    const kernels::ComponentBlock block(stage, X.dim());
    std::vector<double> scratch(static_cast<std::size_t>(block.Kp), 0.0);
    double total = kLogZero;
    for (std::int32_t n = 0; n < N; ++n)
        total = kernels::ln_add(total, kernels::score_row(X.row(n), block, scratch.data()));
    return total;
}

}  // namespace vqmixer
