// Statistics of all observations, shared by the splitting (where to make the
// first split) and the EM training (the start of a one-component mixture).
#pragma once

#include "vqmixer/observations.hpp"
#include "vqmixer/records.hpp"

namespace vqmixer {

// Per-coordinate means and variances (one pass, population form, in
// observation order), and the coordinate of the largest positive variance
// with its square root; index 0 and 0.0 when no variance is positive.
RArg mean_var_all(const ObservationMatrix& X);

}  // namespace vqmixer
