// BMP page dumps: header fields, colour tables, bottom-up rows and padding;
// names that never overwrite, the bound and the free-space rule.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

#include "printer/image_dump.h"
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

TEST_F(ImageDump, PolicyFolderAndModeTakeTheDump)
{
    // The format names another folder; the policy's folder wins and the
    // file keeps the format's name, created with the policy's mode.
    printer.setImagePathFmt("/nonexistent-folder/dump_%d-%d-%d_%d_%d_%d_%ld.bmp");
    ImageDumpPolicy policy;
    policy.folder = dir;
    policy.fileMode = 0600;
    printer.setImageDumpPolicy(policy);
    const unsigned char pixel = 0;
    printer.saveImage(&pixel, 1, 1, 1, 8);
    const std::vector<std::string> names = files();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("dump_", 0), 0u) << names[0];
    struct stat info;
    ASSERT_EQ(stat((dir + "/" + names[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
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

TEST_F(ImageDump, TakenNamesAreNeverWritten)
{
    // Two jobs dump in the same second under the same name, which a FIFO
    // (writing into it would hang the job) and a link to another file
    // already hold: each dump gets a variant of its own, and what was
    // there is left as it was.
    const std::string name = dir + "/origin_0";
    const std::string pid = std::to_string(getpid());
    ASSERT_EQ(mkfifo((name + ".bmp").c_str(), 0600), 0);
    std::ofstream(dir + "/victim") << "keep";
    ASSERT_EQ(symlink((dir + "/victim").c_str(), (name + "-" + pid + ".bmp").c_str()), 0);

    RecordingPrinter second;
    printer.setImagePathFmt(name + ".bmp");
    second.setImagePathFmt(name + ".bmp");
    const std::vector<unsigned char> first(40 * 30, 1);
    const std::vector<unsigned char> other(40 * 30, 2);
    printer.saveImageInBackground(first.data(), 40, 30, 40, 8);
    second.saveImage(other.data(), 40, 30, 40, 8);
    printer.finishImageDumps();

    auto contents = [&](const std::string& file) {
        std::ifstream in(dir + "/" + file, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        return data.str();
    };
    const std::vector<std::string> expected = {"origin_0-" + pid + "-2.bmp", "origin_0-" + pid + "-3.bmp",
                                               "origin_0-" + pid + ".bmp", "origin_0.bmp", "victim"};
    ASSERT_EQ(files(), expected);
    EXPECT_EQ(contents("victim"), "keep");
    struct stat info;
    ASSERT_EQ(lstat((name + ".bmp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    const std::string a = contents(expected[0]);
    const std::string b = contents(expected[1]);
    ASSERT_EQ(a.size(), 1078u + 40 * 30);
    ASSERT_EQ(b.size(), a.size());
    EXPECT_EQ(a.substr(1078), std::string(40 * 30, '\x01'));
    EXPECT_EQ(b.substr(1078), std::string(40 * 30, '\x02'));
}

// The file system numbers that the free-space test hands to the dump code.
DumpFolderSpace sGivenSpace;
std::string sAskedFolder;

bool givenSpace(const char* folder, DumpFolderSpace* space)
{
    sAskedFolder = folder;
    *space = sGivenSpace;
    return true;
}

TEST_F(ImageDump, StaysWithinTheBoundRemovingTheOldestIdleDumps)
{
    // Dumps of 100 x 100 pixels take 11078 bytes; three fit the bound.
    const uint64_t dumpSize = 1078 + 100 * 100;
    ImageDumpPolicy policy;
    policy.maxTotalBytes = 3 * dumpSize;
    printer.setImageDumpPolicy(policy);
    printer.setImagePathFmt(dir + "/origin_%d-%d-%d_%d_%d_%d_%ld.bmp");
    const std::vector<unsigned char> page(100 * 100, 9);

    // Older than anything the printer writes: a dump that another job is
    // still writing (it holds the lock), an idle one, and files that are no
    // dumps of this printer (another name, a link to a dump-sized file).
    auto oldFile = [&](const std::string& name, int year) {
        std::ofstream(dir + "/" + name) << std::string(dumpSize, 'x');
        const time_t when = static_cast<time_t>(year - 1970) * 31556952;
        const timespec times[2] = {{when, 0}, {when, 0}};
        utimensat(AT_FDCWD, (dir + "/" + name).c_str(), times, 0);
    };
    oldFile("dithered_2020-1-1_0_0_0_9.bmp", 2020);
    oldFile("origin_2021-1-1_0_0_0_8.bmp", 2021);
    oldFile("origin_notes.bmp", 2019);
    oldFile("target", 2019);
    ASSERT_EQ(symlink("target", (dir + "/prnimg_2019-1-1_0_0_0_7.bmp").c_str()), 0);
    const int busy = open((dir + "/dithered_2020-1-1_0_0_0_9.bmp").c_str(), O_RDONLY);
    ASSERT_EQ(flock(busy, LOCK_EX), 0);

    auto dumps = [&] {
        std::vector<std::string> names;
        for (const std::string& name : files())
            if (isPageDumpName(name.c_str()))
                names.push_back(name);
        return names;
    };
    std::vector<std::string> written;
    auto dumpPage = [&] {
        const std::vector<std::string> before = files();
        printer.saveImage(page.data(), 100, 100, 100, 8);
        for (const std::string& name : files())
            if (!std::binary_search(before.begin(), before.end(), name))
                written.push_back(name);
    };
    dumpPage();  // fits beside the two old dumps
    dumpPage();  // the idle old dump goes, the busy one stays
    dumpPage();  // the first new dump goes
    ASSERT_EQ(written.size(), 3u);
    std::vector<std::string> expected = {"dithered_2020-1-1_0_0_0_9.bmp", written[1], written[2],
                                         "prnimg_2019-1-1_0_0_0_7.bmp"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dumps(), expected);
    close(busy);
    dumpPage();  // the formerly busy dump is the oldest
    ASSERT_EQ(written.size(), 4u);
    expected = {written[1], written[2], written[3], "prnimg_2019-1-1_0_0_0_7.bmp"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dumps(), expected);
    for (const char* name : {"origin_notes.bmp", "target"}) {
        struct stat info;
        EXPECT_EQ(stat((dir + "/" + name).c_str(), &info), 0) << name;
    }

    // A dump larger than the bound is skipped with one line; nothing goes.
    policy.maxTotalBytes = dumpSize - 1;
    printer.setImageDumpPolicy(policy);
    ::testing::internal::CaptureStderr();
    printer.saveImage(page.data(), 100, 100, 100, 8);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(dumps(), expected);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("WARN:saveImage: page dump " + dir + "/origin_"), std::string::npos) << err;
    EXPECT_NE(err.find(" skipped: the page dumps would take more than 11077 bytes"), std::string::npos);
}

TEST_F(ImageDump, KeepsATenthOfTheFileSystemFree)
{
    // A 1 MB file system: a dump of 11078 bytes may leave exactly 100000
    // bytes free, not one byte less.
    const uint64_t dumpSize = 1078 + 100 * 100;
    ImageDumpPolicy policy;
    policy.probeSpace = givenSpace;
    printer.setImageDumpPolicy(policy);
    printer.setImagePathFmt(dir + "/origin_%d-%d-%d_%d_%d_%d_%ld.bmp");
    const std::vector<unsigned char> page(100 * 100, 9);
    sGivenSpace.totalBytes = 1000000;

    sGivenSpace.freeBytes = dumpSize + 100000;
    printer.saveImage(page.data(), 100, 100, 100, 8);
    EXPECT_EQ(sAskedFolder, dir);
    EXPECT_EQ(files().size(), 1u);

    for (uint64_t freeBytes : {dumpSize + 99999, dumpSize - 1}) {
        sGivenSpace.freeBytes = freeBytes;
        ::testing::internal::CaptureStderr();
        printer.saveImage(page.data(), 100, 100, 100, 8);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(files().size(), 1u);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(" skipped: the file system would keep less than 10% free"), std::string::npos)
            << err;
    }

    // Switched off, nothing is written or said.
    policy.enabled = false;
    sGivenSpace.freeBytes = sGivenSpace.totalBytes;
    printer.setImageDumpPolicy(policy);
    ::testing::internal::CaptureStderr();
    printer.saveImage(page.data(), 100, 100, 100, 8);
    printer.saveImageInBackground(page.data(), 100, 100, 100, 8);
    printer.finishImageDumps();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(files().size(), 1u);
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
