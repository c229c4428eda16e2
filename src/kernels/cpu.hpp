// Runtime choice of the instruction set for the hot loops. The default build
// targets plain x86-64; the AVX2 variants are compiled per function and used
// only when the processor reports AVX2 and FMA. Both variants perform the
// same IEEE operations in the same order, so the choice never changes a
// result. FMA instructions appear only where they are written out explicitly,
// with a multiplier of exactly -1 (see kernels/assign.cpp); -ffp-contract=off
// keeps the compiler from fusing any multiply and add of its own.
#pragma once

namespace vqmixer {
namespace kernels {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VQMIXER_HAVE_AVX2_PATH 1
#define VQMIXER_AVX2 __attribute__((target("avx2,fma")))
#else
#define VQMIXER_HAVE_AVX2_PATH 0
#define VQMIXER_AVX2
#endif

// True when the AVX2 (with FMA) kernels may run. VQMIXER_NO_AVX2=1 in the environment
// forces the portable kernels, so the tests can compare the two.
bool use_avx2();

}  // namespace kernels
}  // namespace vqmixer
