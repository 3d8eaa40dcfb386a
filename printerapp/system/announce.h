// DNS-SD announcements of the printers added while the server runs.
#pragma once

#include <pappl/pappl.h>

#include <mutex>
#include <vector>

// PAPPL 1.3.1 announces a printer only when the server starts: one added
// while it ran stayed unknown to clients until a restart. The system's
// event callback notes each new printer (it may run where a lock is held);
// the main loop's timer announces it within a second.
struct AppAnnouncer {
    std::mutex mutex;
    std::vector<int> pendingPrinterIds;
};
void appAnnounceNewPrinters(pappl_system_t* system, AppAnnouncer* announcer);
void appNoteNewPrinter(AppAnnouncer* announcer, pappl_printer_t* printer, pappl_event_t event);
