// Worker threads for the image passes of a page.
#include "workers/parallel.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// More workers than this gain little on one page and cost start-up time.
const int kMaxWorkers = 4;
// Below this many pixels a pass runs on the calling thread alone.
const std::size_t kMinPixelsForWorkers = 1 << 16;
// Checks of a row's progress before its reader goes to sleep.
const int kSpinsBeforeSleep = 1000;

// Lets the other thread of the core, on processors whose cores run two,
// have the core while this one spins.
inline void pauseForSibling()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The count of an atomic int as the futex word the kernel compares and
// sleeps on; std::atomic<int> holds just the int.
int* futexWord(const std::atomic<int>& value)
{
    static_assert(sizeof(std::atomic<int>) == sizeof(int), "atomic int is a plain int");
    return reinterpret_cast<int*>(const_cast<std::atomic<int>*>(&value));
}

std::atomic<int> sChosenWorkers{0};

int availableProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0)
        return CPU_COUNT(&set);
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : static_cast<int>(hardware);
}

}  // namespace

int workerCount()
{
    const int chosen = sChosenWorkers.load();
    if (chosen > 0)
        return chosen;
    static const int automatic = std::max(1, std::min(kMaxWorkers, availableProcessors()));
    return automatic;
}

void setWorkerCount(int n)
{
    sChosenWorkers.store(n > 0 ? n : 0);
}

bool workerCountFixed()
{
    return sChosenWorkers.load() > 0;
}

int workersFor(std::size_t pixels)
{
    const int chosen = sChosenWorkers.load();
    if (chosen > 0)
        return chosen;
    return pixels < kMinPixelsForWorkers ? 1 : workerCount();
}

void onEveryWorker(int wanted, const std::function<void(int worker, int workers)>& body)
{
    std::exception_ptr failure;
    std::mutex failureLock;
    auto run = [&](int worker, int workers) {
        try {
            body(worker, workers);
        } catch (...) {
            std::lock_guard<std::mutex> hold(failureLock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    // The threads learn the final count only once all have been started:
    // when the system refuses a thread, the work is shared among those there
    // are, since a worker may wait for another's progress.
    std::promise<int> countKnown;
    std::shared_future<int> count = countKnown.get_future().share();
    std::vector<std::thread> threads;
    threads.reserve(wanted > 1 ? wanted - 1 : 0);
    for (int worker = 1; worker < wanted; ++worker) {
        try {
            threads.emplace_back([&run, count, worker]() {
                const int workers = count.get();
                if (worker < workers)
                    run(worker, workers);
            });
        } catch (...) {
            // No thread (no stack, no memory for its state): the threads
            // already started must still be told the count and joined.
            break;
        }
    }
    const int workers = static_cast<int>(threads.size()) + 1;
    countKnown.set_value(workers);
    run(0, workers);
    for (std::thread& thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
}

void forEachBand(std::size_t count, std::size_t pixels,
                 const std::function<void(std::size_t begin, std::size_t end)>& body)
{
    if (count == 0)
        return;
    onEveryWorker(workersFor(pixels), [&](int worker, int workers) {
        const std::size_t begin = count / workers * worker + std::min<std::size_t>(worker, count % workers);
        const std::size_t end = begin + count / workers + (static_cast<std::size_t>(worker) < count % workers ? 1 : 0);
        if (end > begin)
            body(begin, end);
    });
}

// Publishing and reading work like two flags that each side sets before it
// looks at the other's: a sleeper registers and then reads the count, the
// writer stores the count and then looks for sleepers, so either the sleeper
// sees the new count or the writer sees the sleeper and wakes it. The kernel
// puts the sleeper to sleep only while the count is still the one it read.
void RowProgress::publish(int count)
{
    done_.store(count, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0)
        syscall(SYS_futex, futexWord(done_), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}

void RowProgress::waitFor(int count) const
{
    for (int spins = 0; spins < kSpinsBeforeSleep; ++spins) {
        if (done_.load(std::memory_order_acquire) >= count)
            return;
        pauseForSibling();
    }
    while (true) {
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        const int seen = done_.load(std::memory_order_seq_cst);
        if (seen < count)
            syscall(SYS_futex, futexWord(done_), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
        if (done_.load(std::memory_order_acquire) >= count)
            return;
    }
}
