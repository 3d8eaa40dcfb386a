// Asks a TSPL printer for its status through the printer's PAPPL device
// (<ESC>!? and a one-byte answer), shows the conditions that stop it as
// printer-state-reasons, and holds a job while they last. What each printer
// last answered, or that it never does, is remembered here per printer.
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

#include "printerapp/devices/tcp_device.h"
#include "printerapp/system/stop.h"
#include "tspl/tspl_status.h"

namespace {

// The pause between two queries while a job waits.
constexpr int kPollMillis = 1000;
// A waiting job looks for cancel and shutdown this often.
constexpr int kCheckMillis = 100;
// How long the status callback leaves alone a printer it could not reach.
constexpr int kUnreachableStatusSeconds = 30;

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
    time_t unreachableAt = 0;  // when the status callback last could not reach it
    time_t answeredAt = 0;    // when it last answered
    unsigned char answer = 0;  // and what
    unsigned reasonsShown = 0; // pappl_preason_t bits this module set
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
    return uri == nullptr || std::strncmp(uri, "file:", 5) == 0;
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

// Whether printer may be asked now. The status callback runs in the
// thread of an IPP or web client: a printer it could not reach (a connect
// may take seconds) is left to the next job for a while.
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
    return memory.silentAt == 0 || now - memory.silentAt >= kSilentPrinterSeconds;
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
        memory.silentAt = time(nullptr);
        return Reply::Silent;
    }
    memory.silentAt = 0;
    memory.unreachableAt = 0;
    memory.answeredAt = time(nullptr);
    memory.answer = answer;
    *status = decodeTsplStatus(answer);
    return Reply::Answer;
}

// Takes back the reasons set for a printer that stopped answering: nothing
// is known of it any more.
void forgetConditions(pappl_printer_t* printer) { showConditions(printer, TsplStatus()); }

void logSilent(pappl_printer_t* printer)
{
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
// everything.
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
        if (reply == Reply::Lost)
            break;
        if (reply == Reply::Silent) {
            logSilent(printer);
            forgetConditions(printer);
            break;
        }
        showConditions(printer, status);
        printed.observe(status);
        const bool stopped = tsplNeedsAttention(status);
        if (untilPrinted ? printed.printedAll(status) : !stopped)
            break;
        const std::string text = stopped
                                     ? "Waiting for the printer: " + tsplConditionText(status)
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
            if (papplJobIsCanceled(job))
                return false;
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

bool appPrinterStatus(pappl_printer_t* printer)
{
    // PAPPL 1.3.1 calls this from papplPrinterGetReasons, which the device's
    // connection reporting calls in turn: a call within a call returns.
    static thread_local bool asking = false;
    if (asking || !mayAsk(printer, true))
        return true;
    asking = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{asking};
    // Null while a job prints: a network printer takes one connection at a
    // time, and the job asks through its own.
    pappl_device_t* device = papplPrinterOpenDevice(printer);
    if (device == nullptr)
        return true;
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
        forgetConditions(printer);
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
    if (memory.silentAt != 0)
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
    return "The printer reported \"" + state + "\" at " + clockTime(memory.answeredAt) + ".";
}
