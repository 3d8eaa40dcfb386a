// The server's stop: SIGTERM and SIGINT as they arrive, and PAPPL's own
// shutdown, for the waits of the application (uploads, image decoding,
// printers that are off or stopped) that must end with the server.
#include "printerapp/system/stop.h"

#include <signal.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

namespace {

// SIGTERM and SIGINT as they arrive. PAPPL 1.3.1 notes them in a flag of
// its own and lets its main loop run on until every job that prints has
// ended, which a silent upload or a long decoding would put off; its
// public state says nothing until then. So the application's handler,
// installed over PAPPL's, notes the signal too and then calls PAPPL's.
volatile std::sig_atomic_t sStopSignal = 0;
struct sigaction sPapplHandlers[2];
const int kStopSignals[2] = {SIGTERM, SIGINT};

void onStopSignal(int signal, siginfo_t* info, void* context)
{
    sStopSignal = 1;
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

}  // namespace

bool appServerStopping(pappl_system_t* system)
{
    watchStopSignals();
    return sStopSignal != 0 ||
           (system != nullptr && (papplSystemIsShutdown(system) || !papplSystemIsRunning(system)));
}
