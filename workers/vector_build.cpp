// The choice between the baseline and the NEON build of the vector code.
#include "workers/vector_build.h"

#include <atomic>

#ifdef TAVEL_HAS_NEON_BUILD
#include <sys/auxv.h>
#endif

namespace {

std::atomic<bool> sNeonAllowed{true};

bool processorHasNeon()
{
#ifdef TAVEL_HAS_NEON_BUILD
    return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
#else
    return false;
#endif
}

} // namespace

bool neonBuildSelected()
{
    static const bool hasNeon = processorHasNeon();
    return hasNeon && sNeonAllowed.load(std::memory_order_relaxed);
}

void allowNeonBuild(bool allowed)
{
    sNeonAllowed.store(allowed, std::memory_order_relaxed);
}
