// DNS-SD announcements of the printers added while the server runs:
// setting a printer's DNS-SD name again registers it with the running
// DNS-SD service.
#include "printerapp/system/announce.h"

namespace {

bool announcePending(pappl_system_t* system, void* data)
{
    AppAnnouncer* announcer = static_cast<AppAnnouncer*>(data);
    std::vector<int> ids;
    {
        std::lock_guard<std::mutex> lock(announcer->mutex);
        ids.swap(announcer->pendingPrinterIds);
    }
    for (int id : ids) {
        pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
        char name[256];
        if (printer != nullptr && papplPrinterGetDNSSDName(printer, name, sizeof(name)) != nullptr)
            papplPrinterSetDNSSDName(printer, name);
    }
    return true;
}

}  // namespace

void appAnnounceNewPrinters(pappl_system_t* system, AppAnnouncer* announcer)
{
    papplSystemAddTimerCallback(system, 0, 1, announcePending, announcer);
}

void appNoteNewPrinter(AppAnnouncer* announcer, pappl_printer_t* printer, pappl_event_t event)
{
    if (printer == nullptr || (event & PAPPL_EVENT_PRINTER_CREATED) == 0)
        return;
    std::lock_guard<std::mutex> lock(announcer->mutex);
    announcer->pendingPrinterIds.push_back(papplPrinterGetID(printer));
}
