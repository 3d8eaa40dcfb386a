// rasterwrite: the stream it writes, read back through libcups, carries the
// requested header fields and pixels; bad input fails with a message.
#include "tests/tools/run_tool.h"

#include <cups/raster.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {

struct ExpectedPage {
    unsigned xres, yres, copies, width, height, bits, bpl;
    const char* pageSizeName;
    unsigned pointsWide, pointsHigh;
    std::vector<unsigned char> pixels; // empty: the page carries no data
};

struct ReadPage {
    cups_page_header2_t header;
    std::vector<unsigned char> pixels;
    bool pixelsRead;
};

std::vector<ReadPage> readRaster(const std::string& path)
{
    std::vector<ReadPage> pages;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return pages;
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    ReadPage page;
    while (raster && cupsRasterReadHeader2(raster, &page.header)) {
        const unsigned size = page.header.cupsBytesPerLine * page.header.cupsHeight;
        page.pixels.assign(size, 0xEE);
        page.pixelsRead = size > 0 && cupsRasterReadPixels(raster, page.pixels.data(), size) == size;
        pages.push_back(page);
    }
    cupsRasterClose(raster);
    close(fd);
    return pages;
}

std::string stringOf(const std::vector<unsigned char>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

TEST(RasterWrite, PagesCarryTheirOptionsAndPixels)
{
    TempDir dir;
    const std::string out = dir.file("job.ras");
    const ToolRun run = runTool(RASTERWRITE_PATH, {
        "-o", out, "--res", "300x600", "--copies", "3", "--pagesize", "w288h432",
        "rect:10x4:2,1,3,2:200",
        // Carries resolution, copies and page size over; 1 bit thresholds at 128.
        "--bits", "1", "fill:9x2:128",
        "--bits", "1", "fill:9x1:127",
        "--bits", "16", "--res", "203", "fill:2x1:5",
        "--bits", "8", "--bpl", "5", "--copies", "1", "fill:3x1:77",
        "--bpl", "2", "fill:3x1:77",
        "--bpl", "auto", "--header-width", "4", "--header-height", "3", "fill:2x2:9",
        "--header-width", "auto", "--header-height", "7", "--no-data", "fill:2x2:1",
    });
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<unsigned char> rect(40, 0);
    for (int row = 1; row <= 2; ++row)
        for (int col = 2; col <= 4; ++col)
            rect[row * 10 + col] = 200;
    const ExpectedPage expected[] = {
        // 10 dots at 300 dpi are 2.4 pt, 4 dots at 600 dpi 0.48 pt.
        {300, 600, 3, 10, 4, 8, 10, "w288h432", 2, 0, rect},
        {300, 600, 3, 9, 2, 1, 2, "w288h432", 2, 0, {0xFF, 0x80, 0xFF, 0x80}},
        {300, 600, 3, 9, 1, 1, 2, "w288h432", 2, 0, {0x00, 0x00}},
        {203, 203, 3, 2, 1, 16, 4, "w288h432", 1, 0, {5, 5, 5, 5}},
        {203, 203, 1, 3, 1, 8, 5, "w288h432", 1, 0, {77, 77, 77, 0, 0}},
        {203, 203, 1, 3, 1, 8, 2, "w288h432", 1, 0, {77, 77}},
        {203, 203, 1, 4, 3, 8, 4, "w288h432", 1, 1, {9, 9, 0, 0, 9, 9, 0, 0, 0, 0, 0, 0}},
        {203, 203, 1, 2, 7, 8, 2, "w288h432", 1, 2, {}},
    };
    const std::vector<ReadPage> pages = readRaster(out);
    ASSERT_EQ(pages.size(), std::size(expected));
    for (size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        const cups_page_header2_t& h = pages[i].header;
        const ExpectedPage& e = expected[i];
        EXPECT_EQ(h.HWResolution[0], e.xres);
        EXPECT_EQ(h.HWResolution[1], e.yres);
        EXPECT_EQ(h.NumCopies, e.copies);
        EXPECT_EQ(h.cupsWidth, e.width);
        EXPECT_EQ(h.cupsHeight, e.height);
        EXPECT_EQ(h.cupsBitsPerPixel, e.bits);
        EXPECT_EQ(h.cupsBitsPerColor, e.bits);
        EXPECT_EQ(h.cupsBytesPerLine, e.bpl);
        EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_K);
        EXPECT_EQ(h.cupsColorOrder, CUPS_ORDER_CHUNKED);
        EXPECT_STREQ(h.cupsPageSizeName, e.pageSizeName);
        EXPECT_EQ(h.PageSize[0], e.pointsWide);
        EXPECT_EQ(h.PageSize[1], e.pointsHigh);
        EXPECT_EQ(pages[i].pixelsRead, !e.pixels.empty());
        if (!e.pixels.empty()) {
            EXPECT_EQ(stringOf(pages[i].pixels), stringOf(e.pixels));
        }
    }
}

TEST(RasterWrite, PageSizeInPointsFollowsResolution)
{
    TempDir dir;
    const std::string out = dir.file("label.ras");
    // 812 x 1218 dots at 203 dpi are exactly 4 x 6 inches.
    const ToolRun run = runTool(RASTERWRITE_PATH, {"-o", out, "fill:812x1218:0"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<ReadPage> pages = readRaster(out);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].header.PageSize[0], 288u);
    EXPECT_EQ(pages[0].header.PageSize[1], 432u);
    EXPECT_EQ(pages[0].header.NumCopies, 1u);
    EXPECT_EQ(pages[0].header.HWResolution[0], 203u);
}

TEST(RasterWrite, ReadsBinaryAndPlainPgm)
{
    TempDir dir;
    writeFile(dir.file("binary.pgm"), std::string("P5\n# made by hand\n3 2\n255\n") +
                                          std::string("\x00\x10\xFF\x7F\x80\x01", 6));
    writeFile(dir.file("plain.pgm"), "P2\n3 2 255\n0 16 255\n# row two\n127 128 1\n");
    for (const char* name : {"binary.pgm", "plain.pgm"}) {
        SCOPED_TRACE(name);
        const std::string out = dir.file(std::string(name) + ".ras");
        const ToolRun run = runTool(RASTERWRITE_PATH, {"-o", out, dir.file(name)});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<ReadPage> pages = readRaster(out);
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0].header.cupsWidth, 3u);
        EXPECT_EQ(pages[0].header.cupsHeight, 2u);
        EXPECT_EQ(stringOf(pages[0].pixels), std::string("\x00\x10\xFF\x7F\x80\x01", 6));
    }
}

TEST(RasterWrite, RefusesBadInputWithAMessage)
{
    TempDir dir;
    writeFile(dir.file("colour.ppm"), "P6\n1 1\n255\nabc");
    writeFile(dir.file("deep.pgm"), "P5\n1 1\n65535\nab");
    writeFile(dir.file("short.pgm"), "P5\n4 4\n255\nabc");
    writeFile(dir.file("big.pgm"), "P2\n1 1\n255\n256\n");
    const std::vector<std::vector<std::string>> cases = {
        {"--bits", "3", "fill:1x1:0"},
        {"--res", "abc", "fill:1x1:0"},
        {"--copies", "-1", "fill:1x1:0"},
        {"--frobnicate", "fill:1x1:0"},
        {"fill:1x1"},
        {"fill:1x1:256"},
        {"fill:0x20001:1"},
        {"rect:4x4:1,1,2:9"},
        {"--copies"},
        {dir.file("missing.pgm")},
        {dir.file("colour.ppm")},
        {dir.file("deep.pgm")},
        {dir.file("short.pgm")},
        {dir.file("big.pgm")},
    };
    for (const std::vector<std::string>& args : cases) {
        std::vector<std::string> full = {"-o", dir.file("never.ras")};
        full.insert(full.end(), args.begin(), args.end());
        const ToolRun run = runTool(RASTERWRITE_PATH, full);
        SCOPED_TRACE(args.back());
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("rasterwrite: "), std::string::npos) << run.err;
        EXPECT_FALSE(fileExists(dir.file("never.ras")));
    }
}

} // namespace
