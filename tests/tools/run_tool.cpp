// Process helpers of the tool tests.
#include "tests/tools/run_tool.h"
#include "target_command.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

ToolRun runTool(const std::string& program, const std::vector<std::string>& args)
{
    ToolRun run;
    char outName[] = "/tmp/tavel_tool_out_XXXXXX";
    char errName[] = "/tmp/tavel_tool_err_XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        tavel_test::execTarget(program, args);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(outFd);
    close(errFd);
    run.exited = WIFEXITED(status);
    run.status = run.exited ? WEXITSTATUS(status) : -1;
    run.out = readFile(outName);
    run.err = readFile(errName);
    unlink(outName);
    unlink(errName);
    return run;
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}
