// tavel_timedrun: runs one command and prints its wall-clock time in seconds
// and its peak resident memory in KiB ("0.012345 10240"), for the
// whole-process comparison. The command's standard output goes to OUT
// (/dev/null by default) and its standard error to /dev/null, so that
// terminal output never enters the measurement.
//   tavel_timedrun [-o OUT] -- COMMAND [ARG...]
// Exit status: the command's, or 125 when it could not be run or was killed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

double secondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// In the child: point descriptor target at path, opened with flags.
bool redirect(int target, const char* path, int flags)
{
    const int fd = open(path, flags, 0644);
    if (fd < 0)
        return false;
    const bool ok = dup2(fd, target) >= 0;
    close(fd);
    return ok;
}

}  // namespace

int main(int argc, char* argv[])
{
    const char* outPath = "/dev/null";
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "-o") == 0) {
        outPath = argv[2];
        first = 3;
    }
    if (first >= argc || std::strcmp(argv[first], "--") != 0 || first + 1 >= argc) {
        std::fprintf(stderr, "Usage: %s [-o OUT] -- COMMAND [ARG...]\n", argv[0]);
        return 125;
    }
    char** command = argv + first + 1;

    const double start = secondsNow();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 125;
    }
    if (child == 0) {
        if (!redirect(STDOUT_FILENO, outPath, O_WRONLY | O_CREAT | O_TRUNC) ||
            !redirect(STDERR_FILENO, "/dev/null", O_WRONLY)) {
            _exit(125);
        }
        execvp(command[0], command);
        _exit(125);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 125;
    }
    const double elapsed = secondsNow() - start;
    std::printf("%.6f %ld\n", elapsed, usage.ru_maxrss);
    if (!WIFEXITED(status))
        return 125;
    return WEXITSTATUS(status);
}
