// Euclidean distance and random initial centroids.
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "vqmixer/linde_buzo_gray.hpp"

namespace vqmixer {

double TLindeBuzoGray::EvklDistance(const double* a, const double* b, std::int32_t n) const {
    double sum = 0.0;
    for (std::int32_t i = 0; i < n; ++i) {
        const double t = a[i] - b[i];
        sum += t * t;  // fixed order: two runs agree to the last bit
    }
    return std::sqrt(sum);
}

RModelStage TLindeBuzoGray::RandomInitPoint(const ObservationMatrix& X, std::int32_t count) const {
    if (count < 0) throw std::length_error("vector too long");
    const std::int32_t N = X.rows();
    if (count == 0) throw std::invalid_argument("RandomInitPoint: count must be at least 1, got 0");
    if (N == 0) throw std::invalid_argument("RandomInitPoint: the observation matrix is empty");
    if (count > N)
        throw std::invalid_argument("RandomInitPoint: count " + std::to_string(count) + " exceeds the " +
                                    std::to_string(N) + " observation rows");
    // rand() reaches rows 0 .. RAND_MAX only; more distinct rows could never be drawn.
    if (static_cast<long long>(count) > static_cast<long long>(RAND_MAX) + 1)
        throw std::invalid_argument("RandomInitPoint: count " + std::to_string(count) +
                                    " exceeds the rows the random generator can reach");

    // Marks drawn rows, so rejecting a repeat costs O(1) instead of a scan of
    // the rows drawn so far; the draws and their outcome are the same.
    std::vector<bool> drawn(static_cast<std::size_t>(N), false);
    RModelStage R;
    R.Mean.resize(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count;) {
        const std::int32_t d = std::rand() % N;  // rand() is non-negative
        if (drawn[static_cast<std::size_t>(d)]) continue;
        drawn[static_cast<std::size_t>(d)] = true;
        const double* row = X.row(d);
        R.Mean[static_cast<std::size_t>(i)].assign(row, row + X.row_length(d));
        ++i;
    }
    return R;
}

}  // namespace vqmixer
