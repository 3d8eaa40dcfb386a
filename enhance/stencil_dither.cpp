// The stencil chains (grey, moment threshold, gamma, unsharp mask, error
// diffusion) and the error diffusion that ends them.
#include "enhance/stencil_dither.h"

#include "enhance/enhance_filters.h"

#include <vector>

namespace {

// Error shares of one pixel, the targets relative to it. Two are negative;
// together they pass on 94 % of the error.
const float kShareRight = 0.505786f;       // (x + 1, y)
const float kShareRight2 = -0.052926f;     // (x + 2, y)
const float kShareBelowLeft2 = 0.226194f;  // (x - 2, y + 1)
const float kShareBelowLeft = 0.128835f;   // (x - 1, y + 1)
const float kShareBelow = 0.243191f;       // (x, y + 1)
const float kShareBelowRight = -0.111078f; // (x + 1, y + 1)

// The next row's accumulators carry margins of two at each end. Shares that
// fall into a margin, or into the row below the last, are never read, which
// drops them exactly as a bounds test would.
const int kErrorMargin = 2;

// A white interior pixel owes 255 less 0.1427 * 255 for each black neighbour
// to its left or above, which pushes the following pixels toward white.
float whitePenalty(int blackNeighbours)
{
    float credit = 0.0f;
    for (int i = 0; i < blackNeighbours; ++i)
        credit = 0.1427f + credit;
    return (1.0f - credit) * -255.0f;
}

// Picks one of two floats by a vector blend. The decision follows the dither
// pattern, which branch prediction guesses badly, and the compiler turns a
// plain conditional back into a branch.
float selectWithoutBranch(bool condition, float ifTrue, float ifFalse)
{
    typedef float Float4 __attribute__((vector_size(16)));
    typedef int Int4 __attribute__((vector_size(16)));
    const int lane = condition ? -1 : 0;
    const Int4 mask = {lane, lane, lane, lane};
    const Float4 picked = mask ? Float4{ifTrue, ifTrue, ifTrue, ifTrue}
                               : Float4{ifFalse, ifFalse, ifFalse, ifFalse};
    return picked[0];
}

// One row of the diffusion. The accumulators that a pixel still changes stay
// in registers: the two of this row right of it, and the four of the next row
// from two left of it to one right. The chain from one pixel's error to the
// next pixel's decision is what limits the speed. Every accumulator still
// starts at 0 and receives its shares in the order of the pixels that send
// them.
class RowDiffuser {
public:
    RowDiffuser(const unsigned char* in, unsigned char* out, const float* err, float* errBelow,
                float threshold)
        : in_(in), out_(out), err_(err + kErrorMargin), errBelow_(errBelow + kErrorMargin),
          threshold_(threshold), here_(err_[0]), next_(err_[1])
    {
        for (int n = 0; n < 3; ++n)
            penalty_[n] = whitePenalty(n);
    }

    // Quantises pixel x, whose accumulator is here_, and passes its error on.
    // Both possible errors and both possible next accumulators are formed
    // while the comparison runs, and the decision only picks one: the same
    // operations as deciding first, but a shorter chain to the next pixel.
    void pixel(int x, int blackNeighbours)
    {
        const float v = here_ + static_cast<float>(in_[x]);
        const float errorIfWhite = penalty_[blackNeighbours] + v;
        const float hereIfWhite = errorIfWhite * kShareRight + next_;
        const float hereIfBlack = v * kShareRight + next_;
        const bool white = v > threshold_;
        out_[x] = white ? 255 : 0;
        lastWhite_ = white;
        const float e = white ? errorIfWhite : v;
        here_ = selectWithoutBranch(white, hereIfWhite, hereIfBlack);
        next_ = e * kShareRight2 + err_[x + 2];
        errBelow_[x - 2] = e * kShareBelowLeft2 + belowLeft2_;
        belowLeft2_ = e * kShareBelowLeft + belowLeft_;
        belowLeft_ = e * kShareBelow + below_;
        below_ = e * kShareBelowRight + 0.0f;
    }

    // An interior pixel, whose neighbours to the left and above count.
    void interiorPixel(int x, const unsigned char* outAbove)
    {
        pixel(x, (lastWhite_ ? 0 : 1) + (outAbove[x] == 0 ? 1 : 0));
    }

    // Stores the next row's accumulators still held after the last pixel.
    void finish(int width)
    {
        errBelow_[width - 2] = belowLeft2_;
        errBelow_[width - 1] = belowLeft_;
        errBelow_[width] = below_;
    }

private:
    const unsigned char* in_;
    unsigned char* out_;
    const float* err_;
    float* errBelow_;
    float threshold_;
    float here_;
    float next_;
    // Next row, relative to the pixel about to be quantised: x - 2, x - 1, x.
    float belowLeft2_ = 0.0f;
    float belowLeft_ = 0.0f;
    float below_ = 0.0f;
    float penalty_[3];
    bool lastWhite_ = false;
};

ZQImage runStencilChain(const ZQImage& src, bool kneeAtThreshold)
{
    if (src.pixelCount() == 0)
        return src;
    ZQImage gray = cvtGray(src);
    const int threshold = thresh_global_moments(gray);
    if (kneeAtThreshold)
        enh_piecewise_gamma(gray, threshold, 0.5f, 1.5f);
    else
        enh_piecewise_gamma(gray, 64, 0.85f, 0.7f);
    const ZQImage sharp = enh_unsharp_mask(gray, 300.0f, 11);
    return edf_cus(sharp, threshold);
}

}  // namespace

ZQImage edf_cus(const ZQImage& src, int threshold)
{
    const int width = src.width;
    const int height = src.height;
    ZQImage result(width, height, ZQ_IMG_GRAY);
    if (result.pixelCount() == 0)
        return result;
    const float limit = static_cast<float>(threshold);
    // Each row's accumulators are written in full before they are read; the
    // current row also reads two past its last pixel.
    const std::size_t rowLength = static_cast<std::size_t>(width) + 2 * kErrorMargin;
    std::vector<float> errThis(rowLength, 0.0f);
    std::vector<float> errNext(rowLength, 0.0f);
    for (int y = 0; y < height; ++y) {
        const std::size_t offset = static_cast<std::size_t>(y) * width;
        unsigned char* out = result.data + offset;
        RowDiffuser row(src.data + offset, out, errThis.data(), errNext.data(), limit);
        if (y == 0 || y == height - 1 || width < 3) {
            for (int x = 0; x < width; ++x)
                row.pixel(x, 0);
        } else {
            const unsigned char* outAbove = out - width;
            row.pixel(0, 0);
            for (int x = 1; x < width - 1; ++x)
                row.interiorPixel(x, outAbove);
            row.pixel(width - 1, 0);
        }
        row.finish(width);
        errThis.swap(errNext);
    }
    return result;
}

ZQImage zqTattooDithering(ZQImage& src)
{
    return runStencilChain(src, false);
}

ZQImage zqTattooDitheringX8(ZQImage& src)
{
    return runStencilChain(src, true);
}
