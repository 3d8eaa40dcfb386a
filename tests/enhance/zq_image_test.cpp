// ZQImage: channel counts per layout and buffer ownership.
#include "enhance/zq_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <utility>

namespace {

// The THPeligible field of the mapping that holds address: 1 when the
// system may back it with huge pages, -1 when no mapping or field says.
int hugePagesEligible(std::uintptr_t address)
{
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long long from = 0;
        unsigned long long to = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> from >> dash >> to && dash == '-' && line.find(':') > line.find(' ')) {
            inside = from <= address && address < to;
            continue;
        }
        if (inside && line.rfind("THPeligible:", 0) == 0)
            return std::stoi(line.substr(12));
    }
    return -1;
}

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

// A page's pixels touched 4 KiB at a time cost a page fault each, a good
// part of the stencil path's time on an A4 page: its images ask for huge
// pages. (The ARM builds run their tests under qemu-user, whose smaps are
// its own.)
#if defined(__x86_64__)
TEST(ZQImageMemory, PageSizedPixelsMayComeInHugePages)
{
    std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    if (!std::getline(enabled, modes) || modes.find("[never]") != std::string::npos)
        GTEST_SKIP() << "this system has no transparent huge pages";
    const ZQImage page(2480, 3508, ZQ_IMG_GRAY);
    const std::uintptr_t hugePage = std::uintptr_t{2} << 20;
    const std::uintptr_t interior =
        (reinterpret_cast<std::uintptr_t>(page.data) + hugePage - 1) & ~(hugePage - 1);
    EXPECT_EQ(hugePagesEligible(interior), 1) << "system setting: " << modes;
}
#endif

}  // namespace
