// DibImage::Dither and DibImage::DitherAuto: the frame around the
// halftoning passes (image/dither_passes.cpp), and the choice of the build
// of those passes that this processor runs.
#include "image/dib_image.h"
#include "image/diffusion_path.h"
#include "image/dither_passes.h"
#include "image/halftone_blocks.h"
#include "workers/vector_build.h"

#include <atomic>

namespace {

const char kScratchMessage[] = "DibImage::Dither can't allocate memory";

std::atomic<DiffusionPath> sDiffusionPath{DiffusionPath::Fastest};

bool thresholdInto(ThresholdMethod method, const DibImage& source, DibImage& work)
{
#ifdef TAVEL_HAS_EXTENDED_BUILD
    if (extendedBuildSelected()) return extended_build::thresholdInto(method, source, work);
#endif
    return baseline_build::thresholdInto(method, source, work);
}

bool diffuseInto(unsigned long method, const DibImage& source, DibImage& work)
{
    const DiffusionPath path = sDiffusionPath.load(std::memory_order_relaxed);
#ifdef TAVEL_HAS_EXTENDED_BUILD
    if (extendedBuildSelected()) return extended_build::diffuseInto(method, source, work, path);
#endif
    return baseline_build::diffuseInto(method, source, work, path);
}

bool halftoneBlocksInto(const ToneBlockMap& map, const DibImage& source, DibImage& work)
{
    const DiffusionPath path = sDiffusionPath.load(std::memory_order_relaxed);
#ifdef TAVEL_HAS_EXTENDED_BUILD
    if (extendedBuildSelected()) return extended_build::halftoneBlocksInto(map, source, work, path);
#endif
    return baseline_build::halftoneBlocksInto(map, source, work, path);
}

constexpr long kThresholdMethod = 0;
constexpr long kSierraMethod = 5;

} // namespace

void setDiffusionPath(DiffusionPath path)
{
    sDiffusionPath.store(path, std::memory_order_relaxed);
}

bool DibImage::Dither(long method)
{
    if (!block) return false;
    if (bmpHeader.biBitCount == 1) return true;
    return halftoneInPlace(nullptr, static_cast<unsigned long>(method));
}

// Text, line art and bar codes are thresholded and continuous tone is
// diffused, block by block (image/halftone_blocks.h); a page of one kind
// only goes to that kind's pass whole.
bool DibImage::DitherAuto()
{
    if (!block) return false;
    if (bmpHeader.biBitCount == 1) return true;
    // Only an 8-bit image has a level per byte to classify; the others are
    // never printed, and get the diffusion.
    if (GetNumColors() != 256) return Dither(kSierraMethod);

    const ToneBlockMap map = classifyToneBlocks(GetBits(0), GetWidth(), GetHeight(), info.effWidth);
    const long toneBlocks = map.toneCount();
    if (toneBlocks == 0) return Dither(kThresholdMethod);
    if (toneBlocks == map.columns * map.rows) return Dither(kSierraMethod);
    return halftoneInPlace(&map, 0);
}

bool DibImage::halftoneInPlace(const ToneBlockMap* toneMap, unsigned long method)
{
    DibImage work;
    work.CopyInfo(*this);
    work.Create(GetWidth(), GetHeight(), 1, info.imageType);
    if (!work.IsValid()) {
        copyLastErrorFrom(work);
        return false;
    }

    bool done = false;
    if (toneMap != nullptr) {
        done = halftoneBlocksInto(*toneMap, *this, work);
    } else if (method == 0) {
        done = thresholdInto(ThresholdMethod::Fixed, *this, work);
    } else if (method == 1) {
        done = thresholdInto(ThresholdMethod::Ordered, *this, work);
    } else if (method == 7) {
        done = thresholdInto(ThresholdMethod::Bayer, *this, work);
    } else {
        done = diffuseInto(method, *this, work);
    }
    if (!done) {
        setLastError(kScratchMessage);
        return false;
    }

    work.SetPaletteColor(0, 0, 0, 0, 0);
    work.SetPaletteColor(1, 255, 255, 255, 0);
    Transfer(work);
    return true;
}
