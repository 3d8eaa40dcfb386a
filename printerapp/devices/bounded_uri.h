// Network printers that users name with socket:// (what PAPPL's device
// list, lpinfo and the printers' own manuals give) are driven by the
// bounded tcp:// device, and file:// URIs (PAPPL's file device follows
// links and blocks on FIFOs at every job) by the folder:// device. PAPPL
// 1.3.1 looks a scheme up in a list where its own socket and file
// implementations always come first, and it offers no way to
// change a printer's device once it exists; so the URI is mapped wherever
// a printer is made: the Add Printer page, IPP Create-Printer, the add
// sub-command and the state file read at start.
#ifndef TAVEL_PRINTERAPP_DEVICES_BOUNDED_URI_H
#define TAVEL_PRINTERAPP_DEVICES_BOUNDED_URI_H

#include <pappl/pappl.h>

#include <string>

// uri with socket:// replaced by tcp:// and file:// by folder:// (the
// rest kept); any other URI unchanged. Null gives "".
std::string appBoundedDeviceUri(const char* uri);

// Maps the device URI of a Create-Printer request in place (from the
// authorization callback, before PAPPL reads the request).
void appMapCreatePrinterRequest(pappl_client_t* client);

// Maps the device URIs of the add sub-command's arguments in place.
void appMapDeviceArguments(int argc, char* argv[]);

// Maps the printers' device URIs in the state file at path before PAPPL
// loads it (written anew through a temporary file; untouched when nothing
// needs mapping or it cannot be read).
void appMapStateFile(const std::string& path);

#endif
