// A failed allocation anywhere in a job: each large allocation of the job
// (page buffer, work buffer, images, stencil passes, compression buffers) is
// made to fail in turn by a preloaded allocator, until a run meets no
// failure. Every run must either print exactly what the job prints without
// the failure, or stop with status 1 and an ERROR: line after whole, right
// labels only. Under the sanitizers this also catches a dump thread reading
// a page that the failure freed, and a halftone result read past its end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "outcome.h"
#include "sanitizer.h"

namespace tavel_test {
namespace {

// Far above the large allocations of any of the jobs below; reaching it
// means the allocator never ran out of requests to fail.
constexpr int kMaxRequests = 120;

struct InjectedJob {
    const char* name;
    std::vector<std::string> pages;  // rasterwrite arguments
    std::string options;
    size_t labels;
};

const std::vector<InjectedJob> kJobs = {
    {"A4Ordered", {"--res", "300", "rect:2480x3508:200,300,1500,2000:140"}, "HalftoneType=Ordered", 1},
    {"A4Tattoo", {"--res", "300", "rect:2480x3508:200,300,1500,2000:140"}, "HalftoneType=Tattoo", 1},
    {"TwoLabelsZip",
     {"rect:812x1218:101,203,203,101:255", "rect:812x1218:300,500,200,300:180"},
     "ZIP=True HalftoneType=FloydSteinberg", 2},
};

void PrintTo(const InjectedJob& job, std::ostream* out) { *out << job.name; }

std::vector<std::string> failingEnvironment(int request)
{
    std::vector<std::string> environment = {
        std::string("LD_PRELOAD=") + TAVEL_FAILING_ALLOC,
        "TAVEL_FAIL_ALLOC_AT=" + std::to_string(request),
        // The page dumps lag behind the page, so that a failure ends the
        // page while they still read it.
        "TAVEL_SLOW_WRITEV_MS=5",
    };
    // AddressSanitizer wants to come first among the libraries; here the
    // failing allocator must, and it hands on to AddressSanitizer's.
    if (underAddressSanitizer()) {
        const char* options = std::getenv("ASAN_OPTIONS");
        environment.push_back(std::string("ASAN_OPTIONS=") + (options ? options : "") +
                              ":verify_asan_link_order=0");
    }
    return environment;
}

// The bytes after the last PRINT line may be set-up commands of the page
// that failed, never a part of its bitmap.
void expectWholeLabelsOnly(const std::string& out)
{
    const size_t lastPrint = out.rfind("PRINT ");
    const size_t tail = lastPrint == std::string::npos ? 0 : lastPrint;
    EXPECT_EQ(out.find("BITMAP", tail), std::string::npos) << "a bitmap was started but not ended";
}

class AllocationFailure : public ::testing::TestWithParam<InjectedJob> {};

TEST_P(AllocationFailure, PrintsAsWithoutItOrStopsWithAnError)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("job.ras");
    makeRaster(raster, GetParam().pages);
    const std::vector<std::string> args = jobArgs(GetParam().options, raster);

    const GuardedResult good = runGuarded(args, testPpdPath());
    ASSERT_EQ(good.exitStatus, 0) << good.err.substr(0, 4000);
    ASSERT_EQ(expectCleanEnd(good).size(), GetParam().labels);

    int request = 1;
    for (; request <= kMaxRequests; ++request) {
        GuardLimits limits;
        limits.environment = failingEnvironment(request);
        const GuardedResult run = runGuarded(args, testPpdPath(), "", limits);
        SCOPED_TRACE("failing large allocation " + std::to_string(request));
        EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err.substr(0, 8000);
        EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err.substr(0, 8000);
        expectCleanEnd(run);
        const bool failed = run.err.find("failing-alloc: ") != std::string::npos;
        if (run.exitStatus == 0) {
            EXPECT_EQ(run.out, good.out) << "status 0 with other output";
        } else {
            EXPECT_TRUE(failed) << "the job failed without an allocation failing\n" << run.err;
            EXPECT_EQ(good.out.compare(0, run.out.size(), run.out), 0)
                << "output that the job without the failure does not print";
            expectWholeLabelsOnly(run.out);
        }
        if (::testing::Test::HasFailure() || !failed)
            break;
    }
    EXPECT_LE(request, kMaxRequests) << "every request up to the bound failed";
}

INSTANTIATE_TEST_SUITE_P(Hardening, AllocationFailure, ::testing::ValuesIn(kJobs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavel_test
