// tspl-sim as a printer on 127.0.0.1: it answers a status query at once in
// the middle of a job, takes query bytes inside raw bitmap data as image,
// keeps a label it could not print when the paper runs out and prints it
// once after paper is loaded. It takes every command the printer
// application sends (Identify's SOUND too) and names an unknown one.
#include "tests/tools/run_tool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "target_command.h"

#include <chrono>
#include <cstring>
#include <string>

namespace {

// Generous bounds: the simulator prints a label in 50 ms.
constexpr int kWaitMillis = 20000;

class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& args)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            // Through the cross build's emulator, when there is one.
            tavel_test::execTarget(TSPL_SIM_PATH, args);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        control_ = in[1];
        output_ = out[0];
    }
    ~Simulator()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        close(control_);
        close(output_);
    }

    void command(const std::string& line) { (void)!write(control_, (line + "\n").data(), line.size() + 1); }

    // Reads the simulator's output until a line starting with prefix; the
    // line, or "" after the bound.
    std::string waitFor(const std::string& prefix)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMillis);
        for (;;) {
            const size_t at = seen_.find("\n" + prefix);
            if (at != std::string::npos && seen_.find('\n', at + 1) != std::string::npos) {
                const size_t lineEnd = seen_.find('\n', at + 1);
                const std::string line = seen_.substr(at + 1, lineEnd - at - 1);
                seen_.erase(0, lineEnd);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd fd = {output_, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
                (n = read(output_, buffer, sizeof(buffer))) <= 0)
                return "";
            seen_.append(buffer, static_cast<size_t>(n));
        }
    }

private:
    pid_t pid_ = -1;
    int control_ = -1;
    int output_ = -1;
    std::string seen_ = "\n";
};

int connectTo(unsigned port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The status byte the printer answers to one query, -1 for none in time.
int query(int fd)
{
    if (send(fd, "\x1b!?", 3, 0) != 3)
        return -1;
    pollfd wait = {fd, POLLIN, 0};
    unsigned char answer = 0;
    if (poll(&wait, 1, kWaitMillis) != 1 || recv(fd, &answer, 1, 0) != 1)
        return -1;
    return answer;
}

TEST(TsplSim, AnswersAtOnceAndPrintsEveryLabelOnceAcrossPaperOut)
{
    TempDir dir;
    const std::string labels = dir.file("labels");
    const std::string jobs = dir.file("jobs");
    ASSERT_EQ(mkdir(labels.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(jobs.c_str(), 0755), 0);
    Simulator sim({"--port", "0", "--roll", "1", "--label-time", "50", "--out", labels, "--jobs", jobs});
    const std::string listening = sim.waitFor("listening 127.0.0.1:");
    ASSERT_NE(listening, "");
    const int fd = connectTo(std::stoul(listening.substr(listening.find(':') + 1)));
    ASSERT_GE(fd, 0);

    // 16 x 2 dots; the rows hold the query's bytes, which are image here.
    const std::string job = std::string("SIZE 2.0 mm, 1.0 mm\r\nCLS\r\nBITMAP 0,0,2,2,0,") +
                            "\x1b!\x3f\x1b" + "\r\nPRINT 1,2\r\n";
    EXPECT_EQ(query(fd), 0x00);
    ASSERT_EQ(send(fd, job.data(), job.size(), 0), static_cast<ssize_t>(job.size()));
    EXPECT_EQ(query(fd), 0x20);  // printing
    ASSERT_NE(sim.waitFor("printed 1 "), "");
    // One label on the roll: the second copy waits, paper out.
    EXPECT_EQ(query(fd), 0x04);
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(sim.waitFor("job "), "job ended: 1 labels");
    close(fd);
    sim.command("load 10");
    ASSERT_NE(sim.waitFor("printed 2 "), "");
    sim.command("status");
    EXPECT_EQ(sim.waitFor("status "), "status 0 printed 2 waiting 0 roll 9");

    writeFile(dir.file("job.tspl"), job);
    const ToolRun preview = runTool(TSPL2PNG_PATH, {"-o", dir.file("preview"), dir.file("job.tspl")});
    ASSERT_EQ(preview.status, 0) << preview.err;
    EXPECT_EQ(readFile(labels + "/label-000001.png"), readFile(dir.file("preview-1.png")));
    EXPECT_EQ(readFile(labels + "/label-000002.png"), readFile(dir.file("preview-1.png")));
    EXPECT_EQ(readFile(jobs + "/job-000001.bin"), "\x1b!?" + job + "\x1b!?\x1b!?");
}

TEST(TsplSim, TakesIdentifyAndNamesUnknownCommands)
{
    Simulator sim({"--port", "0", "--label-time", "50"});
    const std::string listening = sim.waitFor("listening 127.0.0.1:");
    ASSERT_NE(listening, "");
    const unsigned port = static_cast<unsigned>(std::stoul(listening.substr(listening.find(':') + 1)));
    const struct {
        const char* bytes;
        const char* result;  // the start of the simulator's line for the job
    } jobs[] = {
        // The printer application's Identify-Printer, a job of its own.
        {"SOUND 5,100\r\n", "job ended: 0 labels"},
        {"SOUND 12,100\r\n", "job error: command 1 (SOUND) at byte 0: expected SOUND level"},
        {"SIZE 1 dot, 1 dot\r\nTEXT 0,0,\"1\",0,1,1,\"x\"\r\n",
         "job error: command 2 (TEXT) at byte 19: unsupported command; this printer takes "
         "BITMAP, BLINE, CLS, DENSITY, DIRECTION, GAP, OFFSET, PRINT, REFERENCE, SET, SIZE, "
         "SOUND, SPEED"},
    };
    for (const auto& job : jobs) {
        SCOPED_TRACE(job.bytes);
        const int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        const size_t length = std::strlen(job.bytes);
        ASSERT_EQ(send(fd, job.bytes, length, 0), static_cast<ssize_t>(length));
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(sim.waitFor("job ").rfind(job.result, 0), 0u);
        close(fd);
    }
}

}  // namespace
