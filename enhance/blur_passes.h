// The separable blur passes behind convolve1D and enh_gaussian_filter_fast,
// in each build of the vector code (workers/vector_build.h): the same
// function in the namespace of the baseline build and, where it exists, in
// that of the extended build (NEON, AVX2). Both give the same bytes.
#pragma once

// Blurs the width x height bytes of src into out (as many bytes) with the
// size taps of kernel: along rows, along columns, or both, the rows rounded
// to bytes between the two. Edge pixels repeat outward.
#define TAVEL_DECLARE_BLUR_PASSES(build)                                                     \
    namespace build {                                                                        \
    void blurPasses(const unsigned char* src, int width, int height, const double* kernel,   \
                    int size, bool alongRows, bool alongColumns, unsigned char* out);        \
    }

TAVEL_DECLARE_BLUR_PASSES(baseline_build)
#ifdef TAVEL_HAS_EXTENDED_BUILD
TAVEL_DECLARE_BLUR_PASSES(extended_build)
#endif

#undef TAVEL_DECLARE_BLUR_PASSES
