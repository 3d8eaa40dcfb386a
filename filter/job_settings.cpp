// Job settings: the job's option string is marked into the printer's PPD,
// and every setting is then read from the PPD with a fixed default when it
// is absent.
#include <cups/cups.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "filter/filter_internal.h"
#include "printer/ppd_lookup.h"

namespace {

// Rounds half away from zero; values beyond the int range (or not numbers)
// are pinned, so that no later shift arithmetic can overflow.
int roundToDots(double dots)
{
    if (std::isnan(dots))
        return 0;
    if (dots >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (dots <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(std::round(dots));
}

void readText(ppd_file_t* ppd, const char* keyword, char* field)
{
    tavelStrCpy(field, tavelPpdGetChoiceAsStrDefault(ppd, keyword, ""), 41);
}

void buildRecordingFileName(ppd_file_t* ppd, Settings* settings)
{
    const char* prefix = tavelPpdGetAttrAsStrDefault(ppd, "tavelFilterOutputFile", nullptr, "");
    const time_t now = std::time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    std::snprintf(settings->OutputFile, sizeof(settings->OutputFile),
                  "%s-%d%02d%02d%02d%02d%02d.bin", prefix, local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec);
}

// The bound on the page dumps, from the PPD attribute tavelPageImagesMaxMiB
// (a whole number of MiB); the default when it is absent or no such number.
unsigned long long readPageImagesMaxBytes(ppd_file_t* ppd)
{
    const char* text = tavelPpdGetAttrAsStrDefault(ppd, "tavelPageImagesMaxMiB", nullptr, nullptr);
    if (text == nullptr)
        return kDefaultPageImagesMaxBytes;
    const char* digits = text + std::strspn(text, " ");
    char* end = nullptr;
    errno = 0;
    const unsigned long long mib = std::strtoull(digits, &end, 10);
    const bool whole = *digits >= '0' && *digits <= '9' && errno == 0 &&
                       end[std::strspn(end, " ")] == '\0' && mib <= (~0ULL >> 20);
    if (!whole) {
        tavelLogCommon(2, "tavelPageImagesMaxMiB \"%s\" is no whole number of MiB, using %llu MiB",
                       text, static_cast<unsigned long long>(kDefaultPageImagesMaxBytes >> 20));
        return kDefaultPageImagesMaxBytes;
    }
    return mib << 20;
}

void logSettings(const Settings* s)
{
    tavelLogCommon(0, "settings->Resolution:%s", s->Resolution);
    tavelLogCommon(0, "settings->MediaMethod:%s", s->MediaMethod);
    tavelLogCommon(0, "settings->PaperType:%s", s->PaperType);
    tavelLogCommon(0, "settings->GapsHeight:%d", s->GapsHeight);
    tavelLogCommon(0, "settings->PostAction:%s", s->PostAction);
    tavelLogCommon(0, "settings->Occurrence:%s", s->Occurrence);
    tavelLogCommon(0, "settings->Origin:%s", s->Origin);
    tavelLogCommon(0, "settings->MirrorImage:%d", s->MirrorImage);
    tavelLogCommon(0, "settings->NegativeImage:%d", s->NegativeImage);
    tavelLogCommon(0, "settings->ZippedImage:%d", s->ZippedImage);
    tavelLogCommon(0, "settings->PrintSpeed:%s", s->PrintSpeed);
    tavelLogCommon(0, "settings->Darkness:%d", s->Darkness);
    tavelLogCommon(0, "settings->halftoneType:%d", static_cast<int>(s->halftoneType));
    tavelLogCommon(0, "settings->DirectBuffer:%d", s->DirectBuffer);
    tavelLogCommon(0, "settings->StoredGraphics:%d", s->StoredGraphics);
    tavelLogCommon(0, "settings->OptionDisplayUnit:%d", s->OptionDisplayUnit);
    tavelLogCommon(0, "settings->PageSize:%s", s->PageSize);
    tavelLogCommon(0, "settings->pageWidth:%f", s->pageWidth);
    tavelLogCommon(0, "settings->pageHeight:%f", s->pageHeight);
    tavelLogCommon(0, "settings->SavePageImages:%d", s->SavePageImages);
    tavelLogCommon(0, "settings->PageImagesMaxBytes:%llu", s->PageImagesMaxBytes);
    tavelLogCommon(0, "settings->QueryPrinterStatus:%d", s->QueryPrinterStatus);
}

}  // namespace

void parseSettings(Settings* settings, const char* options, int* offsetX, int* offsetY)
{
    const char* ppdPath = std::getenv("PPD");
    ppd_file_t* ppd = ppdPath != nullptr ? ppdOpenFile(ppdPath) : nullptr;
    ppdMarkDefaults(ppd);

    cups_option_t* parsed = nullptr;
    const int count = cupsParseOptions(options, 0, &parsed);
    if (count > 0) {
        cupsMarkOptions(ppd, count, parsed);
        cupsFreeOptions(count, parsed);
    }

    std::memset(settings, 0, sizeof(*settings));
    readText(ppd, "PageSize", settings->PageSize);
    readText(ppd, "Resolution", settings->Resolution);
    parseCustomSettings(ppd, options, offsetX, offsetY);

    readText(ppd, "MediaMethod", settings->MediaMethod);
    readText(ppd, "PaperType", settings->PaperType);
    settings->GapsHeight = tavelPpdGetChoiceAsIntDefault(ppd, "GapsHeight", 0);
    readText(ppd, "PostAction", settings->PostAction);
    readText(ppd, "Occurrence", settings->Occurrence);
    readText(ppd, "Origin", settings->Origin);

    char halftone[41];
    readText(ppd, "HalftoneType", halftone);
    settings->halftoneType = tavelHalftoneTypeFromStr(halftone);

    settings->MirrorImage = tavelPpdGetChoiceAsBoolDefault(ppd, "MirrorImage", false);
    settings->NegativeImage = tavelPpdGetChoiceAsBoolDefault(ppd, "NegativeImage", false);
    settings->ZippedImage = tavelPpdGetChoiceAsBoolDefault(ppd, "ZIP", false);

    readText(ppd, "PrintSpeed", settings->PrintSpeed);
    settings->Darkness = tavelPpdGetChoiceAsIntDefault(ppd, "Darkness", 0);
    settings->Brightness = tavelPpdGetChoiceAsIntDefault(ppd, "Brightness", 0);
    settings->DirectBuffer = 0;
    settings->StoredGraphics = 0;
    settings->OptionDisplayUnit = 0;

    getPageWidthPageHeight(ppd, settings);
    settings->ForceRotation = tavelPpdGetChoiceAsIntDefault(ppd, "ForceRotation", 0);
    if (tavelPpdGetChoiceAsIntDefault(ppd, "RecordPrinterCommands", 0) > 0)
        buildRecordingFileName(ppd, settings);
    settings->SavePageImages = tavelPpdGetChoiceAsBoolDefault(ppd, "SavePageImages", true);
    settings->PageImagesMaxBytes = readPageImagesMaxBytes(ppd);
    settings->QueryPrinterStatus = tavelPpdGetChoiceAsBoolDefault(ppd, "QueryPrinterStatus", false);

    logSettings(settings);
    ppdClose(ppd);
}

void parseCustomSettings(ppd_file_t* ppd, const char* options, int* offsetX, int* offsetY)
{
    const char* resolution = tavelPpdGetChoiceAsStrDefault(ppd, "Resolution", "");
    double dotsPerMm = 8;
    if (std::strncmp(resolution, "300", 3) == 0)
        dotsPerMm = 12;
    else if (std::strncmp(resolution, "600", 3) == 0)
        dotsPerMm = 24;

    // One flag serves both lookups, so it ends up telling whether
    // PageOffsetX was given; without it both offsets come from the PPD.
    bool found = false;
    double vertical = getCustomValueFromArgs(options, "PageOffsetY", &found);
    double horizontal = getCustomValueFromArgs(options, "PageOffsetX", &found);
    if (!found) {
        vertical = getCustomRealValueFromPPD(ppd, "PageOffsetY", "Custom.");
        horizontal = getCustomRealValueFromPPD(ppd, "PageOffsetX", "Custom.");
    }
    *offsetX = roundToDots(horizontal * dotsPerMm);
    *offsetY = roundToDots(vertical * dotsPerMm);
}

double getCustomValueFromArgs(const char* options, const char* name, bool* found)
{
    *found = false;
    if (options == nullptr || name == nullptr)
        return 0;
    char key[128];
    std::snprintf(key, sizeof(key), "%s=", name);
    const char* at = std::strstr(options, key);
    if (at == nullptr)
        return 0;
    *found = true;
    const char* value = at + std::strlen(key);
    if (std::strncmp(value, "Custom.", 7) == 0)
        value += 7;
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    return end == value ? 0 : number;
}

double getCustomRealValueFromPPD(ppd_file_t* ppd, const char* name, const char* prefix)
{
    if (ppd == nullptr || name == nullptr)
        return 0;
    ppd_option_t* option = ppdFindOption(ppd, name);
    if (option == nullptr || option->defchoice[0] == '\0' ||
        std::strcmp(option->defchoice, "None") == 0)
        return 0;
    const char* value = option->defchoice;
    // libcups keeps a choice named "Custom.<value>" as "_Custom.<value>", so
    // that it cannot be taken for a custom option; without skipping the
    // underscore every such default would read as 0.
    if (prefix != nullptr && value[0] == '_' && std::strncmp(value + 1, prefix, std::strlen(prefix)) == 0)
        ++value;
    if (prefix != nullptr && std::strncmp(value, prefix, std::strlen(prefix)) == 0)
        value += std::strlen(prefix);
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    return end == value ? 0 : number;
}

void getPageWidthPageHeight(ppd_file_t* ppd, Settings* settings)
{
    const char* name = tavelPpdGetChoiceAsStrDefault(ppd, "PageSize", "");
    settings->pageWidth = 0;
    settings->pageHeight = 0;
    tavelLogCommon(0, "PageSizeName: %s", name);

    ppd_size_t* size = ppdPageSize(ppd, name);
    if (size == nullptr)
        return;
    tavelLogCommon(0, "Custom Size: (%f,%f,%f,%f,%f,%f)", size->width, size->length, size->left,
                   size->bottom, size->right, size->top);
    settings->pageWidth = static_cast<float>(static_cast<double>(size->width) * 0.3528);
    settings->pageHeight = static_cast<float>(static_cast<double>(size->length) * 0.3528);
    tavelLogCommon(0, "Set page size: width %f mm, height %f mm", settings->pageWidth,
                   settings->pageHeight);
}
