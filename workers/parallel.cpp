// Worker threads for the image passes of a page.
#include "workers/parallel.h"

#include <sched.h>

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
