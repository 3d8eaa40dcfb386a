// Process harness of the filter tests.
#include "filter_harness.h"
#include "target_command.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavel_test {

namespace {


// Reads a pipe to its end on its own thread, so that a filter writing a lot
// to both streams never blocks.
void drain(int fd, std::string* into)
{
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n <= 0)
            break;
        into->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
}

}  // namespace

std::string pgm(int width, int height, const std::vector<unsigned char>& pixels)
{
    std::string data = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    data.append(reinterpret_cast<const char*>(pixels.data()), pixels.size());
    return data;
}

void makeRaster(const std::string& path, const std::vector<std::string>& args)
{
    std::string command = targetShellCommand(TAVEL_RASTERWRITE) + " -o '" + path + "'";
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("rasterwrite failed: " + command);
}

std::string testPpdPath() { return TAVEL_TEST_PPD; }

std::string ppdVariant(const TempDir& dir,
                       const std::vector<std::pair<std::string, std::string>>& replacements)
{
    std::istringstream in(readFile(testPpdPath()));
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        for (const auto& [prefix, replacement] : replacements) {
            if (line.rfind(prefix, 0) == 0) {
                line = replacement;
                break;
            }
        }
        out += line + "\n";
    }
    const std::string path = dir.file("variant.ppd");
    writeFile(path, out);
    return path;
}

void execFilterProcess(const std::vector<std::string>& args, const std::string& ppd)
{
    if (ppd.empty())
        unsetenv("PPD");
    else
        setenv("PPD", ppd.c_str(), 1);
    execTarget(TAVEL_FILTER, args);
    _exit(127);
}

RunResult runFilter(const std::vector<std::string>& args, const std::string& ppd,
                    const std::string& stdinPath)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        throw std::runtime_error("pipe failed");

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
        dup2(in, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        execFilterProcess(args, ppd);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    RunResult result;
    std::thread errReader(drain, errPipe[0], &result.err);
    drain(outPipe[0], &result.out);
    errReader.join();

    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

std::vector<std::string> jobArgs(const std::string& options, const std::string& file)
{
    std::vector<std::string> args = {"42", "tester", "label", "1", options};
    if (!file.empty())
        args.push_back(file);
    return args;
}

std::vector<std::string> logLines(const std::string& err, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

bool hasLogLine(const std::string& err, const std::string& line)
{
    const std::vector<std::string> lines = logLines(err, line);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace tavel_test
