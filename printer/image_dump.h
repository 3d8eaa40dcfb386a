// Page dumps: what decides whether and where a page is dumped, and how much
// room the dumps of the dump folder may take.
//
// Every dump is created as a new file; when its name is taken (two jobs in
// the same second, or anything else at that name) the dump is named
// <name>-<process id>.bmp instead, then <name>-<process id>-2.bmp and so on.
// Before a dump is created, the oldest dumps of the folder that belong to
// this process's user are removed until the new one fits within the bound;
// a dump that still does not fit, or that would leave the file system less
// than a tenth free, is skipped with one log line.
#ifndef TAVEL_PRINTER_IMAGE_DUMP_H
#define TAVEL_PRINTER_IMAGE_DUMP_H

#include <sys/types.h>

#include <cstdint>
#include <string>

// Default bound on the total size of the page dumps in their folder: 1 GiB.
constexpr uint64_t kDefaultPageImagesMaxBytes = uint64_t(1) << 30;

// Size and free room of the file system that holds a folder, in bytes; free
// is what an unprivileged user may still use.
struct DumpFolderSpace {
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
};

// Fills space for folder; false when the file system cannot be asked.
using DumpSpaceProbe = bool (*)(const char* folder, DumpFolderSpace* space);

// The probe through statvfs.
bool statDumpFolderSpace(const char* folder, DumpFolderSpace* space);

// How a printer dumps its pages.
struct ImageDumpPolicy {
    bool enabled = true;
    uint64_t maxTotalBytes = kDefaultPageImagesMaxBytes;
    DumpSpaceProbe probeSpace = statDumpFolderSpace;
    // The folder the dumps go to; empty for the CUPS spool folder. A server
    // that keeps its own spool gives its folder, so that no other program
    // shares or reads the dumps.
    std::string folder;
    // Permission bits of a new dump (before the umask): CUPS's spool folder
    // is shared with the scheduler's other users; a private spool makes
    // them 0600.
    mode_t fileMode = 0666;
};

// Whether a file name is one the dumps are given: origin_, dithered_ or
// prnimg_, then only digits, '-' and '_', then ".bmp".
bool isPageDumpName(const char* name);

#endif
