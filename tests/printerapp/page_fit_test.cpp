// Fitting a page onto the label, on pages small enough to work out by hand:
// the turn's direction, the averaging when shrinking, the centring and the
// repeated dots when enlarging, and the header and message of a fitted page.
// The test label drawn for Print Test Page is checked here too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "printerapp/jobs/exif_orientation.h"
#include "printerapp/jobs/label_crop.h"
#include "printerapp/jobs/page_fit.h"
#include "printerapp/jobs/testpage.h"

namespace {

using Dots = std::vector<unsigned char>;

TEST(PageFit, TurnsShrinksCentresAndEnlarges)
{
    const struct {
        const char* what;
        unsigned width, height;
        Dots page;
        unsigned labelWidth, labelHeight;
        bool turned;
        Dots expected;
    } cases[] = {
        // Landscape onto portrait: a quarter turn counter-clockwise, the
        // page's top row read upwards in the left column.
        {"turn", 4, 2, {1, 2, 3, 4, 5, 6, 7, 8}, 2, 4, true, {4, 8, 3, 7, 2, 6, 1, 5}},
        // Portrait onto landscape: clockwise, the page's top row in the
        // right column read downwards.
        {"turn back", 2, 4, {4, 8, 3, 7, 2, 6, 1, 5}, 4, 2, true, {1, 2, 3, 4, 5, 6, 7, 8}},
        // Shrinking by two: each label dot the rounded mean of four.
        {"shrink", 4, 4, {0, 0, 255, 255, 0, 255, 255, 255, 10, 20, 1, 2, 30, 41, 3, 4}, 2, 2, false,
         {64, 255, 25, 3}},
        // A square page on a 4 x 8 label: doubled, centred along the label.
        {"enlarge", 2, 2, {1, 2, 3, 4}, 4, 8, false,
         {0, 0, 0, 0, 0, 0, 0, 0,
          1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4,
          0, 0, 0, 0, 0, 0, 0, 0}},
        // 1 x 2 on 3 x 4 (same orientation): two dots wide is what fits,
        // centred across with one blank column on the right.
        {"centre across", 1, 2, {9, 7}, 3, 4, false, {9, 9, 0, 9, 9, 0, 7, 7, 0, 7, 7, 0}},
    };
    for (const auto& c : cases) {
        Dots fitted;
        EXPECT_EQ(fitPage(c.page.data(), c.width, c.height, c.labelWidth, c.labelHeight, &fitted),
                  c.turned)
            << c.what;
        EXPECT_EQ(fitted, c.expected) << c.what;
    }
}

TEST(PageFit, HeaderAndMessageDescribeTheFittedPage)
{
    // A Letter page at 203 dpi onto a 4 x 2 in label: turned, 812 x 406.
    cups_page_header2_t header = {};
    header.HWResolution[0] = header.HWResolution[1] = 203;
    header.cupsWidth = header.cupsBytesPerLine = 1726;
    header.cupsHeight = 2233;
    Dots page(static_cast<size_t>(1726) * 2233, 255);
    std::string note;
    fitPageToLabel(&header, &page, 812, 406, true, &note);
    EXPECT_EQ(header.cupsWidth, 812u);
    EXPECT_EQ(header.cupsBytesPerLine, 812u);
    EXPECT_EQ(header.cupsHeight, 406u);
    EXPECT_EQ(header.PageSize[0], 288u);
    EXPECT_EQ(header.PageSize[1], 144u);
    ASSERT_EQ(page.size(), static_cast<size_t>(812) * 406);
    EXPECT_EQ(note, "The 216.0x279.4 mm page was turned and fitted onto the 101.6x50.8 mm label.");
    // 2233 x 1726 once turned, scaled to 406 dots long: 525.3 dots wide,
    // so 525 from dot 143 to 667.
    EXPECT_EQ(page[406 / 2 * 812 + 142], 0);
    EXPECT_EQ(page[406 / 2 * 812 + 143], 255);
    EXPECT_EQ(page[406 / 2 * 812 + 667], 255);
    EXPECT_EQ(page[406 / 2 * 812 + 668], 0);
}

TEST(PageFit, PlacedImagesAreTurnedToTheLabel)
{
    // A 2 x 1 image placed upright on a 4 x 8 page fills rows 3 and 4; taken
    // out, turned and fitted, each of its dots becomes a 2 x 2 block.
    Dots page(32, 0);
    const Dots placed = {1, 2, 3, 4, 5, 6, 7, 8};
    std::copy(placed.begin(), placed.end(), page.begin() + 12);
    EXPECT_FALSE(turnPlacedImage(&page, 4, 8, 1, 2));  // already upright
    ASSERT_TRUE(turnPlacedImage(&page, 4, 8, 2, 1));
    EXPECT_EQ(page, (Dots{4, 4, 8, 8, 4, 4, 8, 8, 3, 3, 7, 7, 3, 3, 7, 7,
                          2, 2, 6, 6, 2, 2, 6, 6, 1, 1, 5, 5, 1, 1, 5, 5}));

    // The image's size from its file: a PNG's IHDR, a JPEG's frame header
    // after an APP0 segment; anything else is not an image.
    const std::string dir = ::testing::TempDir();
    const struct {
        const char* name;
        std::string bytes;
        bool ok;
        unsigned width, height;
    } files[] = {
        {"a.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x04\xb0\0\0\x02\x58", 24), true, 1200, 600},
        {"b.jpg", std::string("\xff\xd8\xff\xe0\0\x04" "ab\xff\xc0\0\x0b\x08\x01\x2c\x03\x20\x01", 18), true, 800, 300},
        {"c.txt", "SIZE 4,6\r\n", false, 0, 0},
    };
    for (const auto& f : files) {
        const std::string path = dir + "/" + f.name;
        FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(f.bytes.data(), 1, f.bytes.size(), out);
        std::fclose(out);
        unsigned width = 0, height = 0;
        EXPECT_EQ(imageFileSize(path.c_str(), &width, &height), f.ok) << f.name;
        EXPECT_EQ(width, f.width) << f.name;
        EXPECT_EQ(height, f.height) << f.name;
        std::remove(path.c_str());
    }
}

// A 200 x 300 page with ruled boxes (2-dot lines) drawn on it.
Dots pageWithBoxes(const std::vector<LabelBox>& boxes)
{
    Dots page(200 * 300, 0);
    for (const LabelBox& b : boxes) {
        for (unsigned y = b.top; y < b.bottom; ++y)
            for (unsigned x = b.left; x < b.right; ++x)
                if (y < b.top + 2 || y + 2 >= b.bottom || x < b.left + 2 || x + 2 >= b.right)
                    page[y * 200 + x] = 255;
    }
    return page;
}

TEST(LabelCrop, OneLabelShapedBoxIsFound)
{
    const struct {
        const char* what;
        std::vector<LabelBox> boxes;
        unsigned labelWidth, labelHeight;
        bool found;
        LabelBox expected;
    } cases[] = {
        // 80 x 120 (2:3) on a 2:3 label, and on a 3:2 label (turned later).
        {"upright", {{10, 20, 90, 140}}, 812, 1218, true, {10, 20, 90, 140}},
        {"across", {{10, 20, 90, 140}}, 1218, 812, true, {10, 20, 90, 140}},
        // 80 x 80 is no 2:3 label.
        {"square", {{10, 20, 90, 100}}, 812, 1218, false, {}},
        // Two label-shaped boxes: which one is the label is not known.
        {"two", {{10, 10, 90, 130}, {100, 150, 180, 270}}, 812, 1218, false, {}},
        // Too small a part of the page (20 x 30).
        {"small", {{10, 10, 30, 40}}, 812, 1218, false, {}},
    };
    for (const auto& c : cases) {
        const Dots page = pageWithBoxes(c.boxes);
        LabelBox box;
        ASSERT_EQ(findLabelBox(page.data(), 200, 300, c.labelWidth, c.labelHeight, &box), c.found)
            << c.what;
        if (c.found) {
            EXPECT_EQ(box.left, c.expected.left) << c.what;
            EXPECT_EQ(box.top, c.expected.top) << c.what;
            EXPECT_EQ(box.right, c.expected.right) << c.what;
            EXPECT_EQ(box.bottom, c.expected.bottom) << c.what;
        }
    }
}

TEST(ExifOrientation, TagIsReadAndApplied)
{
    // One directory entry, Orientation (0x0112) SHORT 1 = 6, in both byte orders.
    const unsigned char big[] = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3,
                                 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0};
    const unsigned char little[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0,
                                    1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(exifOrientation(big, sizeof(big)), 6);
    EXPECT_EQ(exifOrientation(little, sizeof(little)), 8);
    EXPECT_EQ(exifOrientation(big, 16), 1);  // the entry cut off
    std::string app1 = std::string("Exif\0\0", 6) + std::string(reinterpret_cast<const char*>(big), sizeof(big));
    EXPECT_EQ(jpegApp1Orientation(reinterpret_cast<const unsigned char*>(app1.data()), app1.size()), 6);

    // Stored 3 x 2 as 1 2 3 / 4 5 6; viewed:
    const struct {
        int orientation;
        unsigned width, height;
        Dots viewed;
    } cases[] = {
        {2, 3, 2, {3, 2, 1, 6, 5, 4}},
        {3, 3, 2, {6, 5, 4, 3, 2, 1}},
        {4, 3, 2, {4, 5, 6, 1, 2, 3}},
        {5, 2, 3, {1, 4, 2, 5, 3, 6}},
        {6, 2, 3, {4, 1, 5, 2, 6, 3}},  // turned clockwise: the left column on top
        {7, 2, 3, {6, 3, 5, 2, 4, 1}},
        {8, 2, 3, {3, 6, 2, 5, 1, 4}},  // turned counter-clockwise
    };
    for (const auto& c : cases) {
        Dots pixels = {1, 2, 3, 4, 5, 6};
        unsigned width = 3, height = 2;
        applyOrientation(c.orientation, &pixels, &width, &height, 1);
        EXPECT_EQ(width, c.width) << c.orientation;
        EXPECT_EQ(height, c.height) << c.orientation;
        EXPECT_EQ(pixels, c.viewed) << c.orientation;
    }
}

TEST(TestLabel, EdgesDarknessAndRamp)
{
    const unsigned width = 812, height = 1218;
    const Dots dots = drawTestLabel(width, height, 203, 53);
    ASSERT_EQ(dots.size(), static_cast<size_t>(width) * height);
    auto at = [&](unsigned x, unsigned y) { return dots[static_cast<size_t>(y) * width + x]; };
    // Every dot on the label's edge is inked.
    for (unsigned x = 0; x < width; ++x)
        ASSERT_TRUE(at(x, 0) == 255 && at(x, height - 1) == 255) << x;
    for (unsigned y = 0; y < height; ++y)
        ASSERT_TRUE(at(0, y) == 255 && at(width - 1, y) == 255) << y;
    // Inside the frame: text in the first band, a solid third band, and a
    // ramp in the fourth that rises from blank to full ink.
    const unsigned margin = 8, band = (height - 2 * margin) / 6;
    unsigned textDots = 0;
    for (unsigned y = margin; y < margin + band; ++y)
        for (unsigned x = margin; x < width - margin; ++x)
            textDots += at(x, y) == 255;
    EXPECT_GT(textDots, 1000u);
    EXPECT_EQ(at(width / 2, margin + 2 * band + band / 2), 255);
    const unsigned rampY = margin + 3 * band + band / 2;
    EXPECT_EQ(at(margin, rampY), 0);
    EXPECT_EQ(at(width - margin - 1, rampY), 255);
    for (unsigned x = margin + 1; x < width - margin; ++x)
        ASSERT_GE(at(x, rampY), at(x - 1, rampY)) << x;
}

}  // namespace
