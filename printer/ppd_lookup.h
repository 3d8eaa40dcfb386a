// PPD lookups of the printer library: one value from an opened PPD, the
// job's marked choice first, the PPD's default choice second, and the
// caller's default when the PPD has neither.
#ifndef TAVEL_PRINTER_PPD_LOOKUP_H
#define TAVEL_PRINTER_PPD_LOOKUP_H

#include <cups/ppd.h>

extern "C" {

ppd_choice_t* tavelPpdGetChoice(ppd_file_t* ppd, const char* keyword);
const char* tavelPpdGetChoiceAsStrDefault(ppd_file_t* ppd, const char* keyword,
                                          const char* defaultValue);
int tavelPpdGetChoiceAsIntDefault(ppd_file_t* ppd, const char* keyword, int defaultValue);
// "true"/"yes" give 1, "false"/"no" give 0 (any letter case); other text
// gives the low byte of its integer value.
signed char tavelPpdGetChoiceAsBoolDefault(ppd_file_t* ppd, const char* keyword,
                                           char defaultValue);
const char* tavelPpdGetAttrAsStrDefault(ppd_file_t* ppd, const char* name, const char* selector,
                                        const char* defaultValue);
double tavelPpdGetAttrAsFloatDefault(ppd_file_t* ppd, const char* name, const char* selector,
                                     double defaultValue);

}  // extern "C"

#endif
