// DibImage halftoning to 1 bit per pixel: a fixed threshold, two 4 x 4
// threshold matrices and six error-diffusion kernels.
//
// Error diffusion saturates a pixel at 0 and 255 after every tap, so each
// pixel must receive its taps one by one in scan order. The work is split so
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
// The rows go to worker threads in turn, each row a stretch of pixels behind
// the one above it: a row decides a stretch once the rows above have passed
// on all their taps into it, then passes on its own. Every target still
// takes its taps in scan order, so the result does not depend on the number
// of workers.
#include "image/dib_image.h"
#include "workers/parallel.h"

#include <algorithm>
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

// Division by the kernel's divisor as a 16-bit multiply-high and a shift:
// n / D == (n * multiplier) >> (16 + shift) for every n the kernel produces.
struct DivisionMagic {
    unsigned multiplier;
    int shift;
};

constexpr DivisionMagic divisionMagic(int divisor)
{
    int shift = 0;
    while ((1u << (16 + shift + 1)) / divisor < 65536u) ++shift;
    const unsigned scale = 1u << (16 + shift);
    return {(scale + divisor - 1) / divisor, shift};
}

constexpr bool divisionMagicIsExact(const Kernel& kernel)
{
    int largestWeight = 0;
    for (int i = 0; i < kernel.tapCount; ++i) largestWeight = std::max(largestWeight, kernel.taps[i].weight);
    const DivisionMagic magic = divisionMagic(kernel.divisor);
    if (magic.multiplier > 65535u) return false;
    for (unsigned n = 0; n <= unsigned(kMaxErrorMagnitude * largestWeight); ++n)
        if (((n * magic.multiplier) >> (16 + magic.shift)) != n / kernel.divisor) return false;
    return true;
}

static_assert(divisionMagicIsExact(kFloydSteinberg), "Floyd-Steinberg division");
static_assert(divisionMagicIsExact(kBurkes), "Burkes division");
static_assert(divisionMagicIsExact(kStucki), "Stucki division");
static_assert(divisionMagicIsExact(kJarvisJudiceNinke), "Jarvis-Judice-Ninke division");
static_assert(divisionMagicIsExact(kSierra), "Sierra division");
static_assert(divisionMagicIsExact(kStevensonArce), "Stevenson-Arce division");

// Saturating store of a tap: the pixel value plus a signed amount, held in 0 ... 255.
inline int addClamped(int value, int amount)
{
    const int sum = value + amount;
    return sum < 0 ? 0 : (sum > 255 ? 255 : sum);
}

// The error a level leaves behind: v - 255 above 128, else v.
constexpr int errorOf(int level) { return level > 128 ? level - 255 : level; }

class ErrorDiffuser {
public:
    // With share false the diffusion keeps to the calling thread.
    ErrorDiffuser(const Kernel& kernel, long width, long height, bool share);
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

    struct TargetTap {
        int dx;
        int weightSlot;
    };

    // Where a row's left-to-right pass stands: the pixel x to decide next,
    // and a, b, c, the values of x, x + 1 and x + 2 with the taps they have
    // had so far.
    struct AlongRow {
        long x;
        int a;
        int b;
        int c;
    };

    unsigned char* scratchRow(long index) const { return storage_.get() + index * rowLength_ + kMargin; }
    unsigned char* ringRow(long y) const { return scratchRow(y % ringSize_); }
    // The rows of one worker: its levels, then the tap amounts of each
    // weight, positive and negative.
    unsigned char* levelsRow(int worker) const { return scratchRow(ringSize_ + worker * workerRows_); }
    unsigned char* positiveAmounts(int worker, int slot) const
    {
        return scratchRow(ringSize_ + worker * workerRows_ + 1 + 2 * slot);
    }
    unsigned char* negativeAmounts(int worker, int slot) const
    {
        return scratchRow(ringSize_ + worker * workerRows_ + 2 + 2 * slot);
    }

    // Kept out of line: inlined into the row loop, its few hot values lose
    // their registers to the loop's.
    __attribute__((noinline)) void diffuseAlongRow(const unsigned char* row, unsigned char* levels,
                                                   AlongRow& at, long limit) const;
    void computeTapAmounts(int worker, long from, long to) const;
    void applyTapsBelow(int worker, int dy, unsigned char* target, long from, long to) const;
    void diffuseRow(long y, int worker, const DibImage& source, DibImage& work, RowProgress* progress) const;

    const Kernel& kernel_;
    long width_;
    long height_;
    long paddedWidth_;  // width rounded up to whole 16-pixel groups
    long rowLength_;
    int workers_;
    int ringSize_;
    int weightCount_ = 0;
    int workerRows_ = 0;
    int weights_[kMaxTaps] = {};
    int targetTapCount_[kMaxRowsBelow + 1] = {};
    TargetTap targetTaps_[kMaxRowsBelow + 1][kMaxTaps] = {};
    int rightAmount_[256];
    int secondAmount_[256];
    std::unique_ptr<unsigned char[]> storage_;
};

// The rows of the image go to the workers in turn. The ring holds, besides
// the rows being decided, the rows below them that receive taps: a row loads
// the row kernel.rowsBelow under it as it starts, into the slot of the row
// that its worker finished last.
ErrorDiffuser::ErrorDiffuser(const Kernel& kernel, long width, long height, bool share)
    : kernel_(kernel), width_(width), height_(height), paddedWidth_((width + 15) / 16 * 16),
      rowLength_(kMargin + paddedWidth_ + kMargin),
      workers_(share ? static_cast<int>(std::max(1L, std::min<long>(
                           workersFor(static_cast<std::size_t>(width) * height), height)))
                     : 1),
      ringSize_(kernel.rowsBelow + workers_)
{
    for (int level = 0; level < 256; ++level) {
        rightAmount_[level] = errorOf(level) * kernel.rightWeight / kernel.divisor;
        secondAmount_[level] = errorOf(level) * kernel.secondWeight / kernel.divisor;
    }
    // Taps of each row below, in the order their sources are scanned: a target
    // at x hears from the source at x - dx, so the largest dx comes first.
    for (int i = 0; i < kernel.tapCount; ++i) {
        const Tap& tap = kernel.taps[i];
        int slot = 0;
        while (slot < weightCount_ && weights_[slot] != tap.weight) ++slot;
        if (slot == weightCount_) weights_[weightCount_++] = tap.weight;
        targetTaps_[tap.dy][targetTapCount_[tap.dy]++] = {tap.dx, slot};
    }
    for (int dy = 1; dy <= kernel.rowsBelow; ++dy)
        std::sort(targetTaps_[dy], targetTaps_[dy] + targetTapCount_[dy],
                  [](const TargetTap& a, const TargetTap& b) { return a.dx > b.dx; });

    workerRows_ = 1 + 2 * weightCount_;
    const long rowCount = ringSize_ + static_cast<long>(workers_) * workerRows_;
    storage_.reset(new (std::nothrow) unsigned char[rowCount * rowLength_]());
}

// Levels 0 and 255 leave no error behind, so they pass nothing on.
inline bool carriesNoError(int level) { return level == 0 || level == 255; }

// How many levels in [from, to) leave an error behind.
long countCarryingError(const unsigned char* levels, long from, long to)
{
    long count = 0;
    long x = from;
#if defined(__SSE2__)
    const __m128i black = _mm_setzero_si128();
    const __m128i white = _mm_set1_epi8(-1);
    for (; x + 16 <= to; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + x));
        const int plain = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, black), _mm_cmpeq_epi8(v, white)));
        count += 16 - __builtin_popcount(static_cast<unsigned>(plain));
    }
#endif
    for (; x < to; ++x) count += carriesNoError(levels[x]) ? 0 : 1;
    return count;
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
void ErrorDiffuser::diffuseAlongRow(const unsigned char* row, unsigned char* levels, AlongRow& at,
                                    long limit) const
{
    long x = at.x;
    int a = at.a;
    int b = at.b;
    int c = at.c;
    while (x < limit) {
        if (x + 3 <= limit && carriesNoError(a) && carriesNoError(b) && carriesNoError(c)) {
            long end = x + 3;
            while (end < limit && carriesNoError(row[end])) ++end;
            levels[x] = static_cast<unsigned char>(a);
            if (x + 1 < width_) levels[x + 1] = static_cast<unsigned char>(b);
            if (x + 2 < width_) levels[x + 2] = static_cast<unsigned char>(c);
            if (end > x + 3) std::memcpy(levels + x + 3, row + x + 3, static_cast<size_t>(end - x - 3));
            // The pixel after the run has had no tap from it.
            x = end;
            a = row[x];
            b = row[x + 1];
            c = row[x + 2];
            continue;
        }
        levels[x] = static_cast<unsigned char>(a);
        const int nextB = addClamped(b, rightAmount_[a]);
        const int nextC = addClamped(c, secondAmount_[a]);
        a = nextB;
        b = nextC;
        c = row[x + 3];
        ++x;
    }
    at = {x, a, b, c};
}

// Step 2: for every pixel whose level the targets [from, to) read, and every
// weight, trunc(e x w / D) as a magnitude in the array of its sign. Levels
// past the row end are 0 and give 0.
void ErrorDiffuser::computeTapAmounts(int worker, long from, long to) const
{
    const unsigned char* levels = levelsRow(worker);
    const long first = std::max(0L, (from - kReach) / 16 * 16);
    const long last = std::min(paddedWidth_, (to + kReach + 15) / 16 * 16);
#if defined(__SSE2__)
    const DivisionMagic magic = divisionMagic(kernel_.divisor);
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i zero = _mm_setzero_si128();
    const __m128i multiplier = _mm_set1_epi16(static_cast<short>(magic.multiplier));
    const __m128i shift = _mm_cvtsi32_si128(magic.shift);
    for (long x = first; x < last; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + x));
        const __m128i negative = _mm_cmpgt_epi8(_mm_xor_si128(v, bias), zero);  // v > 128
        const __m128i magnitude = _mm_xor_si128(v, negative);                    // |e|: v or 255 - v
        const __m128i low = _mm_unpacklo_epi8(magnitude, zero);
        const __m128i high = _mm_unpackhi_epi8(magnitude, zero);
        for (int slot = 0; slot < weightCount_; ++slot) {
            const __m128i weight = _mm_set1_epi16(static_cast<short>(weights_[slot]));
            const __m128i qLow = _mm_srl_epi16(_mm_mulhi_epu16(_mm_mullo_epi16(low, weight), multiplier), shift);
            const __m128i qHigh = _mm_srl_epi16(_mm_mulhi_epu16(_mm_mullo_epi16(high, weight), multiplier), shift);
            const __m128i amount = _mm_packus_epi16(qLow, qHigh);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(positiveAmounts(worker, slot) + x), _mm_andnot_si128(negative, amount));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(negativeAmounts(worker, slot) + x), _mm_and_si128(negative, amount));
        }
    }
#else
    for (int slot = 0; slot < weightCount_; ++slot) {
        unsigned char* positive = positiveAmounts(worker, slot);
        unsigned char* negative = negativeAmounts(worker, slot);
        for (long x = first; x < last; ++x) {
            const int amount = errorOf(levels[x]) * weights_[slot] / kernel_.divisor;
            positive[x] = static_cast<unsigned char>(amount > 0 ? amount : 0);
            negative[x] = static_cast<unsigned char>(amount < 0 ? -amount : 0);
        }
    }
#endif
}

// Step 3: the taps of row dy below into its targets [from, to), whole
// 16-pixel groups, source order per target.
void ErrorDiffuser::applyTapsBelow(int worker, int dy, unsigned char* target, long from, long to) const
{
    const int tapCount = targetTapCount_[dy];
    const TargetTap* taps = targetTaps_[dy];
#if defined(__SSE2__)
    for (long x = from; x < to; x += 16) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(target + x));
        for (int i = 0; i < tapCount; ++i) {
            const long source = x - taps[i].dx;
            const int slot = taps[i].weightSlot;
            p = _mm_adds_epu8(p, _mm_loadu_si128(reinterpret_cast<const __m128i*>(positiveAmounts(worker, slot) + source)));
            p = _mm_subs_epu8(p, _mm_loadu_si128(reinterpret_cast<const __m128i*>(negativeAmounts(worker, slot) + source)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + x), p);
    }
#else
    for (long x = from; x < to; ++x) {
        int p = target[x];
        for (int i = 0; i < tapCount; ++i) {
            const long source = x - taps[i].dx;
            const int slot = taps[i].weightSlot;
            p = addClamped(p, positiveAmounts(worker, slot)[source] - negativeAmounts(worker, slot)[source]);
        }
        target[x] = static_cast<unsigned char>(p);
    }
#endif
}

// Row y, a stretch at a time: its pass goes as far as the row above has
// passed on its taps (every row above that sends taps here is further on
// still), then its own taps go to the targets whose sources are all decided,
// and it reports how far the rows below it are final. Every target thus
// takes its taps row by row from the top, and within a row in source order,
// as when the rows run one after another.
void ErrorDiffuser::diffuseRow(long y, int worker, const DibImage& source, DibImage& work,
                               RowProgress* progress) const
{
    if (y + kernel_.rowsBelow < height_)
        loadLevels(source, y + kernel_.rowsBelow, ringRow(y + kernel_.rowsBelow));
    const unsigned char* row = ringRow(y);
    unsigned char* levels = levelsRow(worker);
    const RowProgress* above = y > 0 ? &progress[y - 1] : nullptr;
    AlongRow at{0, 0, 0, 0};
    long decided = 0;
    long applied = 0;
    while (applied < paddedWidth_) {
        const long limit = std::min(width_, decided + kStep);
        if (above != nullptr)
            above->waitFor(limit == width_ ? kRowDone : static_cast<int>(limit + kReach));
        if (decided == 0) at = {0, row[0], row[1], row[2]};
        diffuseAlongRow(row, levels, at, limit);
        decided = limit;
        const long tapEnd = decided == width_ ? paddedWidth_ : std::max(applied, (decided - kReach) / 16 * 16);
        if (tapEnd > applied &&
            countCarryingError(levels, std::max(0L, applied - kReach), std::min(decided, tapEnd + kReach)) > 0) {
            computeTapAmounts(worker, applied, tapEnd);
            for (int dy = 1; dy <= kernel_.rowsBelow && y + dy < height_; ++dy)
                applyTapsBelow(worker, dy, ringRow(y + dy), applied, tapEnd);
        }
        applied = tapEnd;
        progress[y].publish(applied == paddedWidth_ ? kRowDone : static_cast<int>(applied));
    }
    static constexpr unsigned char kMidGrey[4] = {128, 128, 128, 128};
    packRowAboveThreshold(levels, width_, kMidGrey, work.GetBits(static_cast<unsigned>(y)));
}

bool ErrorDiffuser::run(const DibImage& source, DibImage& work)
{
    std::unique_ptr<RowProgress[]> progress(new (std::nothrow) RowProgress[height_]);
    if (!progress) return false;
    for (long y = 0; y < height_ && y < kernel_.rowsBelow; ++y) loadLevels(source, y, ringRow(y));
    // Rows beyond the workers that started are taken by the ones there are.
    onEveryWorker(workers_, [&](int worker, int started) {
        for (long y = worker; y < height_; y += started) diffuseRow(y, worker, source, work, progress.get());
    });
    return true;
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

const Kernel& diffusionKernel(unsigned long method)
{
    switch (method) {
    case 2: return kBurkes;
    case 3: return kStucki;
    case 4: return kJarvisJudiceNinke;
    case 5: return kSierra;
    case 6: return kStevensonArce;
    default: return kFloydSteinberg;
    }
}

} // namespace

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
        ErrorDiffuser diffuser(diffusionKernel(selected), GetWidth(), GetHeight(),
                               workerCountFixed() || worthSharing(*this));
        done = diffuser.ready() && diffuser.run(*this, work);
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
