// The mapping of a job's IPP attributes onto the encoder's Settings, with the
// printer's defaults applied and every value checked, and the page header
// check. PAPPL 1.3 neither fills in a vendor attribute the job left out nor
// checks a vendor value against its -supported list, so both happen here.
#include "printerapp/jobs/job_options.h"

#include "printer/image_dump.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const kPhotoHalftone = "sierra";

namespace {

// Copies text into a 41-byte Settings field, cut to fit as the filter cuts.
void copyText(char* field, const char* text)
{
    tavelStrCpy(field, text, 41);
}

void addNote(JobSettings* job, const std::string& note)
{
    if (!job->notes.empty())
        job->notes += "; ";
    job->notes += note;
}

// The printer's NAME-default as text, or an empty string.
std::string printerDefault(ipp_t* attrs, const char* name)
{
    char attrName[64];
    std::snprintf(attrName, sizeof(attrName), "%s-default", name);
    ipp_attribute_t* attr = ippFindAttribute(attrs, attrName, IPP_TAG_ZERO);
    if (attr == nullptr)
        return std::string();
    char value[256];
    ippAttributeString(attr, value, sizeof(value));
    return value;
}

// Parses a whole decimal integer; false for anything else.
bool parseInteger(const std::string& text, int* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || number < -1000000 || number > 1000000)
        return false;
    *value = static_cast<int>(number);
    return true;
}

// Whether text is a value the printer's NAME-supported allows.
bool isSupported(ipp_t* attrs, const char* name, const std::string& text)
{
    char attrName[64];
    std::snprintf(attrName, sizeof(attrName), "%s-supported", name);
    ipp_attribute_t* supported = ippFindAttribute(attrs, attrName, IPP_TAG_ZERO);
    if (supported == nullptr)
        return false;
    switch (ippGetValueTag(supported)) {
    case IPP_TAG_KEYWORD:
        return ippContainsString(supported, text.c_str()) != 0;
    case IPP_TAG_RANGE:
    case IPP_TAG_INTEGER: {
        int number = 0;
        return parseInteger(text, &number) && ippContainsInteger(supported, number) != 0;
    }
    case IPP_TAG_BOOLEAN:
        return text == "true" || text == "false";
    default:
        return false;
    }
}

// The value of vendor attribute NAME for the job: the job's own when it is
// supported, else the printer's default (noting a refused job value), else
// builtIn when even the default is unusable.
std::string vendorValue(const pappl_pr_options_t& options, ipp_t* attrs, VendorAttribute which,
                        const char* builtIn, JobSettings* job)
{
    const char* name = kVendorNames[which];
    std::string fallback = printerDefault(attrs, name);
    if (!isSupported(attrs, name, fallback))
        fallback = builtIn;
    const char* given = cupsGetOption(name, options.num_vendor, options.vendor);
    if (given == nullptr)
        return fallback;
    if (isSupported(attrs, name, given))
        return given;
    addNote(job, std::string(name) + "=" + given + " is not supported, printed with " + fallback);
    return fallback;
}

int vendorInteger(const pappl_pr_options_t& options, ipp_t* attrs, VendorAttribute which,
                  int builtIn, JobSettings* job)
{
    int number = builtIn;
    parseInteger(vendorValue(options, attrs, which, std::to_string(builtIn).c_str(), job), &number);
    return number;
}

bool vendorBoolean(const pappl_pr_options_t& options, ipp_t* attrs, VendorAttribute which,
                   JobSettings* job)
{
    return vendorValue(options, attrs, which, "false", job) == "true";
}

const char* paperType(const pappl_media_col_t& media)
{
    if (std::strcmp(media.type, "continuous") == 0)
        return "Continue";
    switch (media.tracking) {
    case PAPPL_MEDIA_TRACKING_MARK:
        return "LabelMark";
    case PAPPL_MEDIA_TRACKING_CONTINUOUS:
        return "Continue";
    default:
        return "LabelGaps";
    }
}

const char* postAction(pappl_label_mode_t mode)
{
    switch (mode) {
    case PAPPL_LABEL_MODE_TEAR_OFF:
        return "TearOff";
    case PAPPL_LABEL_MODE_PEEL_OFF:
    case PAPPL_LABEL_MODE_PEEL_OFF_PREPEEL:
        return "PeelOff";
    case PAPPL_LABEL_MODE_CUTTER:
        return "Cut";
    case PAPPL_LABEL_MODE_CUTTER_DELAYED:
        return "PartialCut";
    default:
        return "Normal";  // the printer keeps its own mode
    }
}

// DENSITY 0-15 from printer-darkness-configured plus print-darkness, in
// percent of the darkest setting, rounded to the nearest level.
int densityLevel(const pappl_pr_options_t& options, JobSettings* job)
{
    int darkness = options.print_darkness;
    if (darkness < -100 || darkness > 100) {
        addNote(job, "print-darkness=" + std::to_string(darkness) +
                         " is not supported, printed with 0");
        darkness = 0;
    }
    int percent = options.darkness_configured + darkness;
    percent = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    return (percent * 15 + 50) / 100;
}

// SPEED in inches per second as the PPDs' choices name it, or "Normal" to
// leave the printer's speed.
void printSpeed(const AppModel& model, const pappl_pr_options_t& options, JobSettings* job)
{
    const int speed = options.print_speed;
    if (speed == 0) {
        copyText(job->settings.PrintSpeed, "Normal");
        return;
    }
    const int inches = (speed + 1270) / 2540;
    if (speed < 0 || inches < model.minSpeedInches || inches > model.maxSpeedInches) {
        addNote(job, "print-speed=" + std::to_string(speed) +
                         " is not supported, printed at the printer's speed");
        copyText(job->settings.PrintSpeed, "Normal");
        return;
    }
    std::snprintf(job->settings.PrintSpeed, sizeof(job->settings.PrintSpeed), "%d", inches);
}

// An offset in hundredths of millimetres as dots, rounded half away from
// zero like the filter's offsets; outside -50..50 mm it is refused.
int offsetDots(const AppModel& model, int hundredths, const char* name, JobSettings* job)
{
    if (hundredths < -5000 || hundredths > 5000) {
        addNote(job, std::string(name) + "=" + std::to_string(hundredths) +
                         " is not supported, printed with 0");
        return 0;
    }
    const double dotsPerMm = model.dpi == 300 ? 12 : (model.dpi == 600 ? 24 : 8);
    return static_cast<int>(std::round(hundredths / 100.0 * dotsPerMm));
}

int halftoneIndex(const std::string& keyword)
{
    for (int i = 0; i < kHalftoneTypeCount; ++i) {
        if (keyword == kHalftoneKeywords[i])
            return i;
    }
    return 0;
}

bool isFormat(const char* format, const char* name)
{
    return format != nullptr && std::strcmp(format, name) == 0;
}

// A photo needs a halftone: a threshold turns it into black blobs. A job
// that asks for print-content-optimize=photo, or sends a JPEG without
// saying what it holds, is printed with an error-diffusion halftone unless
// the job names a halftone or the printer's default is one; text and
// graphics keep the printer's default, threshold included.
DitherType halftoneFor(const pappl_pr_options_t& options, ipp_t* attrs, const char* format,
                       const char* builtIn, JobSettings* job)
{
    const DitherType chosen = static_cast<DitherType>(
        halftoneIndex(vendorValue(options, attrs, kHalftoneType, builtIn, job)));
    const bool photo =
        options.print_content_optimize == PAPPL_CONTENT_PHOTO ||
        (options.print_content_optimize == PAPPL_CONTENT_AUTO && isFormat(format, "image/jpeg"));
    if (!photo || chosen != DITHER_NONE)
        return chosen;
    const char* given = cupsGetOption(kVendorNames[kHalftoneType], options.num_vendor, options.vendor);
    if (given != nullptr && std::strcmp(given, kHalftoneKeywords[DITHER_NONE]) == 0)
        return chosen;
    return static_cast<DitherType>(halftoneIndex(kPhotoHalftone));
}

}  // namespace

void buildJobSettings(const AppModel& model, const pappl_pr_options_t& options,
                      ipp_t* driverAttrs, pappl_label_mode_t labelMode, const char* format,
                      JobSettings* job)
{
    Settings& s = job->settings;
    std::memset(&s, 0, sizeof(s));
    job->notes.clear();

    copyText(s.PageSize, options.media.size_name);
    std::snprintf(s.Resolution, sizeof(s.Resolution), "%ddpi", model.dpi);
    job->offsetX = offsetDots(model, options.media.left_offset, "media-left-offset", job);
    job->offsetY = offsetDots(model, options.media.top_offset, "media-top-offset", job);

    const bool transfer =
        vendorValue(options, driverAttrs, kPrintMethod, "direct-thermal", job) == "thermal-transfer";
    copyText(s.MediaMethod, transfer ? "Transfer" : "Direct");
    copyText(s.PaperType, paperType(options.media));
    s.GapsHeight = vendorInteger(options, driverAttrs, kMediaGapHeight, 2, job);
    copyText(s.PostAction, postAction(labelMode));
    copyText(s.Occurrence, "EveryLabel");
    const bool rotated =
        vendorValue(options, driverAttrs, kPrintDirection, "normal", job) == "rotated-180";
    copyText(s.Origin, rotated ? "Rotation180" : "Normal");

    s.halftoneType = halftoneFor(options, driverAttrs, format, model.defaultHalftone, job);
    s.MirrorImage = vendorBoolean(options, driverAttrs, kMirrorImage, job) ? 1 : 0;
    s.NegativeImage = vendorBoolean(options, driverAttrs, kNegativeImage, job) ? 1 : 0;
    s.ZippedImage = vendorBoolean(options, driverAttrs, kCompressLabelData, job) ? 1 : 0;

    printSpeed(model, options, job);
    s.Darkness = densityLevel(options, job);
    s.Brightness = vendorInteger(options, driverAttrs, kImageDarkening, 0, job);
    job->record = vendorBoolean(options, driverAttrs, kRecordPrinterCommands, job);
    job->labelCrop = vendorValue(options, driverAttrs, kLabelCrop, kLabelCropKeywords[0], job) !=
                     "none";
    // Page images are the printer's setting alone: a client must not make
    // the server keep copies of everyone's labels.
    if (cupsGetOption(kVendorNames[kSavePageImages], options.num_vendor, options.vendor) != nullptr)
        addNote(job, "save-page-images is a printer setting, the job's value is ignored");
    s.SavePageImages = printerDefault(driverAttrs, kVendorNames[kSavePageImages]) == "true" ? 1 : 0;
    s.PageImagesMaxBytes = kDefaultPageImagesMaxBytes;
    // Status queries follow the printer, which remembers how it answers.
    if (cupsGetOption(kVendorNames[kQueryPrinterStatus], options.num_vendor, options.vendor) !=
        nullptr)
        addNote(job, "query-printer-status is a printer setting, the job's value is ignored");

    // PAPPL prints PNG and JPEG pages once per copy itself; a raster comes
    // once and the printer repeats each label.
    const bool pagesRepeatedForCopies = isFormat(format, "image/png") || isFormat(format, "image/jpeg");
    job->copies = pagesRepeatedForCopies || options.copies < 1 ? 1 : options.copies;
}

bool checkPageHeader(const AppModel& model, const cups_page_header2_t& header,
                     const pappl_media_col_t* jobMedia, PageLevels* levels, bool* fit,
                     char* message, size_t messageSize)
{
    if (header.cupsBitsPerPixel != 8 || header.cupsBitsPerColor != 8 ||
        header.cupsNumColors > 1 || header.cupsBytesPerLine != header.cupsWidth) {
        std::snprintf(message, messageSize,
                      "Page refused: %u bits per pixel, %u bytes per line for %u pixels; the "
                      "printer takes 8-bit grey.",
                      header.cupsBitsPerPixel, header.cupsBytesPerLine, header.cupsWidth);
        return false;
    }
    switch (header.cupsColorSpace) {
    case CUPS_CSPACE_K:
        *levels = PageLevels::kInk;
        break;
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW:
        *levels = PageLevels::kInverted;
        break;
    default:
        std::snprintf(message, messageSize,
                      "Page refused: colour space %d; the printer takes grey (sgray or black).",
                      static_cast<int>(header.cupsColorSpace));
        return false;
    }
    *fit = false;
    const int dpi = model.dpi;
    if (static_cast<int>(header.HWResolution[0]) != dpi ||
        static_cast<int>(header.HWResolution[1]) != dpi) {
        std::snprintf(message, messageSize,
                      "Page refused: %ux%u dpi on a %d dpi printer.", header.HWResolution[0],
                      header.HWResolution[1], dpi);
        return false;
    }
    const long width = header.cupsWidth;
    const long length = header.cupsHeight;
    // A page far beyond anything the printer takes is a client's mistake,
    // not a page to hold in memory and shrink.
    const long largest = 4L * (model.maxLengthDots > model.headWidthDots ? model.maxLengthDots
                                                                           : model.headWidthDots);
    if (width < 1 || length < 1 || width > largest || length > largest) {
        std::snprintf(message, messageSize,
                      "Page refused: %ldx%ld dots is not a page this printer can print.", width,
                      length);
        return false;
    }
    *fit = width < model.minWidthDots || width > model.headWidthDots ||
           length < model.minLengthDots || length > model.maxLengthDots;
    if (jobMedia != nullptr && jobMedia->size_width > 0 && jobMedia->size_length > 0) {
        // Two dots of rounding either way.
        const long mediaWidth = std::lround(jobMedia->size_width * dpi / 2540.0);
        const long mediaLength = std::lround(jobMedia->size_length * dpi / 2540.0);
        if (std::labs(width - mediaWidth) > 2 || std::labs(length - mediaLength) > 2)
            *fit = true;
    }
    return true;
}

bool labelDots(const AppModel& model, const pappl_media_col_t& media, unsigned* width,
               unsigned* length)
{
    const long w = std::lround(media.size_width * model.dpi / 2540.0);
    const long l = std::lround(media.size_length * model.dpi / 2540.0);
    if (w < model.minWidthDots || w > model.headWidthDots || l < model.minLengthDots ||
        l > model.maxLengthDots)
        return false;
    *width = static_cast<unsigned>(w);
    *length = static_cast<unsigned>(l);
    return true;
}
