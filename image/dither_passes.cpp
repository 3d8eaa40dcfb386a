// The passes of DibImage halftoning to 1 bit per pixel: a fixed threshold,
// two 4 x 4 threshold matrices and six error-diffusion kernels. On armhf
// and amd64 this file is built twice, for the baseline processor and for
// NEON or AVX2 (see workers/vector_build.h); nothing here may depend on
// which.
//
// Error diffusion saturates a pixel at 0 and 255 after every tap, so each
// pixel must receive its taps one by one in scan order. Two passes do that.
//
// 8-bit images go through the lanes (LaneDiffuser below): sixteen rows at
// once, one per byte of the vector registers, each row eight pixels behind
// the one above.
//
// Images of other depths take the row-by-row pass (ErrorDiffuser), which
// splits the work so that only the part that really is sequential runs pixel
// by pixel:
//   1. the current row, left to right, with the taps into the same row
//      (dx +1, +2) kept in registers: this yields every pixel's final value;
//   2. from those values, for each distinct kernel weight, the tap amount
//      |e| x w / D of every pixel, split by the sign of the error;
//   3. the rows below, 16 targets at a time: each target takes its taps from
//      the current row in the order of their sources (largest dx first), each
//      a saturating add or subtract.
// Rows below the current one live in a small ring of padded scratch rows, so
// neither border needs a test inside the loops: sources outside the image
// have level 0, hence error 0, and targets outside it are never read back.
//
// The rows go to worker threads two at a time, each row a stretch of pixels
// behind the one above it: a row decides a stretch once the rows above have
// passed on all their taps into it, then passes on its own; a worker steps
// its two rows side by side. Every target still
// takes its taps in scan order, so the result does not depend on the number
// of workers.
#include "image/dither_passes.h"

#include "image/dib_image.h"
#include "image/halftone_blocks.h"
#include "workers/byte_vectors.h"
#include "workers/parallel.h"
#include "workers/vector_build.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {


const char kScratchMessage[] = "DibImage::Dither can't allocate memory";

// ---------------------------------------------------------------------------
// Threshold methods: the output pixel is 1 when the level exceeds the entry of
// a 4 x 4 matrix indexed by [y mod 4][x mod 4].

struct ThresholdMatrix {
    unsigned char entry[4][4];
};

constexpr ThresholdMatrix kFixedThreshold = {{{128, 128, 128, 128},
                                              {128, 128, 128, 128},
                                              {128, 128, 128, 128},
                                              {128, 128, 128, 128}}};

constexpr unsigned char kOrderedMatrix[4][4] = {
    {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

constexpr ThresholdMatrix kBayerThreshold = {{{0, 192, 48, 240},
                                              {128, 64, 176, 112},
                                              {32, 224, 16, 208},
                                              {160, 96, 144, 80}}};

// Method 1 gives 1 when L = 16v/255 is 16 or exceeds the matrix entry. That
// rule grows with v, so it equals "v > largest level that still gives 0".
constexpr ThresholdMatrix orderedThresholds()
{
    ThresholdMatrix result{};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            int largestBlack = 0;
            for (int v = 0; v < 256; ++v) {
                const int level = 16 * v / 255;
                if (!(level == 16 || kOrderedMatrix[r][c] < level)) largestBlack = v;
            }
            result.entry[r][c] = static_cast<unsigned char>(largestBlack);
        }
    }
    return result;
}

constexpr ThresholdMatrix kOrderedThreshold = orderedThresholds();

// Packs one row to 1 bit per pixel: bit x is set when levels[x] > thresholds[x mod 4].
void packRowAboveThreshold(const unsigned char* levels, long width, const unsigned char* thresholds,
                           unsigned char* out)
{
    long x = 0;
    // Compared as signed bytes, both moved down by 128: one instruction on
    // SSE2, which has no unsigned comparison.
    const ByteVector bias = splatBytes(0x80);
    SignedByteVector limit;
    for (int i = 0; i < 16; ++i) limit[i] = static_cast<signed char>(thresholds[i & 3] ^ 0x80);
    for (; x + 16 <= width; x += 16)
        storeLaneBits((ByteVector)((SignedByteVector)(loadBytes(levels + x) ^ bias) > limit), out + x / 8);
    // The last pixels, fewer than sixteen.
    for (; x < width; x += 8) {
        unsigned char byte = 0;
        for (long bit = 0; bit < 8 && x + bit < width; ++bit)
            if (levels[x + bit] > thresholds[(x + bit) & 3]) byte |= static_cast<unsigned char>(0x80 >> bit);
        out[x / 8] = byte;
    }
}

// Grey levels of one row: the bytes of an 8-bit image, the colour indices of a
// 4-bit image, 0 for a 24-bit image (which has no indices).
void loadLevels(const DibImage& image, long y, unsigned char* levels)
{
    const long width = image.GetWidth();
    if (image.GetNumColors() == 256) {
        std::memcpy(levels, image.GetBits(static_cast<unsigned>(y)), width);
        return;
    }
    for (long x = 0; x < width; ++x) levels[x] = image.BlindGetPixelIndex(x, y);
}

bool thresholdWith(const DibImage& source, DibImage& work, const ThresholdMatrix& matrix)
{
    const long width = source.GetWidth();
    const long height = source.GetHeight();
    const bool direct = source.GetNumColors() == 256;
    std::unique_ptr<unsigned char[]> scratch;
    if (!direct) {
        scratch.reset(new (std::nothrow) unsigned char[width]);
        if (!scratch) return false;
    }
    for (long y = 0; y < height; ++y) {
        const unsigned char* levels = source.GetBits(static_cast<unsigned>(y));
        if (!direct) {
            loadLevels(source, y, scratch.get());
            levels = scratch.get();
        }
        packRowAboveThreshold(levels, width, matrix.entry[y & 3], work.GetBits(static_cast<unsigned>(y)));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Error diffusion.

struct Tap {
    int dx;
    int dy;
    int weight;
};

constexpr int kMaxTaps = 12;
constexpr int kMaxRowsBelow = 3;

// The taps into the current row are at dx +1 and +2 in every kernel; the taps
// below are listed row by row, left to right.
struct Kernel {
    int divisor;
    int rightWeight;   // dx +1, dy 0
    int secondWeight;  // dx +2, dy 0
    int rowsBelow;
    int tapCount;
    Tap taps[kMaxTaps];
};

constexpr Kernel kFloydSteinberg = {16, 7, 0, 1, 3, {{-1, 1, 3}, {0, 1, 5}, {1, 1, 1}}};
constexpr Kernel kBurkes = {32, 8, 4, 1, 5, {{-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}}};
constexpr Kernel kStucki = {42, 8, 4, 2, 10,
                            {{-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2},
                             {-2, 2, 1}, {-1, 2, 2}, {0, 2, 4}, {1, 2, 2}, {2, 2, 1}}};
constexpr Kernel kJarvisJudiceNinke = {48, 7, 5, 2, 10,
                                       {{-2, 1, 3}, {-1, 1, 5}, {0, 1, 7}, {1, 1, 5}, {2, 1, 3},
                                        {-2, 2, 1}, {-1, 2, 3}, {0, 2, 5}, {1, 2, 3}, {2, 2, 1}}};
constexpr Kernel kSierra = {32, 5, 3, 2, 8,
                            {{-2, 1, 2}, {-1, 1, 4}, {0, 1, 5}, {1, 1, 4}, {2, 1, 2},
                             {-1, 2, 2}, {0, 2, 3}, {1, 2, 2}}};
constexpr Kernel kStevensonArce = {200, 0, 32, 3, 11,
                                   {{-3, 1, 12}, {-1, 1, 26}, {1, 1, 30}, {3, 1, 16},
                                    {-2, 2, 12}, {0, 2, 26}, {2, 2, 12},
                                    {-3, 3, 5}, {-1, 3, 12}, {1, 3, 12}, {3, 3, 5}}};

// The largest error magnitude: e ranges over -126 ... 128.
constexpr int kMaxErrorMagnitude = 128;

// The largest weight of a kernel's taps.
constexpr int kMaxWeight = 32;

constexpr bool weightsWithinLimit(const Kernel& kernel)
{
    if (kernel.rightWeight > kMaxWeight || kernel.secondWeight > kMaxWeight) return false;
    for (int i = 0; i < kernel.tapCount; ++i)
        if (kernel.taps[i].weight > kMaxWeight) return false;
    return true;
}

// |e| x w fits the 16 bits in which the amounts are computed.
static_assert(kMaxErrorMagnitude * kMaxWeight <= 0xFFFF, "tap products in 16 bits");
static_assert(weightsWithinLimit(kFloydSteinberg) && weightsWithinLimit(kBurkes) &&
                  weightsWithinLimit(kStucki) && weightsWithinLimit(kJarvisJudiceNinke) &&
                  weightsWithinLimit(kSierra) && weightsWithinLimit(kStevensonArce),
              "tap weights");

// trunc(|e| x w / D) as (|e| x M) >> s, where a multiplier M no larger than
// 65535 / 128 is exact for every |e| up to 128: a multiply and a shift in
// 16-bit lanes. M is 0 for the weights where no such M exists.
struct QuotientScale {
    unsigned short multiplier = 0;
    int shift = 0;
};

struct QuotientScales {
    QuotientScale byWeight[kMaxWeight + 1];

    constexpr explicit QuotientScales(int divisor) : byWeight()
    {
        for (int weight = 1; weight <= kMaxWeight; ++weight) {
            for (int shift = 0; shift <= 16; ++shift) {
                const long multiplier = ((long(weight) << shift) + divisor - 1) / divisor;
                if (multiplier * kMaxErrorMagnitude > 0xFFFF) break;
                bool exact = true;
                for (long e = 0; e <= kMaxErrorMagnitude && exact; ++e)
                    exact = ((e * multiplier) >> shift) == e * weight / divisor;
                if (exact) {
                    byWeight[weight] = {static_cast<unsigned short>(multiplier), shift};
                    break;
                }
            }
        }
    }
};

template <const Kernel& K>
constexpr QuotientScales kQuotientScales{K.divisor};

// The errors of 16 levels: which are not negative (level up to 128), and
// their magnitudes |e|, the level or 255 - level.
struct LaneErrors {
    ByteVector isPositive;
    ByteVector magnitude;
};

inline LaneErrors laneErrors(ByteVector levels)
{
    // Above 128 is above 0 once the range is moved to -128 ... 127: signed
    // comparisons, one instruction each on every vector unit.
    const SignedByteVector centred = (SignedByteVector)(levels ^ splatBytes(0x80));
    const ByteVector isNegative = (ByteVector)(centred > 0);
    const ByteVector isPositive = (ByteVector)(centred < 1);
    return {isPositive, levels ^ isNegative};
}

// trunc(|e| x w / D) for 16 error magnitudes.
template <const Kernel& K>
inline ByteVector laneQuotient(ByteVector magnitude, int weight)
{
    const int ratio = K.divisor / weight;
    if (K.divisor % weight == 0 && (ratio & (ratio - 1)) == 0) {
        // w / D is 1 / 2^s: a shift.
        return magnitude >> __builtin_ctz(static_cast<unsigned>(ratio));
    }
    // The even and the odd lanes each in 16-bit lanes, where the product
    // fits.
    const WordVector words = (WordVector)magnitude;
    const WordVector even = words & 0xFF;
    const WordVector odd = words >> 8;
    const QuotientScale scale = kQuotientScales<K>.byWeight[weight];
    if (scale.multiplier != 0) {
        return (ByteVector)(((even * scale.multiplier) >> scale.shift) |
                            (((odd * scale.multiplier) >> scale.shift) << 8));
    }
    // The division by the constant D compiles to a multiply-high.
    constexpr unsigned short divisor = K.divisor;
    const unsigned short factor = static_cast<unsigned short>(weight);
    return (ByteVector)((even * factor / divisor) | ((odd * factor / divisor) << 8));
}

// A tap's amount for 16 levels: its size and the sign of its error.
struct LaneAmount {
    ByteVector isPositive;
    ByteVector size;
};

template <const Kernel& K>
inline LaneAmount laneAmount(const LaneErrors& errors, int weight)
{
    if (weight == 0) return {ByteVector{}, ByteVector{}};
    return {errors.isPositive, laneQuotient<K>(errors.magnitude, weight)};
}

// The value plus the amount, held in 0 ... 255. A negative amount is
// subtracted from the value, one at least as large as it first; a positive
// one is subtracted in the same way from the complement 255 - value, which
// is the value plus the amount once complemented back. Lanes with neither
// (no sign, no size) keep their value.
inline ByteVector addTap(ByteVector value, const LaneAmount& amount)
{
    const ByteVector flip = amount.isPositive;
    return (lanewiseMax(value ^ flip, amount.size) - amount.size) ^ flip;
}

// Saturating store of a tap: the pixel value plus a signed amount, held in 0 ... 255.
inline unsigned addClamped(unsigned value, int amount)
{
    const int sum = static_cast<int>(value) + amount;
    return static_cast<unsigned>(sum < 0 ? 0 : (sum > 255 ? 255 : sum));
}

// The error a level leaves behind: v - 255 above 128, else v.
constexpr int errorOf(int level) { return level > 128 ? level - 255 : level; }

// Levels 0 and 255 leave no error behind, so they pass nothing on.
inline bool carriesNoError(unsigned level) { return level == 0 || level == 255; }

// How many levels in [from, to) leave an error behind.
long countCarryingError(const unsigned char* levels, long from, long to)
{
    long count = 0;
    long x = from;
    const ByteVector black{};
    const ByteVector white = ~black;
    while (x + 16 <= to) {
        // Per byte lane, the number of plain levels; at most 255 groups at a time.
        ByteVector plain{};
        const long end = std::min(to, x + 255 * 16);
        for (; x + 16 <= end; x += 16) {
            const ByteVector v = loadBytes(levels + x);
            plain -= lanesEqual(v, black) | lanesEqual(v, white);
        }
        const WordVector pairs = ((WordVector)plain & 0xFF) + ((WordVector)plain >> 8);
        long plainCount = 0;
        for (int i = 0; i < 8; ++i) plainCount += pairs[i];
        count += (end - from) / 16 * 16 - plainCount;
        from = x;
    }
    // The last levels, fewer than sixteen.
    for (; x < to; ++x) count += carriesNoError(levels[x]) ? 0 : 1;
    return count;
}

// What a kernel's taps are, in the forms the diffusion reads them.
struct KernelTables {
    struct TargetTap {
        int dx = 0;
        int weightSlot = 0;
    };

    // The amounts of the two taps into the current row, by level.
    int right[256];
    int second[256];
    // The distinct weights of the taps below.
    int weightCount;
    int weights[kMaxTaps];
    // The taps of each row below in the order their sources are scanned: a
    // target at x hears from the source at x - dx, so the largest dx comes
    // first.
    int tapCount[kMaxRowsBelow + 1];
    TargetTap taps[kMaxRowsBelow + 1][kMaxTaps];

    constexpr explicit KernelTables(const Kernel& kernel)
        : right(), second(), weightCount(0), weights(), tapCount(), taps()
    {
        for (int level = 0; level < 256; ++level) {
            right[level] = errorOf(level) * kernel.rightWeight / kernel.divisor;
            second[level] = errorOf(level) * kernel.secondWeight / kernel.divisor;
        }
        for (int i = 0; i < kernel.tapCount; ++i) {
            const Tap& tap = kernel.taps[i];
            int slot = 0;
            while (slot < weightCount && weights[slot] != tap.weight) ++slot;
            if (slot == weightCount) weights[weightCount++] = tap.weight;
            // Insertion in order of falling dx.
            int at = tapCount[tap.dy]++;
            while (at > 0 && taps[tap.dy][at - 1].dx < tap.dx) {
                taps[tap.dy][at] = taps[tap.dy][at - 1];
                --at;
            }
            taps[tap.dy][at] = {tap.dx, slot};
        }
    }
};

template <const Kernel& K>
constexpr KernelTables kTables{K};

// The tap amounts of a row of levels: for each weight, trunc(|e| x w / D)
// in the row of the error's sign, 0 in the other.
struct AmountRows {
    unsigned char* positive[kMaxTaps];
    unsigned char* negative[kMaxTaps];
};

// Step 2: the tap amounts of levels [first, last), whole 16-pixel groups.
template <const Kernel& K>
void computeTapAmounts(const unsigned char* levels, const AmountRows& amounts, long first, long last)
{
    for (long x = first; x < last; x += 16) {
        const LaneErrors errors = laneErrors(loadBytes(levels + x));
#pragma GCC unroll 12
        for (int slot = 0; slot < kTables<K>.weightCount; ++slot) {
            const LaneAmount amount = laneAmount<K>(errors, kTables<K>.weights[slot]);
            storeBytes(amounts.positive[slot] + x, amount.size & amount.isPositive);
            storeBytes(amounts.negative[slot] + x, amount.size & ~amount.isPositive);
        }
    }
}

// Step 3: the taps of row dy below into its targets [from, to), whole
// 16-pixel groups, source order per target.
template <const Kernel& K>
void applyTapsBelow(const AmountRows& amounts, int dy, unsigned char* target, long from, long to)
{
    const int tapCount = kTables<K>.tapCount[dy];
    const KernelTables::TargetTap* taps = kTables<K>.taps[dy];
    const unsigned char* positive[kMaxTaps];
    const unsigned char* negative[kMaxTaps];
    for (int i = 0; i < tapCount; ++i) {
        positive[i] = amounts.positive[taps[i].weightSlot] - taps[i].dx;
        negative[i] = amounts.negative[taps[i].weightSlot] - taps[i].dx;
    }
    for (long x = from; x < to; x += 16) {
        ByteVector p = loadBytes(target + x);
#pragma GCC unroll 12
        for (int i = 0; i < tapCount; ++i)
            p = subtractSaturated(addSaturated(p, loadBytes(positive[i] + x)), loadBytes(negative[i] + x));
        storeBytes(target + x, p);
    }
}

// The diffusion of one kernel. The kernel is a template argument so that its
// taps, weights and divisor are constants in the loops below.
template <const Kernel& K>
class ErrorDiffuser {
public:
    // With share false the diffusion keeps to the calling thread.
    ErrorDiffuser(long width, long height, bool share);
    bool ready() const { return storage_ != nullptr; }
    // False when the row progress cannot be allocated.
    bool run(const DibImage& source, DibImage& work);

private:
    // Columns of margin before and after every scratch row.
    static constexpr long kMargin = 16;
    // Farthest a tap below reaches along the row (|dx|).
    static constexpr long kReach = 3;
    // Pixels a row decides between two reports of its progress.
    static constexpr long kStep = 128;
    // Progress of a row that has passed on all its taps.
    static constexpr int kRowDone = 0x7fffffff;
    // Rows a worker takes at a time, their pixels decided in turn.
    static constexpr int kRowsPerTurn = 2;

    // Where a row's left-to-right pass stands: the pixel x to decide next,
    // and a, b, c, the values of x, x + 1 and x + 2 with the taps they have
    // had so far.
    struct AlongRow {
        long x;
        unsigned a;
        unsigned b;
        unsigned c;
    };

    // A row being diffused: its values with the taps from above (a ring
    // row), its decided levels (scratch of its lane), how far it has decided
    // and passed on its taps.
    struct RowRun {
        long y;
        int lane;
        const unsigned char* row;
        unsigned char* levels;
        AlongRow at;
        long decided;
        long applied;
    };

    unsigned char* scratchRow(long index) const { return storage_.get() + index * rowLength_ + kMargin; }
    unsigned char* ringRow(long y) const { return scratchRow(y % ringSize_); }
    // The rows of one lane: its levels, then the tap amounts of each weight,
    // positive and negative.
    unsigned char* levelsRow(int lane) const { return scratchRow(ringSize_ + lane * laneRows_); }
    unsigned char* positiveAmounts(int lane, int slot) const
    {
        return scratchRow(ringSize_ + lane * laneRows_ + 1 + 2 * slot);
    }
    unsigned char* negativeAmounts(int lane, int slot) const
    {
        return scratchRow(ringSize_ + lane * laneRows_ + 2 + 2 * slot);
    }

    // Kept out of line: inlined into the row loop, their few hot values lose
    // their registers to the loop's.
    __attribute__((noinline)) void diffuseAlongRow(const unsigned char* row, unsigned char* levels,
                                                   AlongRow& at, long limit) const;
    __attribute__((noinline)) void diffuseAlongRows(RowRun& first, long firstLimit, RowRun& second,
                                                    long secondLimit) const;
    AmountRows amountRows(int lane) const;
    void passOnTaps(RowRun& run, RowProgress* progress) const;
    void diffuseTurn(long first, int worker, const DibImage& source, DibImage& work,
                     RowProgress* progress) const;

    long width_;
    long height_;
    long paddedWidth_;  // width rounded up to whole 16-pixel groups
    long rowLength_;
    int workers_;
    int ringSize_;
    int laneRows_;
    std::unique_ptr<unsigned char[]> storage_;
};

// The rows of the image go to the workers in turns of two rows. Each row has
// a lane of scratch rows, two per worker. The ring holds, besides the rows
// being decided, the rows below them that receive taps: a row loads the row
// K.rowsBelow under it as it starts, into the slot of the row that its lane
// finished last.
template <const Kernel& K>
ErrorDiffuser<K>::ErrorDiffuser(long width, long height, bool share)
    : width_(width), height_(height), paddedWidth_((width + 15) / 16 * 16),
      rowLength_(kMargin + paddedWidth_ + kMargin),
      workers_(share ? static_cast<int>(std::max(1L, std::min<long>(
                           workersFor(static_cast<std::size_t>(width) * height),
                           (height + kRowsPerTurn - 1) / kRowsPerTurn)))
                     : 1),
      ringSize_(K.rowsBelow + kRowsPerTurn * workers_), laneRows_(1 + 2 * kTables<K>.weightCount)
{
    const long rowCount = ringSize_ + static_cast<long>(kRowsPerTurn) * workers_ * laneRows_;
    storage_.reset(new (std::nothrow) unsigned char[rowCount * rowLength_]());
}

// Step 1: the current row left to right, from at.x up to limit. a is the
// pixel being decided, b and c the next two with the taps they have had so
// far. The row's values are read up to limit + 2.
//
// Where a, b and c carry no error, neither they nor any following pixel of
// value 0 or 255 receive anything from the row: such a run keeps its values
// as its levels. Blank paper and solid black are most of a label, so the run
// is copied instead of stepped through pixel by pixel. A run that reaches
// limit stops there and goes on at the next call as if it had not.
template <typename AlongRow>
inline bool skipQuietRun(const unsigned char* row, unsigned char* levels, AlongRow& at, long limit,
                         long width)
{
    const long x = at.x;
    if (x + 3 > limit || !carriesNoError(at.a) || !carriesNoError(at.b) || !carriesNoError(at.c))
        return false;
    long end = x + 3;
    while (end < limit && carriesNoError(row[end])) ++end;
    levels[x] = static_cast<unsigned char>(at.a);
    if (x + 1 < width) levels[x + 1] = static_cast<unsigned char>(at.b);
    if (x + 2 < width) levels[x + 2] = static_cast<unsigned char>(at.c);
    if (end > x + 3) std::memcpy(levels + x + 3, row + x + 3, static_cast<size_t>(end - x - 3));
    // The pixel after the run has had no tap from it.
    at = {end, row[end], row[end + 1], row[end + 2]};
    return true;
}

// One pixel decided: its taps go to the next two.
template <const Kernel& K, typename AlongRow>
inline void stepAlongRow(const unsigned char* row, unsigned char* levels, AlongRow& at)
{
    const unsigned a = at.a;
    levels[at.x] = static_cast<unsigned char>(a);
    if constexpr (K.rightWeight != 0)
        at.a = addClamped(at.b, kTables<K>.right[a]);
    else
        at.a = at.b;
    at.b = addClamped(at.c, kTables<K>.second[a]);
    at.c = row[at.x + 3];
    ++at.x;
}

template <const Kernel& K>
void ErrorDiffuser<K>::diffuseAlongRow(const unsigned char* row, unsigned char* levels, AlongRow& at,
                                       long limit) const
{
    AlongRow here = at;
    while (here.x < limit) {
        if (skipQuietRun(row, levels, here, limit, width_)) continue;
        stepAlongRow<K>(row, levels, here);
    }
    at = here;
}

// Step 1 for two rows at once. Each pixel waits on the one before it in its
// row, so a single row leaves the processor idle most of the time; two rows
// side by side keep it twice as busy.
template <const Kernel& K>
void ErrorDiffuser<K>::diffuseAlongRows(RowRun& first, long firstLimit, RowRun& second,
                                        long secondLimit) const
{
    AlongRow a = first.at;
    AlongRow b = second.at;
    const unsigned char* rowA = first.row;
    const unsigned char* rowB = second.row;
    unsigned char* levelsA = first.levels;
    unsigned char* levelsB = second.levels;
    while (a.x < firstLimit && b.x < secondLimit) {
        if (skipQuietRun(rowA, levelsA, a, firstLimit, width_) ||
            skipQuietRun(rowB, levelsB, b, secondLimit, width_))
            continue;
        long count = std::min(firstLimit - a.x, secondLimit - b.x);
        do {
            stepAlongRow<K>(rowA, levelsA, a);
            stepAlongRow<K>(rowB, levelsB, b);
        } while (--count > 0 && !carriesNoError(a.a) && !carriesNoError(b.a));
    }
    first.at = a;
    second.at = b;
    diffuseAlongRow(rowA, levelsA, first.at, firstLimit);
    diffuseAlongRow(rowB, levelsB, second.at, secondLimit);
}

template <const Kernel& K>
AmountRows ErrorDiffuser<K>::amountRows(int lane) const
{
    AmountRows rows{};
    for (int slot = 0; slot < kTables<K>.weightCount; ++slot) {
        rows.positive[slot] = positiveAmounts(lane, slot);
        rows.negative[slot] = negativeAmounts(lane, slot);
    }
    return rows;
}

// Steps 2 and 3 for what a row has decided since its last report: its taps
// go to the targets whose sources are all decided, and it reports how far
// the rows below it are final.
template <const Kernel& K>
void ErrorDiffuser<K>::passOnTaps(RowRun& run, RowProgress* progress) const
{
    const long tapEnd =
        run.decided == width_ ? paddedWidth_ : std::max(run.applied, (run.decided - kReach) / 16 * 16);
    if (tapEnd == run.applied) return;
    if (countCarryingError(run.levels, std::max(0L, run.applied - kReach),
                           std::min(run.decided, tapEnd + kReach)) > 0) {
        // Amounts of every level the targets read: kReach either side.
        const AmountRows amounts = amountRows(run.lane);
        computeTapAmounts<K>(run.levels, amounts, std::max(0L, (run.applied - kReach) / 16 * 16),
                             std::min(paddedWidth_, (tapEnd + kReach + 15) / 16 * 16));
        for (int dy = 1; dy <= K.rowsBelow && run.y + dy < height_; ++dy)
            applyTapsBelow<K>(amounts, dy, ringRow(run.y + dy), run.applied, tapEnd);
    }
    run.applied = tapEnd;
    progress[run.y].publish(run.applied == paddedWidth_ ? kRowDone : static_cast<int>(run.applied));
}

// A worker's turn: rows first and first + 1, a stretch at a time. The first
// row's pass goes as far as the row above has passed on its taps (every row
// above that sends taps here is further on still); the second row's as far
// as the first row has. Every target thus takes its taps row by row from the
// top, and within a row in source order, as when the rows run one after
// another.
template <const Kernel& K>
void ErrorDiffuser<K>::diffuseTurn(long first, int worker, const DibImage& source, DibImage& work,
                                   RowProgress* progress) const
{
    const int rows = static_cast<int>(std::min<long>(kRowsPerTurn, height_ - first));
    RowRun runs[kRowsPerTurn];
    for (int i = 0; i < rows; ++i) {
        const long y = first + i;
        if (y + K.rowsBelow < height_) loadLevels(source, y + K.rowsBelow, ringRow(y + K.rowsBelow));
        const int lane = kRowsPerTurn * worker + i;
        runs[i] = {y, lane, ringRow(y), levelsRow(lane), {0, 0, 0, 0}, 0, 0};
    }
    RowRun& upper = runs[0];
    RowRun& lower = runs[1];
    const RowProgress* above = first > 0 ? &progress[first - 1] : nullptr;
    while (upper.applied < paddedWidth_ || (rows > 1 && lower.applied < paddedWidth_)) {
        const long upperLimit = std::min(width_, upper.decided + kStep);
        if (upperLimit > upper.decided) {
            if (above != nullptr)
                above->waitFor(upperLimit == width_ ? kRowDone : static_cast<int>(upperLimit + kReach));
            if (upper.decided == 0) upper.at = {0, upper.row[0], upper.row[1], upper.row[2]};
        }
        long lowerLimit = 0;
        if (rows > 1) {
            const long ready = upper.applied == paddedWidth_ ? width_ : upper.applied - kReach;
            lowerLimit = std::max(lower.decided, std::min({width_, lower.decided + kStep, ready}));
            if (lower.decided == 0 && lowerLimit > 0) lower.at = {0, lower.row[0], lower.row[1], lower.row[2]};
            diffuseAlongRows(upper, upperLimit, lower, lowerLimit);
        } else {
            diffuseAlongRow(upper.row, upper.levels, upper.at, upperLimit);
        }
        upper.decided = upperLimit;
        passOnTaps(upper, progress);
        if (rows > 1) {
            lower.decided = lowerLimit;
            passOnTaps(lower, progress);
        }
    }
    static constexpr unsigned char kMidGrey[4] = {128, 128, 128, 128};
    for (int i = 0; i < rows; ++i)
        packRowAboveThreshold(runs[i].levels, width_, kMidGrey, work.GetBits(static_cast<unsigned>(runs[i].y)));
}

template <const Kernel& K>
bool ErrorDiffuser<K>::run(const DibImage& source, DibImage& work)
{
    std::unique_ptr<RowProgress[]> progress(new (std::nothrow) RowProgress[height_]);
    if (!progress) return false;
    for (long y = 0; y < height_ && y < K.rowsBelow; ++y) loadLevels(source, y, ringRow(y));
    // Turns beyond the workers that started are taken by the ones there are.
    onEveryWorker(workers_, [&](int worker, int started) {
        for (long first = kRowsPerTurn * worker; first < height_; first += kRowsPerTurn * started)
            diffuseTurn(first, worker, source, work, progress.get());
    });
    return true;
}

// Error diffusion of sixteen rows at once, row j of a group in the byte lane
// j of the same vectors. Row j trails row j - 1 by eight pixels: at step t,
// lane j decides pixel t - 8j. Each row's pixels still wait on each other,
// but sixteen rows wait side by side, so the processor is kept busy. A tap
// is a saturating add of its amount when the error is positive, a
// saturating subtract when it is negative: the value is held in 0 ... 255
// after every tap.
//
// The values the rows read live in a ring of column vectors: column k holds
// pixel k - 8j of each row j, with the taps it has had so far. A pixel that
// lane j decides at step t sends its tap (dx, dy) to lane j + dy of column
// t + dx + 8dy, which is read at step t + dx + 8dy - 3, later than t for
// every kernel (|dx| <= 3). A target takes the taps of the rows above it in
// row order, and those of one row in source order, as in the sequential
// pass: the lag of eight pixels is more than twice the reach of a tap.
//
// Taps into the next group's rows drop out of the lanes; the decided levels
// of the last rows pass them on in whole rows after the group, before the
// next group reads its rows.
template <const Kernel& K>
class LaneDiffuser {
public:
    LaneDiffuser(long width, long height);
    bool ready() const { return storage_ != nullptr; }
    void run(const DibImage& source, DibImage& work);

private:
    static constexpr int kLanes = 16;
    static constexpr long kLag = 8;
    // Columns in the ring: those between the one being read and the ones
    // loaded 32 to 47 steps ahead.
    static constexpr long kRing = 64;
    static constexpr long kAhead = 32;
    // Room before and after every scratch row for the pixels the lanes step
    // through before their row starts and after it ends.
    static constexpr long kMargin = 128;
    static constexpr long kTail = 256;

    unsigned char* scratchRow(long index) const { return storage_.get() + index * rowLength_ + kMargin; }
    void loadRow(const DibImage& source, long y, unsigned char* row) const;
    void diffuseGroup(long rows);
    void passOnTapsBelowGroup(long firstRow, long rows);

    long width_;
    long height_;
    long paddedWidth_;
    long rowLength_;
    // The group's rows and the rows below that it sends taps to.
    unsigned char* input_[kLanes + kMaxRowsBelow] = {};
    unsigned char* levels_[kLanes] = {};
    AmountRows amounts_{};
    std::unique_ptr<unsigned char[]> storage_;
};

template <const Kernel& K>
LaneDiffuser<K>::LaneDiffuser(long width, long height)
    : width_(width), height_(height), paddedWidth_((width + 15) / 16 * 16),
      rowLength_(kMargin + paddedWidth_ + kTail)
{
    const long rowCount = kLanes + K.rowsBelow + kLanes + 2 * kTables<K>.weightCount;
    storage_.reset(new (std::nothrow) unsigned char[rowCount * rowLength_]());
    if (!storage_) return;
    long next = 0;
    for (int i = 0; i < kLanes + K.rowsBelow; ++i) input_[i] = scratchRow(next++);
    for (int i = 0; i < kLanes; ++i) levels_[i] = scratchRow(next++);
    for (int slot = 0; slot < kTables<K>.weightCount; ++slot) {
        amounts_.positive[slot] = scratchRow(next++);
        amounts_.negative[slot] = scratchRow(next++);
    }
}

// Row y's levels, or blank paper below the image.
template <const Kernel& K>
void LaneDiffuser<K>::loadRow(const DibImage& source, long y, unsigned char* row) const
{
    if (y < height_)
        loadLevels(source, y, row);
    else
        std::memset(row, 0, static_cast<size_t>(width_));
}

// The amounts of lane j moved to lane j + dy; lanes 0 ... dy - 1 get none.
inline ByteVector lanesDown(ByteVector amounts, int dy)
{
    const ByteVector none{};
    switch (dy) {
    case 1:
        return __builtin_shufflevector(none, amounts, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
                                       25, 26, 27, 28, 29, 30);
    case 2:
        return __builtin_shufflevector(none, amounts, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                                       24, 25, 26, 27, 28, 29);
    default:
        return __builtin_shufflevector(none, amounts, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                       23, 24, 25, 26, 27, 28);
    }
}

// The lower and upper halves of two vectors interleaved unit by unit, for
// units of 1, 2, 4 and 8 bytes: the steps of a byte transposition. The
// orders are constants (__builtin_shufflevector), which GCC and Clang both
// compile to one or two shuffles.
inline void interleaveBytes(ByteVector& a, ByteVector& b)
{
    const ByteVector low =
        __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    b = __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15,
                                31);
    a = low;
}

template <typename Vector>
inline void interleaveUnits(ByteVector& a, ByteVector& b)
{
    const Vector wideA = (Vector)a;
    Vector wideB = (Vector)b;
    Vector low;
    constexpr int n = sizeof(Vector) / sizeof(wideA[0]);
    if constexpr (n == 8) {
        low = __builtin_shufflevector(wideA, wideB, 0, 8, 1, 9, 2, 10, 3, 11);
        wideB = __builtin_shufflevector(wideA, wideB, 4, 12, 5, 13, 6, 14, 7, 15);
    } else if constexpr (n == 4) {
        low = __builtin_shufflevector(wideA, wideB, 0, 4, 1, 5);
        wideB = __builtin_shufflevector(wideA, wideB, 2, 6, 3, 7);
    } else {
        low = __builtin_shufflevector(wideA, wideB, 0, 2);
        wideB = __builtin_shufflevector(wideA, wideB, 1, 3);
    }
    a = (ByteVector)low;
    b = (ByteVector)wideB;
}

// out[c] byte j = in[j] byte c.
inline void transposeBytes(const ByteVector in[16], ByteVector out[16])
{
    ByteVector pairs[16];  // unit c: rows 2p, 2p + 1 of column c
    for (int p = 0; p < 8; ++p) {
        pairs[p] = in[2 * p];
        pairs[8 + p] = in[2 * p + 1];
        interleaveBytes(pairs[p], pairs[8 + p]);
    }
    ByteVector quads[16];  // [4q + g]: rows 4q ... 4q + 3 of columns 4g ... 4g + 3
    for (int half = 0; half < 2; ++half) {
        for (int q = 0; q < 4; ++q) {
            ByteVector& upper = quads[4 * q + 2 * half];
            ByteVector& lower = quads[4 * q + 2 * half + 1];
            upper = pairs[8 * half + 2 * q];
            lower = pairs[8 * half + 2 * q + 1];
            interleaveUnits<WordVector>(upper, lower);
        }
    }
    ByteVector octets[16];  // [8h + c2]: rows 8h ... 8h + 7 of columns 2c2, 2c2 + 1
    for (int h = 0; h < 2; ++h) {
        for (int g = 0; g < 4; ++g) {
            ByteVector& upper = octets[8 * h + 2 * g];
            ByteVector& lower = octets[8 * h + 2 * g + 1];
            upper = quads[4 * (2 * h) + g];
            lower = quads[4 * (2 * h + 1) + g];
            interleaveUnits<QuadVector>(upper, lower);
        }
    }
    for (int c2 = 0; c2 < 8; ++c2) {
        out[2 * c2] = octets[c2];
        out[2 * c2 + 1] = octets[8 + c2];
        interleaveUnits<OctetVector>(out[2 * c2], out[2 * c2 + 1]);
    }
}

// The lanes that hold a pixel of the image at step t: lanes lo ... hi.
struct LaneMasks {
    ByteVector upTo[17];  // [h + 1]: lanes 0 ... h
    ByteVector from[17];  // [l]: lanes l ... 15
    LaneMasks()
    {
        for (int i = 0; i <= 16; ++i) {
            for (int lane = 0; lane < 16; ++lane) {
                upTo[i][lane] = lane < i ? 0xFF : 0;
                from[i][lane] = lane >= i ? 0xFF : 0;
            }
        }
    }
};

template <const Kernel& K>
void LaneDiffuser<K>::diffuseGroup(long rows)
{
    static const LaneMasks masks;
    ByteVector ring[kRing];
    ByteVector decided[kLanes];
    const long steps = (width_ + kLag * (rows - 1) + kLanes - 1) / kLanes * kLanes;

    auto loadColumns = [&](long first) {
        // Lane j of column k reads row j at pixel k - 8j.
        ByteVector in[kLanes];
        for (int j = 0; j < kLanes; ++j) in[j] = loadBytes(input_[j] + first - kLag * j);
        ByteVector columns[kLanes];
        transposeBytes(in, columns);
        for (int i = 0; i < kLanes; ++i) ring[(first + i) % kRing] = columns[i];
    };
    for (long first = 0; first < kAhead; first += kLanes) loadColumns(first);

    ByteVector a = ring[0];
    ByteVector b = ring[1];
    ByteVector c = ring[2];
    for (long t = 0; t < steps; ++t) {
        if (t % kLanes == 0) loadColumns(t + kAhead);
        const long highest = std::min(rows - 1, t / kLag);
        const long lowest = t < width_ ? 0 : std::min<long>(kLanes, (t - width_) / kLag + 1);
        const ByteVector level = a & (masks.upTo[highest + 1] & masks.from[lowest]);
        decided[t % kLanes] = level;

        const LaneErrors errors = laneErrors(level);
        if constexpr (K.rightWeight != 0)
            a = addTap(b, laneAmount<K>(errors, K.rightWeight));
        else
            a = b;
        b = addTap(c, laneAmount<K>(errors, K.secondWeight));
        c = ring[(t + 3) % kRing];
#pragma GCC unroll 12
        for (int i = 0; i < K.tapCount; ++i) {
            const Tap& tap = K.taps[i];
            const LaneAmount amount = laneAmount<K>(errors, tap.weight);
            ByteVector& target = ring[(t + tap.dx + kLag * tap.dy) % kRing];
            target = addTap(target, {lanesDown(amount.isPositive, tap.dy), lanesDown(amount.size, tap.dy)});
        }

        if (t % kLanes == kLanes - 1) {
            // The last sixteen steps back into the rows: lane j decided
            // pixels t - 15 - 8j ... t - 8j.
            ByteVector lanes[kLanes];
            transposeBytes(decided, lanes);
            const long first = t - (kLanes - 1);
            for (int j = 0; j < kLanes; ++j)
                storeBytes(levels_[j] + first - kLag * j, lanes[j]);
        }
    }
}

// The taps of the group's last rows into the rows of the next group, row by
// row from the top, each a whole row.
template <const Kernel& K>
void LaneDiffuser<K>::passOnTapsBelowGroup(long firstRow, long rows)
{
    for (long j = std::max(0L, kLanes - static_cast<long>(K.rowsBelow)); j < rows; ++j) {
        if (firstRow + kLanes >= height_) return;
        if (countCarryingError(levels_[j], 0, width_) == 0) continue;
        computeTapAmounts<K>(levels_[j], amounts_, 0, paddedWidth_);
        for (long dy = kLanes - j; dy <= K.rowsBelow && firstRow + j + dy < height_; ++dy)
            applyTapsBelow<K>(amounts_, static_cast<int>(dy), input_[j + dy], 0, paddedWidth_);
    }
}

template <const Kernel& K>
void LaneDiffuser<K>::run(const DibImage& source, DibImage& work)
{
    static constexpr unsigned char kMidGrey[4] = {128, 128, 128, 128};
    for (long j = 0; j < K.rowsBelow; ++j) loadRow(source, j, input_[j]);
    for (long first = 0; first < height_; first += kLanes) {
        const long rows = std::min<long>(kLanes, height_ - first);
        // Rows first ... first + rowsBelow - 1 came with the last group's taps.
        for (long j = K.rowsBelow; j < kLanes + K.rowsBelow; ++j) loadRow(source, first + j, input_[j]);
        bool quiet = true;
        for (long j = 0; j < rows && quiet; ++j) quiet = countCarryingError(input_[j], 0, width_) == 0;
        if (quiet) {
            // Only levels 0 and 255: nothing to pass on, each pixel is its level.
            for (long j = 0; j < rows; ++j)
                packRowAboveThreshold(input_[j], width_, kMidGrey, work.GetBits(static_cast<unsigned>(first + j)));
        } else {
            diffuseGroup(rows);
            for (long j = 0; j < rows; ++j)
                packRowAboveThreshold(levels_[j], width_, kMidGrey, work.GetBits(static_cast<unsigned>(first + j)));
            passOnTapsBelowGroup(first, rows);
        }
        for (long j = 0; j < K.rowsBelow; ++j) std::swap(input_[j], input_[kLanes + j]);
    }
}

// Narrower rows than this keep the diffusion on one thread: a row hands a
// stretch to the row below every 128 pixels, and on a narrow row the workers
// wait on each other for so much of the row that any delay of one stalls
// both (measured on a label 812 pixels wide: from no gain to several times
// slower).
constexpr long kMinSharedWidth = 1600;

// Whether the diffusion of the image is worth sharing among workers: rows
// wide enough, and enough grey to diffuse. On a page of mostly blank paper
// and solid ink the rows copy their runs instead of diffusing them and take
// next to no time, and handing stretches from row to row would cost more
// than it saves; at least one pixel in eight must carry an error. Images of
// other depths than 8 bits stay on one thread.
bool worthSharing(const DibImage& image)
{
    if (image.GetNumColors() != 256 || image.GetWidth() < kMinSharedWidth) return false;
    // Every fourth row tells well enough what the page holds.
    const long width = image.GetWidth();
    const long sampled = (image.GetHeight() + 3) / 4;
    long carrying = 0;
    for (long y = 0; y < image.GetHeight(); y += 4)
        carrying += countCarryingError(image.GetBits(static_cast<unsigned>(y)), 0, width);
    return carrying > 0 && carrying >= width * sampled / 8;
}

// Diffuses the rows [0, rows) of the source into the work image. Rows
// below never send anything up, so those rows come out as they do when the
// whole image is diffused; the work image's rows from rows on are left as
// they are.
template <const Kernel& K>
bool diffuse(const DibImage& source, DibImage& work, DiffusionPath path, long rows)
{
    if (source.GetNumColors() == 256 && path == DiffusionPath::Fastest) {
        LaneDiffuser<K> lanes(source.GetWidth(), rows);
        if (!lanes.ready()) return false;
        lanes.run(source, work);
        return true;
    }
    ErrorDiffuser<K> diffuser(source.GetWidth(), rows, workerCountFixed() || worthSharing(source));
    return diffuser.ready() && diffuser.run(source, work);
}

// Whether a block row has a tone block.
bool blockRowHasTone(const ToneBlockMap& map, long row)
{
    const auto first = map.tone.begin() + row * map.columns;
    return std::any_of(first, first + map.columns, [](unsigned char tone) { return tone != 0; });
}

// Rows from the top, above the first block row with tone, that hold levels
// 0 and 255 only. No error reaches them, so the diffusion prints them as the
// threshold does.
long quietRowsAboveTone(const DibImage& image, const ToneBlockMap& map)
{
    long toneRow = 0;
    while (toneRow < map.rows && !blockRowHasTone(map, toneRow)) ++toneRow;
    const long end = std::min<long>(image.GetHeight(), toneRow * kHalftoneBlockSize);
    long rows = 0;
    while (rows < end && countCarryingError(image.GetBits(static_cast<unsigned>(rows)), 0, image.GetWidth()) == 0)
        ++rows;
    return rows;
}

// A run of line-art blocks along a block row. A type of this file's own:
// the standard templates instantiated for it stay in this object, which
// matters in its AVX2 or NEON build (workers/vector_build.h).
struct LineArtRun {
    long first;  // first pixel
    long count;  // pixel count
};

// Thresholds the line-art blocks of the 8-bit source into the 1-bit work
// image from row firstRow on, over whatever the diffusion left there (above
// that row the diffusion printed what the threshold does): each run of
// line-art blocks along a block row in one piece. A block starts on a whole
// byte of the 1-bit row, and the last block's run ends at the page's width,
// so the bytes come out as thresholding the whole row gives them.
void thresholdLineArt(const DibImage& source, const ToneBlockMap& map, long firstRow, DibImage& work)
{
    const long width = source.GetWidth();
    const long height = source.GetHeight();
    const std::unique_ptr<LineArtRun[]> runs(new LineArtRun[map.columns > 0 ? map.columns : 1]);
    for (long blockRow = firstRow / kHalftoneBlockSize; blockRow < map.rows; ++blockRow) {
        long runCount = 0;
        for (long column = 0; column < map.columns; ++column) {
            if (map.isTone(column, blockRow)) continue;
            const long first = column * kHalftoneBlockSize;
            const long count = std::min(width, first + kHalftoneBlockSize) - first;
            if (runCount > 0 && runs[runCount - 1].first + runs[runCount - 1].count == first)
                runs[runCount - 1].count += count;
            else
                runs[runCount++] = {first, count};
        }
        const long bottom = std::min(height, (blockRow + 1) * kHalftoneBlockSize);
        for (long y = std::max(firstRow, blockRow * kHalftoneBlockSize); y < bottom; ++y) {
            const unsigned char* levels = source.GetBits(static_cast<unsigned>(y));
            unsigned char* out = work.GetBits(static_cast<unsigned>(y));
            for (long i = 0; i < runCount; ++i)
                packRowAboveThreshold(levels + runs[i].first, runs[i].count, kFixedThreshold.entry[0],
                                      out + runs[i].first / 8);
        }
    }
}

} // namespace

namespace TAVEL_VECTOR_BUILD {

bool thresholdInto(ThresholdMethod method, const DibImage& source, DibImage& work)
{
    switch (method) {
    case ThresholdMethod::Fixed: return thresholdWith(source, work, kFixedThreshold);
    case ThresholdMethod::Ordered: return thresholdWith(source, work, kOrderedThreshold);
    case ThresholdMethod::Bayer: break;
    }
    return thresholdWith(source, work, kBayerThreshold);
}

bool diffuseInto(unsigned long method, const DibImage& source, DibImage& work, DiffusionPath path)
{
    const long rows = source.GetHeight();
    switch (method) {
    case 2: return diffuse<kBurkes>(source, work, path, rows);
    case 3: return diffuse<kStucki>(source, work, path, rows);
    case 4: return diffuse<kJarvisJudiceNinke>(source, work, path, rows);
    case 5: return diffuse<kSierra>(source, work, path, rows);
    case 6: return diffuse<kStevensonArce>(source, work, path, rows);
    default: return diffuse<kFloydSteinberg>(source, work, path, rows);
    }
}

// The page is diffused with the Sierra kernel, and the line-art blocks are
// then thresholded over it from the grey page. Diffusing the page in one
// piece, rather than block by block, carries the error across the borders
// of neighbouring tone blocks as inside them, so a photo shows no seam where
// its blocks meet; line art holds levels 0 and 255 almost only, which pass
// no error to the tone beside it. The diffusion stops after the last block
// row with tone, as nothing flows up from the rows below; the rows of paper
// and solid ink at the top come out of it as thresholded already.
bool halftoneBlocksInto(const ToneBlockMap& map, const DibImage& source, DibImage& work,
                        DiffusionPath path)
{
    long blockRows = map.rows;
    while (blockRows > 0 && !blockRowHasTone(map, blockRows - 1)) --blockRows;
    if (!diffuse<kSierra>(source, work, path, std::min<long>(source.GetHeight(), blockRows * kHalftoneBlockSize)))
        return false;
    thresholdLineArt(source, map, quietRowsAboveTone(source, map), work);
    return true;
}

} // namespace TAVEL_VECTOR_BUILD
