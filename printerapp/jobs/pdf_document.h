// PDF documents: each page rendered with poppler at the printer's
// resolution and fitted onto the label (or its carrier label box cut out),
// then printed as a raster page.
#ifndef TAVEL_PRINTERAPP_JOBS_PDF_DOCUMENT_H
#define TAVEL_PRINTERAPP_JOBS_PDF_DOCUMENT_H

#include <pappl/pappl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One rendered page: one byte per dot, 0 = blank, 255 = full ink.
struct RenderedPage {
    unsigned width = 0;
    unsigned height = 0;
    int dpi = 0;  // the resolution it was rendered at
    std::vector<unsigned char> ink;
};

struct PdfLimits {
    int dpi = 203;              // resolution pages are rendered at
    uint64_t maxPixels = 0;     // a page with more dots is rendered coarser
    unsigned maxPages = 1000;   // pages beyond are refused
    unsigned pageSeconds = 60;  // longest a page may take to render
};

// Renders every page of the PDF at path, handing each (with its number
// from 1) to onPage, which returns false to stop. Poppler runs in a child
// process, so that a damaged or hostile PDF can neither crash nor hold the
// server: the child is killed when stopped() turns true or a page takes
// longer than pageSeconds. False with error set when the document cannot
// be rendered.
bool renderPdf(const char* path, const PdfLimits& limits,
               const std::function<bool(RenderedPage&, unsigned)>& onPage,
               const std::function<bool()>& stopped, std::string* error);

// The server renders each PDF in the program started anew with this first
// argument, the document's file, the resolution and the bounds on dots and
// pages; main() hands such a command line to appRunPdfRenderer, which
// writes the pages to standard output and returns the exit status.
extern const char* const kPdfRendererArgument;
int appRunPdfRenderer(int argc, char* argv[]);

// Registers the PDF filter with the system; before papplSystemRun.
void appAddPdfFilter(pappl_system_t* system);

#endif
