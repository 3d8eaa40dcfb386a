// DibImage whole-image transforms.
#include "dib_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

std::vector<unsigned char> pixelBytes(const DibImage& image)
{
    const unsigned char* bits = image.GetBits(0);
    return std::vector<unsigned char>(bits, bits + image.GetEffWidth() * image.GetHeight());
}

// A 1-bit image with the black/white table that Dither leaves behind.
void loadBits(DibImage& image, const Rows& rows)
{
    image.Create(rows.at(0).size(), rows.size(), 1, 0);
    image.SetPaletteColor(1, 255, 255, 255);
    for (size_t y = 0; y < rows.size(); ++y)
        for (size_t x = 0; x < rows[y].size(); ++x) image.SetPixelIndex(x, y, rows[y][x]);
}

TEST(DibImageLight, MapsIndicesInSinglePrecision)
{
    struct Case {
        int brightness, contrast;
        std::vector<std::pair<int, int>> mapping;  // index before -> after
    };
    const Case cases[] = {
        {0, -100, {{0, 128}, {77, 128}, {255, 128}}},
        {300, 0, {{0, 255}, {128, 255}, {255, 255}}},
        {0, 100, {{0, 0}, {64, 0}, {100, 72}, {128, 128}, {192, 255}}},
        {-50, 0, {{10, 0}, {60, 10}, {178, 128}, {255, 205}}},
        // factor 0.5: the +0.5 then truncation toward zero decide the ties
        {0, -50, {{0, 64}, {1, 65}, {2, 65}, {255, 192}}},
        // contrast below -100 reverses the order
        {0, -200, {{0, 255}, {128, 128}, {255, 1}}},
        // factor 0.3f: -25 x 0.3f rounds to -7.5000005f, 128 plus that to 120.5f,
        // so 121; without the single-precision rounding of each step it is 120
        {0, -70, {{103, 121}}},
    };
    std::vector<int> ramp(256);
    for (int i = 0; i < 256; ++i) ramp[i] = i;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "Light(" << c.brightness << ", " << c.contrast << ")");
        DibImage image;
        loadGrey(image, Rows{ramp});
        ASSERT_TRUE(image.Light(c.brightness, c.contrast));
        for (const auto& [before, after] : c.mapping) EXPECT_EQ(image.GetPixelIndex(before, 0), after) << before;
    }

    DibImage image;
    loadGrey(image, Rows{ramp, ramp});
    ASSERT_TRUE(image.Light(0, 0));
    EXPECT_EQ(indicesOf(image), (Rows{ramp, ramp}));
}

TEST(DibImageLight, LutNeedsATableAndAnImage)
{
    DibImage empty;
    const unsigned char table[256] = {};
    EXPECT_FALSE(empty.Light(0, 0));
    EXPECT_FALSE(empty.Lut(table));

    DibImage image;
    loadGrey(image, Rows{{1, 2}});
    EXPECT_FALSE(image.Lut(nullptr));

    // Indexed images of 4 bits go through the table too.
    DibImage nibbles;
    nibbles.Create(3, 1, 4, 0);
    for (int x = 0; x < 3; ++x) nibbles.SetPixelIndex(x, 0, x + 1);
    unsigned char invert[256] = {};
    for (int i = 0; i < 16; ++i) invert[i] = static_cast<unsigned char>(15 - i);
    EXPECT_TRUE(nibbles.Lut(invert));
    EXPECT_EQ(indicesOf(nibbles), (Rows{{14, 13, 12}}));
}

TEST(DibImageRotate180, TurnsRowsAndColumns)
{
    DibImage pair;
    loadGrey(pair, Rows{{10, 20}});
    EXPECT_TRUE(pair.Rotate180(nullptr));
    EXPECT_EQ(indicesOf(pair), (Rows{{20, 10}}));

    DibImage image;
    loadGrey(image, Rows{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}});
    EXPECT_TRUE(image.Rotate180(nullptr));
    EXPECT_EQ(indicesOf(image), (Rows{{12, 11, 10}, {9, 8, 7}, {6, 5, 4}, {3, 2, 1}}));
    EXPECT_TRUE(sameColour(image.GetPaletteColor(9), tagRGBQUAD{9, 9, 9, 0}));

    DibImage empty;
    EXPECT_FALSE(empty.Rotate180(nullptr));
}

TEST(DibImageRotate180, IntoADestinationLeavesThisImage)
{
    DibImage image;
    loadGrey(image, Rows{{1, 2, 3}, {4, 5, 6}});
    DibImage destination;
    destination.Create(9, 9, 1, 0);
    EXPECT_TRUE(image.Rotate180(&destination));
    EXPECT_EQ(indicesOf(image), (Rows{{1, 2, 3}, {4, 5, 6}}));
    EXPECT_EQ(indicesOf(destination), (Rows{{6, 5, 4}, {3, 2, 1}}));
}

TEST(DibImageRotate180, BitImagesComeBackAtEightBits)
{
    DibImage image;
    loadBits(image, Rows{{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}});
    EXPECT_TRUE(image.Rotate180(nullptr));
    EXPECT_EQ(image.GetNumColors(), 256u);
    EXPECT_EQ(indicesOf(image), (Rows{{0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}));
    EXPECT_TRUE(sameColour(image.GetPaletteColor(1), kWhite));
    EXPECT_TRUE(sameColour(image.GetPaletteColor(2), kBlack));
}

TEST(DibImageMirror, ReversesEveryRow)
{
    DibImage image;
    loadGrey(image, Rows{{10, 20, 30}, {40, 50, 60}});
    image.Mirror();
    EXPECT_EQ(indicesOf(image), (Rows{{30, 20, 10}, {60, 50, 40}}));
    EXPECT_EQ(image.GetNumColors(), 256u);

    // Other depths are mirrored at their own depth.
    DibImage bits;
    loadBits(bits, Rows{{1, 1, 0, 0, 0, 0, 0, 0, 0, 0}});
    bits.Mirror();
    EXPECT_EQ(bits.GetNumColors(), 2u);
    EXPECT_EQ(indicesOf(bits), (Rows{{0, 0, 0, 0, 0, 0, 0, 0, 1, 1}}));

    DibImage colour;
    colour.Create(2, 1, 24, 0);
    colour.BlindSetPixelColor(0, 0, tagRGBQUAD{1, 2, 3, 0});
    colour.BlindSetPixelColor(1, 0, tagRGBQUAD{4, 5, 6, 0});
    colour.Mirror();
    EXPECT_TRUE(sameColour(colour.BlindGetPixelColor(0, 0), tagRGBQUAD{4, 5, 6, 0}));
    EXPECT_TRUE(sameColour(colour.BlindGetPixelColor(1, 0), tagRGBQUAD{1, 2, 3, 0}));

    DibImage empty;
    empty.Mirror();
    EXPECT_FALSE(empty.IsValid());
}

TEST(DibImageNegative, InvertsEveryPixelByteIncludingFiller)
{
    // Stride 4 for a 3-pixel row: the fourth byte of each row is filler.
    const unsigned char input[] = {0, 1, 200, 7, 255, 128, 5, 9};
    DibImage image;
    ASSERT_TRUE(image.CreateFromArray(input, 3, 2, 8, 4, false));
    image.Negative();
    EXPECT_EQ(pixelBytes(image), (std::vector<unsigned char>{255, 254, 55, 248, 0, 127, 250, 246}));
    image.Negative();
    EXPECT_EQ(pixelBytes(image), std::vector<unsigned char>(input, input + 8));
    EXPECT_TRUE(sameColour(image.GetPaletteColor(1), tagRGBQUAD{1, 1, 1, 0}));

    // The pipeline's halftone result: indices 0 and 1 become 255 and 254.
    DibImage halftone;
    loadBits(halftone, Rows{{0, 1}});
    ASSERT_TRUE(halftone.IncreaseBpp(8));
    halftone.Negative();
    EXPECT_EQ(indicesOf(halftone), (Rows{{255, 254}}));
    EXPECT_TRUE(sameColour(halftone.GetPaletteColor(254), kBlack));
    EXPECT_TRUE(sameColour(halftone.GetPaletteColor(255), kBlack));
}

TEST(DibImageIncreaseBpp, DepthRules)
{
    struct Case {
        unsigned from, to;
        bool result;
        unsigned coloursAfter;
    };
    const Case cases[] = {
        {8, 8, true, 256}, {8, 4, false, 256}, {8, 16, false, 256}, {8, 24, true, 0},
        {4, 4, true, 16},  {4, 8, true, 256},  {4, 1, false, 16},   {1, 4, true, 16},
        {1, 8, true, 256}, {1, 16, false, 2},  {1, 24, true, 0},    {24, 24, true, 0},
        {24, 8, false, 0}, {24, 4, false, 0},  {8, 0, false, 256},  {8, 32, false, 256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        DibImage image;
        image.Create(5, 2, c.from, 0);
        if (c.from != 24) image.SetPixelIndex(4, 1, 1);
        EXPECT_EQ(image.IncreaseBpp(c.to), c.result);
        EXPECT_EQ(image.GetNumColors(), c.coloursAfter);
        EXPECT_EQ(image.GetWidth(), 5);
        if (c.from != 24 && c.coloursAfter != 0) {
            EXPECT_EQ(image.GetPixelIndex(4, 1), 1);
        }
    }
    DibImage empty;
    EXPECT_FALSE(empty.IncreaseBpp(8));
}

TEST(DibImageIncreaseBpp, KeepsIndicesAndTable)
{
    // Width 11 crosses a byte boundary of the 1-bit rows.
    const Rows bitRows{{1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1}, {0, 1, 0, 0, 1, 1, 1, 0, 0, 1, 0}};
    DibImage image;
    loadBits(image, bitRows);
    ASSERT_TRUE(image.IncreaseBpp(8));
    EXPECT_EQ(indicesOf(image), bitRows);
    EXPECT_EQ(image.GetEffWidth(), 12u);
    EXPECT_TRUE(sameColour(image.GetPaletteColor(0), kBlack));
    EXPECT_TRUE(sameColour(image.GetPaletteColor(1), kWhite));
    for (int i = 2; i < 256; ++i) ASSERT_TRUE(sameColour(image.GetPaletteColor(uint8_t(i)), kBlack)) << i;

    DibImage nibbles;
    nibbles.Create(3, 1, 4, 0);
    nibbles.SetGrayPalette();
    nibbles.SetPixelIndex(0, 0, 15);
    nibbles.SetPixelIndex(1, 0, 1);
    nibbles.SetPixelIndex(2, 0, 0);
    ASSERT_TRUE(nibbles.IncreaseBpp(24));
    EXPECT_TRUE(sameColour(nibbles.BlindGetPixelColor(0, 0), kWhite));
    EXPECT_TRUE(sameColour(nibbles.BlindGetPixelColor(1, 0), tagRGBQUAD{17, 17, 17, 0}));
    EXPECT_TRUE(sameColour(nibbles.BlindGetPixelColor(2, 0), kBlack));
}

TEST(DibImageExpand, MarginsFollowTheBottomFirstRowOrder)
{
    // White at index 1 of the table: the nearest colour, before 255.
    DibImage image;
    loadGrey(image, Rows{{10, 20, 30}, {40, 50, 60}});
    image.SetPaletteColor(1, 255, 255, 255);
    ASSERT_TRUE(image.Expand(2, 0, 0, 1, kWhite));
    EXPECT_EQ(indicesOf(image), (Rows{{1, 1, 1, 1, 1}, {1, 1, 10, 20, 30}, {1, 1, 40, 50, 60}}));
    // 8-bit: the filler bytes take the canvas index too.
    EXPECT_EQ(image.GetEffWidth(), 8u);
    EXPECT_EQ(image.GetBits(1)[5], 1);
    EXPECT_EQ(image.GetBits(2)[7], 1);

    DibImage topOnly;
    loadGrey(topOnly, Rows{{7}});
    ASSERT_TRUE(topOnly.Expand(0, 2, 1, 0, kBlack));
    EXPECT_EQ(indicesOf(topOnly), (Rows{{7, 0}, {0, 0}, {0, 0}}));

    DibImage same;
    loadGrey(same, Rows{{1, 2, 3}, {4, 5, 6}});
    ASSERT_TRUE(same.Expand(0, 0, 0, 0, kWhite));
    EXPECT_EQ(indicesOf(same), (Rows{{1, 2, 3}, {4, 5, 6}}));
}

TEST(DibImageExpand, CanvasOfEachDepth)
{
    // 1 bit: the canvas is the nearest entry to the colour.
    DibImage bits;
    loadBits(bits, Rows{{0, 1}});
    ASSERT_TRUE(bits.Expand(1, 1, 0, 1, tagRGBQUAD{200, 200, 200, 0}));
    EXPECT_EQ(indicesOf(bits), (Rows{{1, 1, 1}, {1, 0, 1}, {1, 1, 1}}));
    EXPECT_EQ(bits.GetNumColors(), 2u);

    // 4 bits on the 16-level ramp: (20, 20, 20) is nearest to 17, index 1.
    DibImage nibbles;
    nibbles.Create(1, 1, 4, 0);
    nibbles.SetGrayPalette();
    nibbles.SetPixelIndex(0, 0, 9);
    ASSERT_TRUE(nibbles.Expand(0, 0, 2, 1, tagRGBQUAD{20, 20, 20, 0}));
    EXPECT_EQ(indicesOf(nibbles), (Rows{{1, 1, 1}, {9, 1, 1}}));

    // 24 bits: the colour itself, the old pixels copied at left x 3.
    DibImage colour;
    colour.Create(1, 1, 24, 0);
    colour.BlindSetPixelColor(0, 0, tagRGBQUAD{1, 2, 3, 0});
    ASSERT_TRUE(colour.Expand(1, 0, 0, 0, tagRGBQUAD{7, 8, 9, 0}));
    EXPECT_EQ(colour.GetWidth(), 2);
    EXPECT_TRUE(sameColour(colour.BlindGetPixelColor(0, 0), tagRGBQUAD{7, 8, 9, 0}));
    EXPECT_TRUE(sameColour(colour.BlindGetPixelColor(1, 0), tagRGBQUAD{1, 2, 3, 0}));
}

TEST(DibImageExpand, RefusesNegativeMarginsAndEmptyImages)
{
    DibImage image;
    loadGrey(image, Rows{{1, 2}});
    const unsigned char* bits = image.GetBits(0);
    for (const auto& margins : {std::vector<long>{-1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}, {0, 0, 0, -1}}) {
        EXPECT_FALSE(image.Expand(margins[0], margins[1], margins[2], margins[3], kWhite));
        EXPECT_EQ(image.GetBits(0), bits);
    }
    EXPECT_STREQ(image.GetLastError(), "");
    EXPECT_EQ(indicesOf(image), (Rows{{1, 2}}));

    // Margins past the size limit fail with Create's message, the image kept:
    // one past 32 bits where long holds it (it must not wrap to a small
    // width), the largest long on 32 bits.
    EXPECT_FALSE(image.Expand(static_cast<long>(std::min<long long>(1LL << 33, LONG_MAX)), 0, 0, 0,
                              kWhite));
    EXPECT_FALSE(image.Expand(0, 0, 70000, 70000, kWhite));
    EXPECT_STREQ(image.GetLastError(), "DIBIMAGE_MAX_MEMORY exceeded");
    EXPECT_EQ(image.GetBits(0), bits);

    DibImage empty;
    EXPECT_FALSE(empty.Expand(0, 0, 0, 0, kWhite));
}

TEST(DibImageMakeCenter, ShiftsByHalfTheExtraWidth)
{
    DibImage image;
    loadGrey(image, Rows{{7, 9}, {3, 4}});
    image.MakeCenter(5);
    EXPECT_EQ(indicesOf(image), (Rows{{0, 7, 9, 0, 0}, {0, 3, 4, 0, 0}}));

    image.MakeCenter(5);  // not wider: nothing
    EXPECT_EQ(image.GetWidth(), 5);
}

TEST(DibImageDrawLine, PlotsAlongTheLongerAxis)
{
    struct Case {
        int xStart, xEnd, yStart, yEnd;
        Rows expected;
    };
    const Case cases[] = {
        {0, 3, 0, 1, {{5, 5, 0, 0}, {0, 0, 5, 5}, {0, 0, 0, 0}, {0, 0, 0, 0}}},
        {3, 0, 1, 0, {{5, 5, 0, 0}, {0, 0, 5, 5}, {0, 0, 0, 0}, {0, 0, 0, 0}}},
        {0, 1, 0, 3, {{5, 0, 0, 0}, {5, 0, 0, 0}, {0, 5, 0, 0}, {0, 5, 0, 0}}},
        {2, 2, 3, 3, {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 5, 0}}},
        // partly outside: those points are dropped
        {-2, 5, 1, 1, {{0, 0, 0, 0}, {5, 5, 5, 5}, {0, 0, 0, 0}, {0, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.xStart << "," << c.yStart << " to " << c.xEnd << "," << c.yEnd);
        DibImage image;
        loadGrey(image, uniformRows(4, 4, 0));
        image.DrawLine(c.xStart, c.xEnd, c.yStart, c.yEnd, 5);
        EXPECT_EQ(indicesOf(image), c.expected);
    }
}

// Work images that cannot be allocated: the death-test child limits its own
// address space, so the next large allocation fails.
TEST(DibImageAllocationDeathTest, FailedWorkImages)
{
    if (!addressSpaceLimitsBind())
        GTEST_SKIP() << "address-space limits do not bind here (AddressSanitizer, qemu-user)";
    const char* message = "DibImage::Create can't allocate memory";
    const auto loadLarge = [](DibImage& image) {
        image.Create(4096, 4096, 8, 0);
        std::memset(image.GetBits(0), 7, image.GetEffWidth() * 4096);
    };
    EXPECT_EXIT(
        {
            DibImage image;
            loadLarge(image);
            const unsigned char* bits = image.GetBits(0);
            if (!limitAddressSpaceGrowth(1 << 20)) std::_Exit(2);
            const bool refused = !image.IncreaseBpp(24) && !image.Expand(1, 1, 1, 1, kWhite);
            const bool kept = image.GetBits(0) == bits && image.GetPixelIndex(9, 9) == 7;
            std::_Exit(refused && kept && std::strcmp(image.GetLastError(), message) == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            DibImage image;
            loadLarge(image);
            if (!limitAddressSpaceGrowth(1 << 20)) std::_Exit(2);
            const bool rotated = image.Rotate180(nullptr);
            std::_Exit(rotated && !image.IsValid() && std::strcmp(image.GetLastError(), message) == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
