// The English labels of the vendor settings and their values, for PAPPL's
// web page (Printing Defaults) and for clients that read
// printer-strings-uri.
#ifndef TAVEL_PRINTERAPP_SYSTEM_STRINGS_H
#define TAVEL_PRINTERAPP_SYSTEM_STRINGS_H

#include <pappl/pappl.h>

// The strings, in Apple .strings form.
extern const char* const kEnglishStrings;

// Adds the strings to the system, merged with PAPPL's own English ones.
void appAddStrings(pappl_system_t* system);

#endif
