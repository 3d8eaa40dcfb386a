// The weighted blend behind add_Weighted and enh_unsharp_mask, in each build
// of the vector code (workers/vector_build.h): the same function in the
// namespace of the baseline build and, where it exists, in that of the
// extended build. Both give the same bytes.
#pragma once

#include <cstddef>

// Bytes [0, count) of (1 + amount) x a - amount x b, rounded and clamped to
// 0 ... 255, into out, which may be b itself: each byte is read before it
// is written.
#define TAVEL_DECLARE_BLEND_PASS(build)                                                      \
    namespace build {                                                                        \
    void blendInto(const unsigned char* pa, const unsigned char* pb, float amount,           \
                   std::size_t count, unsigned char* out);                                   \
    }

TAVEL_DECLARE_BLEND_PASS(baseline_build)
#ifdef TAVEL_HAS_EXTENDED_BUILD
TAVEL_DECLARE_BLEND_PASS(extended_build)
#endif

#undef TAVEL_DECLARE_BLEND_PASS
