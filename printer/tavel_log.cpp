// Logging and small shared utilities of the printer library.
#include "printer/tavel_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char* const sLogLevelTexts[6] = {
    "DEBUG:", "DEBUG:", "WARN:", "ERROR:", "CRIT:", "INVALID:",
};

const char* const sHalftoneTypeStrTable[10] = {
    "None",   "FloydSteinberg", "Ordered",       "Burkes", "Stucki",
    "JarvisJudiceNinke", "Sierra", "StevensonArce", "Tattoo", "Tattoo_X8",
};

}  // namespace

extern "C" void tavelLogCommon(int level, const char* format, ...)
{
    std::fprintf(stderr, "%s", sLogLevelTexts[level]);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
}

extern "C" const char* tavelHalftoneTypeToStr(int value)
{
    if (value < 0 || value > 9)
        return sHalftoneTypeStrTable[0];
    return sHalftoneTypeStrTable[value];
}

extern "C" DitherType tavelHalftoneTypeFromStr(const char* name)
{
    for (int i = 0; i < 10; ++i) {
        if (std::strcmp(name, sHalftoneTypeStrTable[i]) == 0)
            return static_cast<DitherType>(i);
    }
    return DITHER_NONE;
}

extern "C" char* tavelPathGetBasename(char* path)
{
    if (path == nullptr)
        return nullptr;
    char* slash = std::strrchr(path, '/');
    char* backslash = std::strrchr(path, '\\');
    char* last = slash > backslash ? slash : backslash;
    return last != nullptr ? last + 1 : path;
}

extern "C" char* tavelStrCpy(char* dest, const char* src, unsigned long size)
{
    std::strncpy(dest, src, size);
    dest[size - 1] = '\0';
    return dest;
}
