#include "stage_checks.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace vqmixer {
namespace {

void require_rows_of(const std::vector<std::vector<double>>& rows, const char* field, std::int32_t cls,
                     std::int32_t dim, const char* op) {
    if (rows.size() < static_cast<std::size_t>(cls))
        throw std::invalid_argument(std::string(op) + ": the stage has Cls " + std::to_string(cls) +
                                    " but " + field + " holds only " + std::to_string(rows.size()) +
                                    " rows");
    for (std::int32_t k = 0; k < cls; ++k) {
        const auto& r = rows[static_cast<std::size_t>(k)];
        if (r.size() < static_cast<std::size_t>(dim))
            throw std::invalid_argument(std::string(op) + ": " + field + " row " + std::to_string(k) +
                                        " of the stage has " + std::to_string(r.size()) +
                                        " values, but the observations have " + std::to_string(dim) +
                                        " coordinates");
    }
}

}  // namespace

void require_nonnegative_cls(const RModelStage& S) {
    // the message a negative size asked of a vector produces
    if (S.Cls < 0) throw std::length_error("vector too long");
}

void require_centroids(const RModelStage& S, std::int32_t dim, const char* op) {
    require_rows_of(S.Mean, "Mean", S.Cls, dim, op);
}

void require_complete_stage(const RModelStage& S, std::int32_t dim, const char* op) {
    if (S.lnGaussPrb.size() < static_cast<std::size_t>(S.Cls))
        throw std::invalid_argument(std::string(op) + ": the stage has Cls " + std::to_string(S.Cls) +
                                    " but lnGaussPrb holds only " + std::to_string(S.lnGaussPrb.size()) +
                                    " entries");
    require_rows_of(S.Mean, "Mean", S.Cls, dim, op);
    require_rows_of(S.Var, "Var", S.Cls, dim, op);
    require_rows_of(S.lnVar, "lnVar", S.Cls, dim, op);
}

}  // namespace vqmixer
