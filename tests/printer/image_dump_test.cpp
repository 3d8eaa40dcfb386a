// BMP page dumps: header fields, colour tables, bottom-up rows and padding.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "recording_printer.h"

namespace {

class ImageDump : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tavel-dump-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        printer.setImagePathFmt(dir + "/dump_%d-%d-%d_%d_%d_%d_%ld.bmp");
    }
    void TearDown() override
    {
        for (const std::string& name : files())
            unlink((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        DIR* folder = opendir(dir.c_str());
        while (dirent* entry = readdir(folder)) {
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        }
        closedir(folder);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string onlyFile() const
    {
        const std::vector<std::string> names = files();
        EXPECT_EQ(names.size(), 1u);
        std::ifstream in(dir + "/" + names.at(0), std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        return data.str();
    }
    static uint32_t le32(const std::string& data, size_t at)
    {
        return static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8 |
               static_cast<uint8_t>(data[at + 2]) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(data[at + 3])) << 24;
    }
    static uint16_t le16(const std::string& data, size_t at)
    {
        return static_cast<uint16_t>(static_cast<uint8_t>(data[at]) |
                                     static_cast<uint8_t>(data[at + 1]) << 8);
    }

    RecordingPrinter printer;
    std::string dir;
};

TEST_F(ImageDump, EightBitRowsBottomUpWithGreyRamp)
{
    // Two rows of 10 pixels, read with a stride of 16.
    std::vector<unsigned char> pixels(32, 0xEE);
    for (int x = 0; x < 10; ++x) {
        pixels[x] = static_cast<unsigned char>(x);
        pixels[16 + x] = static_cast<unsigned char>(100 + x);
    }
    printer.saveImage(pixels.data(), 16, 2, 10, 8);

    const std::string bmp = onlyFile();
    ASSERT_EQ(bmp.size(), 1102u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(le32(bmp, 2), 1102u);
    EXPECT_EQ(le32(bmp, 6), 0u);
    EXPECT_EQ(le32(bmp, 10), 1078u);
    EXPECT_EQ(le32(bmp, 14), 40u);
    EXPECT_EQ(le32(bmp, 18), 10u);
    EXPECT_EQ(le32(bmp, 22), 2u);
    EXPECT_EQ(le16(bmp, 26), 1u);
    EXPECT_EQ(le16(bmp, 28), 8u);
    EXPECT_EQ(le32(bmp, 30), 0u);
    EXPECT_EQ(le32(bmp, 34), 24u);
    EXPECT_EQ(le32(bmp, 46), 256u);
    EXPECT_EQ(le32(bmp, 50), 256u);
    // Entry 200 of the ramp.
    EXPECT_EQ(bmp.substr(54 + 4 * 200, 4), std::string("\xC8\xC8\xC8\x00", 4));
    // Row 1 first, each row padded with two zero bytes.
    const std::string rows = bmp.substr(1078);
    EXPECT_EQ(rows, std::string("\x64\x65\x66\x67\x68\x69\x6A\x6B\x6C\x6D\x00\x00"
                                "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x00\x00",
                                24));
}

TEST_F(ImageDump, OneBitRowsMarkBlankPaperWhite)
{
    std::vector<unsigned char> pixels = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    printer.saveImage(pixels.data(), 10, 1, 10, 1);

    const std::string bmp = onlyFile();
    ASSERT_EQ(bmp.size(), 62u + 4u);
    EXPECT_EQ(le32(bmp, 2), 66u);
    EXPECT_EQ(le32(bmp, 10), 62u);
    EXPECT_EQ(le16(bmp, 28), 1u);
    EXPECT_EQ(le32(bmp, 34), 4u);
    EXPECT_EQ(le32(bmp, 46), 0u);
    EXPECT_EQ(bmp.substr(54, 8), std::string("\x00\x00\x00\x00\xFF\xFF\xFF\x00", 8));
    EXPECT_EQ(bmp.substr(62), std::string("\x7F\xFF\x00\x00", 4));
}

TEST_F(ImageDump, SuccessiveDumpsGetSuccessiveNumbers)
{
    const unsigned char pixel = 0;
    printer.saveImage(&pixel, 1, 1, 1, 8);
    printer.saveImage(&pixel, 1, 1, 1, 8);
    const std::vector<std::string> names = files();
    ASSERT_EQ(names.size(), 2u);
    auto sequence = [](const std::string& name) {
        const size_t end = name.rfind(".bmp");
        const size_t start = name.rfind('_', end) + 1;
        return std::atol(name.substr(start, end - start).c_str());
    };
    const long a = sequence(names[0]);
    const long b = sequence(names[1]);
    EXPECT_EQ(std::max(a, b) - std::min(a, b), 1);
}

TEST_F(ImageDump, BackgroundDumpsEqualTheirForegroundTwins)
{
    // Pages big enough for the rows to be written while the caller goes on,
    // rows padded on the right, both depths.
    const unsigned long width = 1203;
    const unsigned long height = 700;
    const unsigned long stride = 1216;
    std::vector<unsigned char> pixels(stride * height);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    for (unsigned short depth : {8, 1}) {
        SCOPED_TRACE(depth);
        printer.saveImage(pixels.data(), stride, height, width, depth);
        printer.saveImageInBackground(pixels.data(), stride, height, width, depth);
        printer.saveImageInBackground(pixels.data(), stride, height, width, depth);
        printer.finishImageDumps();
        const std::vector<std::string> names = files();
        ASSERT_EQ(names.size(), 3u);
        std::vector<std::string> contents;
        for (const std::string& name : names) {
            std::ifstream in(dir + "/" + name, std::ios::binary);
            std::ostringstream data;
            data << in.rdbuf();
            contents.push_back(data.str());
            unlink((dir + "/" + name).c_str());
        }
        const unsigned long rowSize = depth == 8 ? (width + 3) / 4 * 4 : ((width + 7) / 8 + 3) / 4 * 4;
        EXPECT_EQ(contents[0].size(), (depth == 8 ? 1078u : 62u) + rowSize * height);
        EXPECT_EQ(contents[1], contents[0]);
        EXPECT_EQ(contents[2], contents[0]);
    }
}

TEST_F(ImageDump, FinishingWaitsForTheLastRow)
{
    // The dump goes into a FIFO that is drained only after a pause: the
    // writer blocks on the full pipe, and finishing must wait for it.
    const std::string fifo = dir + "/dump.bmp";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    printer.setImagePathFmt(fifo);
    const unsigned long width = 1000;
    const unsigned long height = 600;
    std::vector<unsigned char> pixels(width * height, 7);
    printer.saveImageInBackground(pixels.data(), width, height, width, 8);

    std::atomic<size_t> drained{0};
    std::atomic<long> capacity{0};
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const int fd = open(fifo.c_str(), O_RDONLY);
        capacity = fcntl(fd, F_GETPIPE_SZ);
        char buffer[4096];
        while (drained < 1078 + width * height) {
            const ssize_t got = read(fd, buffer, sizeof(buffer));
            if (got <= 0)
                break;
            drained += static_cast<size_t>(got);
        }
        close(fd);
    });
    printer.finishImageDumps();
    const size_t drainedWhenFinished = drained;
    reader.join();
    // The writer is done once the rest fits into the pipe; one read may not
    // be counted yet.
    const size_t total = 1078 + width * height;
    ASSERT_GT(capacity, 0);
    EXPECT_EQ(drained, total);
    if (static_cast<size_t>(capacity) + 4096 >= total)
        GTEST_SKIP() << "the pipe holds the whole dump: its writer never waits";
    EXPECT_GE(drainedWhenFinished + static_cast<size_t>(capacity) + 4096, total);
    unlink(fifo.c_str());
}

TEST_F(ImageDump, UnwritableFolderIsReportedAndCounted)
{
    // A dump written in the background says so at once too, in its place
    // among the log lines.
    printer.setImagePathFmt(dir + "/missing/x_%d-%d-%d_%d_%d_%d_%ld.bmp");
    const unsigned char pixel = 0;
    for (bool background : {false, true}) {
        ::testing::internal::CaptureStderr();
        if (background)
            printer.saveImageInBackground(&pixel, 1, 1, 1, 8);
        else
            printer.saveImage(&pixel, 1, 1, 1, 8);
        const std::string err = ::testing::internal::GetCapturedStderr();
        printer.finishImageDumps();
        EXPECT_EQ(err.rfind("TavelPrinter::saveImage: unable to open the file " + dir + "/missing/x_", 0),
                  0u)
            << err;
        EXPECT_EQ(err.back(), '\n');
    }
}

}  // namespace
