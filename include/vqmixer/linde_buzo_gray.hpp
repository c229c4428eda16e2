// Vector quantization: Euclidean distance, random initial centroids, a K-means
// that drops thinly populated clusters, and deterministic codebook splitting.
#pragma once

#include <cstdint>
#include <vector>

#include "vqmixer/observations.hpp"
#include "vqmixer/records.hpp"

namespace vqmixer {

class TLindeBuzoGray {
public:
    // Euclidean distance over the first n elements; 0.0 for n <= 0.
    double EvklDistance(const double* a, const double* b, std::int32_t n) const;

    // `count` distinct observation rows drawn with the runtime library's rand().
    RModelStage RandomInitPoint(const ObservationMatrix& X, std::int32_t count) const;

    // Codebook of K or K + 1 centroids grown by splitting from the global mean.
    RModelStage LindeBuzoGray_N(const ObservationMatrix& X, std::int32_t K,
                                const CancelCheck& cancel = {}) const;

    // K-means from the `Cls` centroids in `S.Mean`; at most 200 steps.
    RModelStage K_MeanGeneral(const ObservationMatrix& X, RModelStage S,
                              const CancelCheck& cancel = {}) const;

private:
    RModelStage K_MeanStep(const ObservationMatrix& X, const RModelStage& S,
                           const CancelCheck& cancel) const;
    double CentroidShift(const RModelStage& A, const RModelStage& B) const;
    RArg MeanVarAll(const ObservationMatrix& X) const;
    std::vector<std::vector<std::int32_t>> ClusterMembers(const ObservationMatrix& X,
                                                          const RModelStage& model) const;
    RArg MaxVarCluster(const ObservationMatrix& X, const RModelStage& model) const;
    RModelStage RunKMeans(const ObservationMatrix& X, RModelStage S,
                          const CancelCheck& cancel) const;
};

}  // namespace vqmixer
