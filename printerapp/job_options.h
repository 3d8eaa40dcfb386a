// From a job's IPP attributes to the settings the TSPL encoder and the page
// pipeline take: the same Settings record the CUPS filter fills from its PPD,
// the image offsets in dots, the copy count of each PRINT, and a note of
// every value that was refused and replaced. Also the check of each page
// header against the printer.
#ifndef TAVEL_PRINTERAPP_JOB_OPTIONS_H
#define TAVEL_PRINTERAPP_JOB_OPTIONS_H

#include <pappl/pappl.h>

#include <string>

#include "printerapp/app_models.h"
#include "tspl/tspl_settings.h"

struct JobSettings {
    Settings settings;
    int offsetX = 0;          // dots, right
    int offsetY = 0;          // dots, down
    int copies = 1;           // copies of each page the printer makes (PRINT 1,n)
    bool record = false;      // record-printer-commands
    std::string notes;        // refused values and what replaced them; empty when none
};

// Fills job from the job's options (options), the printer's driver
// attributes (defaults and supported values of the vendor attributes), the
// printer's label mode and whether PAPPL repeats pages itself for copies
// (true for PNG and JPEG). Never fails: a value that is not supported is
// replaced by the printer's default and noted.
void buildJobSettings(const AppModel& model, const pappl_pr_options_t& options,
                      ipp_t* driverAttrs, pappl_label_mode_t labelMode,
                      bool pagesRepeatedForCopies, JobSettings* job);

// How the lines of a page reach the pipeline.
enum class PageLevels { kInk, kInverted };

// Checks a page header against the printer: 8-bit one-channel grey at the
// head's resolution, within the head's width and length, and, when the job
// named its media (jobMedia not null), the size of that media. On failure
// writes a message for the job into message and returns false.
bool checkPageHeader(const AppModel& model, const cups_page_header2_t& header,
                     const pappl_media_col_t* jobMedia, PageLevels* levels, char* message,
                     size_t messageSize);

#endif
