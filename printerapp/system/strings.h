// The English labels of the vendor settings and their values, for PAPPL's
// web page (Printing Defaults) and for clients that read
// printer-strings-uri.
#ifndef TAVEL_PRINTERAPP_SYSTEM_STRINGS_H
#define TAVEL_PRINTERAPP_SYSTEM_STRINGS_H

#include <pappl/pappl.h>

// The strings, in Apple .strings form.
extern const char* const kEnglishStrings;

// Adds the strings to the system, merged with PAPPL's own English ones,
// and serves them as a file for clients.
void appAddStrings(pappl_system_t* system);

// Adds printer-strings-languages-supported and printer-strings-uri (the
// served file, on the system's host name and port) to a printer's driver
// attributes: fixed values, which PAPPL copies into each response once.
void appAddStringsAttributes(pappl_system_t* system, ipp_t* attrs);

#endif
