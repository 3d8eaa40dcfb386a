// The printer's status through the CUPS back channel: when the job asks for
// it and the backend's link to the printer carries answers, the filter asks
// the printer for its status between pages, reports a condition that stops
// it to the print system (STATE: and INFO: lines), waits until someone
// clears it, and at the end of the job waits until everything is printed.
// A printer that does not answer is not asked again in the job.
#include <cups/sidechannel.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filter/filter_internal.h"
#include "tspl/tspl_status.h"

namespace {

// Descriptors CUPS gives a filter besides the standard three.
constexpr int kBackChannelFd = 3;
constexpr int kSideChannelFd = 4;

// How long the printer has to answer a query; a printer without status
// never does, and costs the job this once.
constexpr double kAnswerSeconds = 1.0;
// How long the backend may take to say whether its link is bidirectional.
constexpr double kBidiSeconds = 5.0;
// How long the backend may take to pass on everything written so far. A
// printer that stopped with a full buffer takes no more bytes; the query
// then waits for the next round.
constexpr double kDrainSeconds = 5.0;
// The pause between two queries while the printer is stopped or busy.
constexpr long kPollMillis = 2000;

// Keywords of reported reasons carry the severity CUPS shows them with.
std::string reasonKeyword(const char* reason) { return std::string(reason) + "-error"; }

void writeLogLine(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// Sleeps, but a signal (SIGTERM) ends the sleep at once.
void sleepMillis(long millis)
{
    struct timespec delay = {millis / 1000, (millis % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

// What one query gave: an answer, none in time, no query made now (the
// backend is still passing bytes on), or no way to reach the printer.
enum class Answer { Status, Silent, NotNow, Lost };

// Asks the printer once. Everything written so far goes out first, so that
// the answer tells about the pages already sent.
Answer askPrinter(unsigned char* status)
{
    if (std::fflush(stdout) != 0)
        return Answer::Lost;
    char data[8];
    int length = 0;
    const cups_sc_status_t drained =
        cupsSideChannelDoRequest(CUPS_SC_CMD_DRAIN_OUTPUT, data, &length, kDrainSeconds);
    if (drained == CUPS_SC_STATUS_TIMEOUT)
        return Answer::NotNow;
    // An answer that came too late for an earlier query is no answer to this one.
    char stale[64];
    while (cupsBackChannelRead(stale, sizeof(stale), 0.0) > 0) {
    }
    std::fwrite(kTsplStatusQuery, 1, kTsplStatusQueryLength, stdout);
    if (std::fflush(stdout) != 0)
        return Answer::Lost;
    char answer = 0;
    if (cupsBackChannelRead(&answer, 1, kAnswerSeconds) != 1)
        return Answer::Silent;
    *status = static_cast<unsigned char>(answer);
    return Answer::Status;
}

}  // namespace

bool backChannelsOpen()
{
    struct stat back;
    struct stat side;
    return fstat(kBackChannelFd, &back) == 0 && fstat(kSideChannelFd, &side) == 0 &&
           S_ISSOCK(side.st_mode) && (S_ISFIFO(back.st_mode) || S_ISSOCK(back.st_mode));
}

void startStatusWatch(PrinterStatusWatch* watch, bool wanted, bool channelsOpen)
{
    watch->enabled = false;
    if (!wanted)
        return;
    if (!channelsOpen) {
        tavelLogCommon(0, "No back channel to the printer: its status is not queried");
        return;
    }
    // The scheduler writes to a file: device itself; no backend would
    // answer the side channel, and asking would only cost the wait.
    const char* device = std::getenv("DEVICE_URI");
    if (device != nullptr && std::strncmp(device, "file:", 5) == 0) {
        tavelLogCommon(0, "The printer is a file: its status is not queried");
        return;
    }
    char data[8] = {};
    int length = sizeof(data);
    const cups_sc_status_t status =
        cupsSideChannelDoRequest(CUPS_SC_CMD_GET_BIDI, data, &length, kBidiSeconds);
    watch->enabled = status == CUPS_SC_STATUS_OK && length >= 1 && data[0] == CUPS_SC_BIDI_SUPPORTED;
    if (!watch->enabled)
        tavelLogCommon(0, "The link to the printer is one-way: its status is not queried");
}

namespace {

// Writes the STATE: lines that turn the reported reasons into those of
// status, and remembers them.
void reportConditions(PrinterStatusWatch* watch, const TsplStatus& status)
{
    const char* reasons[8];
    const size_t count = tsplStatusReasons(status, reasons, 8);
    std::vector<std::string> now;
    for (size_t i = 0; i < count; ++i)
        now.push_back(reasonKeyword(reasons[i]));
    std::string added;
    std::string removed;
    for (const std::string& reason : now)
        if (std::find(watch->reported.begin(), watch->reported.end(), reason) == watch->reported.end())
            added += (added.empty() ? "" : ",") + reason;
    for (const std::string& reason : watch->reported)
        if (std::find(now.begin(), now.end(), reason) == now.end())
            removed += (removed.empty() ? "" : ",") + reason;
    if (!removed.empty())
        writeLogLine("STATE: -" + removed + "\n");
    if (!added.empty())
        writeLogLine("STATE: +" + added + "\n");
    watch->reported = now;
}

}  // namespace

void endStatusWatch(PrinterStatusWatch* watch)
{
    reportConditions(watch, TsplStatus());
    watch->enabled = false;
}

bool waitForPrinter(PrinterStatusWatch* watch, bool untilPrinted, bool (*canceled)())
{
    std::string shownText;
    // Each call but the last follows bytes that make labels: the preamble
    // or a page.
    if (!untilPrinted)
        watch->printed.bytesSent();
    while (watch->enabled) {
        unsigned char answer = 0;
        const Answer asked = askPrinter(&answer);
        // The page loop finds the broken output and ends the job.
        if (asked == Answer::Lost) {
            endStatusWatch(watch);
            break;
        }
        if (asked == Answer::Silent) {
            // WARNING: lines reach the queue's message, so that the user
            // learns why no condition will ever be shown.
            writeLogLine("WARNING: The printer does not report its status; it is not asked again "
                         "in this job\n");
            endStatusWatch(watch);
            break;
        }
        if (asked == Answer::Status) {
            const TsplStatus status = decodeTsplStatus(answer);
            reportConditions(watch, status);
            const bool stopped = tsplNeedsAttention(status);
            watch->printed.observe(status);
            if (untilPrinted ? watch->printed.printedAll(status) : !stopped)
                break;
            const std::string text =
                stopped ? "Waiting for the printer: " + tsplConditionText(status)
                        : std::string("Waiting for the printer to finish printing");
            if (text != shownText && (stopped || status.printing)) {
                writeLogLine("INFO: " + text + "\n");
                shownText = text;
            }
        }
        if (canceled())
            return false;
        sleepMillis(kPollMillis);
        if (canceled())
            return false;
    }
    // The message the printer's page shows goes back to the job's progress.
    if (!shownText.empty())
        writeLogLine(untilPrinted ? "INFO: Printed\n" : "INFO: Printing\n");
    return true;
}
