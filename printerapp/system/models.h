// The printers the application drives: one model record per PAPPL driver,
// mirroring the two PPDs (media, resolution, print head, defaults), and the
// names of the vendor attributes every printer carries.
#ifndef TAVEL_PRINTERAPP_SYSTEM_MODELS_H
#define TAVEL_PRINTERAPP_SYSTEM_MODELS_H

#include <pappl/pappl.h>

#include "printer/tavel_log.h"

struct AppModel {
    const char* driverName;      // PAPPL driver name, e.g. "tavel_tl4_203dpi"
    const char* description;     // driver description shown by "drivers"
    const char* makeAndModel;    // printer-make-and-model
    const char* deviceId;        // IEEE 1284 device ID the driver matches
    int dpi;                     // the one resolution of the print head
    int headWidthDots;           // widest page the head prints, in dots
    int maxLengthDots;           // longest page, in dots
    int minWidthDots;            // narrowest page, in dots
    int minLengthDots;           // shortest page, in dots
    const char* const* media;    // PWG media names, custom limits last
    int numMedia;
    const char* defaultMedia;    // PWG name of the default media
    pappl_media_tracking_t defaultTracking;
    pappl_label_mode_t defaultMode;  // 0: "printer setting", no command
    int minSpeedInches;          // print-speed choices in inches per second
    int maxSpeedInches;
    const char* defaultHalftone; // halftone-type keyword
};

// Vendor attributes, in the order they are listed to clients.
enum VendorAttribute {
    kHalftoneType,
    kImageDarkening,
    kMirrorImage,
    kNegativeImage,
    kPrintDirection,
    kPrintMethod,
    kCompressLabelData,
    kRecordPrinterCommands,
    kMediaGapHeight,
    kSavePageImages,
    kQueryPrinterStatus,
    kLabelCrop,
    kVendorAttributeCount
};

extern const char* const kVendorNames[kVendorAttributeCount];

// label-crop: cut a carrier label box out of a larger page, or never.
extern const char* const kLabelCropKeywords[2];

// Halftone keywords, indexed by DitherType.
constexpr int kHalftoneTypeCount = DITHER_AUTO + 1;
extern const char* const kHalftoneKeywords[kHalftoneTypeCount];

// The model of a driver name; null for a name that is not ours.
const AppModel* findModel(const char* driverName);

// The driver table for papplMainloop and papplSystemSetPrinterDrivers.
pappl_pr_driver_t* appDrivers(int* count);

// PAPPL's driver callback: fills the driver data and the vendor attributes
// of a new printer; false for an unknown driver.
bool appDriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                       const char* deviceId, pappl_pr_driver_data_t* data, ipp_t** attrs,
                       void* cbdata);

// PAPPL's printer creation callback (papplSystemSetPrinterDrivers): lists
// the printer's supplies and adds its Label Mode page.
void appPrinterCreated(pappl_printer_t* printer, void* data);

// PAPPL's format detection for documents sent without a known format:
// "application/vnd.tavel-tspl" for raw TSPL, else null (job_flow.cpp).
const char* appDetectFormat(const unsigned char* header, size_t size, void* data);

#endif
