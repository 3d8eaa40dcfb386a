// The "Printer Status" web page of a printer: what the printer last
// reported, that it does not report its status, or why it is not asked;
// and its latest jobs with why each waits or how it ended (the job's
// state message), which PAPPL 1.3.1's own job list does not show. Job
// names and owners are left out: the page is open to every client.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "printerapp/devices/status.h"

namespace {

// The jobs the page lists, newest first.
constexpr int kListedJobs = 20;

struct JobRow {
    int id;
    ipp_jstate_t state;
    std::string message;
    time_t created;
};

void collectJob(pappl_job_t* job, void* data)
{
    const char* message = papplJobGetMessage(job);
    static_cast<std::vector<JobRow>*>(data)->push_back(
        {papplJobGetID(job), papplJobGetState(job), message != nullptr ? message : "",
         papplJobGetTimeCreated(job)});
}

const char* stateWord(ipp_jstate_t state)
{
    switch (state) {
    case IPP_JSTATE_PENDING:
        return "Pending";
    case IPP_JSTATE_HELD:
        return "Held";
    case IPP_JSTATE_PROCESSING:
        return "Printing";
    case IPP_JSTATE_STOPPED:
        return "Stopped";
    case IPP_JSTATE_CANCELED:
        return "Canceled";
    case IPP_JSTATE_ABORTED:
        return "Aborted";
    case IPP_JSTATE_COMPLETED:
        return "Completed";
    }
    return "Unknown";
}

void jobTable(pappl_client_t* client, pappl_printer_t* printer)
{
    std::vector<JobRow> rows;
    papplPrinterIterateAllJobs(printer, collectJob, &rows, 1, kListedJobs);
    papplClientHTMLPuts(client, "<h2 class=\"title\">Jobs</h2>\n");
    if (rows.empty()) {
        papplClientHTMLPuts(client, "<p>No jobs.</p>\n");
        return;
    }
    papplClientHTMLPuts(client, "<table class=\"list\" summary=\"Jobs\">\n<thead><tr><th>Job</th>"
                                "<th>Accepted</th><th>State</th><th>Why</th></tr></thead>\n"
                                "<tbody>\n");
    for (const JobRow& row : rows) {
        char when[32] = "";
        struct tm local;
        localtime_r(&row.created, &local);
        std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
        papplClientHTMLPrintf(client, "<tr><td>%d</td><td>%s</td><td>%s</td><td>", row.id, when,
                              stateWord(row.state));
        papplClientHTMLEscape(client, row.message.c_str(), 0);
        papplClientHTMLPuts(client, "</td></tr>\n");
    }
    papplClientHTMLPuts(client, "</tbody>\n</table>\n");
}

bool statusPage(pappl_client_t* client, void* data)
{
    const int printerId = static_cast<int>(reinterpret_cast<intptr_t>(data));
    pappl_printer_t* printer =
        papplSystemFindPrinter(papplClientGetSystem(client), nullptr, printerId, nullptr);
    if (printer == nullptr)
        return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
    papplClientHTMLPrinterHeader(client, printer, "Printer Status", 10, nullptr, nullptr);
    try {
        papplClientHTMLPuts(client, "<p>");
        papplClientHTMLEscape(client, appStatusSummary(printer).c_str(), 0);
        papplClientHTMLPuts(client, "</p>\n");
        jobTable(client, printer);
    } catch (...) {
        // Out of memory: the page ends where it was.
    }
    papplClientHTMLPrinterFooter(client);
    return true;
}

}  // namespace

void appAddStatusPage(pappl_printer_t* printer)
{
    char path[256];
    papplPrinterGetPath(printer, "status", path, sizeof(path));
    // Found again by id: a deleted printer's page answers "not found".
    papplSystemAddResourceCallback(
        papplPrinterGetSystem(printer), path, "text/html", statusPage,
        reinterpret_cast<void*>(static_cast<intptr_t>(papplPrinterGetID(printer))));
    papplPrinterAddLink(printer, "Printer Status", path,
                        static_cast<pappl_loptions_t>(PAPPL_LOPTIONS_NAVIGATION |
                                                      PAPPL_LOPTIONS_STATUS));
}
