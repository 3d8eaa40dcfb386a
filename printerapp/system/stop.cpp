// The server's stop: SIGTERM and SIGINT as they arrive, and PAPPL's own
// shutdown, for the waits of the application (uploads, image decoding,
// printers that are off or stopped) that must end with the server; and a
// bound on how long a stop takes.
#include "printerapp/system/stop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// SIGTERM and SIGINT as they arrive. PAPPL 1.3.1 notes them in a flag of
// its own and lets its main loop run on until every job that prints has
// ended, which a silent upload or a long decoding would put off; its
// public state says nothing until then. So the application's handler,
// installed over PAPPL's, notes the signal too and then calls PAPPL's.
volatile std::sig_atomic_t sStopSignal = 0;
struct sigaction sPapplHandlers[2];
const int kStopSignals[2] = {SIGTERM, SIGINT};

// The signal handler tells the stop's watchdog through this pipe.
int sStopPipe[2] = {-1, -1};

void onStopSignal(int signal, siginfo_t* info, void* context)
{
    if (sStopSignal == 0 && sStopPipe[1] >= 0) {
        const int saved = errno;
        const unsigned char number = static_cast<unsigned char>(signal);
        if (write(sStopPipe[1], &number, 1) < 0) {
            // Nothing more a signal handler can do: the jobs are still
            // canceled by the timer.
        }
        errno = saved;
    }
    sStopSignal = signal;
    for (int i = 0; i < 2; ++i) {
        if (kStopSignals[i] != signal)
            continue;
        const struct sigaction& pappl = sPapplHandlers[i];
        if ((pappl.sa_flags & SA_SIGINFO) != 0)
            pappl.sa_sigaction(signal, info, context);
        else if (pappl.sa_handler != SIG_DFL && pappl.sa_handler != SIG_IGN)
            pappl.sa_handler(signal);
    }
}

// Installs onStopSignal once PAPPL's handlers are in place (the server
// runs); until then, and for a signal PAPPL leaves alone, nothing changes.
void watchStopSignals()
{
    static std::atomic<bool> installed(false);
    if (installed.load())
        return;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    if (installed.load())
        return;
    for (int i = 0; i < 2; ++i) {
        struct sigaction current;
        if (sigaction(kStopSignals[i], nullptr, &current) != 0 ||
            ((current.sa_flags & SA_SIGINFO) == 0 &&
             (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)))
            return;
    }
    for (int i = 0; i < 2; ++i) {
        struct sigaction ours;
        std::memset(&ours, 0, sizeof(ours));
        ours.sa_sigaction = onStopSignal;
        ours.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&ours.sa_mask);
        sigaction(kStopSignals[i], &ours, &sPapplHandlers[i]);
    }
    installed.store(true);
}

// How long after the signal the jobs that still print are canceled (those
// waiting for a document are canceled at once), and when the process ends
// whatever still holds it: systemd waits 30 s before it kills.
constexpr int kCancelAllSeconds = 4;
constexpr int kHardStopSeconds = 8;

// Ends the process kHardStopSeconds after a stop signal, by that signal
// with its default action, if PAPPL has not ended it by then. Touches
// nothing of PAPPL: the system may be gone already.
void hardStopWatchdog()
{
    unsigned char number = 0;
    while (read(sStopPipe[0], &number, 1) < 0 && errno == EINTR) {
    }
    std::this_thread::sleep_for(std::chrono::seconds(kHardStopSeconds));
    const int signal = number != 0 ? number : SIGTERM;
    const char message[] = "tavel-printer-app: the stop took too long; ending now.\n";
    if (write(STDERR_FILENO, message, sizeof(message) - 1) < 0) {
        // The end comes anyway.
    }
    struct sigaction fallback;
    std::memset(&fallback, 0, sizeof(fallback));
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
    _exit(1);
}

// The jobs to cancel on one printer: those waiting for their document
// (PAPPL 1.3.1 waits 60 s for it before it stops), or every active one.
struct JobsToCancel {
    bool all = false;
    std::vector<int> ids;
};

void collectJob(pappl_job_t* job, void* data)
{
    JobsToCancel* jobs = static_cast<JobsToCancel*>(data);
    const char* file = papplJobGetFilename(job);
    const bool waitsForDocument = papplJobGetState(job) != IPP_JSTATE_PROCESSING &&
                                  (file == nullptr || *file == '\0');
    if ((jobs->all || waitsForDocument) && !papplJobIsCanceled(job))
        jobs->ids.push_back(papplJobGetID(job));
}

void collectPrinter(pappl_printer_t* printer, void* data)
{
    static_cast<std::vector<int>*>(data)->push_back(papplPrinterGetID(printer));
}

// Cancels the jobs of every printer, outside PAPPL's iterations (whose
// locks papplJobCancel would take again).
void cancelJobs(pappl_system_t* system, bool all)
{
    std::vector<int> printers;
    papplSystemIteratePrinters(system, collectPrinter, &printers);
    for (int printerId : printers) {
        pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printerId, nullptr);
        if (printer == nullptr)
            continue;
        JobsToCancel jobs;
        jobs.all = all;
        papplPrinterIterateActiveJobs(printer, collectJob, &jobs, 1, 0);
        for (int jobId : jobs.ids) {
            if (pappl_job_t* job = papplPrinterFindJob(printer, jobId)) {
                papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Canceled: the server stops.");
                papplJobCancel(job);
            }
        }
    }
}

// PAPPL's timer, every second on its main loop (which owns the system, so
// it is alive here): installs the signal watch once the server runs, and
// after a stop signal cancels what would hold the stop.
bool stopTimer(pappl_system_t* system, void*)
{
    try {
        static int ticksSinceStop = -1;
        static std::once_flag started;
        watchStopSignals();
        std::call_once(started, [] {
            if (pipe2(sStopPipe, O_CLOEXEC) == 0)
                std::thread(hardStopWatchdog).detach();
        });
        if (sStopSignal == 0)
            return true;
        ticksSinceStop++;
        if (ticksSinceStop == 0 || ticksSinceStop >= kCancelAllSeconds)
            cancelJobs(system, ticksSinceStop >= kCancelAllSeconds);
    } catch (...) {
        // Out of memory or threads: the stop is not bounded.
    }
    return true;
}

}  // namespace

void appBoundServerStop(pappl_system_t* system)
{
    papplSystemAddTimerCallback(system, 0, 1, stopTimer, nullptr);
}

bool appServerStopping(pappl_system_t* system)
{
    watchStopSignals();
    return sStopSignal != 0 ||
           (system != nullptr && (papplSystemIsShutdown(system) || !papplSystemIsRunning(system)));
}
