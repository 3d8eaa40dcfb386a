// How the filter ends when the job is cut short from outside: the reader of
// its output goes away, the print system cancels the job with SIGTERM, or
// the page does not fit in the memory the job may use; and how it paces a
// job whose pages arrive one by one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "outcome.h"

namespace tavel_test {
namespace {

// Three pages of 2000 x 2000 dots: each BITMAP carries 250 x 2000 =
// 500 000 bytes, many times what a pipe holds.
const std::vector<std::string> kBigJob = {"fill:2000x2000:200", "fill:2000x2000:200",
                                          "fill:2000x2000:200"};
constexpr int kPipeCapacity = 65536;

// Waits until the filter has filled its output pipe, which can only happen
// inside the first page's bitmap data.
bool waitForFullPipe(const FilterProcess& filter)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        if (filter.pendingOutput() >= kPipeCapacity - 4096)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class HardeningJobControl : public ::testing::Test {
protected:
    std::string raster(const std::vector<std::string>& pages)
    {
        const std::string path = dir_.file("job.ras");
        makeRaster(path, pages);
        return path;
    }

    // A filter reading a FIFO, the test at its writing end: the pages of a
    // job reach the filter when the test sends them.
    struct StreamedJob {
        std::string raster;
        std::unique_ptr<FilterProcess> filter;
        int input = -1;

        void send(size_t from, size_t to)
        {
            ASSERT_LE(to, raster.size());
            for (size_t at = from; at < to;) {
                const ssize_t written = write(input, raster.data() + at, to - at);
                ASSERT_GT(written, 0) << "the filter stopped reading";
                at += static_cast<size_t>(written);
            }
        }
        GuardedResult finish()
        {
            close(input);
            return filter->finish();
        }
    };

    void stream(const std::vector<std::string>& pages, StreamedJob* job)
    {
        job->raster = readFile(raster(pages));
        const std::string fifo = dir_.file("input" + std::to_string(++streams_));
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // The filter may stop reading before the test stops writing.
        signal(SIGPIPE, SIG_IGN);
        job->filter.reset(new FilterProcess(jobArgs(""), testPpdPath(), fifo, GuardLimits{}));
        job->input = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(job->input, 0);
    }

private:
    TempDir dir_;
    DumpCleaner dumps_;
    int streams_ = 0;
};

// Two small labels; a page of the raster is its sync word, a header of 1796
// bytes and 203 x 101 pixel bytes.
const std::vector<std::string> kTwoLabels = {"fill:203x101:200", "fill:203x101:200"};
constexpr size_t kSyncWord = 4;
constexpr size_t kHeader = 1796;
constexpr size_t kFirstPageEnd = kSyncWord + kHeader + 203 * 101;
// Bounds of the waits, far above what they take.
constexpr int kWaitSeconds = 60;

TEST_F(HardeningJobControl, EachLabelLeavesBeforeTheNextPageArrives)
{
    StreamedJob job;
    ASSERT_NO_FATAL_FAILURE(stream(kTwoLabels, &job));
    ASSERT_EQ(job.raster.size(), 2 * kFirstPageEnd - kSyncWord);
    ASSERT_NO_FATAL_FAILURE(job.send(0, kFirstPageEnd));
    EXPECT_TRUE(job.filter->readUntil("PRINT 1,1\r\n", kWaitSeconds))
        << "the first label stayed in the filter while it waited for the second page";
    ASSERT_NO_FATAL_FAILURE(job.send(kFirstPageEnd, job.raster.size()));
    const GuardedResult run = job.finish();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(expectCleanEnd(run).size(), 2u);
}

// SIGTERM while the filter waits for the first page's header, or for its
// pixels: either way the page arrives whole afterwards, and must not print.
TEST_F(HardeningJobControl, CancelWhileWaitingForAPageStopsBeforeIt)
{
    struct Case {
        const char* name;
        size_t sentBefore;       // raster bytes sent before the cancel
        const char* readyLine;   // logged once the filter waits for the rest
    };
    for (const Case& c : {Case{"inside the header", kSyncWord + kHeader / 2,
                               "DEBUG:settings->halftoneType:"},
                          Case{"before the pixels", kSyncWord + kHeader, "DEBUG:PAGE: 1 1"}}) {
        SCOPED_TRACE(c.name);
        StreamedJob job;
        ASSERT_NO_FATAL_FAILURE(stream(kTwoLabels, &job));
        ASSERT_NO_FATAL_FAILURE(job.send(0, c.sentBefore));
        ASSERT_TRUE(job.filter->waitForError(c.readyLine, kWaitSeconds));
        ASSERT_EQ(kill(job.filter->pid(), SIGTERM), 0);
        ASSERT_NO_FATAL_FAILURE(job.send(c.sentBefore, kFirstPageEnd));
        const GuardedResult run = job.finish();
        EXPECT_TRUE(expectOrderlyEnd(run).empty()) << "a page printed after the cancel";
        EXPECT_EQ(run.out.find("BITMAP"), std::string::npos);
    }
}

TEST_F(HardeningJobControl, ReaderGoingAwayEndsTheJobWithStatusOne)
{
    FilterProcess filter(jobArgs("", raster(kBigJob)), testPpdPath(), "", GuardLimits{});
    EXPECT_EQ(filter.read(preamble().size()), preamble());
    filter.closeOutput();
    const GuardedResult run = filter.finish();
    EXPECT_FALSE(run.timedOut) << "the filter hung after its reader went away";
    EXPECT_EQ(run.signal, 0) << "the filter was killed by signal " << run.signal;
    EXPECT_EQ(run.exitStatus, 1);
}

TEST_F(HardeningJobControl, CancelFinishesTheCurrentPageThenStops)
{
    FilterProcess filter(jobArgs("", raster(kBigJob)), testPpdPath(), "", GuardLimits{});
    ASSERT_TRUE(waitForFullPipe(filter)) << "the filter never filled its output pipe";
    ASSERT_EQ(kill(filter.pid(), SIGTERM), 0);
    const GuardedResult run = filter.finish();

    // The printer must not be left inside a bitmap: the page being sent
    // is completed and printed, and nothing after it is started. A cancel
    // is no failure, so no ERROR: line is asked for.
    const std::vector<BitmapPage> pages = expectOrderlyEnd(run);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].widthBytes, 250);
    EXPECT_EQ(pages[0].height, 2000);
    EXPECT_EQ(pages[0].dataLength, 500000u);
    const std::string end = "PRINT 1,1\r\n";
    ASSERT_GE(run.out.size(), end.size());
    EXPECT_EQ(run.out.substr(run.out.size() - end.size()), end);
}

// 60000 x 60000 bytes is below the 4 GiB a page may have, but not with the
// job held to 2 GiB of address space: the filter must say so and fail,
// rather than be killed.
TEST_F(HardeningJobControl, PageBeyondTheMemoryLimitFailsWithAMessage)
{
    if (!addressSpaceLimitsWork())
        GTEST_SKIP() << "address-space limits cannot be set under AddressSanitizer";
    const std::string job = raster({"--header-width", "60000", "--header-height", "60000",
                                    "--bpl", "60000", "--no-data", "fill:8x8:0"});
    GuardLimits limits;
    limits.addressSpaceBytes = 2ull << 30;
    const GuardedResult run = runGuarded(jobArgs("", job), testPpdPath(), "", limits);
    expectCleanEnd(run);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_FALSE(logLines(run.err, "ERROR:").empty()) << "no ERROR: line";
}

// Two identical A4 pages under an address-space limit that the first page
// fits: the memory it keeps for the second must count as available, and the
// second page prints as the first did.
TEST_F(HardeningJobControl, SecondPageThatTheFirstProvedFitsAlsoPrints)
{
    if (!addressSpaceLimitsWork())
        GTEST_SKIP() << "address-space limits cannot be set under AddressSanitizer";
    const std::string page = "rect:2480x3508:200,300,1500,2000:140";
    const std::string job = raster({"--res", "300", page, page});
    const struct {
        const char* halftone;
        uint64_t limitKib;
    } cases[] = {{"Tattoo", 200000}, {"FloydSteinberg", 90000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.halftone);
        GuardLimits limits;
        limits.addressSpaceBytes = c.limitKib * 1024;
        const GuardedResult run = runGuarded(
            jobArgs(std::string("HalftoneType=") + c.halftone, job), testPpdPath(), "", limits);
        const std::vector<BitmapPage> pages = expectCleanEnd(run);
        EXPECT_EQ(run.exitStatus, 0) << run.err.substr(run.err.size() > 3000 ? run.err.size() - 3000 : 0);
        ASSERT_EQ(pages.size(), 2u);
        EXPECT_TRUE(pages[0].data == pages[1].data) << "the second page differs from the first";
    }
}

}  // namespace
}  // namespace tavel_test
