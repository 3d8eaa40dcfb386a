// Whether the test runs under AddressSanitizer, which reserves terabytes of
// address space for its shadow memory: a lowered address-space limit then
// cannot make a single large allocation fail, so the tests that rely on one
// skip themselves.
#ifndef TAVEL_TESTS_COMMON_SANITIZER_H
#define TAVEL_TESTS_COMMON_SANITIZER_H

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

}  // namespace tavel_test

#endif
