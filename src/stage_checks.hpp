// Consistency checks of a hand-built stage against the data it is used with.
// Nothing downstream of these checks reads outside a vector.
#pragma once

#include <cstdint>

#include "vqmixer/records.hpp"

namespace vqmixer {

// Cls < 0 fails the way a vector sized by it would: std::length_error.
void require_nonnegative_cls(const RModelStage& S);

// Mean holds at least Cls rows of at least `dim` values.
void require_centroids(const RModelStage& S, std::int32_t dim, const char* op);

// lnGaussPrb, Mean, Var and lnVar hold at least Cls entries, rows at least `dim` values.
void require_complete_stage(const RModelStage& S, std::int32_t dim, const char* op);

}  // namespace vqmixer
