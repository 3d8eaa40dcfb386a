// The halftoning passes behind DibImage::Dither, in each build of the vector
// code (workers/vector_build.h): the same functions in the namespace of the
// baseline build and, where it exists, in that of the extended build. They
// give the same image byte for byte.
#ifndef TAVEL_IMAGE_DITHER_PASSES_H
#define TAVEL_IMAGE_DITHER_PASSES_H

#include "image/diffusion_path.h"

class DibImage;
struct ToneBlockMap;

// The three threshold matrices: method 0 (fixed, 128), 1 (ordered, 17
// levels) and 7 (Bayer, byte thresholds).
enum class ThresholdMethod { Fixed, Ordered, Bayer };

#define TAVEL_DECLARE_DITHER_PASSES(build)                                                    \
    namespace build {                                                                         \
    /* work receives the 1-bit image of source; false when scratch memory runs out. */        \
    bool thresholdInto(ThresholdMethod method, const DibImage& source, DibImage& work);        \
    /* Error diffusion of method 2 ... 6, any other number Floyd-Steinberg. */                 \
    bool diffuseInto(unsigned long method, const DibImage& source, DibImage& work,            \
                     DiffusionPath path);                                                     \
    /* The automatic halftone: Sierra diffusion, the line-art blocks of map thresholded. */   \
    bool halftoneBlocksInto(const ToneBlockMap& map, const DibImage& source, DibImage& work,   \
                            DiffusionPath path);                                              \
    }

TAVEL_DECLARE_DITHER_PASSES(baseline_build)
#ifdef TAVEL_HAS_EXTENDED_BUILD
TAVEL_DECLARE_DITHER_PASSES(extended_build)
#endif

#undef TAVEL_DECLARE_DITHER_PASSES

#endif
