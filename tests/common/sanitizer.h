// Whether the test runs under AddressSanitizer, which reserves terabytes of
// address space for its shadow memory: a lowered address-space limit then
// cannot make a single large allocation fail, so the tests that rely on one
// skip themselves. The same holds under qemu-user (the ARM runs of the
// suite), which accepts a new limit but keeps its own address space whole.
#ifndef TAVEL_TESTS_COMMON_SANITIZER_H
#define TAVEL_TESTS_COMMON_SANITIZER_H

#include <sys/resource.h>

namespace tavel_test {

inline bool underAddressSanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

// Whether a lowered RLIMIT_AS binds this process and the programs it starts.
// qemu-user reports success for the new limit and never applies it, so the
// probe lowers the soft limit, reads it back and restores it.
inline bool addressSpaceLimitsBind()
{
    if (underAddressSanitizer())
        return false;
    rlimit before{};
    if (getrlimit(RLIMIT_AS, &before) != 0)
        return false;
    rlimit probe = before;
    probe.rlim_cur = before.rlim_cur == RLIM_INFINITY ? rlim_t(3) << 30 : before.rlim_cur - 1;
    rlimit seen{};
    const bool bound = setrlimit(RLIMIT_AS, &probe) == 0 && getrlimit(RLIMIT_AS, &seen) == 0 &&
                       seen.rlim_cur == probe.rlim_cur;
    setrlimit(RLIMIT_AS, &before);
    return bound;
}

}  // namespace tavel_test

#endif
