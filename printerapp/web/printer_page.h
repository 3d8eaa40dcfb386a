// A printer's home page in the web interface (printer_page.cpp), served in
// place of PAPPL's own.
#pragma once

#include <pappl/pappl.h>

// Serves the printer's home page (its path, e.g. /tl4) from now on: the
// printer's state, its active jobs and its buttons. Called when the printer
// exists: before the server runs for printers of the state file, and on
// PAPPL's printer-created event for new ones (PAPPL registers its own page
// before that event, and this replaces it).
void appServePrinterPage(pappl_printer_t* printer);
