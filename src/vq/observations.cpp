#include "vqmixer/observations.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace vqmixer {
namespace {

std::int32_t checked_count(std::size_t n, const char* what) {
    if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw std::length_error(std::string("observation matrix has too many ") + what);
    return static_cast<std::int32_t>(n);
}

// True when all n values are finite. A branch-free OR over the exponent
// test lets the compiler vectorise the scan, which runs once per call over
// the whole matrix.
bool all_finite(const double* x, std::size_t n) {
    constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;  // all ones: inf or NaN
    std::uint64_t bad = 0;
    for (std::size_t k = 0; k < n; ++k) {
        std::uint64_t b;
        std::memcpy(&b, x + k, sizeof b);
        bad |= static_cast<std::uint64_t>((b & kExponent) == kExponent);
    }
    return bad == 0;
}

}  // namespace

ObservationMatrix::ObservationMatrix(const std::vector<std::vector<double>>& rows) {
    checked_count(rows.size(), "rows");
    row_.reserve(rows.size());
    len_.reserve(rows.size());
    for (const auto& r : rows) {
        row_.push_back(r.data());
        len_.push_back(r.size());
    }
    dim_ = rows.empty() ? 0 : checked_count(rows.front().size(), "columns");
    uniform_ = false;
}

ObservationMatrix::ObservationMatrix(const double* data, std::size_t n, std::size_t d) {
    checked_count(n, "rows");
    dim_ = checked_count(d, "columns");
    row_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) row_.push_back(data + i * d);
}

void ObservationMatrix::require_rows(const char* op) const {
    if (row_.empty()) throw std::invalid_argument(std::string(op) + ": the observation matrix is empty");
    if (uniform_) return;
    const auto d = static_cast<std::size_t>(dim_);
    for (std::size_t i = 0; i < len_.size(); ++i) {
        if (len_[i] < d)
            throw std::invalid_argument(std::string(op) + ": observation row " + std::to_string(i) +
                                        " has " + std::to_string(len_[i]) + " values, but row 0 has " +
                                        std::to_string(d));
    }
}

void ObservationMatrix::require_finite_rows(const char* op) const {
    require_rows(op);
    const auto d = static_cast<std::size_t>(dim_);
    // A contiguous block is scanned in one go; only a failing one is searched row by row.
    if (uniform_ && all_finite(row_.front(), row_.size() * d)) return;
    for (std::int32_t i = 0; i < rows(); ++i) {
        const double* x = row(i);
        if (all_finite(x, d)) continue;
        for (std::int32_t k = 0; k < dim_; ++k) {
            if (!std::isfinite(x[k]))
                throw std::invalid_argument(std::string(op) + ": observation row " + std::to_string(i) +
                                            ", column " + std::to_string(k) + " is not finite (" +
                                            std::to_string(x[k]) + ")");
        }
    }
}

}  // namespace vqmixer
