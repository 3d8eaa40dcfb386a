// tspl-sim: a simulated TSPL network label printer. It takes one job per
// TCP connection, like a label printer on port 9100, answers status
// queries at once, prints the labels off a roll in time and writes each
// printed label as a PNG. Commands on standard input play the operator:
// open the head, jam, load paper, and so on.
#include "tools/sim_job_stream.h"
#include "tools/sim_printer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

namespace {

const char kUsage[] =
    "Usage: tspl-sim [--address IP] [--port N] [--roll N] [--label-time MS]\n"
    "                [--dpi N] [--out DIR] [--jobs DIR] [--silent]\n"
    "\n"
    "A simulated TSPL label printer on TCP, one job per connection.\n"
    "\n"
    "  --address IP     address to listen on (127.0.0.1)\n"
    "  --port N         port to listen on (9100; 0 picks a free port)\n"
    "  --roll N         labels on the roll at start (1000; 0 starts out of paper)\n"
    "  --label-time MS  milliseconds to print one label (500)\n"
    "  --dpi N          printer resolution for SIZE (203)\n"
    "  --out DIR        write every printed label as DIR/label-NNNNNN.png\n"
    "  --jobs DIR       write the bytes of every connection, status queries\n"
    "                   included, as received to DIR/job-NNNNNN.bin\n"
    "  --silent         never answer status queries, like a printer without status\n"
    "\n"
    "It prints \"listening IP:PORT\" once it accepts jobs, \"printed N FILE\" for\n"
    "every printed label (N counts all labels printed since start), and\n"
    "\"job ended: L labels\" or \"job error: ...\" when a connection closes.\n"
    "\n"
    "Commands on standard input, one a line:\n"
    "  open | close           open or close the print head\n"
    "  jam | clear-jam        jam the paper, take the jam out\n"
    "  ribbon-out | ribbon-in run out of ribbon, put a new ribbon in\n"
    "  paper-out              take the roll out\n"
    "  load N                 put N more labels on the roll\n"
    "  pause | resume         the printer's pause button\n"
    "  silent | talk          stop or start answering status queries\n"
    "  status                 print \"status BYTE printed N waiting N roll N\"\n"
    "  quit                   end the program\n"
    "Labels received stay in the printer while it is stopped and are printed\n"
    "once it goes on: each exactly once.\n";

volatile sig_atomic_t sStop = 0;

void requestStop(int) { sStop = 1; }

int64_t nowMillis()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Arguments {
    std::string address = "127.0.0.1";
    unsigned port = 9100;
    unsigned dpi = 203;
    bool silent = false;
    std::string jobsDir;
    SimPrinterOptions printer;
};

bool parseNumber(const char* text, uint64_t low, uint64_t high, uint64_t& value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || number < low ||
        number > high)
        return false;
    value = number;
    return true;
}

bool parseArguments(int argc, char** argv, Arguments& args, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t number = 0;
        if (arg == "--silent") {
            args.silent = true;
            continue;
        }
        if (value == nullptr) {
            error = "unknown option or missing value: " + arg;
            return false;
        }
        ++i;
        if (arg == "--address") {
            args.address = value;
        } else if (arg == "--port" && parseNumber(value, 0, 65535, number)) {
            args.port = static_cast<unsigned>(number);
        } else if (arg == "--roll" && parseNumber(value, 0, 1000000000, number)) {
            args.printer.roll = number;
        } else if (arg == "--label-time" && parseNumber(value, 0, 3600000, number)) {
            args.printer.labelMillis = static_cast<unsigned>(number);
        } else if (arg == "--dpi" && parseNumber(value, 1, 4800, number)) {
            args.dpi = static_cast<unsigned>(number);
        } else if (arg == "--out" || arg == "--jobs") {
            (arg == "--out" ? args.printer.outDir : args.jobsDir) = value;
            struct stat info;
            if (stat(value, &info) != 0 || !S_ISDIR(info.st_mode)) {
                error = arg + ": no folder " + value;
                return false;
            }
        } else {
            error = "bad option or value: " + arg + " " + value;
            return false;
        }
    }
    return true;
}

int listenOn(const Arguments& args, std::string& error)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(args.port));
    if (inet_pton(AF_INET, args.address.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + args.address;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 4) != 0) {
        error = args.address + ":" + std::to_string(args.port) + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("listening %s:%u\n", args.address.c_str(), ntohs(address.sin_port));
    return fd;
}

// The simulator's state between events.
struct Simulator {
    Simulator(const SimPrinterOptions& options, bool silentAtStart)
        : printer(options), silent(silentAtStart)
    {
    }

    SimPrinter printer;
    bool silent;
    TsplDecodeOptions decodeOptions;
    std::string jobsDir;
    unsigned jobs = 0;
    FILE* jobCopy = nullptr;  // the raw bytes of the current job, with --jobs
    int client = -1;
    std::unique_ptr<SimJobStream> job;
    std::string controlLine;
    bool quit = false;
};

void answerQuery(Simulator& sim)
{
    if (sim.silent || sim.client < 0)
        return;
    const unsigned char status = sim.printer.statusByte();
    // The peer may have gone; the connection's end shows up on the next read.
    (void)!send(sim.client, &status, 1, MSG_NOSIGNAL);
}

void startJob(Simulator& sim, int client)
{
    sim.client = client;
    ++sim.jobs;
    if (!sim.jobsDir.empty()) {
        char name[32];
        std::snprintf(name, sizeof(name), "/job-%06u.bin", sim.jobs);
        sim.jobCopy = std::fopen((sim.jobsDir + name).c_str(), "wb");
        if (sim.jobCopy == nullptr)
            std::fprintf(stderr, "tspl-sim: %s%s: %s\n", sim.jobsDir.c_str(), name, std::strerror(errno));
    }
    sim.job.reset(new SimJobStream(
        sim.decodeOptions, [&sim] { answerQuery(sim); },
        [&sim](const LabelCanvas& label, unsigned, uint64_t count, std::string& error) {
            if (sim.printer.queueLabel(label, count))
                return true;
            error = "the printer's buffer is full";
            return false;
        }));
}

// Ends the connection; failure is the error that broke the job off, or
// null when the client closed it.
void endJob(Simulator& sim, const std::string* failure)
{
    std::string error;
    if (failure != nullptr)
        std::printf("job error: %s\n", failure->c_str());
    else if (sim.job->finish(error))
        std::printf("job ended: %u labels\n", sim.job->labels());
    else
        std::printf("job error: %s\n", error.c_str());
    if (sim.jobCopy != nullptr)
        std::fclose(sim.jobCopy);
    sim.jobCopy = nullptr;
    close(sim.client);
    sim.client = -1;
    sim.job.reset();
}

void runCommand(Simulator& sim, const std::string& line)
{
    std::istringstream words(line);
    std::string command;
    words >> command;
    uint64_t count = 0;
    SimPrinter& p = sim.printer;
    if (command.empty())
        return;
    if (command == "open" || command == "close")
        p.setHeadOpen(command == "open");
    else if (command == "jam" || command == "clear-jam")
        p.setJammed(command == "jam");
    else if (command == "ribbon-out" || command == "ribbon-in")
        p.setRibbonOut(command == "ribbon-out");
    else if (command == "pause" || command == "resume")
        p.setPaused(command == "pause");
    else if (command == "silent" || command == "talk")
        sim.silent = command == "silent";
    else if (command == "paper-out")
        p.takeRollOut();
    else if (command == "load" && words >> count)
        p.loadPaper(count);
    else if (command == "quit")
        sim.quit = true;
    else if (command != "status") {
        std::printf("unknown command: %s\n", line.c_str());
        return;
    }
    std::printf("status %u printed %llu waiting %llu roll %llu\n", p.statusByte(),
                static_cast<unsigned long long>(p.printed()),
                static_cast<unsigned long long>(p.waiting()),
                static_cast<unsigned long long>(p.roll()));
}

// Reads what standard input holds and runs every complete line.
bool readControl(Simulator& sim)
{
    char buffer[512];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
    if (n <= 0)
        return n < 0 && errno == EINTR;
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
            if (sim.controlLine.size() < 256)
                sim.controlLine.push_back(buffer[i]);
            continue;
        }
        runCommand(sim, sim.controlLine);
        sim.controlLine.clear();
    }
    return true;
}

int run(const Arguments& args)
{
    std::string error;
    const int listener = listenOn(args, error);
    if (listener < 0) {
        std::fprintf(stderr, "tspl-sim: %s\n", error.c_str());
        return 1;
    }
    Simulator sim(args.printer, args.silent);
    sim.jobsDir = args.jobsDir;
    sim.decodeOptions.dpi = args.dpi;
    bool controlOpen = true;
    while (!sStop && !sim.quit) {
        // One job at a time: another connection waits in the backlog.
        pollfd fds[2] = {{sim.client >= 0 ? sim.client : listener, POLLIN, 0},
                         {controlOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        const int64_t wait = sim.printer.millisUntilNextLabel(nowMillis());
        if (poll(fds, 2, wait < 0 ? 1000 : static_cast<int>(wait)) < 0 && errno != EINTR)
            break;
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0)
            controlOpen = readControl(sim);
        if (sim.client < 0 && (fds[0].revents & POLLIN) != 0) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                startJob(sim, client);
        } else if (sim.client >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            unsigned char buffer[65536];
            const ssize_t n = recv(sim.client, buffer, sizeof(buffer), 0);
            if (n > 0 && sim.jobCopy != nullptr)
                std::fwrite(buffer, 1, static_cast<size_t>(n), sim.jobCopy);
            // A job that breaks a limit ends; the printer serves the next.
            if (n > 0 && !sim.job->receive(buffer, static_cast<size_t>(n), error))
                endJob(sim, &error);
            else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                endJob(sim, nullptr);
        }
        if (!sim.printer.advance(nowMillis(), error)) {
            std::fprintf(stderr, "tspl-sim: %s\n", error.c_str());
            break;
        }
    }
    if (sim.jobCopy != nullptr)
        std::fclose(sim.jobCopy);
    if (sim.client >= 0)
        close(sim.client);
    close(listener);
    return sStop || sim.quit ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Arguments args;
    std::string error;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!parseArguments(argc, argv, args, error)) {
        std::fprintf(stderr, "tspl-sim: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }
    // Lines go out as they happen: tests and users watch them.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return run(args);
}
