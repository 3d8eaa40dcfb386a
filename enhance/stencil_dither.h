// Stencil dithering: the "Tattoo" and "Tattoo_X8" chains that turn a page
// into a 0/255 stencil image, and the error diffusion at their end.
#pragma once

#include "enhance/zq_image.h"

// Black (0) and white (255) result of the size of src; brighter input turns
// white more often. An empty src comes back as a plain copy.
ZQImage zqTattooDithering(ZQImage& src);
// As zqTattooDithering, with the gamma curve pulled toward the measured
// threshold instead of a fixed knee.
ZQImage zqTattooDitheringX8(ZQImage& src);
// The same chains for a source the caller hands over; a grey one becomes the
// chain's first working image instead of being copied.
ZQImage zqTattooDithering(ZQImage&& src);
ZQImage zqTattooDitheringX8(ZQImage&& src);

// Error diffusion of a single-channel image into 0 and 255: a pixel turns
// white when its value plus the diffused error exceeds threshold.
ZQImage edf_cus(const ZQImage& src, int threshold);
