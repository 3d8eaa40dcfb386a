// The Label Mode page of each printer: PAPPL 1.3.1's web pages offer no
// way to choose what the printer does after each label (tear off, peel off,
// cut), so each printer gets its own page for it.
#ifndef TAVEL_PRINTERAPP_WEB_LABEL_MODE_PAGE_H
#define TAVEL_PRINTERAPP_WEB_LABEL_MODE_PAGE_H

#include <pappl/pappl.h>

// Adds the page and its link to printer (from the printer creation
// callback).
void addLabelModePage(pappl_printer_t* printer);

// The label mode of a form value ("tear-off", ...; "printer" for the
// printer's own setting); false for any other value.
bool labelModeOf(const char* value, pappl_label_mode_t* mode);

#endif
