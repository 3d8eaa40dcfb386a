// Asks a TSPL printer for its status through the printer's PAPPL device
// (<ESC>!? and a one-byte answer), shows the conditions that stop it as
// printer-state-reasons, and holds a job while they last. What each printer
// last answered, or that it never does, is remembered here per printer.
// Idle printers are asked on a thread of their own, never in the thread of
// an IPP or web client: a printer that cannot be reached or does not answer
// never delays an answer, which shows what the printer last said.
#include "printerapp/devices/status.h"

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "printerapp/devices/folder_device.h"
#include "printerapp/devices/tcp_device.h"
#include "printerapp/system/stop.h"
#include "tspl/tspl_status.h"

namespace {

// The pause between two queries while a job waits.
constexpr int kPollMillis = 1000;
// A waiting job looks for cancel and shutdown this often.
constexpr int kCheckMillis = 100;
// How long the background queries leave alone a printer they could not
// reach.
constexpr int kUnreachableStatusSeconds = 10;
// An idle printer is asked at most this often.
constexpr int kRefreshSeconds = 2;

// The reasons a status answer sets; only those it set are taken back.
struct ReasonBit {
    const char* keyword;
    pappl_preason_t bit;
};
const ReasonBit sReasonBits[] = {
    {"media-empty", PAPPL_PREASON_MEDIA_EMPTY},
    {"media-jam", PAPPL_PREASON_MEDIA_JAM},
    {"cover-open", PAPPL_PREASON_COVER_OPEN},
    {"marker-supply-empty", PAPPL_PREASON_MARKER_SUPPLY_EMPTY},
    {"offline", PAPPL_PREASON_OFFLINE},
    {"other", PAPPL_PREASON_OTHER},
};

// What is known of one printer's answers. The device URI is kept so that a
// printer moved to another device is asked afresh.
struct PrinterMemory {
    std::string uri;
    time_t silentAt = 0;      // when it last failed to answer; 0: it answers
    time_t missedAt = 0;      // when a printer that answered before did not
    time_t unreachableAt = 0;  // when the status callback last could not reach it
    time_t answeredAt = 0;    // when it last answered
    unsigned char answer = 0;  // and what
    unsigned reasonsShown = 0; // pappl_preason_t bits this module set
    bool querying = false;     // a background query runs
    time_t queriedAt = 0;      // when the last background query ended
};

std::mutex sMemoryLock;
std::map<int, PrinterMemory> sMemory;

// The memory of printer, reset when its device changed. Call with
// sMemoryLock held.
PrinterMemory& memoryOf(pappl_printer_t* printer)
{
    PrinterMemory& memory = sMemory[papplPrinterGetID(printer)];
    const char* uri = papplPrinterGetDeviceURI(printer);
    if (uri != nullptr && memory.uri != uri) {
        memory = PrinterMemory();
        memory.uri = uri;
    }
    return memory;
}

bool isFileDevice(pappl_printer_t* printer)
{
    const char* uri = papplPrinterGetDeviceURI(printer);
    return uri == nullptr || appIsFileDeviceUri(uri);
}

// The printer setting; true unless set to false.
bool queriesWanted(pappl_printer_t* printer)
{
    std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer),
                                                        ippDelete);
    const std::string name = std::string(kQueryPrinterStatusName) + "-default";
    ipp_attribute_t* value =
        attrs ? ippFindAttribute(attrs.get(), name.c_str(), IPP_TAG_BOOLEAN) : nullptr;
    return value == nullptr || ippGetBoolean(value, 0) != 0;
}

// Whether printer has ever answered a status query: such a printer is
// asked before and after every job, whatever happened since. Call with
// sMemoryLock held.
bool talks(const PrinterMemory& memory) { return memory.answeredAt != 0; }

// Whether printer may be asked now. A printer that never answered is left
// alone for kSilentPrinterSeconds after a query went unanswered; the
// background queries leave one they could not reach (a connect may take
// seconds) to the next job for a while.
bool mayAsk(pappl_printer_t* printer, bool forStatus)
{
    if (isFileDevice(printer) || !queriesWanted(printer))
        return false;
    std::lock_guard<std::mutex> lock(sMemoryLock);
    const PrinterMemory& memory = memoryOf(printer);
    const time_t now = time(nullptr);
    if (forStatus && memory.unreachableAt != 0 &&
        now - memory.unreachableAt < kUnreachableStatusSeconds)
        return false;
    return talks(memory) || memory.silentAt == 0 ||
           now - memory.silentAt >= kSilentPrinterSeconds;
}

// Sets the reasons of status on printer and takes back those this module
// set before that no longer hold. PAPPL 1.3.1's papplPrinterGetReasons runs
// the status callback itself, so the reasons set are remembered here rather
// than read back.
void showConditions(pappl_printer_t* printer, const TsplStatus& status)
{
    const char* keywords[8];
    const size_t count = tsplStatusReasons(status, keywords, 8);
    unsigned now = 0;
    for (size_t i = 0; i < count; ++i)
        for (const ReasonBit& reason : sReasonBits)
            if (std::strcmp(keywords[i], reason.keyword) == 0)
                now |= reason.bit;
    unsigned before;
    {
        std::lock_guard<std::mutex> lock(sMemoryLock);
        PrinterMemory& memory = memoryOf(printer);
        before = memory.reasonsShown;
        memory.reasonsShown = now;
    }
    if (now != before)
        papplPrinterSetReasons(printer, static_cast<pappl_preason_t>(now),
                               static_cast<pappl_preason_t>(before & ~now));
}

// What one query gave.
enum class Reply { Answer, Silent, Lost };

// Asks once through device. A read that gives nothing within the device's
// wait is a printer without status; a failed write or a closed connection
// is left to the job's own writes to report.
Reply askPrinter(pappl_printer_t* printer, pappl_device_t* device, TsplStatus* status)
{
    if (papplDeviceWrite(device, kTsplStatusQuery, kTsplStatusQueryLength) !=
        static_cast<ssize_t>(kTsplStatusQueryLength)) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Status query not sent.");
        return Reply::Lost;
    }
    papplDeviceFlush(device);
    unsigned char answer = 0;
    const ssize_t got = papplDeviceRead(device, &answer, 1);
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Status query: %s 0x%02x.",
                    got == 1 ? "answer" : "no answer", got == 1 ? answer : 0);
    if (got == 0)
        return Reply::Lost;
    // A printer that cannot be reached is not one without status: the
    // device has marked it offline (and writes are buffered, so the query
    // itself seemed to go out).
    const bool offline = got < 0 && (papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE) != 0;
    std::lock_guard<std::mutex> lock(sMemoryLock);
    PrinterMemory& memory = memoryOf(printer);
    if (offline && (memory.reasonsShown & PAPPL_PREASON_OFFLINE) == 0)
        return Reply::Lost;
    if (got != 1) {
        (talks(memory) ? memory.missedAt : memory.silentAt) = time(nullptr);
        return Reply::Silent;
    }
    memory.silentAt = 0;
    memory.missedAt = 0;
    memory.unreachableAt = 0;
    memory.answeredAt = time(nullptr);
    memory.answer = answer;
    *status = decodeTsplStatus(answer);
    return Reply::Answer;
}

// Takes back the reasons set for a printer that stopped answering: nothing
// is known of it any more.
void forgetConditions(pappl_printer_t* printer) { showConditions(printer, TsplStatus()); }

// Whether the printer has answered a status query before.
bool printerTalks(pappl_printer_t* printer)
{
    std::lock_guard<std::mutex> lock(sMemoryLock);
    return talks(memoryOf(printer));
}

void logSilent(pappl_printer_t* printer)
{
    if (printerTalks(printer))
        papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                        "The printer did not answer a status query; it is asked again.");
    else
        papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                        "The printer does not report its status; it is not asked again for %d "
                        "minutes.",
                        kSilentPrinterSeconds / 60);
}

bool stopping(pappl_job_t* job)
{
    return appServerStopping(papplPrinterGetSystem(papplJobGetPrinter(job)));
}

// Sleeps kPollMillis; false as soon as job is canceled or the server stops.
bool pauseJob(pappl_job_t* job)
{
    for (int waited = 0; waited < kPollMillis; waited += kCheckMillis) {
        if (papplJobIsCanceled(job) || stopping(job))
            return false;
        usleep(kCheckMillis * 1000);
    }
    return !papplJobIsCanceled(job) && !stopping(job);
}

// The wait of a job on its device: before its first byte until no
// condition stops the printer, or after its last until it has printed
// everything. A printer that has answered before is never taken for one
// without status: while it does not answer, the job waits and asks again,
// and after the last byte the job is completed only once the printer said
// that every label is out.
bool waitForPrinter(pappl_job_t* job, pappl_device_t* device, bool untilPrinted)
{
    pappl_printer_t* printer = papplJobGetPrinter(job);
    if (!mayAsk(printer, false))
        return true;
    TsplPrintedCheck printed;
    printed.bytesSent();
    std::string shown;
    for (;;) {
        TsplStatus status;
        const Reply reply = askPrinter(printer, device, &status);
        const bool answeredBefore = printerTalks(printer);
        if (reply == Reply::Lost && untilPrinted && answeredBefore) {
            papplJobSetMessage(job, "The labels were sent, but the connection to the printer "
                                    "ended before it reported them printed.");
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", papplJobGetMessage(job));
            return false;
        }
        if (reply == Reply::Lost)
            break;
        if (reply == Reply::Silent) {
            logSilent(printer);
            if (!answeredBefore) {
                forgetConditions(printer);
                break;
            }
        } else {
            showConditions(printer, status);
            printed.observe(status);
        }
        const bool answered = reply == Reply::Answer;
        const bool stopped = answered && tsplNeedsAttention(status);
        if (answered && (untilPrinted ? printed.printedAll(status) : !stopped))
            break;
        const std::string text =
            !answered ? std::string("Waiting for the printer: it does not answer its status "
                                    "query")
            : stopped ? "Waiting for the printer: " + tsplConditionText(status)
                      : std::string("Waiting for the printer to finish printing");
        if (text != shown) {
            papplJobSetMessage(job, "%s", text.c_str());
            papplJobSetReasons(job,
                               stopped ? PAPPL_JREASON_PRINTER_STOPPED : PAPPL_JREASON_NONE,
                               stopped ? PAPPL_JREASON_NONE : PAPPL_JREASON_PRINTER_STOPPED);
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%s", text.c_str());
            shown = text;
        }
        if (!pauseJob(job)) {
            if (papplJobIsCanceled(job)) {
                papplJobSetMessage(job, "Canceled while waiting for the printer.");
                return false;
            }
            // After the last page every label is in the printer, which
            // prints them by itself once it can: the job is done, and
            // calling it failed would invite a second copy.
            papplJobSetMessage(job, untilPrinted
                                        ? "Sent; the server stopped before the printer "
                                          "reported every label printed."
                                        : "The server stopped while the job waited for the "
                                          "printer.");
            return untilPrinted;
        }
    }
    if (!shown.empty()) {
        papplJobSetMessage(job, untilPrinted ? "Printed." : "Printing.");
        papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
    }
    return true;
}

}  // namespace

namespace {

// One background query of the printer with id on system; the printer is
// found again by its id, as it may have been deleted meanwhile.
void queryIdlePrinter(pappl_system_t* system, int id)
{
    pappl_printer_t* printer = appServerStopping(system)
                                   ? nullptr
                                   : papplSystemFindPrinter(system, nullptr, id, nullptr);
    // Null while a job prints: a network printer takes one connection at a
    // time, and the job asks through its own.
    pappl_device_t* device = printer != nullptr ? papplPrinterOpenDevice(printer) : nullptr;
    if (device != nullptr) {
        TsplStatus status;
        const Reply reply = askPrinter(printer, device, &status);
        papplPrinterCloseDevice(printer);
        if (reply == Reply::Lost) {
            std::lock_guard<std::mutex> lock(sMemoryLock);
            memoryOf(printer).unreachableAt = time(nullptr);
        } else if (reply == Reply::Answer) {
            showConditions(printer, status);
        } else if (reply == Reply::Silent) {
            logSilent(printer);
            if (!printerTalks(printer))
                forgetConditions(printer);
        }
    }
    std::lock_guard<std::mutex> lock(sMemoryLock);
    PrinterMemory& memory = sMemory[id];
    memory.querying = false;
    memory.queriedAt = time(nullptr);
}

}  // namespace

bool appPrinterStatus(pappl_printer_t* printer)
{
    // PAPPL 1.3.1 calls this in the thread of an IPP or web client (and
    // from papplPrinterGetReasons, which the device's connection reporting
    // calls in turn): it starts a query and returns at once.
    if (!mayAsk(printer, true))
        return true;
    {
        std::lock_guard<std::mutex> lock(sMemoryLock);
        PrinterMemory& memory = memoryOf(printer);
        if (memory.querying || time(nullptr) - memory.queriedAt < kRefreshSeconds)
            return true;
        memory.querying = true;
    }
    const int id = papplPrinterGetID(printer);
    try {
        std::thread(queryIdlePrinter, papplPrinterGetSystem(printer), id).detach();
    } catch (...) {
        // No thread to spare: the next call tries again.
        std::lock_guard<std::mutex> lock(sMemoryLock);
        sMemory[id].querying = false;
    }
    return true;
}

bool appWaitBeforeJob(pappl_job_t* job, pappl_device_t* device)
{
    return waitForPrinter(job, device, false);
}

bool appWaitAfterJob(pappl_job_t* job, pappl_device_t* device)
{
    return waitForPrinter(job, device, true);
}

namespace {

std::string clockTime(time_t when)
{
    char text[32];
    struct tm local;
    localtime_r(&when, &local);
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

std::string appStatusSummary(pappl_printer_t* printer)
{
    if (isFileDevice(printer))
        return "The printer is a file: its status is not queried.";
    if (!queriesWanted(printer))
        return "Status queries are off (\"Query printer status\" in the printing defaults): "
               "no query is sent to the printer.";
    std::lock_guard<std::mutex> lock(sMemoryLock);
    const PrinterMemory& memory = memoryOf(printer);
    if (memory.silentAt != 0 && !talks(memory))
        return "The printer does not report its status: it did not answer at " +
               clockTime(memory.silentAt) +
               ". It is printed to as usual and asked again after " +
               clockTime(memory.silentAt + kSilentPrinterSeconds) + ".";
    if (memory.unreachableAt != 0)
        return "The printer could not be reached at " + clockTime(memory.unreachableAt) + ".";
    if (memory.answeredAt == 0)
        return "The printer has not been asked for its status yet.";
    const TsplStatus status = decodeTsplStatus(memory.answer);
    std::string state = tsplConditionText(status);
    if (state.empty())
        state = status.printing ? "printing" : "ready";
    std::string summary =
        "The printer reported \"" + state + "\" at " + clockTime(memory.answeredAt) + ".";
    if (memory.missedAt > memory.answeredAt)
        summary += " It did not answer at " + clockTime(memory.missedAt) +
                   "; it is asked again before every job.";
    return summary;
}
