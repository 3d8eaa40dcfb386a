// The stencil chains (grey, moment threshold, gamma, unsharp mask, error
// diffusion) and the error diffusion that ends them.
#include "enhance/stencil_dither.h"

#include "enhance/enhance_filters.h"
#include "workers/parallel.h"

#include <algorithm>
#include <cstring>
#include <utility>
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

// A row may quantise pixel x once the row above has done pixels 0 .. x + 4:
// pixel x + 4 stores the last share of the accumulator x + 2 of this row,
// which is read while pixel x is quantised.
const int kRowLead = 5;
// Pixels between two reports of a row's progress.
const int kProgressStep = 256;
// Shortest run of error-free pixels that is written in one go.
const int kQuietRun = 8;

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
          threshold_(threshold), here_(err_[0]), next_(err_[1]), penaltyNone_(whitePenalty(0)),
          penaltyOne_(whitePenalty(1)), penaltyTwo_(whitePenalty(2))
    {
    }

    // Quantises pixel x, whose accumulator is here_, and passes its error on.
    // Both possible errors and both possible next accumulators are formed
    // while the comparison runs, and the decision only picks one: the same
    // operations as deciding first, but a shorter chain to the next pixel.
    __attribute__((always_inline)) void pixel(int x, int blackNeighbours)
    {
        const float v = here_ + static_cast<float>(in_[x]);
        const float penalty = blackNeighbours == 0   ? penaltyNone_
                              : blackNeighbours == 1 ? penaltyOne_
                                                     : penaltyTwo_;
        const float errorIfWhite = penalty + v;
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

    // Whether a run of skipQuietRun or blackRun may start at pixel x: only
    // pixels of value 0 or 255 start one. Testing that first keeps the
    // pixels of other values, most of a photo, on the short path.
    bool mayStartRun(int x) const
    {
        const unsigned char value = in_[x];
        return value == 0 || value == 255;
    }

    // Blank paper and solid areas often reach the diffusion without any
    // error: a pixel of value 0 with accumulator 0 stays black (when the
    // threshold is at least 0), and one of 255 turns white (when the
    // threshold is below 255, and, inside the image, its left and upper
    // neighbours are white), and either passes on an error of 0. A run of
    // such pixels changes no accumulator's value, so it is written in one go:
    // its output bytes, the next row's accumulators it completes, and the
    // state of the pixel after it. outAbove is null where the neighbour rule
    // does not apply. Returns the pixel to go on with: x itself when there is
    // no run of at least kQuietRun pixels.
    __attribute__((always_inline)) int skipQuietRun(int x, int end, const unsigned char* outAbove)
    {
        if (here_ != 0.0f || next_ != 0.0f)
            return x;
        const unsigned char value = in_[x];
        const bool black = value == 0 && !(0.0f > threshold_);
        const bool white = value == 255 && 255.0f > threshold_ &&
                           (outAbove == nullptr || lastWhite_);
        if (!black && !white)
            return x;
        int run = 0;
        while (x + run < end && in_[x + run] == value &&
               (run < 2 || err_[x + run] == 0.0f) &&
               (black || outAbove == nullptr || outAbove[x + run] == 255))
            ++run;
        if (run < kQuietRun)
            return x;
        std::memset(out_ + x, value, static_cast<std::size_t>(run));
        errBelow_[x - 2] = belowLeft2_;
        errBelow_[x - 1] = belowLeft_;
        errBelow_[x] = below_;
        std::fill(errBelow_ + x + 1, errBelow_ + x + run - 2, 0.0f);
        belowLeft2_ = belowLeft_ = below_ = 0.0f;
        here_ = err_[x + run];
        next_ = err_[x + run + 1];
        lastWhite_ = white;
        return x + run;
    }

    // Pixels of value 0 from x on, for as long as they stay black: each
    // passes on its own value as error. Ink-free paper with some error in
    // it is mostly such runs, where the decision is easy to predict, so this
    // loop decides first and then follows the black path alone, a shorter
    // chain from pixel to pixel than pixel()'s. Its value is the accumulator
    // itself: adding 0 could change only the sign of a zero, which no later
    // result depends on. Returns the first pixel not done.
    __attribute__((always_inline)) int blackRun(int x, int end)
    {
        float here = here_;
        float next = next_;
        float belowLeft2 = belowLeft2_;
        float belowLeft = belowLeft_;
        float below = below_;
        const int start = x;
        for (; x < end && in_[x] == 0 && !(here > threshold_); ++x) {
            const float e = here;
            out_[x] = 0;
            here = e * kShareRight + next;
            next = e * kShareRight2 + err_[x + 2];
            errBelow_[x - 2] = e * kShareBelowLeft2 + belowLeft2;
            belowLeft2 = e * kShareBelowLeft + belowLeft;
            belowLeft = e * kShareBelow + below;
            below = e * kShareBelowRight + 0.0f;
        }
        if (x == start)
            return x;
        here_ = here;
        next_ = next;
        belowLeft2_ = belowLeft2;
        belowLeft_ = belowLeft;
        below_ = below;
        lastWhite_ = false;
        return x;
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
    // What a white interior pixel owes with 0, 1 or 2 black neighbours. Held
    // as three members, not an array: an array indexed by a variable would
    // keep the whole diffuser in memory instead of in registers.
    float penaltyNone_;
    float penaltyOne_;
    float penaltyTwo_;
    bool lastWhite_ = false;
};

// Pixels [begin, end) of a row. outAbove is the row above's output, or null
// for a row without interior pixels. The diffuser is worked on as a local
// copy, which the compiler keeps in registers: stores of output bytes may
// alias anything reached through a pointer. Its steps are inlined for the
// same reason: a call that takes the copy's address would keep it in
// memory. The span itself stays a function of its own, so that the waits on
// the row above, around it, hold none of its values across a call.
__attribute__((noinline)) void diffuseSpan(RowDiffuser& diffuser, int begin, int end, int width,
                                           const unsigned char* outAbove)
{
    RowDiffuser row = diffuser;
    if (outAbove == nullptr) {
        for (int x = begin; x < end;) {
            if (row.mayStartRun(x)) {
                x = row.blackRun(row.skipQuietRun(x, end, nullptr), end);
                if (x == end)
                    break;
            }
            row.pixel(x++, 0);
        }
    } else {
        // The first and last pixels of a row count as border.
        if (begin == 0)
            row.pixel(0, 0);
        const int last = std::min(end, width - 1);
        for (int x = std::max(begin, 1); x < last;) {
            // Pixels that start no run, in a loop of their own without the
            // calls that writing a run makes: values held across a call
            // would leave too few registers for the diffuser.
            while (x < last && !row.mayStartRun(x))
                row.interiorPixel(x++, outAbove);
            if (x == last)
                break;
            x = row.blackRun(row.skipQuietRun(x, last, outAbove), last);
            if (x < last)
                row.interiorPixel(x++, outAbove);
        }
        if (end == width)
            row.pixel(width - 1, 0);
    }
    diffuser = row;
}

// Steps 3 and 4: the sharpened page. The grey image is released on return,
// before the diffusion makes its result.
ZQImage sharpened(ZQImage gray, int threshold, bool kneeAtThreshold)
{
    if (kneeAtThreshold)
        enh_piecewise_gamma(gray, threshold, 0.5f, 1.5f);
    else
        enh_piecewise_gamma(gray, 64, 0.85f, 0.7f);
    return enh_unsharp_mask(gray, 300.0f, 11);
}

// The chain from step 2 on, given the grey image of step 1.
ZQImage runStencilChainOnGray(ZQImage gray, bool kneeAtThreshold)
{
    const int threshold = thresh_global_moments(gray);
    const ZQImage sharp = sharpened(std::move(gray), threshold, kneeAtThreshold);
    return edf_cus(sharp, threshold);
}

ZQImage runStencilChain(const ZQImage& src, bool kneeAtThreshold)
{
    if (src.pixelCount() == 0)
        return src;
    return runStencilChainOnGray(cvtGray(src), kneeAtThreshold);
}

// A grey source handed over is its own grey image: the grey conversion of a
// grey image is a byte-for-byte copy, which can then be saved.
ZQImage runStencilChain(ZQImage&& src, bool kneeAtThreshold)
{
    if (src.pixelCount() == 0 || src.color != ZQ_IMG_GRAY)
        return runStencilChain(static_cast<const ZQImage&>(src), kneeAtThreshold);
    return runStencilChainOnGray(std::move(src), kneeAtThreshold);
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
    // Rows go to the workers in turn, and each row trails the one above it:
    // pixel x may be quantised once the row above has finished pixel
    // x + kRowLead - 1, by when the accumulator it reads two pixels ahead
    // and the neighbour above are final. Every accumulator still receives its
    // shares in the single-threaded order: first all of the row above, then
    // those of its own row.
    const int workers = std::min(workersFor(result.pixelCount()), height);
    // Each row in flight reads one row of accumulators and writes the next.
    // A row's own accumulators are written in full before they are read; the
    // current row also reads two past its last pixel.
    const std::size_t rowLength = static_cast<std::size_t>(width) + 2 * kErrorMargin;
    const int slots = workers + 1;
    std::vector<float> accumulators(rowLength * slots, 0.0f);
    auto accumulatorRow = [&](int y) { return accumulators.data() + (y % slots) * rowLength; };
    std::vector<RowProgress> progress(height);
    onEveryWorker(workers, [&](int worker, int actualWorkers) {
        // Rows beyond the workers that started are taken by the ones there are.
        for (int y = worker; y < height; y += actualWorkers) {
            const std::size_t offset = static_cast<std::size_t>(y) * width;
            unsigned char* out = result.data + offset;
            const RowProgress* above = y > 0 ? &progress[y - 1] : nullptr;
            if (above != nullptr)
                above->waitFor(std::min(kRowLead, width));
            RowDiffuser row(src.data + offset, out, accumulatorRow(y), accumulatorRow(y + 1),
                            limit);
            const bool plainRow = y == 0 || y == height - 1 || width < 3;
            const unsigned char* outAbove = out - width;
            for (int begin = 0; begin < width; begin += kProgressStep) {
                const int end = std::min(width, begin + kProgressStep);
                if (above != nullptr)
                    above->waitFor(std::min(end - 1 + kRowLead, width));
                diffuseSpan(row, begin, end, width, plainRow ? nullptr : outAbove);
                if (end < width)
                    progress[y].publish(end);
            }
            row.finish(width);
            progress[y].publish(width);
        }
    });
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

ZQImage zqTattooDithering(ZQImage&& src)
{
    return runStencilChain(std::move(src), false);
}

ZQImage zqTattooDitheringX8(ZQImage&& src)
{
    return runStencilChain(std::move(src), true);
}
