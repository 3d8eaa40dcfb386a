// The choice between the baseline and the extended build of the vector code.
#include "workers/vector_build.h"

#include <atomic>

#if defined(TAVEL_HAS_EXTENDED_BUILD) && defined(__arm__)
#include <sys/auxv.h>
#endif

namespace {

std::atomic<bool> sExtendedAllowed{true};

bool processorHasExtendedUnit()
{
#if defined(TAVEL_HAS_EXTENDED_BUILD) && defined(__arm__)
    return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
#elif defined(TAVEL_HAS_EXTENDED_BUILD) && defined(__x86_64__)
    // Also false when the system does not save the AVX registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

} // namespace

bool extendedBuildSelected()
{
    static const bool hasUnit = processorHasExtendedUnit();
    return hasUnit && sExtendedAllowed.load(std::memory_order_relaxed);
}

void allowExtendedBuild(bool allowed)
{
    sExtendedAllowed.store(allowed, std::memory_order_relaxed);
}
