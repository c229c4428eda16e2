// Scoring and moment sums of a diagonal Gaussian mixture, laid out for the
// vector units. Every value is the one the straightforward per-component
// loops produce: the same operations, each sum in the same order.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vqmixer/observations.hpp"
#include "vqmixer/records.hpp"

namespace vqmixer {
namespace kernels {

constexpr double kLogZero = -5e9;  // start of every accumulation; stands for ln 0
constexpr double kFloor = -1e10;   // result when both operands are far below kLogZero
constexpr float kCutOff = -30.0f;  // a term this far below the larger is ignored

// Log-domain addition with single-precision steps; x is the running total.
// A term under the cut-off returns before any expf or log is called.
inline double ln_add(double x, double y) {
    double hi, lo;
    if (y > x) {
        hi = y;
        // the running total is rounded to single precision when it is the smaller operand
        lo = static_cast<double>(static_cast<float>(x));
    } else {  // also when either operand is NaN
        hi = x;
        lo = y;
    }
    const auto diff = static_cast<float>(lo - hi);
    if (diff < kCutOff) return hi < kLogZero ? kFloor : hi;
    const float e = expf(diff);  // single-precision exponential, by design
    return hi + std::log(1.0 + static_cast<double>(e));
}

// exp(t) is exactly 0.0 for every t below about -745.1332 (ln 2^-1075): the
// true value is under half the smallest subnormal and rounds to zero. Below
// -750 it is under 2^-1081, so even an exponential with almost one unit of
// error in the last place returns 0; the call can be skipped.
constexpr double kExpIsZero = -750.0;
inline double exp_or_zero(double t) { return t < kExpIsZero ? 0.0 : std::exp(t); }

// Component parameters dimension by dimension: value d of component k sits at
// [d * Kp + k], Kp being K rounded up to a multiple of 4. Padding lanes hold
// mean 0, deviation 1 and log 0: finite, and never read back.
struct ComponentBlock {
    ComponentBlock(const RModelStage& stage, std::int32_t D);
    std::int32_t K;
    std::int32_t D;
    std::int32_t Kp;
    std::vector<double> mean, sigma, ln_sigma, ln_weight;
};

// PointLikelihood of one observation: row[k] = the log term of component k
// (row needs Kp entries; those past K are scratch), and the result is their
// LnAdd fold from kLogZero in component order. K = 0 gives kLogZero.
double score_row(const double* x, const ComponentBlock& B, double* row);

// Responsibility-weighted moment sums of the M-step, for components k < K:
//   S1[d * Kp + k] = sum over n of gamma[n][k] * x_n[d]
//   S2[d * Kp + k] = sum over n of (x_n[d] * x_n[d]) * gamma[n][k]
// each adding the observations in order n = 0 .. N-1, from 0.0. gamma row n
// starts at gamma + n * stride, stride >= Kp. cancel is called every
// kCancelCheckRows rows.
void moment_sums(const ObservationMatrix& X, const double* gamma, std::size_t stride, std::int32_t K,
                 std::int32_t Kp, double* S1, double* S2, const CancelCheck& cancel);

}  // namespace kernels
}  // namespace vqmixer
