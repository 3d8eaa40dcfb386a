// Anti-wrinkle frame: canvas per paper size, centring, the four bars.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "recording_printer.h"

namespace {

class AntiWrinkle : public ::testing::Test {
protected:
    // An 8-bit image of blank paper with a marker dot at (0, 0).
    void makeImage(unsigned width, unsigned height)
    {
        std::vector<unsigned char> pixels(static_cast<size_t>(width) * height, 0);
        pixels[0] = 77;
        ASSERT_TRUE(image.CreateFromArray(pixels.data(), width, height, 8, width, false));
    }
    void frame(const char* pageSize, int level)
    {
        std::memset(&header, 0, sizeof(header));
        std::strcpy(header.cupsPageSizeName, pageSize);
        printer.setPageHeader(&header);
        printer.setAntiWrinkle(level);
        ::testing::internal::CaptureStderr();
        printer.EnableAntiWrink(image);
        log = ::testing::internal::GetCapturedStderr();
    }
    bool logged(const std::string& line) const
    {
        return log.find("DEBUG:EnableAntiWrink: " + line + "\n") != std::string::npos;
    }
    // Whether every pixel of [x0, x1) x [y0, y1) has the value.
    bool all(long x0, long y0, long x1, long y1, unsigned char value)
    {
        for (long y = y0; y < y1; ++y)
            for (long x = x0; x < x1; ++x)
                if (image.GetPixelIndex(x, y) != value)
                    return false;
        return true;
    }

    RecordingPrinter printer;
    DibImage image;
    cups_page_header2_t header;
    std::string log;
};

TEST_F(AntiWrinkle, SmallImageGrowsToTheA4Canvas)
{
    makeImage(2000, 3000);
    frame("A4", 1);
    EXPECT_TRUE(logged("AntiWrinkle level: 1, line_v: 12 points, line_h: 12 points."));
    EXPECT_TRUE(logged("Page size is A4, CanvasWidth: 2386, CanvasHeight: 3272"));
    EXPECT_TRUE(logged("Image width is less than canvas width, exPoints: 193"));
    EXPECT_TRUE(logged("Image height is less than canvas height, eyPoints: 136"));
    EXPECT_TRUE(logged("Image expanded successfully."));
    EXPECT_TRUE(logged("Drawing left line. point(0, 0, 12, 3272)"));
    EXPECT_TRUE(logged("Drawing top line. point(0, 0, 2386, 12)"));
    EXPECT_TRUE(logged("Drawing right line. point(2374, 0, 2386, 3272)"));
    EXPECT_TRUE(logged("Drawing bottom line. point(0, 3260, 2386, 3272)"));
    ASSERT_EQ(image.GetWidth(), 2386);
    ASSERT_EQ(image.GetHeight(), 3272);

    EXPECT_TRUE(all(0, 0, 12, 3272, 255));
    EXPECT_TRUE(all(2374, 0, 2386, 3272, 255));
    EXPECT_TRUE(all(0, 0, 2386, 12, 255));
    EXPECT_TRUE(all(0, 3260, 2386, 3272, 255));
    // Inside the frame: blank margin and the centred page with its marker.
    EXPECT_TRUE(all(12, 12, 193, 3260, 0));
    EXPECT_TRUE(all(12, 12, 2374, 136, 0));
    EXPECT_EQ(image.GetPixelIndex(193, 136), 77);
    EXPECT_EQ(image.GetPixelIndex(194, 136), 0);
}

TEST_F(AntiWrinkle, LargerImageCentresTheCanvasInside)
{
    makeImage(2400, 3300);
    frame("A4", 1);
    EXPECT_FALSE(logged("Image expanded successfully."));
    EXPECT_TRUE(logged("Image width is greater than canvas width, offset.x: 7"));
    EXPECT_TRUE(logged("Image height is greater than canvas height, offset.y: 14"));
    EXPECT_EQ(image.GetWidth(), 2400);
    EXPECT_TRUE(all(7, 14, 19, 3286, 255));
    EXPECT_TRUE(all(1, 0, 7, 3300, 0));
    EXPECT_TRUE(all(2381, 14, 2393, 3286, 255));
    EXPECT_TRUE(all(2393, 0, 2400, 3300, 0));
}

TEST_F(AntiWrinkle, CanvasSizesPerPaperAndLevel)
{
    const struct {
        const char* page;
        int level;
        const char* line;
    } cases[] = {
        {"A4", 2, "Page size is A4, CanvasWidth: 2410, CanvasHeight: 3272"},
        {"Letter", 1, "Page size is Letter, CanvasWidth: 2504, CanvasHeight: 3059"},
        {"Tattoo_A5", 3, "Page size is Tattoo_A5, CanvasWidth: 2432, CanvasHeight: 1418"},
        {"Tattoo_A6", 5, "Page size is Tattoo_A6, CanvasWidth: 1299, CanvasHeight: 1418"},
    };
    for (const auto& c : cases) {
        makeImage(4, 4);
        frame(c.page, c.level);
        EXPECT_TRUE(logged(c.line)) << log;
    }
    makeImage(4, 4);
    frame("A4", 4);
    EXPECT_TRUE(logged("AntiWrinkle level: 4, line_v: 47 points, line_h: 12 points."));
}

TEST_F(AntiWrinkle, UnknownPaperDrawsNothing)
{
    makeImage(40, 30);
    frame("w288h432", 1);
    EXPECT_EQ(log.find("Page size is"), std::string::npos);
    EXPECT_TRUE(logged("Image width is greater than canvas width, offset.x: 20"));
    EXPECT_TRUE(logged("Image height is greater than canvas height, offset.y: 15"));
    EXPECT_TRUE(logged("Drawing left line. point(20, 15, 32, 15)"));
    EXPECT_TRUE(logged("Drawing bottom line. point(20, 3, 20, 15)"));
    EXPECT_TRUE(all(1, 0, 40, 30, 0));
}

TEST_F(AntiWrinkle, OddDifferenceDropsTheLastColumn)
{
    makeImage(2385, 3272);
    frame("A4", 1);
    EXPECT_EQ(image.GetWidth(), 2385);
    EXPECT_FALSE(logged("Image expanded successfully."));
    EXPECT_TRUE(logged("Drawing right line. point(2374, 0, 2386, 3272)"));
    EXPECT_TRUE(all(2374, 0, 2385, 3272, 255));
}

TEST_F(AntiWrinkle, InvalidInputsLeaveTheImageAlone)
{
    makeImage(8, 8);
    printer.setAntiWrinkle(1);
    ::testing::internal::CaptureStderr();
    printer.EnableAntiWrink(image);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "DEBUG:EnableAntiWrink: Image or pageHdr_ is not valid, returning.\n");

    DibImage empty;
    frame("A4", 1);  // sets the header, then frames the valid image
    printer.setAntiWrinkle(1);
    ::testing::internal::CaptureStderr();
    printer.EnableAntiWrink(empty);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "DEBUG:EnableAntiWrink: Image or pageHdr_ is not valid, returning.\n");

    // A negative level never turns into enormous bars.
    makeImage(8, 8);
    frame("Tattoo_A6", -1);
    EXPECT_EQ(image.GetWidth(), 8);
    EXPECT_TRUE(all(1, 0, 8, 8, 0));
    EXPECT_EQ(log.find("Drawing"), std::string::npos);
}

}  // namespace
