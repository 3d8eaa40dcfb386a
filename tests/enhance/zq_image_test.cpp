// ZQImage: channel counts per layout and buffer ownership.
#include "enhance/zq_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <utility>

namespace {

TEST(ZQImageLayout, ChannelsAndBufferSizeFollowTheColour)
{
    const struct {
        int color;
        int channels;
    } cases[] = {{ZQ_IMG_GRAY, 1}, {ZQ_IMG_BGR, 3}, {ZQ_IMG_RGB, 3}, {ZQ_IMG_BGRA, 4},
                 {4, 4},           {99, 4},         {-1, 4}};
    for (const auto& c : cases) {
        const ZQImage image(3, 2, static_cast<ZQ_IMG_COLOR>(c.color));
        EXPECT_EQ(image.channels, c.channels) << "colour " << c.color;
        EXPECT_EQ(image.byteCount(), 6u * c.channels) << "colour " << c.color;
        EXPECT_EQ(image.pixelCount(), 6u);
    }
}

TEST(ZQImageOwnership, ConstructionCopiesTheCallersBuffer)
{
    unsigned char pixels[6] = {1, 2, 3, 4, 5, 6};
    const ZQImage image(2, 1, ZQ_IMG_RGB, pixels);
    std::memset(pixels, 0, sizeof pixels);
    const unsigned char expected[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(0, std::memcmp(image.data, expected, 6));
}

TEST(ZQImageOwnership, CopiesAreIndependent)
{
    const unsigned char pixels[4] = {10, 20, 30, 40};
    ZQImage original(2, 2, ZQ_IMG_GRAY, pixels);

    ZQImage copy(original);
    ASSERT_NE(copy.data, original.data);
    copy.data[0] = 99;
    EXPECT_EQ(original.data[0], 10);

    ZQImage assigned(5, 1, ZQ_IMG_BGR);
    assigned = original;
    ASSERT_NE(assigned.data, original.data);
    EXPECT_EQ(assigned.width, 2);
    EXPECT_EQ(assigned.height, 2);
    EXPECT_EQ(assigned.channels, 1);
    EXPECT_EQ(assigned.color, ZQ_IMG_GRAY);
    assigned.data[3] = 0;
    EXPECT_EQ(original.data[3], 40);
}

TEST(ZQImageOwnership, SelfAssignmentKeepsThePixels)
{
    const unsigned char pixels[3] = {7, 8, 9};
    ZQImage image(3, 1, ZQ_IMG_GRAY, pixels);
    ZQImage& alias = image;
    image = alias;
    EXPECT_EQ(0, std::memcmp(image.data, pixels, 3));
}

TEST(ZQImageOwnership, MovingLeavesTheSourceEmpty)
{
    const unsigned char pixels[2] = {1, 2};
    ZQImage source(2, 1, ZQ_IMG_GRAY, pixels);
    const unsigned char* buffer = source.data;
    const ZQImage target(std::move(source));
    EXPECT_EQ(target.data, buffer);
    EXPECT_EQ(source.data, nullptr);
    EXPECT_EQ(source.byteCount(), 0u);
}

TEST(ZQImageOwnership, NegativeSizesAreImpossible)
{
    const int sizes[][2] = {{-1, 4}, {4, -1}, {-2, -3}};
    for (const auto& size : sizes)
        EXPECT_THROW(ZQImage(size[0], size[1], ZQ_IMG_GRAY), std::bad_alloc)
            << size[0] << " x " << size[1];
}

}  // namespace
