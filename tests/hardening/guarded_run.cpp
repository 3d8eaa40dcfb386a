// Guarded filter runs and the scanner of their TSPL output.
#include "sanitizer.h"
#include "guarded_run.h"
#include "filter_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tavel_test {

namespace {

void collect(int fd, std::string* into, std::mutex* lock)
{
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> hold(*lock);
        into->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
}

[[noreturn]] void execFilter(const std::vector<std::string>& args, const std::string& ppd,
                             const std::string& stdinPath, const GuardLimits& limits, int outFd,
                             int errFd)
{
    const int in = open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    // The test runner may ignore SIGPIPE; a print system starts its filters
    // with the default actions.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const std::string& entry : limits.environment)
        putenv(const_cast<char*>(entry.c_str()));
    if (addressSpaceLimitsWork()) {
        // A 32-bit rlim_t cannot hold 4 GiB: the whole address space is then
        // the limit (RLIM_INFINITY), never a wrapped, tiny one.
        const rlim_t bytes = static_cast<rlim_t>(
            std::min<uint64_t>(limits.addressSpaceBytes, static_cast<uint64_t>(RLIM_INFINITY)));
        const rlimit memory = {bytes, bytes};
        setrlimit(RLIMIT_AS, &memory);
    }
    // A second guard in case the test process itself dies meanwhile.
    alarm(static_cast<unsigned>(limits.seconds) + 30);
    execFilterProcess(args, ppd);
}

}  // namespace

bool addressSpaceLimitsWork() { return addressSpaceLimitsBind(); }

FilterProcess::FilterProcess(const std::vector<std::string>& args, const std::string& ppd,
                             const std::string& stdinPath, const GuardLimits& limits)
    : seconds_(limits.seconds)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // The default size, so that "the pipe is full" means the same amount
    // of output everywhere.
    fcntl(outPipe[0], F_SETPIPE_SZ, 65536);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0)
        execFilter(args, ppd, stdinPath, limits, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    errReader_ = std::thread(collect, errFd_, &err_, &errLock_);
}

FilterProcess::~FilterProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errReader_.joinable())
        errReader_.join();
}

int FilterProcess::pendingOutput() const
{
    int pending = 0;
    if (outFd_ < 0 || ioctl(outFd_, FIONREAD, &pending) != 0)
        return 0;
    return pending;
}

std::string FilterProcess::read(size_t n)
{
    std::string data;
    char chunk[65536];
    while (data.size() < n) {
        const size_t want = std::min(sizeof(chunk), n - data.size());
        const ssize_t got = ::read(outFd_, chunk, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        data.append(chunk, static_cast<size_t>(got));
    }
    out_ += data;
    return data;
}

bool FilterProcess::readUntil(const std::string& text, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (out_.find(text) == std::string::npos) {
        if (outFd_ < 0 || std::chrono::steady_clock::now() > deadline)
            return false;
        pollfd wait = {outFd_, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0)
            continue;
        char chunk[65536];
        const ssize_t got = ::read(outFd_, chunk, sizeof(chunk));
        if (got <= 0)
            return false;
        out_.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

bool FilterProcess::waitForError(const std::string& text, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(errLock_);
            if (err_.find(text) != std::string::npos)
                return true;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void FilterProcess::closeOutput()
{
    if (outFd_ >= 0)
        close(outFd_);
    outFd_ = -1;
}

GuardedResult FilterProcess::finish()
{
    GuardedResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
    int status = 0;
    for (;;) {
        if (outFd_ >= 0) {
            pollfd wait = {outFd_, POLLIN, 0};
            if (poll(&wait, 1, 200) > 0) {
                char chunk[65536];
                const ssize_t got = ::read(outFd_, chunk, sizeof(chunk));
                if (got > 0) {
                    out_.append(chunk, static_cast<size_t>(got));
                    continue;
                }
                closeOutput();
            }
        } else {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
    }
    pid_ = -1;
    closeOutput();
    errReader_.join();
    result.out = out_;
    result.err = err_;
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

GuardedResult runGuarded(const std::vector<std::string>& args, const std::string& ppd,
                         const std::string& stdinPath, const GuardLimits& limits)
{
    FilterProcess process(args, ppd, stdinPath, limits);
    return process.finish();
}

namespace {

// Parses "a,b,c,d,e," at pos; returns the position after the last comma.
bool parseHead(const std::string& tspl, size_t pos, int values[5], size_t* dataStart)
{
    for (int i = 0; i < 5; ++i) {
        const size_t comma = tspl.find(',', pos);
        if (comma == std::string::npos || comma == pos || comma - pos > 10)
            return false;
        for (size_t k = pos; k < comma; ++k) {
            if (tspl[k] < '0' || tspl[k] > '9')
                return false;
        }
        values[i] = std::atoi(tspl.substr(pos, comma - pos).c_str());
        pos = comma + 1;
    }
    *dataStart = pos;
    return true;
}

}  // namespace

bool scanBitmaps(const std::string& tspl, std::vector<BitmapPage>* pages, std::string* problem)
{
    static const std::string kHead = "BITMAP ";
    size_t pos = 0;
    for (;;) {
        const size_t head = tspl.find(kHead, pos);
        if (head == std::string::npos)
            return true;
        int values[5];
        size_t data = 0;
        if (!parseHead(tspl, head + kHead.size(), values, &data)) {
            *problem = "malformed BITMAP head at byte " + std::to_string(head);
            return false;
        }
        BitmapPage page;
        page.widthBytes = values[2];
        page.height = values[3];
        page.mode = values[4];
        size_t end = 0;
        if (page.mode == 0) {
            page.dataLength = static_cast<size_t>(page.widthBytes) * page.height;
            end = data + page.dataLength;
            if (end + 2 > tspl.size() || tspl.compare(end, 2, "\r\n") != 0) {
                *problem = "raw BITMAP data shorter than its head or not ended by CR LF";
                return false;
            }
        } else {
            end = tspl.find("\r\n", data);
            if (end == std::string::npos) {
                *problem = "compressed BITMAP data not ended by CR LF";
                return false;
            }
            page.dataLength = end - data;
        }
        page.data = tspl.substr(data, page.dataLength);
        const size_t printStart = end + 2;
        const size_t printEnd = tspl.find("\r\n", printStart);
        if (printEnd == std::string::npos || tspl.compare(printStart, 6, "PRINT ") != 0) {
            *problem = "BITMAP not followed by a complete PRINT line";
            return false;
        }
        page.printLine = tspl.substr(printStart, printEnd - printStart);
        pages->push_back(page);
        pos = printEnd + 2;
    }
}

}  // namespace tavel_test
