// The test label: one page drawn at the printer's resolution and default
// label size that shows the label's edges (a frame on the outermost dots),
// the darkness (the configured value and a solid block) and how the
// halftone renders greys (a smooth ramp and eight steps).
#ifndef TAVEL_PRINTERAPP_JOBS_TESTPAGE_H
#define TAVEL_PRINTERAPP_JOBS_TESTPAGE_H

#include <pappl/pappl.h>

#include <vector>

// Draws the test label: width x height dots at dpi, one byte per dot,
// 0 = blank, 255 = full ink; darknessPercent is printed on it.
std::vector<unsigned char> drawTestLabel(unsigned width, unsigned height, int dpi,
                                         int darknessPercent);

// PAPPL's test page callback: writes the test label of the printer's
// loaded media as a PNG file at the printer's resolution and returns its
// path (in buffer), or null when the file cannot be written.
const char* appTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize);

#endif
