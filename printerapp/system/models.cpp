// The three drivers of the application and what PAPPL needs to know about
// each: media, resolution, print head limits and the defaults of the PPDs,
// and the vendor attributes through which a job reaches every setting the
// PPDs offer.
#include "printerapp/system/models.h"

#include "printerapp/devices/identify.h"
#include "printerapp/web/label_mode_page.h"
#include "printerapp/devices/status.h"
#include "printerapp/web/printer_page.h"
#include "printerapp/jobs/testpage.h"

#include <cstdio>
#include <cstring>
#include <string>

const char* const kVendorNames[kVendorAttributeCount] = {
    "halftone-type",  "image-darkening", "mirror-image",
    "negative-image", "print-direction", "print-method",
    "compress-label-data", "record-printer-commands", "media-gap-height",
    "save-page-images", kQueryPrinterStatusName, "label-crop",
};

const char* const kLabelCropKeywords[2] = {"label-box", "none"};

// Each keyword names the method that runs for that DitherType: the filter's
// PPD names (None, FloydSteinberg, Ordered, ...) are one place off from the
// methods behind them, and CUPS queues keep those names; the application's
// keywords say what the printer will really do. "auto" diffuses the blocks
// of continuous tone and thresholds text, line art and barcodes; it is the
// label printers' default, so that a photo prints as a photo and a barcode
// still scans.
const char* const kHalftoneKeywords[kHalftoneTypeCount] = {
    "threshold", "ordered-4x4", "burkes", "stucki",   "jarvis-judice-ninke",
    "sierra",    "stevenson-arce", "bayer", "tattoo", "tattoo-x8",
    "auto",
};

namespace {

// Label sizes, width across the head by length along the feed, as in the
// label printer's PPD; then the custom size limits. The name part of a PWG
// self-describing name holds no '.', so fractions are written with '-'.
const char* const sLabelMedia[] = {
    "oe_1x0-5-label_1x0.5in",   "oe_1-5x1-label_1.5x1in", "oe_2x1-label_2x1in",
    "oe_2x2-label_2x2in",       "oe_2-25x1-25-label_2.25x1.25in",
    "oe_3x1-label_3x1in",       "oe_3x2-label_3x2in",     "oe_3x3-label_3x3in",
    "oe_4x1-label_4x1in",       "oe_4x2-label_4x2in",     "oe_4x3-label_4x3in",
    "oe_4x4-label_4x4in",       "oe_4x6-label_4x6in",     "oe_4x8-label_4x8in",
    "om_30x20mm-label_30x20mm", "om_40x30mm-label_40x30mm",
    "om_50x25mm-label_50x25mm", "om_50x30mm-label_50x30mm",
    "om_58x40mm-label_58x40mm", "om_60x40mm-label_60x40mm",
    "om_70x50mm-label_70x50mm", "om_100x50mm-label_100x50mm",
    "om_100x100mm-label_100x100mm", "om_100x150mm-label_100x150mm",
    "roll_min_0.5x0.25in",      "roll_max_4.09x40in",
};

// Stencil sheets: A4 and Letter, the two stencil sheets wider than long,
// and the custom size limits.
const char* const sStencilMedia[] = {
    "iso_a4_210x297mm",
    "na_letter_8.5x11in",
    "om_stencil-a5_210x148mm",
    "om_stencil-a6_105x148mm",
    "roll_min_2x2in",
    "roll_max_8.5x14in",
};

constexpr int countOf(const char* const* list, size_t bytes) { return static_cast<int>(bytes / sizeof(*list)); }

const AppModel sModels[] = {
    {"tavel_tl4_203dpi", "Tavel TL-4 Label Printer, 203 dpi", "Tavel TL-4 Label Printer",
     "MFG:Tavel;MDL:TL-4;CMD:TSPL;", 203, 832, 8120, 100, 50, sLabelMedia,
     countOf(sLabelMedia, sizeof(sLabelMedia)), "oe_4x6-label_4x6in", PAPPL_MEDIA_TRACKING_GAP,
     PAPPL_LABEL_MODE_TEAR_OFF, 2, 6, "auto"},
    {"tavel_tl4_300dpi", "Tavel TL-4 Label Printer, 300 dpi", "Tavel TL-4 Label Printer",
     "MFG:Tavel;MDL:TL-4;CMD:TSPL;", 300, 1228, 12000, 148, 73, sLabelMedia,
     countOf(sLabelMedia, sizeof(sLabelMedia)), "oe_4x6-label_4x6in", PAPPL_MEDIA_TRACKING_GAP,
     PAPPL_LABEL_MODE_TEAR_OFF, 2, 6, "auto"},
    {"tavel_ts8_300dpi", "Tavel TS-8 Stencil Printer, 300 dpi", "Tavel TS-8 Stencil Printer",
     "MFG:Tavel;MDL:TS-8;CMD:TSPL;", 300, 2550, 4200, 598, 598, sStencilMedia,
     countOf(sStencilMedia, sizeof(sStencilMedia)), "iso_a4_210x297mm",
     PAPPL_MEDIA_TRACKING_CONTINUOUS, static_cast<pappl_label_mode_t>(0), 1, 4, "tattoo"},
};

pappl_pr_driver_t sDrivers[] = {
    {"tavel_tl4_203dpi", "Tavel TL-4 Label Printer, 203 dpi", "MFG:Tavel;MDL:TL-4;", nullptr},
    {"tavel_tl4_300dpi", "Tavel TL-4 Label Printer, 300 dpi", "MFG:Tavel;MDL:TL-4;", nullptr},
    {"tavel_ts8_300dpi", "Tavel TS-8 Stencil Printer, 300 dpi", "MFG:Tavel;MDL:TS-8;", nullptr},
};

const char* const sDirections[] = {"normal", "rotated-180"};
const char* const sPrintMethods[] = {"direct-thermal", "thermal-transfer"};
const char* const sMediaTypes[] = {"labels", "continuous"};

void addKeywords(ipp_t* attrs, const char* name, const char* const* values, int count,
                 const char* defaultValue)
{
    char attrName[64];
    std::snprintf(attrName, sizeof(attrName), "%s-supported", name);
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, attrName, count, nullptr, values);
    std::snprintf(attrName, sizeof(attrName), "%s-default", name);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, attrName, nullptr, defaultValue);
}

void addRange(ipp_t* attrs, const char* name, int lower, int upper, int defaultValue)
{
    char attrName[64];
    std::snprintf(attrName, sizeof(attrName), "%s-supported", name);
    ippAddRange(attrs, IPP_TAG_PRINTER, attrName, lower, upper);
    std::snprintf(attrName, sizeof(attrName), "%s-default", name);
    ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, attrName, defaultValue);
}

void addBoolean(ipp_t* attrs, const char* name, bool defaultValue)
{
    char attrName[64];
    std::snprintf(attrName, sizeof(attrName), "%s-supported", name);
    ippAddBoolean(attrs, IPP_TAG_PRINTER, attrName, 1);
    std::snprintf(attrName, sizeof(attrName), "%s-default", name);
    ippAddBoolean(attrs, IPP_TAG_PRINTER, attrName, defaultValue ? 1 : 0);
}

void fillVendorAttributes(const AppModel& model, ipp_t* attrs)
{
    addKeywords(attrs, kVendorNames[kHalftoneType], kHalftoneKeywords, kHalftoneTypeCount,
                model.defaultHalftone);
    addRange(attrs, kVendorNames[kImageDarkening], -40, 40, 0);
    addBoolean(attrs, kVendorNames[kMirrorImage], false);
    addBoolean(attrs, kVendorNames[kNegativeImage], false);
    addKeywords(attrs, kVendorNames[kPrintDirection], sDirections, 2, sDirections[0]);
    addKeywords(attrs, kVendorNames[kPrintMethod], sPrintMethods, 2, sPrintMethods[0]);
    addBoolean(attrs, kVendorNames[kCompressLabelData], false);
    addBoolean(attrs, kVendorNames[kRecordPrinterCommands], false);
    addRange(attrs, kVendorNames[kMediaGapHeight], 0, 10, 2);
    // The pipeline's BMP page dumps are a diagnosis aid: a service that runs
    // for months makes none unless asked.
    addBoolean(attrs, kVendorNames[kSavePageImages], false);
    addBoolean(attrs, kVendorNames[kQueryPrinterStatus], true);
    addKeywords(attrs, kVendorNames[kLabelCrop], kLabelCropKeywords, 2, kLabelCropKeywords[0]);
}

// The printer attributes PAPPL 1.3.1's Set-Printer-Attributes accepts, as
// its own (non-standard) printer-settable-attributes lists them, then the
// vendor defaults.
const char* const sSettableAttributes[] = {
    "copies-default",                 "document-format-default",
    "media-col-default",              "media-col-ready",
    "media-default",                  "media-ready",
    "multiple-document-handling-default", "orientation-requested-default",
    "print-color-mode-default",       "print-content-optimize-default",
    "print-quality-default",          "printer-geo-location",
    "printer-location",               "printer-organization",
    "printer-organizational-unit",    "printer-resolution-default",
    "label-mode-configured",          "print-darkness-default",
    "print-speed-default",            "printer-darkness-configured",
};

// Printer attributes PAPPL 1.3.1 does not list itself, each with the value
// that is true of these printers: one page per label, no job attribute
// changeable after submission, no colour rendering, sheets never flipped,
// no preferred values returned, no message from an operator.
void fillPrinterAttributes(ipp_t* attrs)
{
    constexpr int kFixed = sizeof(sSettableAttributes) / sizeof(sSettableAttributes[0]);
    std::string vendorDefaults[kVendorAttributeCount];
    const char* settable[kFixed + kVendorAttributeCount];
    for (int i = 0; i < kFixed; ++i)
        settable[i] = sSettableAttributes[i];
    for (int i = 0; i < kVendorAttributeCount; ++i) {
        vendorDefaults[i] = std::string(kVendorNames[i]) + "-default";
        settable[kFixed + i] = vendorDefaults[i].c_str();
    }
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "printer-settable-attributes-supported",
                  kFixed + kVendorAttributeCount, nullptr, settable);
    ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "number-up-default", 1);
    ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "number-up-supported", 1);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "job-settable-attributes-supported",
                 nullptr, "none");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default",
                 nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
                 nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back",
                 nullptr, "normal");
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-message-from-operator", nullptr,
                 "");
}

}  // namespace

const AppModel* findModel(const char* driverName)
{
    if (driverName == nullptr)
        return nullptr;
    for (const AppModel& model : sModels) {
        if (std::strcmp(model.driverName, driverName) == 0)
            return &model;
    }
    return nullptr;
}

pappl_pr_driver_t* appDrivers(int* count)
{
    *count = static_cast<int>(sizeof(sDrivers) / sizeof(sDrivers[0]));
    return sDrivers;
}

// Implemented by the job callbacks (job_flow.cpp).
bool appStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool appEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool appStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                  unsigned page);
bool appEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                unsigned page);
bool appWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                  unsigned y, const unsigned char* line);
bool appPrintFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

bool appDriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                       const char* deviceId, pappl_pr_driver_data_t* data, ipp_t** attrs,
                       void* cbdata)
{
    (void)deviceUri;
    (void)deviceId;
    (void)cbdata;
    const AppModel* model = findModel(driverName);
    if (model == nullptr) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver \"%s\".", driverName ? driverName : "");
        return false;
    }

    data->extension = const_cast<AppModel*>(model);
    data->printfile_cb = appPrintFile;
    data->rendjob_cb = appEndJob;
    data->rendpage_cb = appEndPage;
    data->rstartjob_cb = appStartJob;
    data->rstartpage_cb = appStartPage;
    data->rwriteline_cb = appWriteLine;
    data->identify_cb = appIdentify;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_SOUND;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_SOUND;
    data->testpage_cb = appTestPage;
    data->status_cb = appPrinterStatus;
    data->format = "application/vnd.tavel-tspl";

    std::snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model->makeAndModel);
    data->ppm = 10;
    data->kind = PAPPL_KIND_LABEL;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->color_supported = static_cast<pappl_color_mode_t>(PAPPL_COLOR_MODE_AUTO |
                                                            PAPPL_COLOR_MODE_MONOCHROME);
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_FIT;
    // 8-bit grey reaches the driver as the client sent it: the halftoning is
    // ours, never PAPPL's.
    data->raster_types = static_cast<pappl_raster_type_t>(PAPPL_PWG_RASTER_TYPE_SGRAY_8 |
                                                          PAPPL_PWG_RASTER_TYPE_BLACK_8);
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
    data->duplex = PAPPL_DUPLEX_NONE;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = model->dpi;
    data->x_default = data->y_default = model->dpi;

    // Labels and stencils print edge to edge. Each size is also listed with
    // margins of 0.01 mm: CUPS names every zero-margin size "Borderless"
    // in the PPD it generates for a driverless queue, and then finds no
    // size named after media-default; with the bordered twins, a queue
    // without options prints on the loaded label.
    data->borderless = true;
    data->left_right = 1;
    data->bottom_top = 1;
    data->num_media = model->numMedia;
    for (int i = 0; i < model->numMedia; ++i)
        data->media[i] = model->media[i];
    data->num_source = 1;
    data->source[0] = "main-roll";
    data->num_type = 2;
    data->type[0] = sMediaTypes[0];
    data->type[1] = sMediaTypes[1];

    pappl_media_col_t& media = data->media_default;
    std::memset(&media, 0, sizeof(media));
    if (pwg_media_t* pwg = pwgMediaForPWG(model->defaultMedia)) {
        media.size_width = pwg->width;
        media.size_length = pwg->length;
    }
    std::snprintf(media.size_name, sizeof(media.size_name), "%s", model->defaultMedia);
    std::snprintf(media.source, sizeof(media.source), "%s", data->source[0]);
    std::snprintf(media.type, sizeof(media.type), "%s",
                  model->defaultTracking == PAPPL_MEDIA_TRACKING_CONTINUOUS ? sMediaTypes[1]
                                                                          : sMediaTypes[0]);
    media.tracking = model->defaultTracking;
    data->media_ready[0] = media;

    // Offsets as the PPDs' custom offsets allow: -50 to 50 mm.
    data->left_offset_supported[0] = -5000;
    data->left_offset_supported[1] = 5000;
    data->top_offset_supported[0] = -5000;
    data->top_offset_supported[1] = 5000;
    data->tracking_supported = static_cast<pappl_media_tracking_t>(
        PAPPL_MEDIA_TRACKING_CONTINUOUS | PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK);

    data->mode_supported = static_cast<pappl_label_mode_t>(
        PAPPL_LABEL_MODE_TEAR_OFF | PAPPL_LABEL_MODE_PEEL_OFF | PAPPL_LABEL_MODE_CUTTER |
        PAPPL_LABEL_MODE_CUTTER_DELAYED);
    data->mode_configured = model->defaultMode;

    // Hundredths of millimetres per second; 0 leaves the printer's speed.
    data->speed_supported[0] = model->minSpeedInches * 2540;
    data->speed_supported[1] = model->maxSpeedInches * 2540;
    data->speed_default = 0;

    // Sixteen DENSITY levels; 53 % is DENSITY 8, the PPDs' default.
    data->darkness_supported = 16;
    data->darkness_configured = 53;
    data->darkness_default = 0;

    static_assert(kVendorAttributeCount <= PAPPL_MAX_VENDOR, "too many vendor attributes");
    data->num_vendor = kVendorAttributeCount;
    for (int i = 0; i < kVendorAttributeCount; ++i)
        data->vendor[i] = kVendorNames[i];

    if (*attrs == nullptr)
        *attrs = ippNew();
    fillVendorAttributes(*model, *attrs);
    fillPrinterAttributes(*attrs);
    return true;
}

void appPrinterCreated(pappl_printer_t* printer, void* data)
{
    (void)data;
    // The printer reports no levels (yet): the supplies are listed with an
    // unknown level, the labels always, the ribbon for thermal transfer.
    pappl_supply_t supplies[2] = {};
    std::snprintf(supplies[0].description, sizeof(supplies[0].description), "Labels");
    supplies[0].color = PAPPL_SUPPLY_COLOR_NO_COLOR;
    supplies[0].is_consumed = true;
    supplies[0].level = -1;
    supplies[0].type = PAPPL_SUPPLY_TYPE_OTHER;
    std::snprintf(supplies[1].description, sizeof(supplies[1].description),
                  "Ribbon (thermal transfer)");
    supplies[1].color = PAPPL_SUPPLY_COLOR_BLACK;
    supplies[1].is_consumed = true;
    supplies[1].level = -1;
    supplies[1].type = PAPPL_SUPPLY_TYPE_RIBBON_WAX;
    papplPrinterSetSupplies(printer, 2, supplies);
    addLabelModePage(printer);
    appAddStatusPage(printer);
    appServePrinterPage(printer);
}
