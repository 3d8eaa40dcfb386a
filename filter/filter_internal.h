// Shared declarations of the filter module: reading the job settings from
// the PPD and the job's options, and the whole job.
#ifndef TAVEL_FILTER_FILTER_INTERNAL_H
#define TAVEL_FILTER_FILTER_INTERNAL_H

#include <cups/ppd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tspl/tspl_commands.h"
#include "tspl/tspl_printer.h"
#include "tspl/tspl_settings.h"
#include "tspl/tspl_status.h"

// Job settings (job_settings.cpp). The image shift in printer dots, from the
// PageOffsetX/PageOffsetY settings, goes to offsetX/offsetY.
void parseSettings(Settings* settings, const char* options, int* offsetX, int* offsetY);
void parseCustomSettings(ppd_file_t* ppd, const char* options, int* offsetX, int* offsetY);
double getCustomValueFromArgs(const char* options, const char* name, bool* found);
double getCustomRealValueFromPPD(ppd_file_t* ppd, const char* name, const char* prefix);
void getPageWidthPageHeight(ppd_file_t* ppd, Settings* settings);

// Bytes the memory limits of this process's cgroups (version 2 or 1) leave
// it: the tightest limit among its group and the groups above, less their
// usage, plus the file cache the kernel reclaims first. UINT64_MAX without a
// limit. membershipFile is /proc/self/cgroup and rootPrefix "" but for tests,
// which point them at a tree of their own.
uint64_t cgroupMemoryLeft(const char* membershipFile, const char* rootPrefix);

// The printer's status through the back channel (printer_status.cpp).
struct PrinterStatusWatch {
    bool enabled = false;               // queries go to the printer
    std::vector<std::string> reported;  // reasons set with STATE: +
    TsplPrintedCheck printed;           // has the printer printed what it got?
};
// True when the descriptors of the back and side channel are open, as CUPS
// opens them; checked before the filter opens files of its own.
bool backChannelsOpen();
// Enables the watch when wanted (QueryPrinterStatus) and the backend says
// its link to the printer is bidirectional. Nothing is read or written
// otherwise.
void startStatusWatch(PrinterStatusWatch* watch, bool wanted, bool channelsOpen);
// Asks the printer after all bytes so far reached it; while it reports a
// condition, reports it and asks again every 2 s. With untilPrinted it also
// waits while the printer is printing. A printer that does not answer within
// a second ends the watch. Returns false when canceled() became true.
bool waitForPrinter(PrinterStatusWatch* watch, bool untilPrinted, bool (*canceled)());
// Clears every reason the watch set and ends it.
void endStatusWatch(PrinterStatusWatch* watch);

// The whole job: arguments, settings, page loop. Returns the exit status.
int runFilter(int argc, char* argv[]);

#endif
