// Human labels for the vendor attributes: PAPPL shows an attribute's name
// and keywords as they are unless a strings resource names them.
#include "printerapp/system/strings.h"

const char* const kEnglishStrings =
    "\"halftone-type\" = \"Halftoning\";\n"
    "\"halftone-type.threshold\" = \"Threshold (black or white, for text and barcodes)\";\n"
    "\"halftone-type.ordered-4x4\" = \"Ordered 4 x 4\";\n"
    "\"halftone-type.burkes\" = \"Burkes diffusion\";\n"
    "\"halftone-type.stucki\" = \"Stucki diffusion\";\n"
    "\"halftone-type.jarvis-judice-ninke\" = \"Jarvis, Judice and Ninke diffusion\";\n"
    "\"halftone-type.sierra\" = \"Sierra diffusion (photos)\";\n"
    "\"halftone-type.stevenson-arce\" = \"Stevenson-Arce diffusion\";\n"
    "\"halftone-type.bayer\" = \"Bayer ordered\";\n"
    "\"halftone-type.tattoo\" = \"Stencil\";\n"
    "\"halftone-type.tattoo-x8\" = \"Stencil, fine\";\n"
    "\"image-darkening\" = \"Image darkening (-40 to 40)\";\n"
    "\"mirror-image\" = \"Mirror image\";\n"
    "\"negative-image\" = \"Negative image\";\n"
    "\"print-direction\" = \"Print direction\";\n"
    "\"print-direction.normal\" = \"Normal\";\n"
    "\"print-direction.rotated-180\" = \"Turned 180 degrees\";\n"
    "\"print-method\" = \"Print method\";\n"
    "\"print-method.direct-thermal\" = \"Direct thermal\";\n"
    "\"print-method.thermal-transfer\" = \"Thermal transfer (ribbon)\";\n"
    "\"compress-label-data\" = \"Compress label data\";\n"
    "\"record-printer-commands\" = \"Keep a copy of the printer commands\";\n"
    "\"media-gap-height\" = \"Gap height (mm)\";\n"
    "\"save-page-images\" = \"Save page images (diagnosis)\";\n"
    "\"query-printer-status\" = \"Query printer status\";\n"
    "\"label-crop\" = \"Carrier pages\";\n"
    "\"label-crop.label-box\" = \"Print the ruled label box alone\";\n"
    "\"label-crop.none\" = \"Print the whole page\";\n"
    // A TSPL printer's marker supply is its ribbon.
    "\"printer-state-reasons.marker-supply-empty\" = \"Ribbon out.\";\n";

namespace {

const char* const kStringsPath = "/en.strings";

}  // namespace

void appAddStrings(pappl_system_t* system)
{
    // PAPPL 1.3.1 appends printer-strings-languages-supported to the
    // printer's own attributes at every Get-Printer-Attributes that asks for
    // it while a strings resource has a language: responses list it twice,
    // three times, ..., the printer's attributes grow with every poll, and
    // client threads write them at once without a lock. The web page's
    // labels stay with the localization this call builds; the resource
    // that carries the language goes, and the same text is served again
    // as a plain file for printer-strings-uri (appAddStringsAttributes).
    papplSystemAddStringsData(system, kStringsPath, "en", kEnglishStrings);
    papplSystemRemoveResource(system, kStringsPath);
    papplSystemAddResourceString(system, kStringsPath, "text/strings", kEnglishStrings);
}

void appAddStringsAttributes(pappl_system_t* system, ipp_t* attrs)
{
    char host[256] = "";
    papplSystemGetHostName(system, host, sizeof(host));
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof(uri), "http", nullptr, host,
                    papplSystemGetHostPort(system), kStringsPath);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_LANGUAGE, "printer-strings-languages-supported",
                 nullptr, "en");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_URI, "printer-strings-uri", nullptr, uri);
}
