// Where the filter's page buffers live: for the halftone types the first
// stretch of the heap is marked for 2 MiB pages before the first page is
// read; the stencil types keep plain pages. Seen from outside, in the
// running filter's memory map, while it waits for its raster.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "filter_harness.h"
#include "sanitizer.h"

using namespace tavel_test;

namespace {

// Whether the process is blocked reading its standard input.
bool waitingOnStandardInput(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string fd;
    file >> number >> fd;
    return number == SYS_read && fd == "0x0";
}

// Whether a [heap] mapping of the process is marked for 2 MiB pages. In
// smaps every mapping starts with a line "start-end perms ... [name]" and
// ends with its "VmFlags:" line, where "hg" is the mark.
bool heapMarkedForHugePages(pid_t pid)
{
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    bool inHeap = false;
    while (std::getline(smaps, line)) {
        const std::string first = line.substr(0, line.find(' '));
        if (first.find('-') != std::string::npos &&
            first.find_first_not_of("0123456789abcdef-") == std::string::npos) {
            inHeap = line.size() >= 6 && line.compare(line.size() - 6, 6, "[heap]") == 0;
        } else if (inHeap && line.rfind("VmFlags:", 0) == 0 && (line + " ").find(" hg ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Starts the filter with the options on an empty pipe, waits until it
// reads the pipe, and says whether its heap is marked by then.
bool heapMarkedBeforeTheRaster(const std::string& options)
{
    int input[2];
    EXPECT_EQ(pipe(input), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], 0);
        close(input[0]);
        close(input[1]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execFilterProcess(jobArgs(options), testPpdPath());
    }
    close(input[0]);
    bool marked = false;
    for (int tries = 0; tries < 500; ++tries) {
        if (waitingOnStandardInput(pid)) {
            marked = heapMarkedForHugePages(pid);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(waitingOnStandardInput(pid)) << "the filter never waited for its raster";
    // No raster: the filter ends the job as an empty one.
    close(input[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    return marked;
}

TEST(PageMemory, HalftoneTypesTakeTheHeapInHugePages)
{
    if (underAddressSanitizer())
        GTEST_SKIP() << "the sanitizer's allocator has no [heap]";
    if (access("/sys/kernel/mm/transparent_hugepage/enabled", F_OK) != 0)
        GTEST_SKIP() << "this kernel has no 2 MiB pages on request";
    EXPECT_TRUE(heapMarkedBeforeTheRaster("HalftoneType=Burkes"));
    EXPECT_TRUE(heapMarkedBeforeTheRaster("HalftoneType=None"));
    EXPECT_FALSE(heapMarkedBeforeTheRaster("HalftoneType=Tattoo"));
    EXPECT_FALSE(heapMarkedBeforeTheRaster("HalftoneType=Tattoo_X8"));
}

}  // namespace
