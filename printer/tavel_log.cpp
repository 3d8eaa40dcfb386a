// Logging and small shared utilities of the printer library.
#include "printer/tavel_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char* const sLogLevelTexts[6] = {
    "DEBUG:", "DEBUG:", "WARN:", "ERROR:", "CRIT:", "INVALID:",
};

const char* const sHalftoneTypeStrTable[] = {
    "None",   "FloydSteinberg", "Ordered",       "Burkes", "Stucki",
    "JarvisJudiceNinke", "Sierra", "StevensonArce", "Tattoo", "Tattoo_X8",
    "Auto",
};
constexpr int kHalftoneTypeNames = sizeof(sHalftoneTypeStrTable) / sizeof(sHalftoneTypeStrTable[0]);
static_assert(kHalftoneTypeNames == DITHER_AUTO + 1, "one name per halftone type");

std::atomic<int> sMinimumLevel{0};

}  // namespace

extern "C" void tavelLogSetMinimumLevel(int level) { sMinimumLevel.store(level); }

// The line goes out in one write: the print system reads standard error
// line by line, a page logs dozens of lines, and a line written whole cannot
// be split by another writer. A message too long for the buffer is written
// in three pieces instead.
extern "C" void tavelLogCommon(int level, const char* format, ...)
{
    if (level < sMinimumLevel.load(std::memory_order_relaxed))
        return;
    char line[1024];
    const size_t prefix = std::strlen(sLogLevelTexts[level]);
    std::memcpy(line, sLogLevelTexts[level], prefix);
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(line + prefix, sizeof(line) - prefix, format, args);
    va_end(args);
    if (length >= 0 && prefix + static_cast<size_t>(length) + 1 < sizeof(line)) {
        line[prefix + static_cast<size_t>(length)] = '\n';
        std::fwrite(line, 1, prefix + static_cast<size_t>(length) + 1, stderr);
    } else {
        std::fprintf(stderr, "%s", sLogLevelTexts[level]);
        std::vfprintf(stderr, format, again);
        std::fprintf(stderr, "\n");
    }
    va_end(again);
}

extern "C" const char* tavelHalftoneTypeToStr(int value)
{
    if (value < 0 || value >= kHalftoneTypeNames)
        return sHalftoneTypeStrTable[0];
    return sHalftoneTypeStrTable[value];
}

extern "C" DitherType tavelHalftoneTypeFromStr(const char* name)
{
    for (int i = 0; i < kHalftoneTypeNames; ++i) {
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
