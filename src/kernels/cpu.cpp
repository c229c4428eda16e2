#include "cpu.hpp"

#include <cstdlib>
#include <cstring>

namespace vqmixer {
namespace kernels {

bool use_avx2() {
    static const bool on = [] {
#if VQMIXER_HAVE_AVX2_PATH
        const char* off = std::getenv("VQMIXER_NO_AVX2");
        if (off != nullptr && std::strcmp(off, "1") == 0) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
#else
        return false;
#endif
    }();
    return on;
}

}  // namespace kernels
}  // namespace vqmixer
