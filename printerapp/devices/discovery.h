// Finding printers without crashing when avahi-daemon does not run: PAPPL
// 1.3.1 aborts the whole process (an assertion in avahi's client library)
// when it browses DNS-SD without the daemon, so the Add Printer page and
// the devices sub-command list what can be found without it (USB) and say
// that network discovery needs avahi-daemon.
#pragma once

#include <pappl/pappl.h>

#include "printerapp/system/security.h"

// True when avahi-daemon answers on its socket.
bool appAvahiRuns();

// Replaces PAPPL's Add Printer page with one that lists USB printers, takes
// any device URI and reports why a printer could not be created. security
// lives as long as the system.
void appAddPrinterPage(pappl_system_t* system, const AppSecurity* security);

// The devices sub-command when avahi-daemon does not run: prints the USB
// printers and a note on standard error. Returns the exit status.
int appListLocalDevices();
