// Nearest-centroid assignment of many observation rows at once.
//
// The rule is that of nearest_centroid(): among the centroids whose Euclidean
// distance (EvklDistance, the square root of a sum taken in coordinate order)
// is smallest and not NaN, the lowest index wins; -1 when every distance is
// NaN. The search's finite start value never changes the winner, only which
// of the two scans of nearest_centroid() finds it, so it plays no part here.
#pragma once

#include <cstdint>
#include <vector>

#include "vqmixer/observations.hpp"

namespace vqmixer {
namespace kernels {

// Centroids stored dimension by dimension: value d of centroid j sits at
// c[d * Kp + j], Kp being K rounded up to a multiple of 4. The lanes past K
// hold NaN, whose sums are NaN and never win.
struct CentroidBlock {
    CentroidBlock(const std::vector<std::vector<double>>& means, std::int32_t K, std::int32_t D);
    std::int32_t K;
    std::int32_t D;
    std::int32_t Kp;
    std::vector<double> c;
    std::vector<double> rows;  // the same values row by row: rows[j * D + d]
};

// labels[i - begin] = the nearest centroid of row i, for begin <= i < end.
void assign_rows(const ObservationMatrix& X, std::int32_t begin, std::int32_t end, const CentroidBlock& B,
                 std::int32_t* labels);

// As assign_rows, for the rows listed in rows[0 .. count-1]; also gives each
// listed row's squared sum to its winner and the smallest squared sum to any
// other centroid (+inf if there is none; NaN sums are passed over).
void assign_listed_rows(const ObservationMatrix& X, const std::int32_t* rows, std::int32_t count,
                        const CentroidBlock& B, std::int32_t* labels, double* winner_sum, double* other_sum);

// out[j] = the squared sum of x against centroid j, for j < Kp (lanes past K
// are NaN): the sum EvklDistance(centroid j, x, D) takes the root of.
void row_sums(const double* x, const CentroidBlock& B, double* out);

// The nearest of K centroids, given the K squared sums of one row (each
// summed in coordinate order from 0.0, as EvklDistance sums before its root).
std::int32_t pick_nearest(const double* sums, std::int32_t K);

}  // namespace kernels
}  // namespace vqmixer
