// DibImage storage, colour table and pixel access.
#include "dib_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "workers/page_blocks.h"

namespace {

template <typename T>
T fieldAt(const void* block, size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(block) + offset, sizeof value);
    return value;
}

TEST(DibImageCreate, StrideColoursAndBlockLayoutFollowTheDepth)
{
    struct Case {
        unsigned width, height, requestedDepth;
        unsigned depth, effWidth, colours;
    };
    const Case cases[] = {
        {33, 2, 1, 1, 8, 2},    // 33 bits need two 32-bit words
        {32, 1, 1, 1, 4, 2},    // exactly one word
        {9, 1, 0, 1, 4, 2},     // depth 0 becomes 1
        {9, 3, 2, 4, 8, 16},    // depth 2 becomes 4: 36 bits
        {8, 1, 4, 4, 4, 16},
        {1, 1, 8, 8, 4, 256},   // width 1 still takes a 4-byte row
        {5, 2, 8, 8, 8, 256},
        {5, 1, 24, 24, 16, 0},  // 15 bytes padded to 16
        {2, 1, 16, 24, 8, 0},   // depth 16 becomes 24
        {1, 1, 32, 24, 4, 0},   // so does 32
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.requestedDepth);
        DibImage image;
        void* block = image.Create(c.width, c.height, c.requestedDepth, 5);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(image.IsValid());
        EXPECT_EQ(image.GetWidth(), long(c.width));
        EXPECT_EQ(image.GetHeight(), long(c.height));
        EXPECT_EQ(image.GetEffWidth(), c.effWidth);
        EXPECT_EQ(image.GetNumColors(), c.colours);
        EXPECT_EQ(image.GetPaletteSize(), 4 * c.colours);
        EXPECT_EQ(image.GetSize(), 40 + 4 * c.colours + c.effWidth * c.height);
        EXPECT_EQ(image.GetBits(0), static_cast<unsigned char*>(block) + 40 + 4 * c.colours);
        // The block starts with a copy of the info header.
        EXPECT_EQ(fieldAt<uint32_t>(block, 0), 40u);
        EXPECT_EQ(fieldAt<int32_t>(block, 4), int32_t(c.width));
        EXPECT_EQ(fieldAt<int32_t>(block, 8), int32_t(c.height));
        EXPECT_EQ(fieldAt<uint16_t>(block, 12), 1u);
        EXPECT_EQ(fieldAt<uint16_t>(block, 14), c.depth);
        EXPECT_EQ(fieldAt<uint32_t>(block, 20), c.effWidth * c.height);
        EXPECT_EQ(fieldAt<uint32_t>(block, 32), c.colours);
        for (unsigned i = 0; i < c.colours; ++i) ASSERT_TRUE(sameColour(image.GetPaletteColor(i), kBlack));
    }
}

TEST(DibImageCreate, RefusesEmptyAndOversizedImages)
{
    struct Case {
        unsigned width, height, depth;
        const char* message;
    };
    const Case cases[] = {
        {0, 5, 8, "DibImage::Create : width and height must be greater than zero"},
        {5, 0, 8, "DibImage::Create : width and height must be greater than zero"},
        {65536, 65536, 1, "DIBIMAGE_MAX_MEMORY exceeded"},  // exactly 2^32 pixel bits
        {65536, 32768, 8, "DIBIMAGE_MAX_MEMORY exceeded"},
        {100000, 100000, 24, "DIBIMAGE_MAX_MEMORY exceeded"},
        // 2^31 pixel bits pass, but 2^31 rows of 4 padded bytes are 8 GiB.
        {1, 2147483648u, 1, "DIBIMAGE_MAX_MEMORY exceeded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.depth);
        DibImage image;
        ASSERT_NE(image.Create(4, 4, 8, 0), nullptr);
        EXPECT_EQ(image.Create(c.width, c.height, c.depth, 0), nullptr);
        EXPECT_FALSE(image.IsValid());
        EXPECT_EQ(image.GetBits(0), nullptr);
        EXPECT_STREQ(image.GetLastError(), c.message);
        // A later success does not clear the message.
        ASSERT_NE(image.Create(1, 1, 8, 0), nullptr);
        EXPECT_STREQ(image.GetLastError(), c.message);
    }
}

TEST(DibImageCreate, DefaultImageIsEmpty)
{
    DibImage image;
    EXPECT_FALSE(image.IsValid());
    EXPECT_EQ(image.GetWidth(), 0);
    EXPECT_EQ(image.GetHeight(), 0);
    EXPECT_EQ(image.GetEffWidth(), 0u);
    EXPECT_EQ(image.GetSize(), 0u);
    EXPECT_STREQ(image.GetLastError(), "");
    EXPECT_EQ(image.GetBits(0), nullptr);
    EXPECT_EQ(image.GetPalette(), nullptr);
    EXPECT_EQ(image.GetPixelIndex(0, 0), 0);
    EXPECT_EQ(image.GetNearestIndex(kWhite), 0);
    image.SetPixelIndex(0, 0, 1);  // no block: nothing happens
    EXPECT_TRUE(image.Destroy());
}

TEST(DibImageCreate, DestroyEmptiesButKeepsTheGeometry)
{
    DibImage image;
    image.Create(7, 3, 8, 0);
    EXPECT_TRUE(image.Destroy());
    EXPECT_FALSE(image.IsValid());
    EXPECT_EQ(image.GetBits(0), nullptr);
    EXPECT_EQ(image.GetWidth(), 7);
    EXPECT_EQ(image.GetHeight(), 3);
}

// The stencil path's processed image reuses the memory of the chain's
// sharpened image, a ZQImage of the same page: that works only while the two
// kinds of block round to the same size.
TEST(DibImageCreate, BlocksOfAPageRoundLikeItsRows)
{
    const struct {
        unsigned width;
        unsigned height;
    } pages[] = {{2480, 3508}, {812, 1218}, {2550, 3300}, {576, 1218}, {1200, 1800}};
    for (const auto& page : pages) {
        DibImage image;
        ASSERT_NE(image.Create(page.width, page.height, 8, 0), nullptr);
        const std::size_t rows = std::size_t{page.width} * page.height;
        EXPECT_EQ(pageBlockBytes(image.GetSize()), pageBlockBytes(rows))
            << page.width << " x " << page.height;
        EXPECT_GE(pageBlockBytes(rows), std::size_t{image.GetSize()});
    }
}

TEST(DibImageRows, GetBitsAddressesStoredRows)
{
    DibImage image;
    image.Create(5, 3, 8, 0);
    unsigned char* start = image.GetBits(0);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(image.GetBits(1), start + 8);
    EXPECT_EQ(image.GetBits(2), start + 16);
    EXPECT_EQ(image.GetBits(3), nullptr);
    EXPECT_EQ(image.GetBits(1000), nullptr);
    image.SetPixelIndex(2, 1, 99);
    EXPECT_EQ(image.GetBits(1)[2], 99);
}

TEST(DibImageCreateFromArray, CopiesRowsByInputStrideAndFlip)
{
    // Two input rows of 6 bytes; the 4-byte stored rows take the first 4.
    const unsigned char input[] = {1, 2, 3, 70, 71, 72, 4, 5, 6, 80, 81, 82};
    DibImage image;
    ASSERT_TRUE(image.CreateFromArray(input, 3, 2, 8, 6, false));
    EXPECT_EQ(indicesOf(image), (Rows{{1, 2, 3}, {4, 5, 6}}));
    EXPECT_EQ(image.GetBits(0)[3], 70);  // min(effWidth, bytes per line) bytes copied
    EXPECT_TRUE(sameColour(image.GetPaletteColor(200), tagRGBQUAD{200, 200, 200, 0}));

    ASSERT_TRUE(image.CreateFromArray(input, 3, 2, 8, 6, true));
    EXPECT_EQ(indicesOf(image), (Rows{{4, 5, 6}, {1, 2, 3}}));

    // A stride shorter than the stored row: rows still advance by 3 input bytes.
    ASSERT_TRUE(image.CreateFromArray(input, 3, 2, 8, 3, false));
    EXPECT_EQ(indicesOf(image), (Rows{{1, 2, 3}, {70, 71, 72}}));
    // The filler byte of each stored row is 0, not what the block held before
    // (the first image put 70 there).
    EXPECT_EQ(image.GetBits(0)[3], 0);
    EXPECT_EQ(image.GetBits(1)[3], 0);
}

TEST(DibImageCreateFromArray, Depth32DropsTheFourthByte)
{
    const unsigned char input[] = {1, 2, 3, 99, 4, 5, 6, 99};
    DibImage image;
    ASSERT_TRUE(image.CreateFromArray(input, 2, 1, 32, 8, false));
    EXPECT_EQ(image.GetNumColors(), 0u);
    EXPECT_TRUE(sameColour(image.BlindGetPixelColor(1, 0), tagRGBQUAD{4, 5, 6, 0}));
    EXPECT_TRUE(sameColour(image.BlindGetPixelColor(0, 0), tagRGBQUAD{1, 2, 3, 0}));
    EXPECT_EQ(image.GetBits(0)[6], 0);
    EXPECT_EQ(image.GetBits(0)[7], 0);
}

TEST(DibImageCreateFromArray, RefusesBadArguments)
{
    const unsigned char input[16] = {};
    DibImage image;
    EXPECT_FALSE(image.CreateFromArray(nullptr, 2, 2, 8, 2, false));
    EXPECT_FALSE(image.CreateFromArray(input, 2, 2, 16, 4, false));
    EXPECT_FALSE(image.CreateFromArray(input, 2, 2, 2, 4, false));
    EXPECT_FALSE(image.IsValid());
    EXPECT_FALSE(image.CreateFromArray(input, 0, 2, 8, 2, false));
    EXPECT_STREQ(image.GetLastError(), "DibImage::Create : width and height must be greater than zero");
}

TEST(DibImagePalette, GreyRampsAndEntryAccess)
{
    DibImage image;
    image.Create(1, 1, 8, 0);
    image.SetPaletteColor(5, 1, 2, 3, 9);
    EXPECT_TRUE(sameColour(image.GetPaletteColor(5), tagRGBQUAD{3, 2, 1, 9}));  // stored blue first
    image.SetGrayPalette();
    for (int i = 0; i < 256; ++i) {
        const tagRGBQUAD expected{uint8_t(i), uint8_t(i), uint8_t(i), uint8_t(i == 5 ? 9 : 0)};
        ASSERT_TRUE(sameColour(image.GetPaletteColor(uint8_t(i)), expected)) << i;
    }

    image.Create(1, 1, 4, 0);
    image.SetGrayPalette();
    EXPECT_EQ(image.GetPaletteColor(1).rgbRed, 17);
    EXPECT_EQ(image.GetPaletteColor(15).rgbGreen, 255);

    image.Create(1, 1, 1, 0);
    image.SetGrayPalette();
    EXPECT_TRUE(sameColour(image.GetPaletteColor(1), kWhite));
}

TEST(DibImagePalette, NoWritesPastTheColourTable)
{
    // A 2-entry table is followed directly by the pixel rows.
    DibImage image;
    image.Create(8, 1, 1, 0);
    image.GetBits(0)[0] = 0x5A;
    image.SetPaletteColor(2, 255, 255, 255, 255);
    EXPECT_TRUE(sameColour(image.GetPaletteColor(2), kBlack));
    const tagRGBQUAD four[4] = {{1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}, {4, 4, 4, 4}};
    image.SetPalette(four, 4);
    EXPECT_EQ(image.GetBits(0)[0], 0x5A);
    EXPECT_TRUE(sameColour(image.GetPaletteColor(1), four[1]));

    // A shorter list leaves the remaining entries alone.
    image.SetPalette(&four[2], 1);
    EXPECT_TRUE(sameColour(image.GetPaletteColor(0), four[2]));
    EXPECT_TRUE(sameColour(image.GetPaletteColor(1), four[1]));
    image.SetPalette(nullptr, 2);
    EXPECT_TRUE(sameColour(image.GetPaletteColor(0), four[2]));

    DibImage colour;
    colour.Create(1, 1, 24, 0);
    EXPECT_EQ(colour.GetPalette(), nullptr);
    colour.SetPaletteColor(0, 1, 2, 3, 4);
    EXPECT_TRUE(sameColour(colour.GetPaletteColor(0), kBlack));
}

TEST(DibImagePalette, NearestIndexByDistance)
{
    struct Case {
        const char* palette;  // "bw": black, white, 254 zero entries; "grey16": 16-level ramp; "pair"
        tagRGBQUAD colour;
        int expected;
    };
    const Case cases[] = {
        {"bw", kBlack, 0},
        {"bw", kWhite, 1},                  // not 255: the first exact match wins
        {"bw", {255, 255, 255, 77}, 1},     // the fourth byte does not count
        {"bw", {200, 200, 200, 0}, 1},
        {"grey16", {8, 8, 8, 0}, 0},        // 192 against 243
        {"grey16", {9, 9, 9, 0}, 1},        // 243 against 192
        {"grey16", {0, 0, 255, 0}, 5},      // red only: 85 is nearest among 0, 17, ...
        {"pair", {1, 1, 1, 0}, 0},          // a tie keeps the lower index
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.palette);
        DibImage image;
        if (std::string(c.palette) == "bw") {
            image.Create(1, 1, 8, 0);
            image.SetPaletteColor(1, 255, 255, 255);
        } else if (std::string(c.palette) == "grey16") {
            image.Create(1, 1, 4, 0);
            image.SetGrayPalette();
        } else {
            image.Create(1, 1, 1, 0);
            image.SetPaletteColor(1, 2, 2, 2);
        }
        EXPECT_EQ(image.GetNearestIndex(c.colour), c.expected);
    }
}

TEST(DibImagePalette, NearestIndexIsCachedByColourAlone)
{
    DibImage image;
    image.Create(1, 1, 1, 0);
    image.SetPaletteColor(1, 255, 255, 255);
    EXPECT_EQ(image.GetNearestIndex(kWhite), 1);
    image.SetPaletteColor(1, 0, 0, 0);
    image.SetPaletteColor(0, 255, 255, 255);
    EXPECT_EQ(image.GetNearestIndex(kWhite), 1);  // cached answer
    EXPECT_EQ(image.GetNearestIndex(kBlack), 1);  // a new colour searches again
}

TEST(DibImagePixels, PackingOfEachDepth)
{
    DibImage nibbles;
    nibbles.Create(3, 1, 4, 0);
    nibbles.SetPixelIndex(0, 0, 0xAB);
    EXPECT_EQ(nibbles.GetBits(0)[0], 0xB0);
    nibbles.SetPixelIndex(1, 0, 0xCD);
    EXPECT_EQ(nibbles.GetBits(0)[0], 0xBD);
    nibbles.SetPixelIndex(0, 0, 0x02);
    EXPECT_EQ(nibbles.GetBits(0)[0], 0x2D);
    nibbles.SetPixelIndex(2, 0, 0x7);
    EXPECT_EQ(nibbles.GetBits(0)[1], 0x70);
    EXPECT_EQ(indicesOf(nibbles), (Rows{{0x2, 0xD, 0x7}}));

    DibImage bits;
    bits.Create(10, 2, 1, 0);
    bits.SetPixelIndex(0, 0, 0xFF);
    EXPECT_EQ(bits.GetBits(0)[0], 0x80);
    bits.SetPixelIndex(9, 0, 1);
    EXPECT_EQ(bits.GetBits(0)[1], 0x40);
    bits.SetPixelIndex(7, 0, 3);
    EXPECT_EQ(bits.GetBits(0)[0], 0x81);
    bits.SetPixelIndex(0, 0, 0xFE);  // only bit 0 of the index counts
    EXPECT_EQ(bits.GetBits(0)[0], 0x01);
    bits.SetPixelIndex(8, 1, 1);
    EXPECT_EQ(bits.GetBits(1)[1], 0x80);
    EXPECT_EQ(indicesOf(bits), (Rows{{0, 0, 0, 0, 0, 0, 0, 1, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 1, 0}}));

    DibImage bytes;
    bytes.Create(3, 2, 8, 0);
    bytes.SetPixelIndex(2, 1, 200);
    EXPECT_EQ(bytes.GetBits(0)[4 + 2], 200);
    EXPECT_EQ(bytes.GetPixelIndex(2, 1), 200);
}

TEST(DibImagePixels, OutsideTheImage)
{
    struct Case {
        unsigned depth;
        int firstPixel;
        int firstByte;  // the first byte of the pixel data, whole
    };
    const Case cases[] = {{8, 77, 77}, {4, 0xB, 0xB0}, {1, 1, 0x80}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.depth);
        DibImage image;
        image.Create(4, 3, c.depth, 0);
        image.SetPixelIndex(0, 0, static_cast<unsigned char>(c.firstPixel));
        const unsigned size = image.GetEffWidth() * 3;
        const std::vector<unsigned char> before(image.GetBits(0), image.GetBits(0) + size);
        // Far past the width: 2^40 where long holds it, the largest long on 32 bits.
        const long far = static_cast<long>(std::min<long long>(1LL << 40, LONG_MAX));
        for (long x : {-1L, 4L, far}) image.SetPixelIndex(x, 1, 0xFF);
        for (long y : {-1L, 3L}) image.SetPixelIndex(1, y, 0xFF);
        EXPECT_EQ(std::vector<unsigned char>(image.GetBits(0), image.GetBits(0) + size), before);
        EXPECT_EQ(image.GetPixelIndex(-1, 0), c.firstByte);
        EXPECT_EQ(image.GetPixelIndex(4, 2), c.firstByte);
        EXPECT_EQ(image.GetPixelIndex(0, 3), c.firstByte);
        EXPECT_EQ(image.GetPixelIndex(0, -1), c.firstByte);
    }
}

TEST(DibImagePixels, ColourImagesHaveNoIndices)
{
    DibImage image;
    image.Create(2, 2, 24, 0);
    image.BlindSetPixelColor(1, 1, tagRGBQUAD{10, 20, 30, 40});
    EXPECT_EQ(image.GetBits(1)[3], 10);
    EXPECT_EQ(image.GetBits(1)[5], 30);
    EXPECT_TRUE(sameColour(image.BlindGetPixelColor(1, 1), tagRGBQUAD{10, 20, 30, 0}));
    EXPECT_EQ(image.GetPixelIndex(1, 1), 0);
    image.SetPixelIndex(0, 0, 9);
    EXPECT_EQ(image.GetBits(0)[0], 0);

    // An indexed image maps colours through its table.
    DibImage indexed;
    indexed.Create(2, 1, 1, 0);
    indexed.SetPaletteColor(1, 255, 255, 255);
    indexed.BlindSetPixelColor(1, 0, tagRGBQUAD{250, 250, 250, 0});
    EXPECT_EQ(indexed.GetPixelIndex(1, 0), 1);
    EXPECT_TRUE(sameColour(indexed.BlindGetPixelColor(1, 0), kWhite));
}

TEST(DibImageTransfer, MovesTheBlockAndEmptiesTheSource)
{
    DibImage source;
    source.Create(0, 1, 8, 0);  // leaves a message behind
    unsigned char* bits = static_cast<unsigned char*>(source.Create(3, 2, 8, 0)) + 40 + 1024;
    source.SetPixelIndex(1, 1, 42);

    DibImage target;
    target.Create(9, 9, 1, 0);
    EXPECT_TRUE(target.Transfer(source));
    EXPECT_EQ(target.GetBits(0), bits);
    EXPECT_EQ(target.GetWidth(), 3);
    EXPECT_EQ(target.GetEffWidth(), 4u);
    EXPECT_EQ(target.GetPixelIndex(1, 1), 42);
    EXPECT_STREQ(target.GetLastError(), "DibImage::Create : width and height must be greater than zero");

    EXPECT_FALSE(source.IsValid());
    EXPECT_EQ(source.GetWidth(), 0);
    EXPECT_EQ(source.GetHeight(), 0);
    EXPECT_EQ(source.GetEffWidth(), 0u);
    EXPECT_EQ(source.GetSize(), 0u);
    EXPECT_STREQ(source.GetLastError(), "");

    // Handing an image to itself keeps it.
    EXPECT_TRUE(target.Transfer(target));
    EXPECT_EQ(target.GetPixelIndex(1, 1), 42);
}

TEST(DibImageTransfer, CopyInfoOnlyIntoAnEmptyImage)
{
    DibImage other;
    other.Create(0, 0, 8, 0);
    other.Create(30, 1, 8, 0);

    DibImage full;
    full.Create(3, 1, 8, 0);
    full.CopyInfo(other);
    EXPECT_EQ(full.GetEffWidth(), 4u);
    EXPECT_STREQ(full.GetLastError(), "");

    DibImage empty;
    empty.CopyInfo(other);
    EXPECT_EQ(empty.GetEffWidth(), 32u);
    EXPECT_STREQ(empty.GetLastError(), other.GetLastError());
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.GetBits(0), nullptr);
}

} // namespace
