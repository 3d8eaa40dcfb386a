// Fixes the number of worker threads for as long as it lives, and then goes
// back to the automatic choice, also when an assertion ends the test early.
#ifndef TAVEL_TESTS_COMMON_WORKER_COUNT_H
#define TAVEL_TESTS_COMMON_WORKER_COUNT_H

#include "workers/parallel.h"

namespace tavel_test {

class WorkerCount {
public:
    explicit WorkerCount(int n) { setWorkerCount(n); }
    ~WorkerCount() { setWorkerCount(0); }
    WorkerCount(const WorkerCount&) = delete;
    WorkerCount& operator=(const WorkerCount&) = delete;
};

}  // namespace tavel_test

#endif
