// The page pipeline on small pages: halftone paths, brightness, mirroring,
// negative, the processed image's layout, blank-row counts, 1-bit packing.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dump_cleaner.h"
#include "recording_printer.h"
#include "test_files.h"

namespace {

using tavel_test::DumpCleaner;
using tavel_test::TempDir;

struct BlankCase {
    const char* name;
    std::vector<int> inkedRows;  // rows holding a dot in column 0
    unsigned long height;
    unsigned long skipRight;
    unsigned long front;
    unsigned long back;
};

TEST(BlankRows, CountFromFrontAndBack)
{
    const BlankCase cases[] = {
        {"rows 5 to 95 inked", {5, 50, 95}, 100, 0, 5, 96},
        {"all blank", {}, 100, 0, 100, 0},
        {"first and last inked", {0, 9}, 10, 0, 0, 10},
        {"skip equals row length", {0, 9}, 10, 4, 10, 0},
        {"skip beyond row length is ignored", {3}, 10, 5, 3, 4},
    };
    const unsigned long rowLength = 4;
    const unsigned long stride = 6;  // rows start 6 bytes apart
    for (const BlankCase& c : cases) {
        std::vector<unsigned char> data(stride * c.height, 0);
        for (unsigned long y = 0; y < c.height; ++y)
            data[y * stride + 5] = 9;  // beyond the row length: never scanned
        for (int row : c.inkedRows)
            data[row * stride] = 1;
        EXPECT_EQ(tavelImageCountBlankLinesFromFront(data.data(), rowLength, c.height, c.skipRight,
                                                     stride),
                  c.front)
            << c.name;
        EXPECT_EQ(tavelImageCountBlankLinesFromBack(data.data(), rowLength, c.height, c.skipRight,
                                                    stride),
                  c.back)
            << c.name;
    }
}

TEST(BlankRows, SkipRightIgnoresTheRowEnd)
{
    // Only the last byte of row 2 is inked; skipping it makes the row blank.
    std::vector<unsigned char> data(4 * 4, 0);
    data[2 * 4 + 3] = 1;
    EXPECT_EQ(tavelImageCountBlankLinesFromFront(data.data(), 4, 4, 0, 4), 2u);
    EXPECT_EQ(tavelImageCountBlankLinesFromFront(data.data(), 4, 4, 1, 4), 4u);
}

TEST(GrayToMono, PacksInPlaceMostSignificantBitFirst)
{
    RecordingPrinter printer;
    std::vector<unsigned char> row = {1, 0, 0, 0, 0, 0, 0, 1, 1, 0};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(printer.GrayToMono(10, 1, row.data()), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "DEBUG:GrayToMono, bpl(10), h(1), skipPixels(0), wb(10)\n");
    EXPECT_EQ(row[0], 0x81);
    EXPECT_EQ(row[1], 0x80);

    // Two rows of 10 with the last 2 bytes skipped: 8 pixels, one byte each.
    std::vector<unsigned char> rows = {9, 0, 0, 0, 0, 0, 0, 0, 5, 5,
                                       0, 0, 0, 0, 0, 0, 0, 3, 5, 5};
    printer.setSkipRightPixels(2);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(printer.GrayToMono(10, 2, rows.data()), 2);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rows[0], 0x80);
    EXPECT_EQ(rows[1], 0x01);
}

class Pipeline : public ::testing::Test {
protected:
    Pipeline() { dumpIntoOwnFolder(printer); }

    // Other tests run the filter at the same time and clean the CUPS dump
    // folder after themselves: the printers here dump into the test's
    // folder, whatever room its file system has left.
    void dumpIntoOwnFolder(RecordingPrinter& target) const
    {
        ImageDumpPolicy policy = target.getImageDumpPolicy();
        policy.folder = dumpFolder.path();
        policy.probeSpace = nullptr;
        target.setImageDumpPolicy(policy);
    }

    // Runs one page through printImage and returns the page handed to
    // doPrintImage; the log is kept in log.
    const PrintedPage& print(const std::vector<unsigned char>& page, unsigned long width,
                             unsigned long height)
    {
        ::testing::internal::CaptureStderr();
        printer.printImage(page.data(), width, height, width);
        log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(printer.pages.size(), 1u);
        return printer.pages.back();
    }
    bool logged(const std::string& line) const
    {
        return log.find(line + "\n") != std::string::npos;
    }

    TempDir dumpFolder;
    DumpCleaner dumps{dumpFolder.path()};
    RecordingPrinter printer;
    std::string log;
};

TEST_F(Pipeline, ThresholdPathDeliversZeroOrOneInPaddedRows)
{
    // 10 x 3: values above 128 become dots.
    std::vector<unsigned char> page(30, 0);
    page[0] = 129;
    page[9] = 128;
    page[10 + 4] = 255;
    page[20 + 9] = 200;
    const PrintedPage& out = print(page, 10, 3);
    EXPECT_EQ(out.stride, 12u);
    EXPECT_EQ(out.width, 10u);
    EXPECT_EQ(out.height, 3u);
    std::vector<unsigned char> expected(30, 0);
    expected[0] = 1;
    expected[14] = 1;
    expected[29] = 1;
    EXPECT_EQ(out.pixels, expected);
    EXPECT_TRUE(logged("DEBUG:PageProcess: ZQ dithering is disabled"));
    EXPECT_TRUE(logged("DEBUG:PageProcess: Applied default dithering and increased bit depth"));
    EXPECT_TRUE(logged("DEBUG:PageProcess: Filled the output buffer with processed pixels, length: 36"));
    EXPECT_FALSE(logged("DEBUG:PageProcess: Adjusted brightness to 0 and contrast to 0"));
    EXPECT_EQ(dumps.newDumps().size(), 2u);
}

TEST_F(Pipeline, DumpsWrittenBesideThePageHoldItsRows)
{
    // Both dumps are written while the page is processed and printed.
    const unsigned long width = 900;
    const unsigned long height = 600;
    std::vector<unsigned char> page(width * height);
    for (size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<unsigned char>(i % 251);
    print(page, width, height);
    const std::vector<std::string> made = dumps.newDumps();
    ASSERT_EQ(made.size(), 2u);
    for (const std::string& path : made) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        const std::string bmp = data.str();
        ASSERT_EQ(bmp.size(), 1078u + width * height) << path;
        if (path.find("origin_") != std::string::npos) {
            // The last raster row comes first.
            EXPECT_EQ(bmp.compare(1078, width, std::string(page.end() - width, page.end())), 0);
            EXPECT_EQ(bmp.compare(bmp.size() - width, width, std::string(page.begin(), page.begin() + width)), 0);
        }
    }
}

TEST_F(Pipeline, BrightnessReachesLightScaledByFive)
{
    // Brightness 1 lifts 126 to 131 (offset 5), above the threshold.
    printer.setBrightness(1);
    const PrintedPage& out = print({126, 120, 124, 123}, 4, 1);
    EXPECT_TRUE(logged("DEBUG:PageProcess: Adjusted brightness to 5 and contrast to 0"));
    EXPECT_EQ(out.pixels, (std::vector<unsigned char>{1, 0, 1, 0}));
}

TEST_F(Pipeline, MirrorAndRotationReorderPixels)
{
    printer.setMirrorPrint(true);
    const PrintedPage& mirrored = print({255, 0, 0, 0, 0, 0, 0, 200}, 4, 2);
    EXPECT_EQ(mirrored.pixels, (std::vector<unsigned char>{0, 0, 0, 1, 1, 0, 0, 0}));
    EXPECT_TRUE(logged("DEBUG:PageProcess: Mirrored the image"));

    RecordingPrinter rotating;
    dumpIntoOwnFolder(rotating);
    rotating.setRotate180Print(true);
    const std::vector<unsigned char> page = {255, 0, 0, 0, 0, 0, 0, 0};
    ::testing::internal::CaptureStderr();
    rotating.printImage(page.data(), 4, 2, 4);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(rotating.pages.size(), 1u);
    EXPECT_EQ(rotating.pages[0].pixels, (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST_F(Pipeline, NegativeOnTheDefaultPathPrintsEverythingButTheDot)
{
    printer.setNegativePrint(true);
    // 19 wide: sixteen pixels at a time, then three one by one.
    std::vector<unsigned char> page(19 * 2, 0);
    page[2] = 255;
    page[19 + 17] = 255;
    const PrintedPage& out = print(page, 19, 2);
    std::vector<unsigned char> expected(19 * 2, 255);
    expected[2] = 0;
    expected[19 + 17] = 0;
    EXPECT_EQ(out.pixels, expected);
    EXPECT_TRUE(logged("DEBUG:PageProcess: negativePrint_ 1"));
    EXPECT_TRUE(logged("DEBUG:PageProcess: Inverting the image for negative print"));
}

TEST_F(Pipeline, StencilPathDeliversZeroOr255)
{
    printer.setHalftoneType(DITHER_TATTOO);
    std::vector<unsigned char> page(10 * 3);
    for (size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<unsigned char>(i * 8);
    const PrintedPage& out = print(page, 10, 3);
    EXPECT_EQ(out.stride, 12u);
    EXPECT_EQ(out.width, 10u);
    for (unsigned char v : out.pixels)
        EXPECT_TRUE(v == 0 || v == 255) << int(v);
    EXPECT_TRUE(logged("DEBUG:PageProcess: ZQ dithering is enabled"));
    EXPECT_TRUE(logged("DEBUG:PageProcess: Applied ZQ dithering with stride 12, width 10"));

    // Negative swaps the stencil's two values.
    const std::vector<unsigned char> positive = out.pixels;
    RecordingPrinter negative;
    dumpIntoOwnFolder(negative);
    negative.setHalftoneType(DITHER_TATTOO);
    negative.setNegativePrint(true);
    ::testing::internal::CaptureStderr();
    negative.printImage(page.data(), 10, 3, 10);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(negative.pages.size(), 1u);
    for (size_t i = 0; i < positive.size(); ++i)
        EXPECT_EQ(negative.pages[0].pixels[i], 255 - positive[i]) << i;
}

TEST_F(Pipeline, StencilPathIgnoresRowPadding)
{
    // The same 10 x 3 page twice: packed, and with rows padded to 16 bytes
    // whose padding holds ink that must not reach the stencil.
    std::vector<unsigned char> packed(10 * 3);
    std::vector<unsigned char> padded(16 * 3, 255);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 10; ++x)
            packed[y * 10 + x] = padded[y * 16 + x] = static_cast<unsigned char>(25 * x + 40 * y);

    RecordingPrinter plain;
    RecordingPrinter withPadding;
    for (RecordingPrinter* p : {&plain, &withPadding}) {
        dumpIntoOwnFolder(*p);
        p->setHalftoneType(DITHER_TATTOO_X8);
    }
    ::testing::internal::CaptureStderr();
    plain.printImage(packed.data(), 10, 3, 10);
    withPadding.printImage(padded.data(), 16, 3, 10);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(plain.pages.size(), 1u);
    ASSERT_EQ(withPadding.pages.size(), 1u);
    EXPECT_EQ(withPadding.pages[0].pixels, plain.pages[0].pixels);
}

TEST_F(Pipeline, BlankEdgeWindowIsReportedNotApplied)
{
    // Rows 0-4 and 96-99 of 100 blank.
    std::vector<unsigned char> page(8 * 100, 0);
    for (int y = 5; y < 96; ++y)
        page[y * 8 + 3] = 255;
    printer.setRemoveBlankEdges(10);
    const PrintedPage& out = print(page, 8, 100);
    EXPECT_EQ(out.height, 100u);
    EXPECT_TRUE(logged("DEBUG:printImage: Removal of bottom blank edges detected, number of bottom blank lines: 96"));
    EXPECT_TRUE(logged("DEBUG:printImage: Removal of top blank edges detected, number of top blank lines: 5"));
    EXPECT_TRUE(logged("DEBUG:printImage: Adjusted image height to 91, pointer offset by 40 bytes"));

    RecordingPrinter topOnly;
    dumpIntoOwnFolder(topOnly);
    topOnly.setRemoveBlankEdges(2);
    ::testing::internal::CaptureStderr();
    topOnly.printImage(page.data(), 8, 100, 8);
    const std::string topLog = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(topLog.find("number of top blank lines: 5\n"), std::string::npos);
    EXPECT_EQ(topLog.find("Removal of bottom blank edges"), std::string::npos);
    EXPECT_EQ(topLog.find("Adjusted image height"), std::string::npos);
}

}  // namespace

namespace {

TEST(ProcessedPixels, DotsWidenTo255AndNegativeComplementsEveryByte)
{
    // Rows long enough for whole 16-pixel blocks and a tail, every value.
    const int width = 37;
    const int height = 7;
    const int stride = 40;
    std::vector<unsigned char> grey(width * height);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<unsigned char>(i * 37 % 256);
    grey[0] = 1;
    grey[16] = 1;
    grey[36] = 1;
    DibImage image;
    ASSERT_TRUE(image.CreateFromArray(grey.data(), width, height, 8, width, false));
    for (bool negative : {false, true}) {
        RecordingPrinter printer;
        printer.setNegativePrint(negative);
        std::vector<unsigned char> buf(stride * height, 0xA5);
        printer.copyProcessedPixels(&image, buf.data(), width, height, stride);
        for (int y = 0; y < height; ++y) {
            const unsigned char* row = image.GetBits(static_cast<unsigned>(y));
            for (int x = 0; x < stride; ++x) {
                const int v = row[x];
                const int expected = x >= width ? 0xA5 : ((v == 1 ? 255 : v) ^ (negative ? 0xFF : 0));
                ASSERT_EQ(buf[y * stride + x], expected) << "negative " << negative << " at " << x << "," << y;
            }
        }
    }
}

}  // namespace
