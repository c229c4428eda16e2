// Diagonal Gaussian mixtures: EM training from the splitting codebook and
// log-likelihood scoring. Natural logs throughout; the 2*pi term is left out.
#pragma once

#include <cstdint>
#include <memory>

#include "vqmixer/linde_buzo_gray.hpp"
#include "vqmixer/observations.hpp"
#include "vqmixer/records.hpp"

namespace vqmixer {

class TGaussianMixture {
public:
    TGaussianMixture();

    // Fits a mixture started from LBG's codebook for K; at most 200 iterations.
    RModelStage EM_Alg(const ObservationMatrix& X, std::int32_t K,
                       const CancelCheck& cancel = {}) const;

    // ln of the sum over the observations of their mixture likelihoods.
    double Likelihood(const ObservationMatrix& X, RModelStage stage) const;

    // Log-domain addition with single-precision steps; x is the running total.
    static double LnAdd(double x, double y);

    const TLindeBuzoGray& lbg() const { return *LBG; }

private:
    double PointLikelihood(const ObservationMatrix& X, const RModelStage& stage, double* row,
                           std::int32_t n) const;

    std::unique_ptr<TLindeBuzoGray> LBG;
};

}  // namespace vqmixer
