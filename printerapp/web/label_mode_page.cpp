// The Label Mode web page: a form with the modes the driver supports,
// changed only by clients PAPPL authorises for its own settings pages.
#include "printerapp/web/label_mode_page.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

struct LabelModeChoice {
    pappl_label_mode_t mode;
    const char* value;
    const char* label;
};

// Mode 0 keeps the printer's own setting: no command is sent.
const LabelModeChoice sChoices[] = {
    {static_cast<pappl_label_mode_t>(0), "printer", "The printer's own setting"},
    {PAPPL_LABEL_MODE_TEAR_OFF, "tear-off", "Tear off"},
    {PAPPL_LABEL_MODE_PEEL_OFF, "peel-off", "Peel off"},
    {PAPPL_LABEL_MODE_CUTTER, "cutter", "Cut after each label"},
    // The printers' cutter has one cut, a full one: the delayed mode cuts
    // as the plain cutter does.
    {PAPPL_LABEL_MODE_CUTTER_DELAYED, "cutter-delayed", "Cut after each label (full cut)"},
};

void showPage(pappl_client_t* client, pappl_printer_t* printer, const char* path,
              const char* status)
{
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    papplClientHTMLPrinterHeader(client, printer, "Label Mode", 0, nullptr, nullptr);
    if (status != nullptr)
        papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
    papplClientHTMLStartForm(client, path, false);
    papplClientHTMLPrintf(client, "<table class=\"form\"><tbody><tr><th>After each label:</th>"
                                  "<td><select name=\"label-mode\">");
    for (const LabelModeChoice& choice : sChoices) {
        if (choice.mode != 0 && (data.mode_supported & choice.mode) == 0)
            continue;
        papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", choice.value,
                              data.mode_configured == choice.mode ? " selected" : "",
                              choice.label);
    }
    papplClientHTMLPrintf(client, "</select></td></tr><tr><th></th><td><input type=\"submit\" "
                                  "value=\"Save Changes\"></td></tr></tbody></table></form>\n");
    papplClientHTMLPrinterFooter(client);
}

bool labelModePage(pappl_client_t* client, void* data)
{
    const int printerId = static_cast<int>(reinterpret_cast<intptr_t>(data));
    pappl_printer_t* printer =
        papplSystemFindPrinter(papplClientGetSystem(client), nullptr, printerId, nullptr);
    if (printer == nullptr)
        return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
    if (!papplClientHTMLAuthorize(client))
        return true;  // PAPPL has answered: credentials needed
    char path[256];
    papplPrinterGetPath(printer, "label-mode", path, sizeof(path));
    const char* status = nullptr;
    if (papplClientGetMethod(client) == HTTP_STATE_POST) {
        cups_option_t* form = nullptr;
        const int numForm = papplClientGetForm(client, &form);
        pappl_label_mode_t mode;
        pappl_pr_driver_data_t driver;
        papplPrinterGetDriverData(printer, &driver);
        if (!papplClientIsValidForm(client, numForm, form)) {
            status = "Invalid form data.";
        } else if (!labelModeOf(cupsGetOption("label-mode", numForm, form), &mode) ||
                   (mode != 0 && (driver.mode_supported & mode) == 0)) {
            status = "That label mode is not supported.";
        } else {
            driver.mode_configured = mode;
            status = papplPrinterSetDriverDefaults(printer, &driver, 0, nullptr)
                         ? "Changes saved."
                         : "The label mode could not be saved.";
        }
        cupsFreeOptions(numForm, form);
    }
    showPage(client, printer, path, status);
    return true;
}

}  // namespace

bool labelModeOf(const char* value, pappl_label_mode_t* mode)
{
    if (value == nullptr)
        return false;
    for (const LabelModeChoice& choice : sChoices) {
        if (std::strcmp(value, choice.value) == 0) {
            *mode = choice.mode;
            return true;
        }
    }
    return false;
}

void addLabelModePage(pappl_printer_t* printer)
{
    char path[256];
    papplPrinterGetPath(printer, "label-mode", path, sizeof(path));
    // The printer is found again by its id, so a deleted printer leaves a
    // page that answers "not found" rather than a dangling pointer.
    papplSystemAddResourceCallback(
        papplPrinterGetSystem(printer), path, "text/html", labelModePage,
        reinterpret_cast<void*>(static_cast<intptr_t>(papplPrinterGetID(printer))));
    papplPrinterAddLink(printer, "Label Mode", path,
                        static_cast<pappl_loptions_t>(PAPPL_LOPTIONS_NAVIGATION |
                                                      PAPPL_LOPTIONS_CONFIGURATION));
}
