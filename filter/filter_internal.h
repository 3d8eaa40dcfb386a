// Shared declarations of the filter module: reading the job settings from
// the PPD and the job's options, and the whole job.
#ifndef TAVEL_FILTER_FILTER_INTERNAL_H
#define TAVEL_FILTER_FILTER_INTERNAL_H

#include <cups/ppd.h>

#include "tspl/tspl_commands.h"
#include "tspl/tspl_printer.h"
#include "tspl/tspl_settings.h"

// Job settings (job_settings.cpp). The image shift in printer dots, from the
// PageOffsetX/PageOffsetY settings, goes to offsetX/offsetY.
void parseSettings(Settings* settings, const char* options, int* offsetX, int* offsetY);
void parseCustomSettings(ppd_file_t* ppd, const char* options, int* offsetX, int* offsetY);
double getCustomValueFromArgs(const char* options, const char* name, bool* found);
double getCustomRealValueFromPPD(ppd_file_t* ppd, const char* name, const char* prefix);
void getPageWidthPageHeight(ppd_file_t* ppd, Settings* settings);

// The whole job: arguments, settings, page loop. Returns the exit status.
int runFilter(int argc, char* argv[]);

#endif
