// The printer's home page. PAPPL 1.3.1's own page acts on its buttons
// (pause, resume, hold and release new jobs, set as default, cancel all
// jobs) after checking only the form token, which the same public page
// prints: any client could stop the printers. This page shows the same
// state and buttons; identifying the printer and printing the test label
// stay open (as printing is), every other button needs an administrator,
// asked through the authorization callback, which also checks the form's
// origin and cookie.
#include "printerapp/web/printer_page.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "printerapp/web/form_guard.h"

namespace {

struct Button {
    const char* action;
    const char* label;
    bool open;  // to every client
};

const Button sIdentify = {"identify-printer", "Identify Printer", true};
const Button sTestPage = {"print-test-page", "Print Test Page", true};
const Button sPause = {"pause-printer", "Pause Printing", false};
const Button sResume = {"resume-printer", "Resume Printing", false};
const Button sHold = {"hold-new-jobs", "Hold New Jobs", false};
const Button sRelease = {"release-held-new-jobs", "Release Held New Jobs", false};
const Button sDefault = {"set-as-default", "Set as Default", false};
const Button sCancelAll = {"cancel-all-jobs", "Cancel All Jobs", false};
const Button* const sButtons[] = {&sIdentify, &sTestPage, &sPause, &sResume,
                                  &sHold,     &sRelease,  &sDefault, &sCancelAll};

pappl_printer_t* printerOf(pappl_client_t* client, void* data)
{
    return papplSystemFindPrinter(papplClientGetSystem(client), nullptr,
                                  static_cast<int>(reinterpret_cast<intptr_t>(data)), nullptr);
}

void showButton(pappl_client_t* client, const char* path, const Button& button)
{
    papplClientHTMLStartForm(client, path, false);
    papplClientHTMLPrintf(client,
                          "<input type=\"hidden\" name=\"action\" value=\"%s\">"
                          "<input type=\"submit\" value=\"%s\"></form>\n",
                          button.action, button.label);
}

const char* stateText(ipp_pstate_t state)
{
    switch (state) {
    case IPP_PSTATE_IDLE:
        return "Idle";
    case IPP_PSTATE_PROCESSING:
        return "Printing";
    default:
        return "Stopped";
    }
}

void showJob(pappl_job_t* job, void* data)
{
    pappl_client_t* client = static_cast<pappl_client_t*>(data);
    papplClientHTMLPrintf(client, "<tr><td>%d</td><td>", papplJobGetID(job));
    papplClientHTMLEscape(client, papplJobGetName(job), 0);
    papplClientHTMLPuts(client, "</td><td>");
    papplClientHTMLEscape(client, papplJobGetUsername(job), 0);
    papplClientHTMLPrintf(client, "</td><td>%s</td></tr>\n",
                          ippEnumString("job-state", static_cast<int>(papplJobGetState(job))));
}

void showPage(pappl_client_t* client, pappl_printer_t* printer, const char* path,
              const char* banner)
{
    papplClientHTMLPrinterHeader(client, printer, nullptr, 10, nullptr, nullptr);
    if (banner != nullptr)
        papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", banner);
    const ipp_pstate_t state = papplPrinterGetState(printer);
    papplClientHTMLPrintf(client, "<p>%s%s%s.</p>\n", stateText(state),
                          papplPrinterIsAcceptingJobs(printer) ? ", accepting jobs"
                                                               : ", not accepting jobs",
                          papplPrinterIsHoldingNewJobs(printer) ? ", holding new jobs" : "");
    showButton(client, path, sIdentify);
    showButton(client, path, sTestPage);
    showButton(client, path, state == IPP_PSTATE_STOPPED ? sResume : sPause);
    showButton(client, path, papplPrinterIsHoldingNewJobs(printer) ? sRelease : sHold);
    if (papplSystemGetDefaultPrinterID(papplClientGetSystem(client)) != papplPrinterGetID(printer))
        showButton(client, path, sDefault);
    if (papplPrinterGetNumberOfActiveJobs(printer) > 0)
        showButton(client, path, sCancelAll);
    papplClientHTMLPuts(client, "<h2>Jobs</h2>\n<table class=\"list\"><thead><tr><th>Job</th>"
                                "<th>Name</th><th>Owner</th><th>State</th></tr></thead><tbody>\n");
    papplPrinterIterateActiveJobs(printer, showJob, client, 1, 0);
    papplClientHTMLPuts(client, "</tbody></table>\n");
    papplClientHTMLPrinterFooter(client);
}

// Acts on a button; the message for the page.
const char* act(pappl_client_t* client, pappl_printer_t* printer, const Button& button)
{
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(printer, &driver);
    if (&button == &sIdentify) {
        if (driver.identify_cb == nullptr)
            return "This printer cannot identify itself.";
        driver.identify_cb(printer, driver.identify_default, "Hello.");
        return "Printer identified.";
    }
    if (&button == &sTestPage) {
        char file[1024];
        const char* made = driver.testpage_cb != nullptr
                               ? driver.testpage_cb(printer, file, sizeof(file))
                               : nullptr;
        // The button is open to everyone: a browser that gave no name owns
        // its test label as "anonymous" (PAPPL makes no job without an owner).
        const char* user = papplClientGetUsername(client);
        if (user == nullptr || *user == '\0')
            user = "anonymous";
        if (made == nullptr ||
            papplJobCreateWithFile(printer, user, "image/png", "Test Page", 0, nullptr, made) ==
                nullptr)
            return "The test page could not be printed.";
        return "Test page printing.";
    }
    if (&button == &sPause)
        papplPrinterPause(printer);
    else if (&button == &sResume)
        papplPrinterResume(printer);
    else if (&button == &sHold)
        papplPrinterHoldNewJobs(printer);
    else if (&button == &sRelease)
        papplPrinterReleaseHeldNewJobs(printer, papplClientGetUsername(client));
    else if (&button == &sDefault)
        papplSystemSetDefaultPrinterID(papplClientGetSystem(client), papplPrinterGetID(printer));
    else if (&button == &sCancelAll)
        papplPrinterCancelAllJobs(printer);
    return "Done.";
}

bool printerPage(pappl_client_t* client, void* data)
{
    pappl_printer_t* printer = printerOf(client, data);
    if (printer == nullptr)
        return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
    char path[256];
    papplPrinterGetPath(printer, nullptr, path, sizeof(path));
    if (papplClientGetMethod(client) != HTTP_STATE_POST) {
        // The cookie travels in the answer's header, which the page header
        // starts. (libcups keeps the cookie to send and the one received
        // in one place: a form's is checked before any is set.)
        appIssueFormCookie(client);
        showPage(client, printer, path, nullptr);
        return true;
    }
    cups_option_t* form = nullptr;
    const int numForm = papplClientGetForm(client, &form);
    const char* action = cupsGetOption("action", numForm, form);
    const Button* button = nullptr;
    for (const Button* candidate : sButtons)
        if (action != nullptr && std::strcmp(action, candidate->action) == 0)
            button = candidate;
    const bool valid = papplClientIsValidForm(client, numForm, form);
    cupsFreeOptions(numForm, form);
    // papplClientHTMLAuthorize answers the client itself when it refuses.
    if (valid && button != nullptr && !button->open && !papplClientHTMLAuthorize(client))
        return true;
    const char* banner = !valid             ? "Invalid form data."
                         : button == nullptr ? "Unknown action."
                                             : act(client, printer, *button);
    showPage(client, printer, path, banner);
    return true;
}

}  // namespace

void appServePrinterPage(pappl_printer_t* printer)
{
    char path[256];
    papplPrinterGetPath(printer, nullptr, path, sizeof(path));
    pappl_system_t* system = papplPrinterGetSystem(printer);
    // PAPPL serves its page at the path and, for its forms, at the path
    // with a slash.
    const std::string paths[] = {path, std::string(path) + "/"};
    for (const std::string& each : paths) {
        papplSystemRemoveResource(system, each.c_str());
        // Found again by id: a deleted printer's page answers "not found".
        papplSystemAddResourceCallback(
            system, each.c_str(), "text/html", printerPage,
            reinterpret_cast<void*>(static_cast<intptr_t>(papplPrinterGetID(printer))));
    }
}
