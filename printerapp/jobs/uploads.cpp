// How a document upload reaches a printer: one at a time, in the order
// they arrive, and never held open by a client that stopped sending.
//
// PAPPL 1.3.1 prints a PWG or Apple raster while the client uploads it,
// inside the client's thread, and refuses with server-error-busy a raster
// that arrives while the printer is busy. Its refusal path takes the
// printer's lock and then the system's, the opposite order of the state
// saver and the job cleaner on the main thread: under a few concurrent
// clients the whole server deadlocks. PAPPL calls the system's
// authorization callback in the client's thread before it checks whether
// the printer is busy, holding none of its locks; so the callback waits
// there for the upload's turn. A turn goes to one upload at a time per
// printer, in arrival order, and lasts as long as its request: it passes
// on when the client's thread asks for a turn again (its next request) or
// ends (the client closed the connection). PAPPL notes a raster's job
// completed, and lets the printer go idle, before that thread closes the
// printer's device; a raster started in between writes into the device
// being closed. So the end of the turn's job (seen by the event callback)
// is not enough: a client that keeps its connection open, idle, loses the
// turn kSettle after its job ended, and one whose request failed before a
// job existed kBindSeconds after the turn was given. PAPPL then never sees
// a raster while another prints, never refuses one as busy, and never
// enters that path: jobs queue instead.
//
// Other documents (PNG, JPEG, TSPL) are copied whole to the spool folder
// before their job is queued and printed by PAPPL's job thread; PAPPL
// never refuses them as busy, so they take no turn and do not wait. A
// raster whose turn has come still waits until such a job has printed.
//
// A remote client address may have kUploadsPerAddress uploads holding or waiting
// for a printer's turn, and kWaitingUploads may wait in all; more are
// refused at once with 503. A client that sends no document data for
// kCrowdedStallSeconds while others wait for its turn loses its job, so
// that a few silent clients cannot hold the printer for minutes.
//
// A client that sends no document data for kStallSeconds loses its job,
// and a raster whose request ended inside a page fails at once (libcups
// would otherwise wait for more data that cannot come): the connection's
// timeout callback, set here too, makes PAPPL's read fail, which aborts
// the job and frees the printer for the next one. A canceled job, or a
// server that shuts down, ends its read the same way.
#include "printerapp/jobs/uploads.h"
#include "printerapp/jobs/job_order.h"
#include "printerapp/system/stop.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <pappl/pappl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStallSeconds = 30.0;

// How long an upload may stay silent while other uploads wait for its
// printer: a silent client ahead of them holds each for this long at most.
constexpr double kCrowdedStallSeconds = 6.0;

// How many uploads of one remote client address may hold or wait for a
// printer's turn at once, and how many may wait in all; more are refused at
// once (503, try again later), so that silent clients of one address delay
// the others' jobs by kCrowdedStallSeconds twice at most. Local clients all
// share the loopback address, and several local queues printing at once is
// ordinary: they count in all alone.
constexpr size_t kUploadsPerAddress = 2;
constexpr size_t kWaitingUploads = 32;

// How often a read that waits for data asks whether to go on waiting.
constexpr double kWaitSlice = 0.5;

// How long an upload waits for its turn before it is refused: longer than
// a silent client ahead of it can hold the printer, far longer than labels
// take to print.
constexpr std::chrono::seconds kTurnSeconds(90);

// How long a turn waits for its job: PAPPL creates it right after the
// callback returns, without reading anything more from the client, so a
// turn without a job after that long belongs to a request that failed.
constexpr std::chrono::seconds kBindSeconds(5);

// How long a turn lasts after its job ended while its client keeps the
// connection open: PAPPL closes the printer's device in that client's
// thread right after the job ends, within milliseconds.
constexpr std::chrono::seconds kSettle(1);

// How often a waiting upload looks again whether the server stops, its
// client left, or the printer is still busy with a spooled job.
constexpr std::chrono::milliseconds kLookAgain(20);

// The turns of one printer: a queue of tickets in arrival order, and the
// turn given out, if any. Nothing of PAPPL is called with the mutex held:
// PAPPL may hold a printer's lock while it calls the event callback.
struct Turns {
    std::mutex mutex;
    std::condition_variable changed;
    std::list<unsigned long> queue;
    std::map<unsigned long, std::string> addresses;  // of the queue and the holder
    unsigned long nextTicket = 0;
    bool given = false;
    unsigned long holder = 0;  // the ticket that holds the turn
    pthread_t holderThread;
    int jobId = 0;  // 0 until the holder's job exists
    bool jobEnded = false;
    Clock::time_point givenAt;
    Clock::time_point endedAt;
};

Turns& turnsOf(pappl_printer_t* printer)
{
    static std::mutex tableMutex;
    // Never destroyed: client threads may still hand turns on while the
    // program exits.
    static auto* table = new std::map<int, std::unique_ptr<Turns>>;
    std::lock_guard<std::mutex> lock(tableMutex);
    std::unique_ptr<Turns>& turns = (*table)[papplPrinterGetID(printer)];
    if (!turns)
        turns.reset(new Turns);
    return *turns;
}

void handOn(Turns& turns)
{
    turns.addresses.erase(turns.holder);
    turns.given = false;
    turns.jobId = 0;
    turns.jobEnded = false;
    turns.changed.notify_all();
}

// The turn this client thread holds. It passes on when the thread asks for
// a turn again or ends: the request it was given for is over.
struct HeldTurn {
    Turns* turns = nullptr;
    unsigned long ticket = 0;

    void release()
    {
        if (turns == nullptr)
            return;
        std::lock_guard<std::mutex> lock(turns->mutex);
        if (turns->given && turns->holder == ticket)
            handOn(*turns);
        turns = nullptr;
    }
    ~HeldTurn() { release(); }
};

thread_local HeldTurn tHeldTurn;

// Whether the job of the turn given out has ended or is gone (the event
// may have been missed). Called without the mutex.
bool jobIsOver(pappl_printer_t* printer, int jobId)
{
    pappl_job_t* job = papplPrinterFindJob(printer, jobId);
    return job == nullptr || papplJobGetState(job) >= IPP_JSTATE_CANCELED;
}

// Whether any job of the printer is printing, or waits, spooled, for a
// printer that is not stopped (a stopped printer starts none).
struct OtherWork {
    bool printerStopped;
    bool found;
};

void lookForOtherWork(pappl_job_t* job, void* data)
{
    OtherWork* work = static_cast<OtherWork*>(data);
    if (work->found)
        return;
    const ipp_jstate_t state = papplJobGetState(job);
    const char* file = papplJobGetFilename(job);
    // A job held for the jobs accepted before it is ahead of the upload.
    work->found = state == IPP_JSTATE_PROCESSING || appJobWaitsForOrder(job) ||
                  (state == IPP_JSTATE_PENDING && !work->printerStopped && file != nullptr &&
                   *file != '\0');
}

bool printerBusy(pappl_printer_t* printer)
{
    // PAPPL notes a job completed before it closes the printer's device
    // and lets the printer go idle.
    const ipp_pstate_t state = papplPrinterGetState(printer);
    if (state == IPP_PSTATE_PROCESSING)
        return true;
    OtherWork work = {state == IPP_PSTATE_STOPPED, false};
    papplPrinterIterateActiveJobs(printer, lookForOtherWork, &work, 1, 0);
    return work.found;
}

// Whether the client closed its connection (or it broke) while it waits.
bool clientLeft(pappl_client_t* client)
{
    struct pollfd fd = {httpGetFd(papplClientGetHTTP(client)), POLLRDHUP, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Whether the document of the request is one PAPPL prints while it
// arrives: a raster, or a format it has to guess from the data.
bool streamedFormat(pappl_client_t* client)
{
    ipp_attribute_t* format =
        ippFindAttribute(papplClientGetRequest(client), "document-format", IPP_TAG_MIMETYPE);
    const char* type = format != nullptr ? ippGetString(format, 0, nullptr) : nullptr;
    return type == nullptr || std::strcmp(type, "image/pwg-raster") == 0 ||
           std::strcmp(type, "image/urf") == 0 ||
           std::strcmp(type, "application/octet-stream") == 0;
}

// Waits for the printer's turn. True once this thread holds it.
bool waitForTurn(pappl_client_t* client, pappl_printer_t* printer)
{
    pappl_system_t* system = papplClientGetSystem(client);
    Turns& turns = turnsOf(printer);
    const Clock::time_point deadline = Clock::now() + kTurnSeconds;
    char address[256] = "";
    httpAddrString(httpGetAddress(papplClientGetHTTP(client)), address, sizeof(address));
    std::unique_lock<std::mutex> lock(turns.mutex);
    size_t fromAddress = 0;
    const bool loopback = httpAddrLocalhost(httpGetAddress(papplClientGetHTTP(client)));
    for (const auto& entry : turns.addresses)
        fromAddress += !loopback && entry.second == address ? 1 : 0;
    if (fromAddress >= kUploadsPerAddress || turns.queue.size() >= kWaitingUploads) {
        lock.unlock();
        papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                       "Upload refused: %lu uploads from %s and %lu in all wait for the printer.",
                       static_cast<unsigned long>(fromAddress), address,
                       static_cast<unsigned long>(turns.queue.size()));
        return false;
    }
    const unsigned long ticket = turns.nextTicket++;
    turns.addresses[ticket] = address;
    turns.queue.push_back(ticket);
    for (;;) {
        if (turns.queue.front() == ticket && !turns.given)
            break;
        // The first in line takes over a turn that outlived its request.
        // Whether its job is over is a question to PAPPL: asked without the
        // mutex, and acted upon if the same turn is still out.
        const bool first = turns.queue.front() == ticket;
        const unsigned long holder = turns.holder;
        const int jobId = turns.jobId;
        const bool askJob = first && jobId != 0 && !turns.jobEnded;
        lock.unlock();
        const bool jobOver = askJob && jobIsOver(printer, jobId);
        const bool leave =
            appServerStopping(system) || clientLeft(client) || Clock::now() >= deadline;
        lock.lock();
        const Clock::time_point now = Clock::now();
        if (turns.given && turns.holder == holder && turns.jobId == jobId) {
            if (jobOver && !turns.jobEnded) {
                turns.jobEnded = true;
                turns.endedAt = now;
            }
            if (first && ((jobId == 0 && now - turns.givenAt > kBindSeconds) ||
                          (turns.jobEnded && now - turns.endedAt > kSettle)))
                handOn(turns);
        }
        if (leave) {
            turns.queue.remove(ticket);
            if (!(turns.given && turns.holder == ticket))
                turns.addresses.erase(ticket);
            turns.changed.notify_all();
            return false;
        }
        if (!turns.given && turns.queue.front() == ticket)
            break;
        turns.changed.wait_for(lock, kLookAgain * 5);
    }
    turns.queue.pop_front();
    turns.given = true;
    turns.holder = ticket;
    turns.holderThread = pthread_self();
    turns.jobId = 0;
    turns.givenAt = Clock::now();
    lock.unlock();
    tHeldTurn.turns = &turns;
    tHeldTurn.ticket = ticket;
    // A spooled job may still print: PAPPL would refuse the raster as busy.
    // Once it ended, its job thread still closes the printer's device: the
    // raster waits kSettle more. Meanwhile the turn is kept fresh, and a
    // job must come within kBindSeconds of the printer being idle.
    bool busy = printerBusy(printer);
    Clock::time_point quietFrom = busy ? Clock::now() + kSettle : Clock::now();
    while (busy || Clock::now() < quietFrom) {
        if (appServerStopping(system) || clientLeft(client) || Clock::now() >= deadline) {
            tHeldTurn.release();
            return false;
        }
        std::this_thread::sleep_for(kLookAgain);
        lock.lock();
        turns.givenAt = Clock::now();
        lock.unlock();
        busy = printerBusy(printer);
        if (busy)
            quietFrom = Clock::now() + kSettle;
    }
    lock.lock();
    turns.givenAt = Clock::now();
    return true;
}

// The silence of one client connection. PAPPL serves each connection on
// its own thread, so the watch lives in that thread and outlives every
// read of the connection.
struct StallWatch {
    pappl_system_t* system = nullptr;
    pappl_printer_t* printer = nullptr;
    int jobId = 0;  // the job of the upload, once it exists
    bool silent = false;  // a wait found no data since the last sign of data
    size_t remaining = 0;  // what the connection still expected then
    std::chrono::steady_clock::time_point lastWait;
    std::chrono::steady_clock::time_point silentSince;
};

thread_local StallWatch tStallWatch;

// Whether uploads wait for the turn this thread holds.
bool othersWait()
{
    HeldTurn& held = tHeldTurn;
    if (held.turns == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(held.turns->mutex);
    return held.turns->given && held.turns->holder == held.ticket && !held.turns->queue.empty();
}

// Whether to give up a read that waited kWaitSlice for nothing.
bool giveUp(http_t* http, StallWatch* watch)
{
    if (watch->system != nullptr && appServerStopping(watch->system))
        return true;
    pappl_job_t* job =
        watch->jobId != 0 ? papplPrinterFindJob(watch->printer, watch->jobId) : nullptr;
    if (job != nullptr && papplJobIsCanceled(job))
        return true;
    // The request is read to its end, its answer not yet sent, yet a reader
    // wants more: the document was cut short.
    if (httpGetState(http) == HTTP_STATE_POST_SEND)
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
    return std::chrono::duration<double>(now - watch->silentSince).count() >=
           (othersWait() ? kCrowdedStallSeconds : kStallSeconds);
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

}  // namespace

bool appWaitForUploadTurn(pappl_client_t* client)
{
    // The request this thread served before is over: so is its turn.
    tHeldTurn.release();
    const ipp_op_t operation = papplClientGetOperation(client);
    pappl_printer_t* printer = papplClientGetPrinter(client);
    if ((operation != IPP_OP_PRINT_JOB && operation != IPP_OP_SEND_DOCUMENT) || printer == nullptr)
        return true;
    // Send-Document adds to a job that exists; Print-Job's job is created
    // after this returns (appNoteJobEvent).
    ipp_attribute_t* jobIdAttribute =
        ippFindAttribute(papplClientGetRequest(client), "job-id", IPP_TAG_INTEGER);
    const int jobId = operation == IPP_OP_SEND_DOCUMENT && jobIdAttribute != nullptr
                          ? ippGetInteger(jobIdAttribute, 0)
                          : 0;
    StallWatch& watch = tStallWatch;
    watch.system = papplClientGetSystem(client);
    watch.printer = printer;
    watch.jobId = jobId;
    watch.silent = false;
    httpSetTimeout(papplClientGetHTTP(client), kWaitSlice, keepWaiting, &watch);
    if (!streamedFormat(client))
        return true;
    try {
        if (!waitForTurn(client, printer))
            return false;
    } catch (...) {
        // Out of memory or threads: the upload goes on without its turn
        // and PAPPL may refuse it as busy.
        return true;
    }
    papplLogClient(client, PAPPL_LOGLEVEL_DEBUG, "The document has its turn on the printer.");
    if (jobId != 0) {
        Turns& turns = *tHeldTurn.turns;
        std::lock_guard<std::mutex> lock(turns.mutex);
        turns.jobId = jobId;
    }
    return true;
}

void appNoteJobEvent(pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event)
{
    if (printer == nullptr || job == nullptr ||
        (event & (PAPPL_EVENT_JOB_CREATED | PAPPL_EVENT_JOB_COMPLETED)) == 0)
        return;
    const int jobId = papplJobGetID(job);
    if ((event & PAPPL_EVENT_JOB_CREATED) != 0) {
        if (tStallWatch.printer == printer)
            tStallWatch.jobId = jobId;
        HeldTurn& held = tHeldTurn;
        if (held.turns == nullptr)
            return;
        std::lock_guard<std::mutex> lock(held.turns->mutex);
        if (held.turns->given && held.turns->holder == held.ticket &&
            pthread_equal(held.turns->holderThread, pthread_self()) && held.turns->jobId == 0)
            held.turns->jobId = jobId;
        return;
    }
    Turns& turns = turnsOf(printer);
    std::lock_guard<std::mutex> lock(turns.mutex);
    if (turns.given && turns.jobId != 0 && turns.jobId == jobId && !turns.jobEnded) {
        turns.jobEnded = true;
        turns.endedAt = Clock::now();
        turns.changed.notify_all();
    }
}
