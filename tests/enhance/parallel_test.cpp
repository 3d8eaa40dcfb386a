// Worker threads of the stencil passes: bands cover the work exactly once,
// failures reach the caller, and the stencil does not depend on the number
// of workers.
#include "enhance/parallel.h"
#include "enhance/stencil_dither.h"
#include "sanitizer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

// Bytes of address space the process holds now.
std::size_t currentAddressSpace()
{
    std::ifstream status("/proc/self/statm");
    std::size_t pages = 0;
    status >> pages;
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Fixes the worker count for one test and restores the automatic choice.
class WorkerCount {
public:
    explicit WorkerCount(int n) { setStencilWorkers(n); }
    ~WorkerCount() { setStencilWorkers(0); }
};

TEST(StencilWorkers, BandsCoverEveryIndexOnce)
{
    for (int workers : {1, 2, 3, 7}) {
        const WorkerCount fixed(workers);
        for (std::size_t count : {0u, 1u, 2u, 3u, 5u, 1000u}) {
            std::vector<std::atomic<int>> visits(count);
            forEachBand(count, count, [&](std::size_t begin, std::size_t end) {
                EXPECT_LT(begin, end);
                for (std::size_t i = begin; i < end; ++i)
                    ++visits[i];
            });
            for (std::size_t i = 0; i < count; ++i)
                EXPECT_EQ(visits[i].load(), 1) << "index " << i << " of " << count << ", "
                                               << workers << " workers";
        }
    }
}

TEST(StencilWorkers, SmallImagesStayOnTheCallingThreadUnlessFixed)
{
    EXPECT_EQ(workersFor(100), 1);
    EXPECT_GE(workersFor(std::size_t{1} << 24), 1);
    EXPECT_LE(workersFor(std::size_t{1} << 24), 4);
    const WorkerCount fixed(3);
    EXPECT_EQ(workersFor(100), 3);
}

TEST(StencilWorkers, AFailureInOneBandReachesTheCallerAfterAllEnd)
{
    const WorkerCount fixed(4);
    std::atomic<int> finished{0};
    EXPECT_THROW(forEachBand(4, 4,
                             [&](std::size_t begin, std::size_t) {
                                 if (begin == 1)
                                     throw std::bad_alloc();
                                 ++finished;
                             }),
                 std::bad_alloc);
    EXPECT_EQ(finished.load(), 3);
}

// With no room for a thread's stack the system refuses the thread; the work
// is then shared among the workers that did start, and all of it is done.
// A death test gives the lowered address-space limit a process of its own.
TEST(StencilWorkersDeathTest, RefusedThreadsLeaveTheWorkToTheOthers)
{
    if (tavel_test::underAddressSanitizer())
        GTEST_SKIP() << "AddressSanitizer's reservations ignore the address-space limit";
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            const WorkerCount fixed(4);
            std::vector<int> visits(1000, 0);
            std::atomic<int> workers{0};
            // Thread stacks take 8 MiB each; 4 MiB more than the process
            // uses now leaves room for small allocations only.
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = currentAddressSpace() + (4u << 20);
            setrlimit(RLIMIT_AS, &limit);
            onEveryWorker(4, [&](int worker, int total) {
                ++workers;
                for (int i = worker; i < 1000; i += total)
                    ++visits[i];
            });
            bool once = true;
            for (int v : visits)
                once = once && v == 1;
            std::exit(once && workers.load() < 4 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Flat areas with sharp edges and a band of noise: every stage meets both
// its shortcut and its full path, and the diffusion carries error across
// the rows that the workers share out.
ZQImage mixedPage(int width, int height, std::mt19937& random)
{
    ZQImage page(width, height, ZQ_IMG_GRAY);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char v = (x / 23 + y / 17) % 3 == 0 ? 255 : 0;
            if (y > height / 2 && y < height / 2 + 20)
                v = static_cast<unsigned char>(random());
            page.data[static_cast<std::size_t>(y) * width + x] = v;
        }
    }
    return page;
}

TEST(StencilWorkers, StencilIsTheSameForEveryWorkerCount)
{
    std::mt19937 random(3);
    const int sizes[][2] = {{300, 120}, {517, 41}, {5, 60}, {2, 33}, {1000, 9}};
    for (const auto& size : sizes) {
        ZQImage page = mixedPage(size[0], size[1], random);
        std::vector<unsigned char> single[2];
        {
            const WorkerCount fixed(1);
            const ZQImage a = zqTattooDithering(page);
            const ZQImage b = zqTattooDitheringX8(page);
            single[0].assign(a.data, a.data + a.byteCount());
            single[1].assign(b.data, b.data + b.byteCount());
        }
        for (int workers : {2, 3, 7}) {
            const WorkerCount fixed(workers);
            const ZQImage a = zqTattooDithering(page);
            const ZQImage b = zqTattooDitheringX8(page);
            EXPECT_EQ(std::vector<unsigned char>(a.data, a.data + a.byteCount()), single[0])
                << "Tattoo, " << size[0] << " x " << size[1] << ", " << workers << " workers";
            EXPECT_EQ(std::vector<unsigned char>(b.data, b.data + b.byteCount()), single[1])
                << "Tattoo_X8, " << size[0] << " x " << size[1] << ", " << workers << " workers";
        }
    }
}

}  // namespace
