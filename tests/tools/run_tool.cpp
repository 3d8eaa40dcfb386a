// Process helpers of the tool tests.
#include "tests/tools/run_tool.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

ScratchDir::ScratchDir()
{
    std::string pattern = ::testing::TempDir() + "tavel_tools_XXXXXX";
    if (mkdtemp(&pattern[0]))
        dir_ = pattern;
    EXPECT_FALSE(dir_.empty()) << "cannot make a scratch folder";
}

// The tests only put plain files into the folder.
ScratchDir::~ScratchDir()
{
    if (dir_.empty())
        return;
    if (DIR* dir = opendir(dir_.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                unlink(path(entry->d_name).c_str());
        closedir(dir);
    }
    rmdir(dir_.c_str());
}

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
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
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

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}
