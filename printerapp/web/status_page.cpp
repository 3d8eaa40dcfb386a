// The "Printer Status" web page of a printer: what the printer last
// reported, that it does not report its status, or why it is not asked.
#include <cstdint>

#include "printerapp/devices/status.h"

namespace {

bool statusPage(pappl_client_t* client, void* data)
{
    const int printerId = static_cast<int>(reinterpret_cast<intptr_t>(data));
    pappl_printer_t* printer =
        papplSystemFindPrinter(papplClientGetSystem(client), nullptr, printerId, nullptr);
    if (printer == nullptr)
        return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
    papplClientHTMLPrinterHeader(client, printer, "Printer Status", 10, nullptr, nullptr);
    papplClientHTMLPuts(client, "<p>");
    papplClientHTMLEscape(client, appStatusSummary(printer).c_str(), 0);
    papplClientHTMLPuts(client, "</p>\n");
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
