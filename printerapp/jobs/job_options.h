// From a job's IPP attributes to the settings the TSPL encoder and the page
// pipeline take: the same Settings record the CUPS filter fills from its PPD,
// the image offsets in dots, the copy count of each PRINT, and a note of
// every value that was refused and replaced. Also the check of each page
// header against the printer.
#ifndef TAVEL_PRINTERAPP_JOBS_JOB_OPTIONS_H
#define TAVEL_PRINTERAPP_JOBS_JOB_OPTIONS_H

#include <pappl/pappl.h>

#include <string>

#include "printerapp/system/models.h"
#include "tspl/tspl_settings.h"

struct JobSettings {
    Settings settings;
    int offsetX = 0;          // dots, right
    int offsetY = 0;          // dots, down
    int copies = 1;           // copies of each page the printer makes (PRINT 1,n)
    bool record = false;      // record-printer-commands
    bool labelCrop = true;    // label-crop: a carrier page's label box is cut out
    std::string notes;        // refused values and what replaced them; empty when none
};

// The halftone keyword a photo gets when neither the job nor the printer
// names one: an error diffusion, which keeps a photo's greys.
extern const char* const kPhotoHalftone;

// Fills job from the job's options (options), the printer's driver
// attributes (defaults and supported values of the vendor attributes), the
// printer's label mode and the document's format (PAPPL repeats PNG and
// JPEG pages itself for copies; a JPEG counts as a photo). Never fails: a
// value that is not supported is replaced by the printer's default and
// noted.
void buildJobSettings(const AppModel& model, const pappl_pr_options_t& options,
                      ipp_t* driverAttrs, pappl_label_mode_t labelMode, const char* format,
                      JobSettings* job);

// How the lines of a page reach the pipeline.
enum class PageLevels { kInk, kInverted };

// Checks a page header against the printer: 8-bit one-channel grey at the
// head's resolution and of a sane size. On failure writes a message for the
// job into message and returns false. Sets fit when the page must be fitted
// onto the label: it lies outside the head's width or length, or, when the
// job named its media (jobMedia not null), its size is not that media's.
bool checkPageHeader(const AppModel& model, const cups_page_header2_t& header,
                     const pappl_media_col_t* jobMedia, PageLevels* levels, bool* fit,
                     char* message, size_t messageSize);

// The size of media in dots across and along; false when the printer
// cannot print a label of that size.
bool labelDots(const AppModel& model, const pappl_media_col_t& media, unsigned* width,
               unsigned* length);

#endif
