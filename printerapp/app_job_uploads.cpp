// How a document upload reaches a printer: one at a time, in the order
// they arrive, and never held open by a client that stopped sending.
//
// PAPPL 1.3.1 prints a PWG or Apple raster while the client uploads it,
// inside the client's thread, and refuses with server-error-busy a raster
// that arrives while the printer is busy. Its refusal path takes the
// printer's lock and then the system's, the opposite order of the state
// saver and the job cleaner on the main thread: under a few concurrent
// clients the whole server deadlocks. So every document upload waits here
// for its turn until the printer has nothing else to print; PAPPL then
// never sees a document while another prints, never refuses one as busy,
// and never enters that path. Jobs queue instead of being refused.
//
// PAPPL's IPP code calls _papplJobCopyDocumentData through its procedure
// linkage table, so the definition below, in the program, is the one it
// calls; it waits for the turn and then calls PAPPL's own.
//
// A client that sends no document data for kStallSeconds loses its job,
// and a raster whose request ended inside a page fails at once (libcups
// would otherwise wait for more data that cannot come): the connection's
// timeout callback makes PAPPL's read fail, which aborts the job and frees
// the printer for the next one. A canceled job, or a server that shuts
// down, ends its read the same way.
#include "printerapp/app_job_uploads.h"

#include <dlfcn.h>
#include <signal.h>
#include <pappl/pappl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

extern "C" void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job);

namespace {

constexpr double kStallSeconds = 30.0;

// How often a read that waits for data asks whether to go on waiting.
constexpr double kWaitSlice = 0.5;

// How often a turn looks again whether the printer is still printing a
// spooled job (PNG, JPEG, raw TSPL), which PAPPL starts on its own thread.
constexpr std::chrono::milliseconds kIdlePoll(10);

using CopyFunction = void (*)(pappl_client_t*, pappl_job_t*);

CopyFunction papplCopyDocumentData()
{
    static const CopyFunction function =
        reinterpret_cast<CopyFunction>(dlsym(RTLD_NEXT, "_papplJobCopyDocumentData"));
    return function;
}

// The turns of one printer: tickets served in the order they were taken.
struct Turns {
    std::mutex mutex;
    std::condition_variable served;
    unsigned long nextTicket = 0;
    unsigned long nowServing = 0;
};

Turns& turnsOf(pappl_printer_t* printer)
{
    static std::mutex tableMutex;
    static std::map<int, std::unique_ptr<Turns>> table;
    std::lock_guard<std::mutex> lock(tableMutex);
    std::unique_ptr<Turns>& turns = table[papplPrinterGetID(printer)];
    if (!turns)
        turns.reset(new Turns);
    return *turns;
}

// Whether any job of the printer but job is printing, or waits, spooled,
// for a printer that is not stopped (a stopped printer starts none).
struct OtherWork {
    pappl_job_t* self;
    bool printerStopped;
    bool found;
};

void lookForOtherWork(pappl_job_t* job, void* data)
{
    OtherWork* work = static_cast<OtherWork*>(data);
    if (job == work->self || work->found)
        return;
    const ipp_jstate_t state = papplJobGetState(job);
    const char* file = papplJobGetFilename(job);
    work->found = state == IPP_JSTATE_PROCESSING ||
                  (state == IPP_JSTATE_PENDING && !work->printerStopped && file != nullptr &&
                   *file != '\0');
}

bool printerHasOtherWork(pappl_printer_t* printer, pappl_job_t* job)
{
    OtherWork work = {job, papplPrinterGetState(printer) == IPP_PSTATE_STOPPED, false};
    papplPrinterIterateActiveJobs(printer, lookForOtherWork, &work, 1, 0);
    return work.found;
}

// One upload's turn: waits in the constructor until every earlier upload of
// the printer is done and the printer has no other work; the destructor
// hands the turn on.
class Turn {
public:
    Turn(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t* job)
        : turns_(turnsOf(printer))
    {
        std::unique_lock<std::mutex> lock(turns_.mutex);
        ticket_ = turns_.nextTicket++;
        while (turns_.nowServing != ticket_)
            turns_.served.wait_for(lock, kIdlePoll * 10);
        lock.unlock();
        while (!appServerStopping(system) && printerHasOtherWork(printer, job))
            std::this_thread::sleep_for(kIdlePoll);
    }
    ~Turn()
    {
        {
            std::lock_guard<std::mutex> lock(turns_.mutex);
            ++turns_.nowServing;
        }
        turns_.served.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    Turns& turns_;
    unsigned long ticket_ = 0;
};

// The silence of one client connection. PAPPL serves each connection on
// its own thread, so the watch lives in that thread and outlives every
// read of the connection.
struct StallWatch {
    pappl_system_t* system = nullptr;
    pappl_job_t* job = nullptr;  // the job whose document is read
    bool readingDocument = false;
    bool silent = false;  // a wait found no data since the last sign of data
    size_t remaining = 0;  // what the connection still expected then
    std::chrono::steady_clock::time_point lastWait;
    std::chrono::steady_clock::time_point silentSince;
};

thread_local StallWatch tStallWatch;

// Whether to give up a read that waited kWaitSlice for nothing.
bool giveUp(http_t* http, StallWatch* watch)
{
    if (watch->system != nullptr && appServerStopping(watch->system))
        return true;
    if (watch->job != nullptr && papplJobIsCanceled(watch->job))
        return true;
    // The request is read to its end, yet the document's reader wants more:
    // the document was cut short.
    if (watch->readingDocument && httpGetState(http) != HTTP_STATE_POST_RECV)
        return true;
    // Data came since the last empty wait when the connection expects less
    // than then, or when this wait did not follow the last one at once (a
    // read got data in between and a new read began to wait).
    const auto now = std::chrono::steady_clock::now();
    const size_t remaining = httpGetRemaining(http);
    const double sinceLastWait = std::chrono::duration<double>(now - watch->lastWait).count();
    if (!watch->silent || remaining != watch->remaining || sinceLastWait > 1.2 * kWaitSlice) {
        watch->silent = true;
        watch->remaining = remaining;
        watch->silentSince = now;
    }
    watch->lastWait = now;
    return std::chrono::duration<double>(now - watch->silentSince).count() >= kStallSeconds;
}

// libcups's timeout callback: nonzero to wait on. libcups's raster reader
// retries a read that timed out, so giving up also shuts the connection's
// reading side: every further read ends at once, while PAPPL can still
// send its answer.
int keepWaiting(http_t* http, void* data)
{
    if (!giveUp(http, static_cast<StallWatch*>(data)))
        return 1;
    shutdown(httpGetFd(http), SHUT_RD);
    return 0;
}

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
    return sStopSignal != 0 || papplSystemIsShutdown(system) || !papplSystemIsRunning(system);
}

bool appDocumentTurnsWork()
{
    return papplCopyDocumentData() != nullptr;
}

extern "C" void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job)
{
    const CopyFunction copy = papplCopyDocumentData();
    // PAPPL only calls this definition when it exports its own, so the
    // look-up finds it; the test keeps a broken library from crashing us.
    if (copy == nullptr) {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Unable to receive the document.");
        return;
    }
    pappl_printer_t* printer = papplJobGetPrinter(job);
    pappl_system_t* system = papplPrinterGetSystem(printer);
    std::unique_ptr<Turn> turn;
    try {
        turn.reset(new Turn(system, printer, job));
    } catch (...) {
        // Out of memory or threads: the upload goes on without its turn
        // and PAPPL may refuse it as busy.
    }
    StallWatch& watch = tStallWatch;
    watch.system = system;
    watch.job = job;
    watch.silent = false;
    watch.readingDocument = true;
    http_t* http = papplClientGetHTTP(client);
    httpSetTimeout(http, kWaitSlice, keepWaiting, &watch);
    copy(client, job);
    watch.readingDocument = false;
    watch.job = nullptr;
}
