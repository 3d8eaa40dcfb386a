// The check of a Set-Printer-Attributes request before PAPPL saves it.
// PAPPL 1.3.1 stores whatever the request sets and answers
// "successful-ok": a halftone "bogus", an image darkening of 99, a gap of
// 999 mm, a darkness of 999. Each value is held here against what the
// printer supports, and a request with a value it does not take is refused
// whole with client-error-attributes-or-values-not-supported, the values
// named in its unsupported-attributes group, nothing saved.
#ifndef TAVEL_PRINTERAPP_SYSTEM_SETTINGS_CHECK_H
#define TAVEL_PRINTERAPP_SYSTEM_SETTINGS_CHECK_H

#include <pappl/pappl.h>

// From the authorization callback, for a client already allowed to change
// the printer: true when the request is a Set-Printer-Attributes that was
// refused, its answer in the response; the caller then lets PAPPL drop the
// request. False for every other request, and for one PAPPL may save.
bool appRefuseBadPrinterSettings(pappl_client_t* client);

#endif
