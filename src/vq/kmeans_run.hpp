// K-means runs that share one BoundedAssigner, so the splitting procedure can
// carry distance bounds from one run to the next (kernels/bounds.hpp).
#pragma once

#include "../kernels/bounds.hpp"
#include "vqmixer/linde_buzo_gray.hpp"

namespace vqmixer {

// K_MeanGeneral's loop without its argument checks. On return `assigner`
// holds bounds for the centroids of the returned stage.
RModelStage run_kmeans(const TLindeBuzoGray& vq, const ObservationMatrix& X, RModelStage S,
                       const CancelCheck& cancel, kernels::BoundedAssigner& assigner);

// CentroidShift: greedy matching of new to old centroids, summed distances.
double centroid_shift(const TLindeBuzoGray& vq, const RModelStage& A, const RModelStage& B);

}  // namespace vqmixer
