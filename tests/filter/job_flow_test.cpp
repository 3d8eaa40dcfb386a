// The life of a job: arguments, input, the preamble, the page loop with its
// single CLS, the failure exits, the recording file and the side file.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "filter_harness.h"

using namespace tavel_test;

namespace {

const std::string kPreamble(64, '\n');

const std::string kDefaultBlock =
    "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\nDENSITY 8\r\n"
    "SET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\nSET PEEL OFF\r\nSET CUTTER OFF\r\n";

size_t countOf(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST(JobArguments, TooFewArgumentsPrintUsage)
{
    const RunResult result = runFilter({"1", "user", "title", "1"}, testPpdPath());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    const std::string name = "rastertotavel";
    EXPECT_EQ(result.err, name + " v3.13.32\n\nUsage:\n\n    " + name +
                              " job_id user title copyies options [file]\n\n");
}

TEST(JobArguments, MissingRasterFileIsReported)
{
    TempDir dir;
    const RunResult result = runFilter(jobArgs("", dir.file("absent.ras")), testPpdPath());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "ERROR: Unable to open raster file - ");
}

TEST(JobArguments, WithoutPageSizeNothingIsWritten)
{
    TempDir dir;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});

    // No PPD at all: every setting takes its default and the page size is 0.
    const RunResult noPpd = runFilter(jobArgs("", raster), "");
    EXPECT_EQ(noPpd.exitStatus, 1);
    EXPECT_EQ(noPpd.out, "");
    EXPECT_NE(noPpd.err.find("ERROR: Paper size must not less than 1.0 : (0.000000, 0.000000)\n"),
              std::string::npos);

    // A PPD whose default page size it does not list.
    const std::string ppd = ppdVariant(dir, {{"*DefaultPageSize:", "*DefaultPageSize: w999h999"}});
    const RunResult unlisted = runFilter(jobArgs("", raster), ppd);
    EXPECT_EQ(unlisted.exitStatus, 1);
    EXPECT_EQ(unlisted.out, "");
}

TEST(JobInput, StandardInputAndNamedFileGiveTheSameJob)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});

    const RunResult fromFile = runFilter(jobArgs("", raster), testPpdPath());
    const RunResult fromStdin = runFilter(jobArgs(""), testPpdPath(), raster);
    ASSERT_EQ(fromFile.exitStatus, 0) << fromFile.err;
    ASSERT_EQ(fromStdin.exitStatus, 0) << fromStdin.err;
    EXPECT_EQ(fromFile.out, fromStdin.out);
    EXPECT_EQ(countOf(fromStdin.out, "PRINT 1,1\r\n"), 1u);
}

TEST(JobInput, EmptyStreamGivesOnlyThePreamble)
{
    TempDir dir;
    const std::string empty = dir.file("empty.ras");
    writeFile(empty, "");
    const RunResult result = runFilter(jobArgs("", empty), testPpdPath());
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, kPreamble);
}

TEST(JobPages, ClsOnlyAfterTheFirstSetupBlock)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("pages.ras");
    makeRaster(raster, {"fill:16x2:0", "--copies", "3", "fill:8x1:0"});

    const std::string expected = kPreamble + "SIZE 2.0 mm, 0.3 mm\r\n" + kDefaultBlock +
                                 "CLS\r\nBITMAP 0,0,2,2,0,\xFF\xFF\xFF\xFF\r\nPRINT 1,1\r\n" +
                                 "SIZE 1.0 mm, 0.1 mm\r\n" + kDefaultBlock +
                                 "BITMAP 0,0,1,1,0,\xFF\r\nPRINT 1,3\r\n";
    // Status queries need the back channel of a backend; without one (as
    // here, and under cupsfilter) not one byte changes.
    for (const char* options : {"", "QueryPrinterStatus=True"}) {
        SCOPED_TRACE(options);
        const RunResult result = runFilter(jobArgs(options, raster), testPpdPath());
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, expected);
        EXPECT_TRUE(hasLogLine(result.err, "DEBUG:PAGE: 1 1"));
        EXPECT_TRUE(hasLogLine(result.err, "DEBUG:PAGE: 2 3"));
    }
}

TEST(JobPages, ZeroHeightHeaderEndsTheJobNormally)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("pages.ras");
    makeRaster(raster, {"fill:16x2:0", "--header-height", "0", "--no-data", "fill:16x2:0",
                        "--header-height", "auto", "fill:16x2:0"});

    const RunResult result = runFilter(jobArgs("", raster), testPpdPath());
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(countOf(result.out, "PRINT 1,1\r\n"), 1u);
    EXPECT_EQ(countOf(result.out, "SIZE "), 1u);
}

struct RefusedPage {
    const char* name;
    std::vector<std::string> args;
    const char* errorLine;
};

class JobRefusesPage : public ::testing::TestWithParam<RefusedPage> {};

// A page the filter cannot print stops the job with status 1 after the
// pages before it were printed.
TEST_P(JobRefusesPage, AfterPrintingTheEarlierPages)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("pages.ras");
    std::vector<std::string> args = {"fill:16x2:0"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    makeRaster(raster, args);

    const RunResult result = runFilter(jobArgs("", raster), testPpdPath());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(countOf(result.out, "PRINT 1,1\r\n"), 1u);
    EXPECT_EQ(countOf(result.out, "SIZE "), 1u);
    EXPECT_TRUE(hasLogLine(result.err, GetParam().errorLine)) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, JobRefusesPage,
    ::testing::Values(
        RefusedPage{"OneBit", {"--bits", "1", "fill:16x2:0"},
                    "ERROR:Unsupported bits per pixel : 1 ! Requires 8 bits per pixel!"},
        RefusedPage{"SixteenBit", {"--bits", "16", "fill:16x2:0"},
                    "ERROR:Unsupported bits per pixel : 16 ! Requires 8 bits per pixel!"},
        RefusedPage{"ZeroResolution", {"--res", "0", "fill:16x2:0"},
                    "ERROR:Invalid resolution 0x0 dpi in the page header!"},
        RefusedPage{"ShortRows", {"--bpl", "8", "fill:16x2:0"},
                    "ERROR:Bytes per line 8 is less than the page width 16!"},
        RefusedPage{"Over4GiB",
                    {"--bpl", "100000", "--header-height", "100000", "--no-data", "fill:16x2:0"},
                    "ERROR:Page of 100000 x 100000 bytes is too large!"}),
    [](const ::testing::TestParamInfo<RefusedPage>& info) { return info.param.name; });

TEST(JobRecording, RecordingFileReceivesEveryByteOfStandardOutput)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("pages.ras");
    makeRaster(raster, {"fill:16x2:255", "fill:9x3:0"});
    const std::string prefix = dir.file("rec");
    const std::string ppd = ppdVariant(
        dir, {{"*tavelFilterOutputFile:", "*tavelFilterOutputFile: \"" + prefix + "\""}});

    const RunResult result = runFilter(jobArgs("RecordPrinterCommands=1", raster), ppd);
    ASSERT_EQ(result.exitStatus, 0) << result.err;

    std::vector<std::string> recordings;
    DIR* folder = opendir(dir.path().c_str());
    while (dirent* entry = readdir(folder)) {
        if (std::string(entry->d_name).rfind("rec-", 0) == 0)
            recordings.push_back(entry->d_name);
    }
    closedir(folder);
    ASSERT_EQ(recordings.size(), 1u);
    // rec-YYYYMMDDhhmmss.bin
    const std::string& name = recordings[0];
    ASSERT_EQ(name.size(), std::string("rec-20240305070809.bin").size());
    EXPECT_EQ(name.find_first_not_of("0123456789", 4), 18u);
    EXPECT_EQ(name.substr(18), ".bin");
    EXPECT_EQ(readFile(dir.file(name)), result.out);
    EXPECT_EQ(result.out.substr(0, 64), kPreamble);
    EXPECT_TRUE(hasLogLine(result.err, "DEBUG:Filter data output to: " + dir.file(name)));
}

TEST(JobRecording, OffByDefaultAndNeverThroughASymbolicLink)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});
    const std::string prefix = dir.file("rec");
    const std::string ppd = ppdVariant(
        dir, {{"*tavelFilterOutputFile:", "*tavelFilterOutputFile: \"" + prefix + "\""}});

    const RunResult off = runFilter(jobArgs("", raster), ppd);
    ASSERT_EQ(off.exitStatus, 0);
    EXPECT_TRUE(logLines(off.err, "DEBUG:Filter data output to:").empty());

    // A recording path that is a planted link is refused; the job still
    // prints to standard output and the link's target is untouched. The
    // name has a one-second resolution, so plant links for a few seconds.
    const std::string victim = dir.file("victim");
    writeFile(victim, "keep");
    const time_t now = time(nullptr);
    for (time_t t = now; t < now + 5; ++t) {
        char stamp[32];
        strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", localtime(&t));
        ASSERT_EQ(symlink(victim.c_str(), (prefix + "-" + stamp + ".bin").c_str()), 0);
    }
    const RunResult linked = runFilter(jobArgs("RecordPrinterCommands=1", raster), ppd);
    EXPECT_EQ(linked.exitStatus, 0);
    EXPECT_NE(linked.out.find("PRINT 1,1\r\n"), std::string::npos);
    EXPECT_EQ(readFile(victim), "keep");
}

TEST(JobSideFile, HoldsTheLatestPageHeader)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("pages.ras");
    // The first page's line is the longer one: nothing of it may stay.
    makeRaster(raster, {"fill:1000x20:0", "fill:24x5:0"});

    struct stat info;
    if (lstat("/tmp/xxxxx.log", &info) == 0 && !S_ISREG(info.st_mode))
        GTEST_SKIP() << "/tmp/xxxxx.log is not a regular file on this machine";
    const RunResult result = runFilter(jobArgs("", raster), testPpdPath());
    ASSERT_EQ(result.exitStatus, 0);
    EXPECT_EQ(readFile("/tmp/xxxxx.log"),
              "cupsWidth:24, cupsHeight:5, cupsBytesPerLine:24, cupsBitsPerPixel:8\n");
}

}  // namespace
