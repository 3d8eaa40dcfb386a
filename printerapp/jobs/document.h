// PNG and JPEG documents, decoded by the application itself so that their
// size is checked before a pixel is read (document.cpp).
#ifndef TAVEL_PRINTERAPP_JOBS_DOCUMENT_H
#define TAVEL_PRINTERAPP_JOBS_DOCUMENT_H

#include <pappl/pappl.h>

#include <cstdint>

#include "printerapp/system/models.h"

// The most pixels an image for a printer of model may have: twice its
// largest label at its resolution. PAPPL scales an image to the label, so
// more pixels than that only cost memory and time.
uint64_t appMaxImagePixels(const AppModel& model);

// Registers the PNG and JPEG filters with the system, in place of PAPPL's,
// and the PDF filter; before papplSystemRun.
void appAddDocumentFilters(pappl_system_t* system);

#endif
