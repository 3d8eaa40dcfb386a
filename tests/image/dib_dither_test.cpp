// DibImage halftoning to 1 bit per pixel.
#include "dib_test_support.h"
#include "worker_count.h"
#include "image/diffusion_path.h"
#include "image/halftone_blocks.h"
#include "workers/vector_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

Rows dither(const Rows& grey, long method)
{
    DibImage image;
    loadGrey(image, grey);
    EXPECT_TRUE(image.Dither(method));
    EXPECT_EQ(image.GetNumColors(), 2u);
    return indicesOf(image);
}

// ---------------------------------------------------------------------------
// A deliberately plain, slow reference: one pixel at a time, the checked
// accessors, every tap stored back into the grey image.

struct ReferenceTap {
    int dx, dy, weight;
};

struct ReferenceKernel {
    int divisor;
    std::vector<ReferenceTap> taps;
};

ReferenceKernel referenceKernel(unsigned long method)
{
    switch (method) {
    case 2:
        return {32, {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}}};
    case 3:
        return {42, {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2},
                     {-2, 2, 1}, {-1, 2, 2}, {0, 2, 4}, {1, 2, 2}, {2, 2, 1}}};
    case 4:
        return {48, {{1, 0, 7}, {2, 0, 5}, {-2, 1, 3}, {-1, 1, 5}, {0, 1, 7}, {1, 1, 5}, {2, 1, 3},
                     {-2, 2, 1}, {-1, 2, 3}, {0, 2, 5}, {1, 2, 3}, {2, 2, 1}}};
    case 5:
        return {32, {{1, 0, 5}, {2, 0, 3}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5}, {1, 1, 4}, {2, 1, 2},
                     {-1, 2, 2}, {0, 2, 3}, {1, 2, 2}}};
    case 6:
        return {200, {{2, 0, 32}, {-3, 1, 12}, {-1, 1, 26}, {1, 1, 30}, {3, 1, 16}, {-2, 2, 12},
                      {0, 2, 26}, {2, 2, 12}, {-3, 3, 5}, {-1, 3, 12}, {1, 3, 12}, {3, 3, 5}}};
    default:
        return {16, {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}}};
    }
}

const int kOrderedMatrix[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// The order-4 Bayer matrix, derived by bit interleaving.
int bayerEntry(int r, int c)
{
    const int rc = r ^ c;
    return 16 * (8 * (rc & 1) + 4 * (c & 1) + 2 * ((rc >> 1) & 1) + ((c >> 1) & 1));
}

Rows referenceDither(const Rows& grey, long method)
{
    DibImage image;
    loadGrey(image, grey);
    const long width = image.GetWidth();
    const long height = image.GetHeight();
    const unsigned long selected = static_cast<unsigned long>(method);
    const ReferenceKernel kernel = referenceKernel(selected);
    Rows out(height, std::vector<int>(width));
    for (long y = 0; y < height; ++y) {
        for (long x = 0; x < width; ++x) {
            const int v = image.GetPixelIndex(x, y);
            if (selected == 0) {
                out[y][x] = v > 128;
            } else if (selected == 1) {
                const int level = 16 * v / 255;
                out[y][x] = level == 16 || kOrderedMatrix[y % 4][x % 4] < level;
            } else if (selected == 7) {
                out[y][x] = v > bayerEntry(y % 4, x % 4);
            } else {
                out[y][x] = v > 128;
                const int error = v > 128 ? v - 255 : v;
                for (const ReferenceTap& tap : kernel.taps) {
                    const long tx = x + tap.dx;
                    const long ty = y + tap.dy;
                    if (tx < 0 || tx >= width || ty >= height) continue;
                    int n = image.GetPixelIndex(tx, ty) + error * tap.weight / kernel.divisor;
                    n = n < 0 ? 0 : (n > 255 ? 255 : n);
                    image.SetPixelIndex(tx, ty, static_cast<unsigned char>(n));
                }
            }
        }
    }
    return out;
}

// Anchors the reference on hand-worked examples.
TEST(DibImageDitherReference, AgreesWithTheWorkedExamples)
{
    EXPECT_EQ(referenceDither(uniformRows(4, 2, 128), -1), (Rows{{0, 1, 0, 1}, {1, 0, 1, 0}}));
    EXPECT_EQ(referenceDither(Rows{{100, 200, 50}, {30, 140, 255}}, 2), (Rows{{0, 1, 0}, {0, 1, 1}}));
    EXPECT_EQ(bayerEntry(0, 3), 240);
    EXPECT_EQ(bayerEntry(3, 2), 144);
}

Rows randomRows(std::mt19937& random, int width, int height, int style)
{
    std::uniform_int_distribution<int> any(0, 255);
    std::uniform_int_distribution<int> pick(0, 9);
    const int extremes[] = {0, 1, 2, 127, 128, 129, 130, 253, 254, 255};
    Rows rows(height, std::vector<int>(width));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            switch (style) {
            case 0: rows[y][x] = any(random); break;
            case 1: rows[y][x] = extremes[pick(random)]; break;  // saturates often
            case 2: {
                // A label: long runs of blank paper and solid ink, a few greys.
                const int roll = pick(random) * 10 + pick(random);
                rows[y][x] = roll < 75 ? 0 : roll < 93 ? 255 : extremes[pick(random)];
                break;
            }
            case 3: rows[y][x] = std::clamp((x * 255) / std::max(1, width - 1) + pick(random) - 5, 0, 255); break;
            default:
                // Long runs of blank paper above a photo: enough grey for the
                // rows to be shared among workers, and runs to copy.
                rows[y][x] = y < height / 2 ? (x % 97 < 80 ? 0 : 255) : any(random);
                break;
            }
        }
    }
    return rows;
}

// Selects a diffusion pass for as long as it lives.
class PathChoice {
public:
    explicit PathChoice(DiffusionPath path) { setDiffusionPath(path); }
    ~PathChoice() { setDiffusionPath(DiffusionPath::Fastest); }
    PathChoice(const PathChoice&) = delete;
    PathChoice& operator=(const PathChoice&) = delete;
};

// Runs the baseline build of the passes for as long as it lives, also where
// the processor would take the extended build (NEON on armhf, AVX2 on amd64).
class BaselineBuildChoice {
public:
    BaselineBuildChoice() { allowExtendedBuild(false); }
    ~BaselineBuildChoice() { allowExtendedBuild(true); }
    BaselineBuildChoice(const BaselineBuildChoice&) = delete;
    BaselineBuildChoice& operator=(const BaselineBuildChoice&) = delete;
};

TEST(DibImageDitherReference, EveryMethodMatchesOnOddSizes)
{
    // The fastest pass: groups of sixteen rows, one per lane, with rows left
    // over, and rows narrower than the lag between lanes; in the build the
    // processor takes and in the baseline build (on armhf and amd64 the
    // first is the extended build). The row-by-row pass: rows of several
    // stretches between progress reports, run by more workers than rows or
    // processors too: rows go to the workers in turn, each trailing the one
    // above it.
    const int sizes[][2] = {{1, 1},  {1, 9},  {9, 1},  {2, 2},   {3, 5},    {15, 4},  {16, 3},
                            {17, 7}, {31, 6}, {32, 5}, {33, 8},  {47, 9},   {64, 2},  {101, 13},
                            {250, 20}, {257, 9}, {600, 12}, {1000, 5}, {7, 17}, {8, 16},
                            {40, 25},  {129, 24}, {23, 49}};
    const long methods[] = {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100, LONG_MIN};
    std::mt19937 random(20240611);
    for (const auto& size : sizes) {
        for (int style = 0; style < 5; ++style) {
            const Rows grey = randomRows(random, size[0], size[1], style);
            for (long method : methods) {
                const Rows expected = referenceDither(grey, method);
                {
                    SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << " style " << style
                                                    << " method " << method << " fastest pass");
                    ASSERT_EQ(dither(grey, method), expected);
                    const BaselineBuildChoice baseline;
                    ASSERT_EQ(dither(grey, method), expected) << "baseline build";
                }
                const PathChoice rowByRow(DiffusionPath::RowByRow);
                for (int workers : {1, 2, 3, 7}) {
                    SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << " style " << style
                                                    << " method " << method << " workers " << workers);
                    const tavel_test::WorkerCount fixed(workers);
                    ASSERT_EQ(dither(grey, method), expected);
                }
            }
        }
    }
}

TEST(DibImageDither, MethodsOutsideSevenAreFloydSteinberg)
{
    std::mt19937 random(7);
    const Rows grey = randomRows(random, 23, 11, 0);
    const Rows floyd = dither(grey, -1);
    for (long method : {8L, 9L, 100L, -5L, LONG_MIN, LONG_MAX}) EXPECT_EQ(dither(grey, method), floyd) << method;
}

// ---------------------------------------------------------------------------
// Hand-worked error diffusion.

TEST(DibImageDither, WorkedExamples)
{
    struct Case {
        const char* name;
        long method;
        Rows grey;
        Rows expected;
    };
    const Case cases[] = {
        // Grey 128: (0,0) black with error +128; its right neighbour reaches 184.
        {"uniform grey", -1, uniformRows(4, 2, 128), {{0, 1, 0, 1}, {1, 0, 1, 0}}},
        // The last pixel reaches 255 + 14, is held at 255, then drops by 34 to 221.
        {"Floyd-Steinberg 3x2", -1, {{100, 200, 50}, {30, 140, 255}}, {{0, 1, 0}, {0, 1, 1}}},
        {"Burkes 3x2", 2, {{100, 200, 50}, {30, 140, 255}}, {{0, 1, 0}, {0, 1, 1}}},
        // Saturation after every tap, within the row: the third pixel falls to 0
        // (10 - 15), rises to 17, and passes 4 on, making 117 + 8 + 4 = 129.
        // Summing first would give 12, pass 3 on and leave the last at 128.
        {"Burkes held at 0", 2, {{129, 100, 10, 117}}, {{1, 0, 0, 1}}},
        // The third pixel is held at 255 (250 + 16), drops 23 to 232, passes
        // -5 on: 144 - 11 - 5 = 128.
        {"Burkes held at 255", 2, {{128, 130, 250, 144}}, {{0, 1, 1, 0}}},
        // Below the row: (0,1) falls to 0 (20 - 39), rises by 24 and passes
        // 24 x 7 / 16 = 10 on: 86 - 7 + 40 + 10 = 129.
        {"Floyd-Steinberg held below", -1, {{129, 183}, {20, 86}}, {{1, 0}, {0, 1}}},
        // Taps past the right end are dropped, not carried into the next row.
        {"right border", -1, {{255, 255, 128}, {128, 255, 255}}, {{1, 1, 0}, {0, 1, 1}}},
        // The dx -1 tap of the first column is dropped, not stored at the row end.
        {"left border", -1, {{128, 255, 255, 128}, {255, 255, 255, 255}}, {{0, 1, 1, 0}, {1, 1, 1, 1}}},
        // A single row keeps 7/16 of the error: 72 + 56 = 128, 73 + 56 = 129.
        {"single row", -1, {{128, 72}}, {{0, 0}}},
        {"single row", -1, {{128, 73}}, {{0, 1}}},
        // A single column keeps 5/16: 88 + 40 = 128, 89 + 40 = 129.
        {"single column", -1, {{128}, {88}}, {{0}, {0}}},
        {"single column", -1, {{128}, {89}}, {{0}, {1}}},
        {"single pixel", 6, {{129}}, {{1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dither(c.grey, c.method), c.expected);
    }
}

// Each tap on its own: one pixel at (3, 0) of a 7 x 4 image carries an error,
// every other pixel is saturated so that what it receives goes nowhere, and
// the target pixel sits on the threshold's edge by the tap's amount.
//   positive: source 128 (error +128) on 255; amount = 128 w / D
//   negative: source 129 (error -126) on 0; amount = trunc(-126 w / D)
TEST(DibImageDither, EveryTapMovesItsTargetByItsAmount)
{
    struct Case {
        long method;
        int dx, dy;
        int positive;  // 128 x w / D
        int negative;  // |trunc(-126 x w / D)|
    };
    const Case cases[] = {
        // Floyd-Steinberg, D 16
        {-1, 1, 0, 56, 55}, {-1, -1, 1, 24, 23}, {-1, 0, 1, 40, 39}, {-1, 1, 1, 8, 7}, {-1, 2, 0, 0, 0},
        // Burkes, D 32
        {2, 1, 0, 32, 31}, {2, 2, 0, 16, 15}, {2, -2, 1, 8, 7}, {2, -1, 1, 16, 15},
        {2, 0, 1, 32, 31}, {2, 1, 1, 16, 15}, {2, 2, 1, 8, 7}, {2, 0, 2, 0, 0},
        // Stucki, D 42
        {3, 1, 0, 24, 24}, {3, 2, 0, 12, 12}, {3, -2, 1, 6, 6}, {3, -1, 1, 12, 12}, {3, 0, 1, 24, 24},
        {3, 1, 1, 12, 12}, {3, 2, 1, 6, 6}, {3, -2, 2, 3, 3}, {3, -1, 2, 6, 6}, {3, 0, 2, 12, 12},
        {3, 1, 2, 6, 6}, {3, 2, 2, 3, 3}, {3, 3, 0, 0, 0},
        // Jarvis-Judice-Ninke, D 48
        {4, 1, 0, 18, 18}, {4, 2, 0, 13, 13}, {4, -2, 1, 8, 7}, {4, -1, 1, 13, 13}, {4, 0, 1, 18, 18},
        {4, 1, 1, 13, 13}, {4, 2, 1, 8, 7}, {4, -2, 2, 2, 2}, {4, -1, 2, 8, 7}, {4, 0, 2, 13, 13},
        {4, 1, 2, 8, 7}, {4, 2, 2, 2, 2}, {4, 0, 3, 0, 0},
        // Sierra, D 32
        {5, 1, 0, 20, 19}, {5, 2, 0, 12, 11}, {5, -2, 1, 8, 7}, {5, -1, 1, 16, 15}, {5, 0, 1, 20, 19},
        {5, 1, 1, 16, 15}, {5, 2, 1, 8, 7}, {5, -1, 2, 8, 7}, {5, 0, 2, 12, 11}, {5, 1, 2, 8, 7},
        {5, -2, 2, 0, 0}, {5, 2, 2, 0, 0},
        // Stevenson-Arce, D 200
        {6, 2, 0, 20, 20}, {6, -3, 1, 7, 7}, {6, -1, 1, 16, 16}, {6, 1, 1, 19, 18}, {6, 3, 1, 10, 10},
        {6, -2, 2, 7, 7}, {6, 0, 2, 16, 16}, {6, 2, 2, 7, 7}, {6, -3, 3, 3, 3}, {6, -1, 3, 7, 7},
        {6, 1, 3, 7, 7}, {6, 3, 3, 3, 3}, {6, 1, 0, 0, 0}, {6, 0, 1, 0, 0}, {6, -1, 2, 0, 0},
        {6, 0, 3, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "method " << c.method << " tap " << c.dx << "," << c.dy);
        const int tx = 3 + c.dx;
        const int ty = c.dy;
        struct Variant {
            int background, source, target, targetBit;
        };
        const Variant variants[] = {
            {255, 128, 129 - c.positive, 1},  // reached at least the amount
            {255, 128, 128 - c.positive, 0},  // and no more
            {0, 129, 129 + c.negative, 1},    // lowered at most by the amount
            {0, 129, 128 + c.negative, 0},    // and no less
        };
        for (const Variant& v : variants) {
            Rows grey = uniformRows(7, 4, v.background);
            grey[0][3] = v.source;
            grey[ty][tx] = v.target;
            Rows expected = uniformRows(7, 4, v.background == 255 ? 1 : 0);
            expected[0][3] = v.source > 128;
            expected[ty][tx] = v.targetBit;
            EXPECT_EQ(dither(grey, c.method), expected) << "target " << v.target;
        }
    }
}

// ---------------------------------------------------------------------------
// Threshold methods.

TEST(DibImageDither, FixedThreshold)
{
    EXPECT_EQ(dither(Rows{{0, 128, 129, 255}}, 0), (Rows{{0, 0, 1, 1}}));
}

// The smallest level that whitens each matrix position: the ordered matrix
// needs 16 v / 255 above its entry (16 x (entry + 1), or 255 for entry 15);
// the Bayer matrix needs a level above its entry.
TEST(DibImageDither, MatrixPositionsWhitenAtTheirLevel)
{
    const int orderedFirstWhite[4][4] = {
        {16, 144, 48, 176}, {208, 80, 240, 112}, {64, 192, 32, 160}, {255, 128, 224, 96}};
    const int bayerFirstWhite[4][4] = {
        {1, 193, 49, 241}, {129, 65, 177, 113}, {33, 225, 17, 209}, {161, 97, 145, 81}};
    for (long method : {1L, 7L}) {
        const int(&firstWhite)[4][4] = method == 1 ? orderedFirstWhite : bayerFirstWhite;
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                SCOPED_TRACE(testing::Message() << "method " << method << " row " << r << " column " << c);
                // 6 x 7 images: the pattern repeats every 4 pixels both ways.
                const Rows below = dither(uniformRows(6, 7, firstWhite[r][c] - 1), method);
                const Rows at = dither(uniformRows(6, 7, firstWhite[r][c]), method);
                for (int y = r; y < 7; y += 4) {
                    for (int x = c; x < 6; x += 4) {
                        EXPECT_EQ(below[y][x], 0);
                        EXPECT_EQ(at[y][x], 1);
                    }
                }
            }
        }
    }
}

TEST(DibImageDither, BlackAndWhiteStayUnderEveryMethod)
{
    for (long method : {-1L, 0L, 1L, 2L, 3L, 4L, 5L, 6L, 7L}) {
        SCOPED_TRACE(method);
        EXPECT_EQ(dither(uniformRows(9, 5, 0), method), uniformRows(9, 5, 0));
        EXPECT_EQ(dither(uniformRows(9, 5, 255), method), uniformRows(9, 5, 1));
    }
}

// ---------------------------------------------------------------------------
// The frame around the methods.

TEST(DibImageDither, ResultIsATwoColourBitImage)
{
    DibImage image;
    loadGrey(image, uniformRows(33, 2, 200));
    ASSERT_TRUE(image.Dither(2));
    EXPECT_EQ(image.GetWidth(), 33);
    EXPECT_EQ(image.GetHeight(), 2);
    EXPECT_EQ(image.GetEffWidth(), 8u);
    EXPECT_EQ(image.GetNumColors(), 2u);
    const tagRGBQUAD black = image.GetPaletteColor(0);
    const tagRGBQUAD white = image.GetPaletteColor(1);
    EXPECT_EQ(std::memcmp(&black, "\0\0\0\0", 4), 0);
    EXPECT_EQ(std::memcmp(&white, "\xFF\xFF\xFF\0", 4), 0);
}

TEST(DibImageDither, BitImagesAndEmptyImages)
{
    for (long method : {-1L, 0L, 3L, 7L, 9L}) {
        DibImage image;
        image.Create(10, 2, 1, 0);
        image.SetPixelIndex(3, 1, 1);
        const unsigned char* bits = image.GetBits(0);
        EXPECT_TRUE(image.Dither(method));
        EXPECT_EQ(image.GetBits(0), bits);
        EXPECT_EQ(image.GetPixelIndex(3, 1), 1);
        EXPECT_EQ(image.GetPaletteColor(1).rgbRed, 0);  // table untouched
    }
    DibImage empty;
    EXPECT_FALSE(empty.Dither(0));
    EXPECT_STREQ(empty.GetLastError(), "");
}

// A 4-bit image is read as levels 0 ... 15, a 24-bit
// image as level 0.
TEST(DibImageDither, OtherDepthsAreReadAsTheirIndices)
{
    DibImage nibbles;
    nibbles.Create(4, 4, 4, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) nibbles.SetPixelIndex(x, y, 15);
    ASSERT_TRUE(nibbles.Dither(7));
    EXPECT_EQ(indicesOf(nibbles), (Rows{{1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}));

    DibImage colour;
    colour.Create(3, 2, 24, 0);
    std::memset(colour.GetBits(0), 255, colour.GetEffWidth() * 2);
    ASSERT_TRUE(colour.Dither(-1));
    EXPECT_EQ(indicesOf(colour), uniformRows(3, 2, 0));
}

TEST(DibImageAllocationDeathTest, FailedDitherKeepsTheImage)
{
    if (!addressSpaceLimitsBind())
        GTEST_SKIP() << "address-space limits do not bind here (AddressSanitizer, qemu-user)";
    EXPECT_EXIT(
        {
            DibImage image;
            image.Create(4096, 4096, 8, 0);
            std::memset(image.GetBits(0), 77, image.GetEffWidth() * 4096);
            const unsigned char* bits = image.GetBits(0);
            // The 1-bit work image needs 2 MiB.
            if (!limitAddressSpaceGrowth(1 << 20)) std::_Exit(2);
            const bool failed = !image.Dither(2);
            const bool kept = image.GetBits(0) == bits && image.GetNumColors() == 256 &&
                              image.GetPixelIndex(4095, 4095) == 77;
            const bool told = std::strcmp(image.GetLastError(), "DibImage::Create can't allocate memory") == 0;
            std::_Exit(failed && kept && told ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// The automatic halftone: which blocks are continuous tone, and that those
// are diffused and the others thresholded.

Rows uniformGrey(int width, int height, int level) { return Rows(height, std::vector<int>(width, level)); }

void fillRect(Rows& rows, int x0, int y0, int w, int h, int level)
{
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) rows[y][x] = level;
}

std::vector<int> toneBlocks(const Rows& rows)
{
    DibImage image;
    loadGrey(image, rows);
    const ToneBlockMap map = classifyToneBlocks(image.GetBits(0), image.GetWidth(), image.GetHeight(),
                                                image.GetEffWidth());
    return std::vector<int>(map.tone.begin(), map.tone.end());
}

// Bars of solid ink with a grey column on each edge, as a scaled barcode
// has them: the greys sit on steep ramps (0 -> 128 -> 255).
Rows barsWithGreyEdges(int width, int height)
{
    Rows rows = uniformGrey(width, height, 0);
    for (int x0 = 2; x0 + 4 < width; x0 += 8) {
        fillRect(rows, x0, 0, 1, height, 128);
        fillRect(rows, x0 + 1, 0, 2, height, 255);
        fillRect(rows, x0 + 3, 0, 1, height, 128);
    }
    return rows;
}

TEST(HalftoneBlocks, SmoothGreyMakesToneAndEdgesDoNot)
{
    Rows ramp = uniformGrey(32, 16, 0);
    for (int x = 0; x < 32; ++x) fillRect(ramp, x, 0, 1, 16, 60 + 4 * x);  // steps of 4: smooth
    // Steps of 17 down the page: smooth, as each row lies within the step
    // of the rows just above and below it, though not of those two apart.
    Rows verticalRamp = uniformGrey(32, 14, 0);
    for (int y = 0; y < 14; ++y) fillRect(verticalRamp, 0, y, 32, 1, 8 + 17 * y);
    // Grey over the top rows of a block on paper: its last row sits on a
    // step, so n rows hold 16 x (n - 1) smooth pixels.
    auto topRows = [](int rows) {
        Rows page = uniformGrey(16, 16, 0);
        fillRect(page, 0, 0, 16, rows, 100);
        return page;
    };
    Rows rightEdge = uniformGrey(20, 16, 0);  // a block 4 wide at the right edge, all grey
    fillRect(rightEdge, 16, 0, 4, 16, 90);
    const struct {
        const char* what;
        Rows page;
        std::vector<int> expected;
    } cases[] = {
        {"blank paper", uniformGrey(32, 32, 0), {0, 0, 0, 0}},
        {"solid ink", uniformGrey(32, 32, 255), {0, 0, 0, 0}},
        {"flat mid grey", uniformGrey(32, 32, 128), {1, 1, 1, 1}},
        {"paper noise below the grey range", uniformGrey(32, 16, 7), {0, 0}},
        {"pale grey at the bottom of the range", uniformGrey(32, 16, 8), {1, 1}},
        {"dark grey at the top of the range", uniformGrey(32, 16, 247), {1, 1}},
        {"ink noise above the grey range", uniformGrey(32, 16, 248), {0, 0}},
        {"page narrower than a block", uniformGrey(12, 12, 90), {1}},
        {"bars with grey edges", barsWithGreyEdges(32, 16), {0, 0}},
        {"gentle ramp", ramp, {1, 1}},
        {"vertical ramp", verticalRamp, {1, 1}},
        {"a quarter smooth grey in the top rows", topRows(5), {1}},
        {"less than a quarter smooth grey in the top rows", topRows(4), {0}},
        {"partial block at the right edge", rightEdge, {0, 1}},
    };
    for (const auto& c : cases) EXPECT_EQ(toneBlocks(c.page), c.expected) << c.what;
}

TEST(HalftoneBlocks, ToneGrowsOnlyThroughTouchingBlocksWithSomeGrey)
{
    // Four blocks in a row: a grey seed, a block with a pale patch of 16
    // smooth pixels (1/16 of it), an empty block, and again a patch.
    Rows page = uniformGrey(64, 16, 0);
    fillRect(page, 0, 0, 16, 16, 100);
    fillRect(page, 22, 6, 4, 4, 20);
    fillRect(page, 54, 6, 4, 4, 20);
    EXPECT_EQ(toneBlocks(page), (std::vector<int>{1, 1, 0, 0}));

    // A patch of 4 pixels (1/64) is too little, even beside the seed; the
    // seed's corner neighbour grows as its edge neighbour does.
    Rows small = uniformGrey(32, 32, 0);
    fillRect(small, 0, 0, 16, 16, 100);
    fillRect(small, 22, 6, 2, 2, 20);
    fillRect(small, 22, 22, 4, 4, 20);
    EXPECT_EQ(toneBlocks(small), (std::vector<int>{1, 0, 0, 1}));
}

TEST(DibImageDitherAuto, DiffusesToneBlocksAndThresholdsTheOthers)
{
    // Left two block columns grey, right two bars with grey edges.
    Rows page = barsWithGreyEdges(64, 32);
    fillRect(page, 0, 0, 32, 32, 100);
    DibImage image;
    loadGrey(image, page);
    ASSERT_TRUE(image.DitherAuto());
    EXPECT_EQ(image.GetNumColors(), 2u);
    const Rows result = indicesOf(image);

    const Rows diffused = dither(page, 5);
    const Rows thresholded = dither(page, 0);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64; ++x) {
            // The grey is diffused as over the whole page: no seam at the
            // block border at x = 16.
            const int expected = x < 32 ? diffused[y][x] : thresholded[y][x];
            ASSERT_EQ(result[y][x], expected) << "at " << x << "," << y;
        }
    }
    // The bars keep their widths: two dots of ink, the 128 edges blank.
    EXPECT_EQ(std::vector<int>(result[0].begin() + 32, result[0].begin() + 40),
              (std::vector<int>{0, 0, 0, 1, 1, 0, 0, 0}));
}

TEST(DibImageDitherAuto, ToneBetweenRowsOfLineArtIsDiffusedAsInTheWholePage)
{
    // From the top: a block row of bars of paper and solid ink only, one of
    // bars with grey edges (their error flows down into the tone), one with
    // grey on the left two block columns and bars on the third, and two more
    // of bars with grey edges below.
    Rows page = barsWithGreyEdges(48, 80);
    for (int y = 0; y < 16; ++y)
        for (int& level : page[y]) level = level == 128 ? 0 : level;
    for (int y = 32; y < 48; ++y)
        for (int x = 0; x < 32; ++x) page[y][x] = 60 + 3 * x + y;
    std::vector<int> expectedBlocks(15, 0);
    expectedBlocks[6] = expectedBlocks[7] = 1;
    ASSERT_EQ(toneBlocks(page), expectedBlocks);

    const Rows diffused = referenceDither(page, 5);
    const Rows thresholded = referenceDither(page, 0);
    for (const DiffusionPath path : {DiffusionPath::Fastest, DiffusionPath::RowByRow}) {
        const PathChoice choice(path);
        DibImage image;
        loadGrey(image, page);
        ASSERT_TRUE(image.DitherAuto());
        const Rows result = indicesOf(image);
        for (int y = 0; y < 80; ++y) {
            for (int x = 0; x < 48; ++x) {
                const bool tone = y >= 32 && y < 48 && x < 32;
                ASSERT_EQ(result[y][x], tone ? diffused[y][x] : thresholded[y][x])
                    << "at " << x << "," << y << (path == DiffusionPath::Fastest ? "" : ", row by row");
            }
        }
    }
}

TEST(DibImageDitherAuto, WholePagesTakeOneMethod)
{
    // All paper, all bars: the threshold; all grey: the Sierra diffusion.
    const Rows bars = barsWithGreyEdges(24, 8);
    const Rows grey = uniformGrey(24, 8, 128);
    for (const Rows* page : {&bars, &grey}) {
        DibImage image;
        loadGrey(image, *page);
        ASSERT_TRUE(image.DitherAuto());
        EXPECT_EQ(indicesOf(image), dither(*page, page == &bars ? 0 : 5));
    }
    // Sierra on grey 128: black at (0, 0), then white at (1, 0) with
    // 128 + 128 x 5 / 32 = 148.
    DibImage image;
    loadGrey(image, grey);
    ASSERT_TRUE(image.DitherAuto());
    EXPECT_EQ(image.GetPixelIndex(0, 0), 0);
    EXPECT_EQ(image.GetPixelIndex(1, 0), 1);

    DibImage oneBit;
    oneBit.Create(8, 2, 1, 0);
    EXPECT_TRUE(oneBit.DitherAuto());
    DibImage empty;
    EXPECT_FALSE(empty.DitherAuto());
}

} // namespace
