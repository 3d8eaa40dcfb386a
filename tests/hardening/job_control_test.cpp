// How the filter ends when the job is cut short from outside: the reader of
// its output goes away, the print system cancels the job with SIGTERM, or
// the page does not fit in the memory the job may use.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
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

private:
    TempDir dir_;
    DumpCleaner dumps_;
};

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

}  // namespace
}  // namespace tavel_test
