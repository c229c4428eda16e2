#include "nearest.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace vqmixer {

std::int32_t nearest_centroid(const TLindeBuzoGray& vq, const double* x,
                              const std::vector<std::vector<double>>& means, std::int32_t K,
                              std::int32_t D, double sentinel) {
    double best = sentinel;
    std::int32_t chosen = -1;
    for (std::int32_t j = 0; j < K; ++j) {
        const double r = vq.EvklDistance(means[static_cast<std::size_t>(j)].data(), x, D);
        if (r < best) {  // strict: the lowest index keeps a tie
            best = r;
            chosen = j;
        }
    }
    if (chosen >= 0) return chosen;
    // Nothing below the sentinel: take the first distance that is a number
    // (+inf included) and let strictly smaller ones replace it.
    for (std::int32_t j = 0; j < K; ++j) {
        const double r = vq.EvklDistance(means[static_cast<std::size_t>(j)].data(), x, D);
        if (std::isnan(r)) continue;
        if (chosen < 0 || r < best) {
            best = r;
            chosen = j;
        }
    }
    return chosen;
}

void throw_no_nearest(const char* op, std::int32_t row) {
    throw std::invalid_argument(std::string(op) + ": the distance of observation row " + std::to_string(row) +
                                " to every centroid is not a number (the centroids hold NaN)");
}

}  // namespace vqmixer
