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

void appAddStrings(pappl_system_t* system)
{
    papplSystemAddStringsData(system, "/en.strings", "en", kEnglishStrings);
}
