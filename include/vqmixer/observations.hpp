// A read-only view of an observation matrix: N rows of doubles. The dimension
// D is the length of row 0 and every row is read as D values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace vqmixer {

class ObservationMatrix {
public:
    ObservationMatrix() = default;

    // Views the rows of a vector of vectors; the rows must outlive the view.
    explicit ObservationMatrix(const std::vector<std::vector<double>>& rows);

    // Views a contiguous row-major block of n rows of d values each.
    ObservationMatrix(const double* data, std::size_t n, std::size_t d);

    std::int32_t rows() const { return static_cast<std::int32_t>(row_.size()); }
    bool empty() const { return row_.empty(); }
    // Length of row 0 (0 for an empty matrix).
    std::int32_t dim() const { return dim_; }
    const double* row(std::int32_t i) const { return row_[static_cast<std::size_t>(i)]; }
    std::size_t row_length(std::int32_t i) const {
        return uniform_ ? static_cast<std::size_t>(dim_) : len_[static_cast<std::size_t>(i)];
    }

    // Throws std::invalid_argument (naming `op`) unless the matrix has at least
    // one row and every row holds at least D values.
    void require_rows(const char* op) const;
    // As require_rows, and every value read must be finite.
    void require_finite_rows(const char* op) const;

private:
    std::vector<const double*> row_;
    std::vector<std::size_t> len_;  // filled only when the rows may differ
    std::int32_t dim_ = 0;
    bool uniform_ = true;
};

// Called by the long-running operations between steps; it may throw to abandon
// the call (the binding layer connects it to the interpreter's signal check).
using CancelCheck = std::function<void()>;

// Rows processed between two cancellation checks inside one long pass.
constexpr std::int32_t kCancelCheckRows = 4096;

}  // namespace vqmixer
