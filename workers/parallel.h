// Worker threads for the image passes of a page. Every pass splits its work
// so that each pixel is computed by exactly the operations, in exactly the
// order, of a single-threaded run: the output is the same byte for byte
// whatever the number of workers.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

// Workers the passes use: the processors this process may run on, at most
// four, unless setWorkerCount chose a number.
int workerCount();
// n > 0 fixes the number of workers, also for the smallest images and
// whatever a pass would otherwise judge worth sharing; 0 goes back to the
// automatic choice. For tests and benchmarks, which compare runs with
// different counts.
void setWorkerCount(int n);
// Whether setWorkerCount has fixed the number.
bool workerCountFixed();

// Workers for a pass over `pixels` pixels: in the automatic choice, small
// images stay on the calling thread, where starting threads would cost more
// than they save.
int workersFor(std::size_t pixels);

// Runs body(worker, workers) on `workers` workers at once; worker 0 runs on
// the calling thread. If the system refuses a thread, fewer workers run, and
// each learns the final count. An exception thrown by a worker (a failed
// allocation) is rethrown here once every worker has ended.
void onEveryWorker(int workers, const std::function<void(int worker, int workers)>& body);

// Runs body(begin, end) on consecutive bands of [0, count) that together
// cover it, one band per worker of workersFor(pixels).
void forEachBand(std::size_t count, std::size_t pixels,
                 const std::function<void(std::size_t begin, std::size_t end)>& body);

// How far a row of a wavefront pass has got, for the rows that wait on it:
// its worker publishes a count as it goes, and a reader waits until the
// count reaches what it needs. The release and acquire make everything the
// row wrote before publishing visible to the reader. A reader spins a short
// while, as the next report is usually moments away, and then sleeps until
// woken, so that a worker whose writer has lost its processor to another
// process does not keep one busy.
class alignas(64) RowProgress {
public:
    void publish(int count);
    void waitFor(int count) const;

private:
    std::atomic<int> done_{0};
    mutable std::atomic<int> sleepers_{0};
};
