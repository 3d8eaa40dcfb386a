// DibImage halftoning to 1 bit per pixel: a fixed threshold, two 4 x 4
// threshold matrices and six error-diffusion kernels.
//
// Error diffusion saturates a pixel at 0 and 255 after every tap, so each
// pixel must receive its taps one by one in scan order. Two passes do that.
//
// On processors with SSE2, 8-bit images go through the lanes (LaneDiffuser
// below): sixteen rows at once, one per byte of the vector registers, each
// row eight pixels behind the one above.
//
// Everywhere else the row-by-row pass (ErrorDiffuser) splits the work so
// that only the part that really is sequential runs pixel by pixel:
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
#include "image/dib_image.h"
#include "image/diffusion_path.h"
#include "workers/parallel.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Bit order of a byte reversed: movemask puts pixel 0 in bit 0, the 1-bit
// row format wants it in bit 7.
struct BitReverseTable {
    unsigned char value[256];
    constexpr BitReverseTable() : value()
    {
        for (int i = 0; i < 256; ++i) {
            int r = 0;
            for (int b = 0; b < 8; ++b)
                if (i & (1 << b)) r |= 0x80 >> b;
            value[i] = static_cast<unsigned char>(r);
        }
    }
};

constexpr BitReverseTable kBitReverse;

// Packs one row to 1 bit per pixel: bit x is set when levels[x] > thresholds[x mod 4].
void packRowAboveThreshold(const unsigned char* levels, long width, const unsigned char* thresholds,
                           unsigned char* out)
{
    long x = 0;
#if defined(__SSE2__)
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    int pattern;
    std::memcpy(&pattern, thresholds, 4);
    const __m128i limit = _mm_xor_si128(_mm_shuffle_epi32(_mm_cvtsi32_si128(pattern), 0), bias);
    for (; x + 16 <= width; x += 16) {
        const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + x)), bias);
        const int mask = _mm_movemask_epi8(_mm_cmpgt_epi8(v, limit));
        out[x / 8] = kBitReverse.value[mask & 0xFF];
        out[x / 8 + 1] = kBitReverse.value[mask >> 8];
    }
#endif
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

bool thresholdInto(const DibImage& source, DibImage& work, const ThresholdMatrix& matrix)
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

// The amount of a tap, trunc(|e| x w / D), as one multiply-high: it is
// (|e| x M) >> 16 with M = ceil(w x 65536 / D) for every |e| up to 128 and
// every weight of the kernels.
constexpr unsigned tapMultiplier(int divisor, int weight)
{
    return (static_cast<unsigned>(weight) * 65536u + divisor - 1) / divisor;
}

constexpr bool tapMultipliersAreExact(const Kernel& kernel)
{
    int weights[kMaxTaps + 2] = {kernel.rightWeight, kernel.secondWeight};
    for (int i = 0; i < kernel.tapCount; ++i) weights[i + 2] = kernel.taps[i].weight;
    for (int i = 0; i < kernel.tapCount + 2; ++i) {
        const unsigned multiplier = tapMultiplier(kernel.divisor, weights[i]);
        if (multiplier > 65535u) return false;
        for (unsigned n = 0; n <= unsigned(kMaxErrorMagnitude); ++n)
            if (((n * multiplier) >> 16) != n * weights[i] / kernel.divisor) return false;
    }
    return true;
}

static_assert(tapMultipliersAreExact(kFloydSteinberg), "Floyd-Steinberg division");
static_assert(tapMultipliersAreExact(kBurkes), "Burkes division");
static_assert(tapMultipliersAreExact(kStucki), "Stucki division");
static_assert(tapMultipliersAreExact(kJarvisJudiceNinke), "Jarvis-Judice-Ninke division");
static_assert(tapMultipliersAreExact(kSierra), "Sierra division");
static_assert(tapMultipliersAreExact(kStevensonArce), "Stevenson-Arce division");

#if defined(__SSE2__)
// The errors of 16 levels: which are negative (level above 128), and their
// magnitudes |e|, the level or 255 - level.
struct LaneErrors {
    __m128i isNegative;
    __m128i magnitude;
};

inline LaneErrors laneErrors(__m128i levels)
{
    const __m128i isNegative = _mm_cmpgt_epi8(_mm_xor_si128(levels, _mm_set1_epi8(static_cast<char>(0x80))),
                                              _mm_setzero_si128());
    return {isNegative, _mm_xor_si128(levels, isNegative)};
}

// trunc(|e| x w / D) for 16 error magnitudes.
template <const Kernel& K>
inline __m128i laneQuotient(__m128i magnitude, int weight)
{
    const int ratio = K.divisor / weight;
    if (K.divisor % weight == 0 && (ratio & (ratio - 1)) == 0) {
        // w / D is 1 / 2^s: a shift, in 16-bit units with the bits that
        // cross from byte to byte masked off.
        const int shift = __builtin_ctz(static_cast<unsigned>(ratio));
        return _mm_and_si128(_mm_srl_epi16(magnitude, _mm_cvtsi32_si128(shift)),
                             _mm_set1_epi8(static_cast<char>(0xFF >> shift)));
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i multiplier = _mm_set1_epi16(static_cast<short>(tapMultiplier(K.divisor, weight)));
    return _mm_packus_epi16(_mm_mulhi_epu16(_mm_unpacklo_epi8(magnitude, zero), multiplier),
                            _mm_mulhi_epu16(_mm_unpackhi_epi8(magnitude, zero), multiplier));
}

// A tap's amount for 16 levels, split by the sign of their errors.
struct LaneAmount {
    __m128i positive;
    __m128i negative;
};

template <const Kernel& K>
inline LaneAmount laneAmount(const LaneErrors& errors, int weight)
{
    if (weight == 0) return {_mm_setzero_si128(), _mm_setzero_si128()};
    const __m128i quotient = laneQuotient<K>(errors.magnitude, weight);
    return {_mm_andnot_si128(errors.isNegative, quotient), _mm_and_si128(errors.isNegative, quotient)};
}
#endif

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
#if defined(__SSE2__)
    const __m128i black = _mm_setzero_si128();
    const __m128i white = _mm_set1_epi8(-1);
    while (x + 16 <= to) {
        // Per byte lane, the number of plain levels; at most 255 groups at a time.
        __m128i plain = _mm_setzero_si128();
        const long end = std::min(to, x + 255 * 16);
        for (; x + 16 <= end; x += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + x));
            plain = _mm_sub_epi8(plain, _mm_or_si128(_mm_cmpeq_epi8(v, black), _mm_cmpeq_epi8(v, white)));
        }
        const __m128i sums = _mm_sad_epu8(plain, black);
        const long plainCount = _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
        count += (end - from) / 16 * 16 - plainCount;
        from = x;
    }
#endif
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
#if defined(__SSE2__)
    for (long x = first; x < last; x += 16) {
        const LaneErrors errors = laneErrors(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + x)));
#pragma GCC unroll 12
        for (int slot = 0; slot < kTables<K>.weightCount; ++slot) {
            const LaneAmount amount = laneAmount<K>(errors, kTables<K>.weights[slot]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(amounts.positive[slot] + x), amount.positive);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(amounts.negative[slot] + x), amount.negative);
        }
    }
#else
    for (int slot = 0; slot < kTables<K>.weightCount; ++slot) {
        for (long x = first; x < last; ++x) {
            const int amount = errorOf(levels[x]) * kTables<K>.weights[slot] / K.divisor;
            amounts.positive[slot][x] = static_cast<unsigned char>(amount > 0 ? amount : 0);
            amounts.negative[slot][x] = static_cast<unsigned char>(amount < 0 ? -amount : 0);
        }
    }
#endif
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
#if defined(__SSE2__)
    for (long x = from; x < to; x += 16) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(target + x));
#pragma GCC unroll 12
        for (int i = 0; i < tapCount; ++i) {
            p = _mm_adds_epu8(p, _mm_loadu_si128(reinterpret_cast<const __m128i*>(positive[i] + x)));
            p = _mm_subs_epu8(p, _mm_loadu_si128(reinterpret_cast<const __m128i*>(negative[i] + x)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + x), p);
    }
#else
    for (long x = from; x < to; ++x) {
        unsigned p = target[x];
        for (int i = 0; i < tapCount; ++i) p = addClamped(p, positive[i][x] - negative[i][x]);
        target[x] = static_cast<unsigned char>(p);
    }
#endif
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

#if defined(__SSE2__)
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

inline __m128i addTap(__m128i value, const LaneAmount& amount)
{
    return _mm_subs_epu8(_mm_adds_epu8(value, amount.positive), amount.negative);
}

// The amounts of lane j moved to lane j + dy.
inline __m128i lanesDown(__m128i amounts, int dy)
{
    switch (dy) {
    case 1: return _mm_slli_si128(amounts, 1);
    case 2: return _mm_slli_si128(amounts, 2);
    default: return _mm_slli_si128(amounts, 3);
    }
}

// out[c] byte j = in[j] byte c.
inline void transposeBytes(const __m128i in[16], __m128i out[16])
{
    __m128i pairs[16];  // unit c: rows 2p, 2p + 1 of column c
    for (int p = 0; p < 8; ++p) {
        pairs[p] = _mm_unpacklo_epi8(in[2 * p], in[2 * p + 1]);
        pairs[8 + p] = _mm_unpackhi_epi8(in[2 * p], in[2 * p + 1]);
    }
    __m128i quads[16];  // [4q + g]: rows 4q ... 4q + 3 of columns 4g ... 4g + 3
    for (int half = 0; half < 2; ++half) {
        for (int q = 0; q < 4; ++q) {
            const __m128i upper = pairs[8 * half + 2 * q];
            const __m128i lower = pairs[8 * half + 2 * q + 1];
            quads[4 * q + 2 * half] = _mm_unpacklo_epi16(upper, lower);
            quads[4 * q + 2 * half + 1] = _mm_unpackhi_epi16(upper, lower);
        }
    }
    __m128i octets[16];  // [8h + c2]: rows 8h ... 8h + 7 of columns 2c2, 2c2 + 1
    for (int h = 0; h < 2; ++h) {
        for (int g = 0; g < 4; ++g) {
            const __m128i upper = quads[4 * (2 * h) + g];
            const __m128i lower = quads[4 * (2 * h + 1) + g];
            octets[8 * h + 2 * g] = _mm_unpacklo_epi32(upper, lower);
            octets[8 * h + 2 * g + 1] = _mm_unpackhi_epi32(upper, lower);
        }
    }
    for (int c2 = 0; c2 < 8; ++c2) {
        out[2 * c2] = _mm_unpacklo_epi64(octets[c2], octets[8 + c2]);
        out[2 * c2 + 1] = _mm_unpackhi_epi64(octets[c2], octets[8 + c2]);
    }
}

// The lanes that hold a pixel of the image at step t: lanes lo ... hi.
struct LaneMasks {
    __m128i upTo[17];  // [h + 1]: lanes 0 ... h
    __m128i from[17];  // [l]: lanes l ... 15
    LaneMasks()
    {
        for (int i = 0; i <= 16; ++i) {
            alignas(16) unsigned char up[16];
            alignas(16) unsigned char down[16];
            for (int lane = 0; lane < 16; ++lane) {
                up[lane] = lane < i ? 0xFF : 0;
                down[lane] = lane >= i ? 0xFF : 0;
            }
            upTo[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(up));
            from[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(down));
        }
    }
};

template <const Kernel& K>
void LaneDiffuser<K>::diffuseGroup(long rows)
{
    static const LaneMasks masks;
    alignas(16) __m128i ring[kRing];
    alignas(16) __m128i decided[kLanes];
    const long steps = (width_ + kLag * (rows - 1) + kLanes - 1) / kLanes * kLanes;

    auto loadColumns = [&](long first) {
        // Lane j of column k reads row j at pixel k - 8j.
        __m128i in[kLanes];
        for (int j = 0; j < kLanes; ++j)
            in[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input_[j] + first - kLag * j));
        __m128i columns[kLanes];
        transposeBytes(in, columns);
        for (int i = 0; i < kLanes; ++i) ring[(first + i) % kRing] = columns[i];
    };
    for (long first = 0; first < kAhead; first += kLanes) loadColumns(first);

    __m128i a = ring[0];
    __m128i b = ring[1];
    __m128i c = ring[2];
    for (long t = 0; t < steps; ++t) {
        if (t % kLanes == 0) loadColumns(t + kAhead);
        const long highest = std::min(rows - 1, t / kLag);
        const long lowest = t < width_ ? 0 : std::min<long>(kLanes, (t - width_) / kLag + 1);
        const __m128i level = _mm_and_si128(a, _mm_and_si128(masks.upTo[highest + 1], masks.from[lowest]));
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
            __m128i& target = ring[(t + tap.dx + kLag * tap.dy) % kRing];
            target = addTap(target, {lanesDown(amount.positive, tap.dy), lanesDown(amount.negative, tap.dy)});
        }

        if (t % kLanes == kLanes - 1) {
            // The last sixteen steps back into the rows: lane j decided
            // pixels t - 15 - 8j ... t - 8j.
            __m128i lanes[kLanes];
            transposeBytes(decided, lanes);
            const long first = t - (kLanes - 1);
            for (int j = 0; j < kLanes; ++j)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(levels_[j] + first - kLag * j), lanes[j]);
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
#endif

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

std::atomic<DiffusionPath> sDiffusionPath{DiffusionPath::Fastest};

template <const Kernel& K>
bool diffuse(const DibImage& source, DibImage& work)
{
#if defined(__SSE2__)
    if (source.GetNumColors() == 256 && sDiffusionPath.load(std::memory_order_relaxed) == DiffusionPath::Fastest) {
        LaneDiffuser<K> lanes(source.GetWidth(), source.GetHeight());
        if (!lanes.ready()) return false;
        lanes.run(source, work);
        return true;
    }
#endif
    ErrorDiffuser<K> diffuser(source.GetWidth(), source.GetHeight(),
                              workerCountFixed() || worthSharing(source));
    return diffuser.ready() && diffuser.run(source, work);
}

bool diffuseInto(unsigned long method, const DibImage& source, DibImage& work)
{
    switch (method) {
    case 2: return diffuse<kBurkes>(source, work);
    case 3: return diffuse<kStucki>(source, work);
    case 4: return diffuse<kJarvisJudiceNinke>(source, work);
    case 5: return diffuse<kSierra>(source, work);
    case 6: return diffuse<kStevensonArce>(source, work);
    default: return diffuse<kFloydSteinberg>(source, work);
    }
}

} // namespace

void setDiffusionPath(DiffusionPath path)
{
    sDiffusionPath.store(path, std::memory_order_relaxed);
}

bool DibImage::Dither(long method)
{
    if (!block) return false;
    if (bmpHeader.biBitCount == 1) return true;

    DibImage work;
    work.CopyInfo(*this);
    work.Create(GetWidth(), GetHeight(), 1, info.imageType);
    if (!work.IsValid()) {
        copyLastErrorFrom(work);
        return false;
    }

    const unsigned long selected = static_cast<unsigned long>(method);
    bool done = false;
    if (selected == 0) {
        done = thresholdInto(*this, work, kFixedThreshold);
    } else if (selected == 1) {
        done = thresholdInto(*this, work, kOrderedThreshold);
    } else if (selected == 7) {
        done = thresholdInto(*this, work, kBayerThreshold);
    } else {
        done = diffuseInto(selected, *this, work);
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
