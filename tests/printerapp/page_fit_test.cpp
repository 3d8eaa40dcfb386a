// Fitting a page onto the label, on pages small enough to work out by hand:
// the turn's direction, the averaging when shrinking, the centring and the
// repeated dots when enlarging, and the header and message of a fitted page.
// The test label drawn for Print Test Page (its frame, band, staircase,
// ramp, bar code and text) and its Code 128 symbols are checked here too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "printerapp/jobs/code128.h"
#include "printerapp/jobs/dot_font.h"
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

TEST(LabelCrop, BoxIsCutOutOnlyOfAPageLargerThanTheLabel)
{
    // The 80 x 120 box on the 200 x 300 page, all at 100 dpi, onto an
    // 80 x 120 label: cut out dot for dot, its border on the label's edge.
    const Dots page = pageWithBoxes({{10, 20, 90, 140}});
    Dots fitted;
    std::string note;
    ASSERT_TRUE(cutOutLabelBox(page, 200, 300, 100, 80, 120, 100, &fitted, &note));
    EXPECT_EQ(note, "The 20.3x30.5 mm label box was cut out of the 50.8x76.2 mm page, fitted "
                    "onto the 20.3x30.5 mm label.");
    ASSERT_EQ(fitted.size(), 80u * 120);
    EXPECT_EQ(fitted[0], 255);
    EXPECT_EQ(fitted[60 * 80 + 1], 255);
    EXPECT_EQ(fitted[60 * 80 + 2], 0);
    EXPECT_EQ(fitted[119 * 80 + 40], 255);

    // Not larger than the label, nothing is cut: the same page onto a
    // 200 x 300 label, or the page at 400 dpi (12.7 x 19.1 mm) onto the
    // 80 x 120 label at 100 dpi (20.3 x 30.5 mm).
    note = "untouched";
    fitted.clear();
    EXPECT_FALSE(cutOutLabelBox(page, 200, 300, 100, 200, 300, 100, &fitted, &note));
    EXPECT_FALSE(cutOutLabelBox(page, 200, 300, 400, 80, 120, 100, &fitted, &note));
    EXPECT_TRUE(fitted.empty());
    EXPECT_EQ(note, "untouched");
    // Larger but without a box: nothing is cut either.
    EXPECT_FALSE(cutOutLabelBox(Dots(200 * 300, 0), 200, 300, 100, 80, 120, 100, &fitted, &note));
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

// Runs of equal dots along row y from x0 to x1: the length of each run,
// the first run starting at x0 whatever its colour.
std::vector<unsigned> runsAlong(const Dots& dots, unsigned width, unsigned y, unsigned x0,
                                unsigned x1)
{
    std::vector<unsigned> runs;
    for (unsigned x = x0; x < x1; ++x) {
        if (x == x0 || dots[y * width + x] != dots[y * width + x - 1])
            runs.push_back(0);
        ++runs.back();
    }
    return runs;
}

TEST(TestLabel, FrameBandStairsRampAndBarcode)
{
    const struct {
        unsigned width, height;
        int dpi;
    } labels[] = {{812, 1218, 203}, {812, 406, 203}, {1200, 1800, 300}, {600, 300, 300}};
    for (const auto& label : labels) {
        SCOPED_TRACE(std::to_string(label.width) + "x" + std::to_string(label.height));
        TestLabelFacts facts;
        facts.width = label.width;
        facts.height = label.height;
        facts.dpi = label.dpi;
        const unsigned width = label.width, height = label.height;
        const Dots dots = drawTestLabel(facts);
        ASSERT_EQ(dots.size(), static_cast<size_t>(width) * height);
        auto at = [&](unsigned x, unsigned y) { return dots[static_cast<size_t>(y) * width + x]; };
        // No grey level is left for a halftone to change.
        ASSERT_TRUE(std::all_of(dots.begin(), dots.end(), [](unsigned char d) { return d == 0 || d == 255; }));
        // Every dot on the label's edge is inked.
        for (unsigned x = 0; x < width; ++x)
            ASSERT_TRUE(at(x, 0) == 255 && at(x, height - 1) == 255) << x;
        for (unsigned y = 0; y < height; ++y)
            ASSERT_TRUE(at(0, y) == 255 && at(width - 1, y) == 255) << y;

        const TestLabelLayout layout = testLabelLayout(width, height, label.dpi);
        ASSERT_LE(layout.barcodeBottom, height);
        // The band: every dot of the width, at least a millimetre of rows.
        EXPECT_GE(layout.solidBottom - layout.solidTop, static_cast<unsigned>(label.dpi / 25));
        for (unsigned y = layout.solidTop; y < layout.solidBottom; ++y)
            for (unsigned x = 0; x < width; ++x)
                ASSERT_EQ(at(x, y), 255) << x << "," << y;
        // The staircase: each column inked in it, never on a row its
        // neighbour is inked on (inside the frame), so one dot's line stands
        // alone.
        const unsigned frame = label.dpi / 50;
        for (unsigned x = 0; x < width; ++x) {
            unsigned inked = 0;
            for (unsigned y = layout.stairsTop; y < layout.stairsBottom; ++y) {
                inked += at(x, y) == 255;
                if (x >= frame && x + 1 < width - frame && at(x, y) == 255) {
                    ASSERT_EQ(at(x + 1, y), 0) << x << "," << y;
                }
            }
            ASSERT_GT(inked, 0u) << x;
        }
        // The ramp: each 8 x 8 tile (the dither's period) wholly inside
        // step k holds k x 8 inked dots, so the nine steps go from blank to
        // full ink in eighths.
        ASSERT_GE(layout.rampBottom - layout.rampTop, 8u);
        const unsigned rampWidth = layout.rampRight - layout.rampLeft;
        for (unsigned k = 0; k < kTestLabelRampSteps; ++k) {
            const unsigned x0 = layout.rampLeft + rampWidth * k / kTestLabelRampSteps;
            const unsigned x1 = layout.rampLeft + rampWidth * (k + 1) / kTestLabelRampSteps;
            unsigned tiles = 0;
            for (unsigned ty = (layout.rampTop + 7) / 8 * 8; ty + 8 <= layout.rampBottom; ty += 8) {
                for (unsigned tx = (x0 + 7) / 8 * 8; tx + 8 <= x1; tx += 8) {
                    unsigned inked = 0;
                    for (unsigned y = ty; y < ty + 8; ++y)
                        for (unsigned x = tx; x < tx + 8; ++x)
                            inked += at(x, y) == 255;
                    ASSERT_EQ(inked, 8 * k) << "step " << k << " tile " << tx << "," << ty;
                    ++tiles;
                }
            }
            EXPECT_GT(tiles, 0u) << "step " << k;
        }
        // The bar code across its middle row: ten blank modules, then the
        // symbol's bars and spaces module for module, then ten blank.
        ASSERT_GT(layout.module, 0u);
        const std::vector<unsigned char> widths = code128Widths(testLabelBarcodeText(label.dpi));
        const unsigned margin = 2 * std::max(2u, frame);
        const std::vector<unsigned> runs =
            runsAlong(dots, width, (layout.barcodeTop + layout.barcodeBottom) / 2, margin,
                      width - margin);
        ASSERT_EQ(runs.size(), widths.size() + 2);
        EXPECT_GE(runs.front(), 10 * layout.module);
        EXPECT_GE(runs.back(), 10 * layout.module);
        for (size_t i = 0; i < widths.size(); ++i)
            EXPECT_EQ(runs[i + 1], widths[i] * layout.module) << i;
        // Bars an eighth of an inch high at least, for a hand scanner.
        EXPECT_GE(layout.barcodeBottom - layout.barcodeTop, static_cast<unsigned>(label.dpi / 8));
    }
}

TEST(TestLabel, TextSaysSizeDarknessSpeedAndMode)
{
    TestLabelFacts defaults;  // the TL-4's: 53 %, the printer's speed, tear-off on gaps
    defaults.width = 812;
    defaults.height = 1218;
    TestLabelFacts set;
    set.width = 1200;
    set.height = 600;
    set.dpi = 300;
    set.darknessPercent = 53 + 50;  // clipped to 100 %
    set.speed = 10160;              // 4 in/s in 1/100 mm/s
    set.mode = PAPPL_LABEL_MODE_CUTTER;
    set.tracking = PAPPL_MEDIA_TRACKING_MARK;
    TestLabelFacts stencil;
    stencil.width = 2480;
    stencil.height = 3508;
    stencil.dpi = 300;
    stencil.darknessPercent = -10;
    stencil.speed = 3810;  // 1.5 in/s: half an inch rounds up, as the job's SPEED does
    stencil.mode = static_cast<pappl_label_mode_t>(0);
    stencil.tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
    const struct {
        const TestLabelFacts& facts;
        std::vector<std::string> lines;
    } cases[] = {
        {defaults, {"TEST LABEL 203 DPI", "101.6 X 152.4 MM", "DARKNESS 53%, DENSITY 8",
                    "SPEED: PRINTER'S OWN", "MODE TEAR-OFF, GAPS"}},
        {set, {"TEST LABEL 300 DPI", "101.6 X 50.8 MM", "DARKNESS 100%, DENSITY 15",
               "SPEED 4 IN/S", "MODE CUTTER, BLACK MARKS"}},
        {stencil, {"TEST LABEL 300 DPI", "210.0 X 297.0 MM", "DARKNESS 0%, DENSITY 0",
                   "SPEED 2 IN/S", "MODE PRINTER'S OWN, CONTINUOUS"}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> lines = testLabelText(c.facts);
        EXPECT_EQ(lines, c.lines);
        // Every character is drawn: none falls back to a blank.
        for (const std::string& line : lines)
            for (char ch : line)
                EXPECT_NE(dotFontGlyph(ch), nullptr) << "'" << ch << "' in " << line;
    }
    EXPECT_EQ(testLabelBarcodeText(203), "TEST 203 DPI");
}

TEST(Code128, StartDataCheckAndStop)
{
    // "TEST" in code set B: start B (104), T = 52, E = 37, S = 51, T = 52;
    // check (104 + 1x52 + 2x37 + 3x51 + 4x52) mod 103 = 591 mod 103 = 76.
    const std::vector<unsigned char> widths = code128Widths("TEST");
    const std::string expected = "211214" "213311" "132113" "213113" "213311" "221114" "2331112";
    ASSERT_EQ(widths.size(), expected.size());
    for (size_t i = 0; i < widths.size(); ++i)
        EXPECT_EQ(widths[i], expected[i] - '0') << i;
    EXPECT_EQ(code128Modules(widths), 11u * 6 + 13);

    // Each printable character is three bars and three spaces eleven
    // modules wide, its bars an even number of modules, and no two alike.
    std::vector<std::string> patterns;
    for (char c = ' '; c <= '~'; ++c) {
        const std::vector<unsigned char> one = code128Widths(std::string(1, c));
        ASSERT_EQ(one.size(), 6u * 3 + 7) << c;
        unsigned sum = 0, bars = 0;
        for (size_t i = 6; i < 12; ++i) {
            sum += one[i];
            bars += i % 2 == 0 ? one[i] : 0;
        }
        EXPECT_EQ(sum, 11u) << c;
        EXPECT_EQ(bars % 2, 0u) << c;
        patterns.emplace_back(one.begin() + 6, one.begin() + 12);
    }
    std::sort(patterns.begin(), patterns.end());
    EXPECT_EQ(std::unique(patterns.begin(), patterns.end()), patterns.end());
    // Outside code set B there is no symbol.
    EXPECT_TRUE(code128Widths("").empty());
    EXPECT_TRUE(code128Widths("caf\xc3\xa9").empty());
    EXPECT_TRUE(code128Widths("A\tB").empty());
}

}  // namespace
