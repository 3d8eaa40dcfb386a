// Worker threads of the image passes: bands cover the work exactly once,
// a refused thread leaves its share to the others, and failures reach the
// caller.
#include "workers/parallel.h"
#include "sanitizer.h"
#include "worker_count.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using tavel_test::WorkerCount;

// Bytes of address space the process holds now.
std::size_t currentAddressSpace()
{
    std::ifstream status("/proc/self/statm");
    std::size_t pages = 0;
    status >> pages;
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

TEST(Workers, BandsCoverEveryIndexOnce)
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

TEST(Workers, SmallImagesStayOnTheCallingThreadUnlessFixed)
{
    EXPECT_EQ(workersFor(100), 1);
    EXPECT_GE(workersFor(std::size_t{1} << 24), 1);
    EXPECT_LE(workersFor(std::size_t{1} << 24), 4);
    const WorkerCount fixed(3);
    EXPECT_EQ(workersFor(100), 3);
}

TEST(Workers, AFailureInOneBandReachesTheCallerAfterAllEnd)
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
TEST(WorkersDeathTest, RefusedThreadsLeaveTheWorkToTheOthers)
{
    if (!tavel_test::addressSpaceLimitsBind())
        GTEST_SKIP() << "address-space limits do not bind here (AddressSanitizer, qemu-user)";
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

// A reader that has waited long enough to sleep is woken by the report it
// waits for, and not by an earlier, smaller one. The reader is kept waiting
// by a report it does not get until the main thread sees it asleep.
TEST(Workers, SleepingReaderWakesAtTheCountItNeeds)
{
    RowProgress progress;
    progress.publish(3);
    progress.waitFor(2);  // already there: returns at once
    std::atomic<bool> woken{false};
    std::thread reader([&]() {
        progress.waitFor(10);
        woken = true;
    });
    // Reports below the count leave the reader waiting, asleep or not.
    for (int count = 4; count < 10; ++count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        progress.publish(count);
        EXPECT_FALSE(woken.load()) << "woken at " << count;
    }
    progress.publish(10);
    reader.join();
    EXPECT_TRUE(woken.load());
}

}  // namespace
