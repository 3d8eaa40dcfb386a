// The order keeper: one thread that releases the held jobs of each printer
// one at a time, oldest first. It looks every kLookMillis while any job is
// held, and never acts inside a PAPPL callback (PAPPL may hold a printer's
// lock there).
#include "printerapp/jobs/job_order.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "printerapp/system/stop.h"

namespace {

constexpr int kLookMillis = 100;

// The hold keyword PAPPL knows for "until released".
const char kHoldIndefinite[] = "indefinite";

// What a held job says about its wait.
const char kWaitingMessage[] = "Waiting for the jobs accepted before it to print.";

std::mutex sLock;
// Held job ids per printer id.
std::map<int, std::set<int>> sHeld;
bool sKeeperRuns = false;

// The printer whose Print-Job this client thread asked to be created held.
thread_local pappl_printer_t* tHoldingFor = nullptr;

// Whether the request's document is one PAPPL spools before it prints it
// (a known format other than a raster, which it prints while it arrives).
bool spooledDocument(pappl_client_t* client)
{
    ipp_attribute_t* format =
        ippFindAttribute(papplClientGetRequest(client), "document-format", IPP_TAG_MIMETYPE);
    const char* type = format != nullptr ? ippGetString(format, 0, nullptr) : nullptr;
    return type != nullptr && std::strcmp(type, "image/pwg-raster") != 0 &&
           std::strcmp(type, "image/urf") != 0 &&
           std::strcmp(type, "application/octet-stream") != 0;
}

// Whether the whole document of job is in the spool folder. PAPPL 1.3.1
// names a job's file only once it has copied all of it; a job released
// before that is started at once and aborted, as it cannot open its
// document.
bool hasDocument(pappl_job_t* job)
{
    const char* file = papplJobGetFilename(job);
    return file != nullptr && *file != '\0';
}

// What the keeper finds on one printer.
struct PrinterLook {
    const std::set<int>* held;
    bool busy = false;         // a job prints or is ready to
    int oldestHeld = 0;        // the oldest job still held for its turn
    bool oldestHasDocument = false;  // and whether its document has all arrived
    std::vector<int> gone;     // noted jobs that are no longer held
};

void lookAtJob(pappl_job_t* job, void* data)
{
    PrinterLook* look = static_cast<PrinterLook*>(data);
    const int id = papplJobGetID(job);
    const ipp_jstate_t state = papplJobGetState(job);
    if (look->held->count(id) == 0) {
        look->busy = look->busy || state == IPP_JSTATE_PROCESSING || state == IPP_JSTATE_PENDING;
        return;
    }
    if (state != IPP_JSTATE_HELD) {
        // Released by a user, or canceled: no longer the keeper's.
        look->gone.push_back(id);
        look->busy = look->busy || state == IPP_JSTATE_PROCESSING || state == IPP_JSTATE_PENDING;
        return;
    }
    if (look->oldestHeld == 0 || id < look->oldestHeld) {
        look->oldestHeld = id;
        look->oldestHasDocument = hasDocument(job);
    }
    const char* message = papplJobGetMessage(job);
    if (message == nullptr || std::strcmp(message, kWaitingMessage) != 0)
        papplJobSetMessage(job, "%s", kWaitingMessage);
}

// One look at every printer with held jobs; false once none is left or
// the server stops. A job released while the server stops is ended by
// PAPPL 1.3.1 as completed without printing anything; held, it stays in
// the state file.
bool keepOrder(pappl_system_t* system)
{
    std::map<int, std::set<int>> held;
    {
        std::lock_guard<std::mutex> lock(sLock);
        if (appServerStopping(system)) {
            sKeeperRuns = false;
            return false;
        }
        held = sHeld;
    }
    for (const auto& entry : held) {
        pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, entry.first, nullptr);
        PrinterLook look;
        look.held = &entry.second;
        if (printer != nullptr)
            papplPrinterIterateActiveJobs(printer, lookAtJob, &look, 1, 0);
        std::set<int> done(look.gone.begin(), look.gone.end());
        // Jobs no longer active (deleted, or ended) are gone too.
        for (int id : entry.second)
            if (printer == nullptr || papplPrinterFindJob(printer, id) == nullptr)
                done.insert(id);
        // The oldest job waits for its document: the keeper is started
        // when a job is created, before the document is read.
        if (!look.busy && look.oldestHeld != 0 && look.oldestHasDocument) {
            pappl_job_t* job = papplPrinterFindJob(printer, look.oldestHeld);
            if (job != nullptr && !appServerStopping(system)) {
                papplJobSetMessage(job, "%s", "");
                papplJobRelease(job, nullptr);
            }
            done.insert(look.oldestHeld);
        }
        std::lock_guard<std::mutex> lock(sLock);
        std::set<int>& ids = sHeld[entry.first];
        for (int id : done)
            ids.erase(id);
        if (ids.empty())
            sHeld.erase(entry.first);
    }
    std::lock_guard<std::mutex> lock(sLock);
    if (sHeld.empty() || appServerStopping(system)) {
        sKeeperRuns = false;
        return false;
    }
    return true;
}

void keeper(pappl_system_t* system)
{
    while (keepOrder(system))
        usleep(kLookMillis * 1000);
}

// Notes job of printer as held for its turn and makes sure the keeper
// runs. Calls nothing of PAPPL that takes a lock: it runs inside PAPPL's
// event callback too.
void noteHeld(pappl_printer_t* printer, pappl_job_t* job)
{
    pappl_system_t* system = papplPrinterGetSystem(printer);
    std::lock_guard<std::mutex> lock(sLock);
    sHeld[papplPrinterGetID(printer)].insert(papplJobGetID(job));
    if (sKeeperRuns)
        return;
    try {
        std::thread(keeper, system).detach();
        sKeeperRuns = true;
    } catch (...) {
        // No thread to spare: the next held job tries again.
    }
}

}  // namespace

void appHoldForJobOrder(pappl_client_t* client)
{
    tHoldingFor = nullptr;
    const ipp_op_t operation = papplClientGetOperation(client);
    pappl_printer_t* printer = papplClientGetPrinter(client);
    ipp_t* request = papplClientGetRequest(client);
    if (printer == nullptr || request == nullptr || !spooledDocument(client) ||
        ippFindAttribute(request, "job-hold-until", IPP_TAG_ZERO) != nullptr ||
        ippFindAttribute(request, "job-hold-until-time", IPP_TAG_ZERO) != nullptr)
        return;
    if (operation == IPP_OP_PRINT_JOB) {
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr,
                     kHoldIndefinite);
        tHoldingFor = printer;
        return;
    }
    if (operation != IPP_OP_SEND_DOCUMENT)
        return;
    ipp_attribute_t* jobId = ippFindAttribute(request, "job-id", IPP_TAG_INTEGER);
    pappl_job_t* job =
        jobId != nullptr ? papplPrinterFindJob(printer, ippGetInteger(jobId, 0)) : nullptr;
    if (job != nullptr && papplJobGetState(job) == IPP_JSTATE_PENDING &&
        papplJobHold(job, nullptr, kHoldIndefinite, 0))
        noteHeld(printer, job);
}

void appNoteJobOrderEvent(pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event)
{
    if ((event & PAPPL_EVENT_JOB_CREATED) == 0 || job == nullptr || printer == nullptr ||
        tHoldingFor != printer)
        return;
    tHoldingFor = nullptr;
    noteHeld(printer, job);
}

bool appJobWaitsForOrder(pappl_job_t* job)
{
    pappl_printer_t* printer = papplJobGetPrinter(job);
    std::lock_guard<std::mutex> lock(sLock);
    const auto held = sHeld.find(papplPrinterGetID(printer));
    return held != sHeld.end() && held->second.count(papplJobGetID(job)) != 0;
}
