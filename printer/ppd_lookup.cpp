// PPD lookups of the printer library.
#include "printer/ppd_lookup.h"

#include <strings.h>

#include <cstdlib>

extern "C" ppd_choice_t* tavelPpdGetChoice(ppd_file_t* ppd, const char* keyword)
{
    ppd_choice_t* marked = ppdFindMarkedChoice(ppd, keyword);
    if (marked != nullptr)
        return marked;
    ppd_option_t* option = ppdFindOption(ppd, keyword);
    if (option == nullptr)
        return nullptr;
    return ppdFindChoice(option, option->defchoice);
}

extern "C" const char* tavelPpdGetChoiceAsStrDefault(ppd_file_t* ppd, const char* keyword,
                                                     const char* defaultValue)
{
    ppd_choice_t* choice = tavelPpdGetChoice(ppd, keyword);
    return choice != nullptr ? choice->choice : defaultValue;
}

extern "C" int tavelPpdGetChoiceAsIntDefault(ppd_file_t* ppd, const char* keyword,
                                             int defaultValue)
{
    ppd_choice_t* choice = tavelPpdGetChoice(ppd, keyword);
    return choice != nullptr ? std::atoi(choice->choice) : defaultValue;
}

extern "C" signed char tavelPpdGetChoiceAsBoolDefault(ppd_file_t* ppd, const char* keyword,
                                                      char defaultValue)
{
    ppd_choice_t* choice = tavelPpdGetChoice(ppd, keyword);
    if (choice == nullptr)
        return static_cast<signed char>(defaultValue);
    const char* text = choice->choice;
    if (strcasecmp(text, "true") == 0 || strcasecmp(text, "yes") == 0)
        return 1;
    if (strcasecmp(text, "false") == 0 || strcasecmp(text, "no") == 0)
        return 0;
    return static_cast<signed char>(std::atoi(text));
}

extern "C" const char* tavelPpdGetAttrAsStrDefault(ppd_file_t* ppd, const char* name,
                                                   const char* selector, const char* defaultValue)
{
    ppd_attr_t* attr = ppdFindAttr(ppd, name, selector);
    if (attr == nullptr || attr->value == nullptr)
        return defaultValue;
    return attr->value;
}

extern "C" double tavelPpdGetAttrAsFloatDefault(ppd_file_t* ppd, const char* name,
                                                const char* selector, double defaultValue)
{
    ppd_attr_t* attr = ppdFindAttr(ppd, name, selector);
    if (attr == nullptr || attr->value == nullptr)
        return defaultValue;
    return std::atof(attr->value);
}
