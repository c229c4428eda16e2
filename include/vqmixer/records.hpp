// The two plain value records that carry every model across the module.
#pragma once

#include <cstdint>
#include <vector>

namespace vqmixer {

// Statistics of one cluster (or of the whole data set) together with the
// position and size of its widest spread. `Var` holds variances here, unlike
// the `Var` rows of RModelStage, which hold standard deviations.
struct RArg {
    std::int32_t indexCmp = 0;
    std::int32_t indexCls = 0;
    double maxVar = 0.0;
    std::vector<double> Mean;
    std::vector<double> Var;
};

// One whole model: a codebook with per-cluster spreads and weights, which is
// also the parameter set of a diagonal Gaussian mixture.
//   Mean[k][d]   centroid / component mean
//   Var[k][d]    standard deviation sigma (population form), not sigma^2
//   lnVar[k][d]  ln sigma
//   lnGaussPrb[k] ln of the cluster weight
// `Cls` is the number of clusters and is always read from this field, never
// from a list length.
struct RModelStage {
    bool Flag = false;
    std::int32_t Cls = 0;
    std::int32_t indexCmp = 0;
    std::int32_t indexCls = 0;
    double maxVar = 0.0;
    std::vector<double> lnGaussPrb;
    std::vector<std::vector<double>> Mean;
    std::vector<std::vector<double>> Var;
    std::vector<std::vector<double>> lnVar;
};

}  // namespace vqmixer
