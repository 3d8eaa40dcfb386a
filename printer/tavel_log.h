// Logging and small shared utilities of the printer library: the log line
// format CUPS collects from standard error, the halftone method names, the
// file part of a path and a bounded string copy.
#ifndef TAVEL_PRINTER_TAVEL_LOG_H
#define TAVEL_PRINTER_TAVEL_LOG_H

// Halftone method of the page pipeline. Values 0..7 select a DibImage
// dithering method, 8 and 9 the stencil chains, 10 the automatic halftone
// (DibImage::DitherAuto: diffusion for continuous tone, threshold for line
// art).
enum DitherType : int {
    DITHER_NONE = 0,
    DITHER_FLOYD_STEINBERG = 1,
    DITHER_ORDERED = 2,
    DITHER_BURKES = 3,
    DITHER_STUCKI = 4,
    DITHER_JARVIS_JUDICE_NINKE = 5,
    DITHER_SIERRA = 6,
    DITHER_STEVENSON_ARCE = 7,
    DITHER_TATTOO = 8,
    DITHER_TATTOO_X8 = 9,
    DITHER_AUTO = 10,
};

extern "C" {

// Writes one line to standard error: the level's prefix ("DEBUG:", "WARN:",
// "ERROR:", "CRIT:", "INVALID:"), the formatted message and a line feed.
// The level must be 0..5.
void tavelLogCommon(int level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Lines below level are dropped from then on (0, the default, writes
// every line). The CUPS filter writes everything, as CUPS keeps only what
// its LogLevel asks for; a long-running server that logs into the journal
// drops the pipeline's DEBUG: lines unless it runs at its debug level.
void tavelLogSetMinimumLevel(int level);

// Name of a halftone value; "None" for values outside 0..10.
const char* tavelHalftoneTypeToStr(int value);

// Exact, case-sensitive lookup of a halftone name; 0 when unknown.
DitherType tavelHalftoneTypeFromStr(const char* name);

// Pointer to the character after the last '/' or '\' of path (inside the
// same string); the path itself when it has no separator; null for null.
char* tavelPathGetBasename(char* path);

// strncpy into dest, then dest[size - 1] = 0: always terminated, at most
// size - 1 characters. size must be at least 1.
char* tavelStrCpy(char* dest, const char* src, unsigned long size);

}  // extern "C"

#endif
