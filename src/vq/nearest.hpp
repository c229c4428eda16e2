// Nearest-centroid search shared by the K-means step and the membership lists.
#pragma once

#include <cstdint>
#include <vector>

#include "vqmixer/linde_buzo_gray.hpp"

namespace vqmixer {

// Index of the centroid nearest to x among the first K rows of `means`:
// the search scans in index order from the finite `sentinel` with a strict
// comparison, so ties go to the lowest index and a NaN distance never wins.
// A row that no centroid beats the sentinel for (data of very large
// magnitude) joins the truly nearest centroid by the same rule. Returns -1
// only when every distance is NaN.
std::int32_t nearest_centroid(const TLindeBuzoGray& vq, const double* x,
                              const std::vector<std::vector<double>>& means, std::int32_t K,
                              std::int32_t D, double sentinel);

// Throws std::invalid_argument naming the row whose distances are all NaN.
[[noreturn]] void throw_no_nearest(const char* op, std::int32_t row);

}  // namespace vqmixer
