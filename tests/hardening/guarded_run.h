// Runs the filter as a child process under the limits a print system would
// want to rely on: a bounded address space and a bounded run time, so that
// a crash, a runaway allocation or a hang shows up as a test failure rather
// than taking the test run down. Also scans the TSPL it wrote.
#ifndef TAVEL_TESTS_HARDENING_GUARDED_RUN_H
#define TAVEL_TESTS_HARDENING_GUARDED_RUN_H

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dump_cleaner.h"

namespace tavel_test {

struct GuardedResult {
    int exitStatus = -1;  // -1 when the process did not exit normally
    int signal = 0;       // the signal that ended it, 0 if none
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct GuardLimits {
    uint64_t addressSpaceBytes = 4ull << 30;
    int seconds = 120;
    // NAME=VALUE entries added to the filter's environment.
    std::vector<std::string> environment;
};

// A started filter process whose standard output the caller reads at its
// own pace; standard error is collected in the background.
class FilterProcess {
public:
    FilterProcess(const std::vector<std::string>& args, const std::string& ppd,
                  const std::string& stdinPath, const GuardLimits& limits);
    ~FilterProcess();
    FilterProcess(const FilterProcess&) = delete;
    FilterProcess& operator=(const FilterProcess&) = delete;

    pid_t pid() const { return pid_; }
    int stdoutFd() const { return outFd_; }
    // Bytes written by the filter and not read yet.
    int pendingOutput() const;
    // Reads exactly n bytes of standard output (fewer at its end).
    std::string read(size_t n);
    // Reads standard output until text has arrived, for at most seconds;
    // false if it did not.
    bool readUntil(const std::string& text, int seconds);
    // Waits at most seconds until standard error holds text.
    bool waitForError(const std::string& text, int seconds);
    // Closes the reading end of standard output: the reader goes away.
    void closeOutput();
    // Reads standard output to its end (unless closed) and waits for the
    // process, killing it when the time limit runs out.
    GuardedResult finish();

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int seconds_;
    std::string out_;
    std::string err_;
    std::mutex errLock_;
    std::thread errReader_;
};

GuardedResult runGuarded(const std::vector<std::string>& args, const std::string& ppd,
                         const std::string& stdinPath = "", const GuardLimits& limits = {});

// Address-space limits do not work under AddressSanitizer, which reserves
// terabytes of shadow memory at start, nor under qemu-user.
bool addressSpaceLimitsWork();

// One BITMAP command as found in the filter's output.
struct BitmapPage {
    int widthBytes = 0;
    int height = 0;
    int mode = 0;
    size_t dataLength = 0;
    std::string data;
    std::string printLine;  // the PRINT line after it, without CR LF
};

// Scans TSPL for BITMAP commands. A raw (mode 0) bitmap must hold exactly
// widthBytes x height data bytes followed by CR LF and a PRINT line; a
// compressed one holds Base64 text up to CR LF. Returns false with a reason
// when the stream ends inside a bitmap or its framing is broken.
bool scanBitmaps(const std::string& tspl, std::vector<BitmapPage>* pages, std::string* problem);

}  // namespace tavel_test

#endif
