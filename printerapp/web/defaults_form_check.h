// The check of a printer's "Printing Defaults" form before PAPPL saves it.
// PAPPL 1.3.1 saves whatever the form posts: an image darkening of 99, a gap
// of 99 mm, a halftone "bogus", a darkness of 999 %, and says "Changes
// saved.". The form is read here without taking it from the connection
// (PAPPL reads it next), each value is held against what the printer
// supports, and a form with a value out of range is refused with a page
// that says which value and what the printer takes.
#ifndef TAVEL_PRINTERAPP_WEB_DEFAULTS_FORM_CHECK_H
#define TAVEL_PRINTERAPP_WEB_DEFAULTS_FORM_CHECK_H

#include <pappl/pappl.h>

// From the authorization callback, for a client already allowed to change
// the printer: true when the request is a Printing Defaults form that was
// refused, and the answer (a page saying why) has been sent; the caller
// then lets PAPPL drop the request. False for every other request, and for
// a form PAPPL may save.
bool appRefuseBadDefaultsForm(pappl_client_t* client);

#endif
