// Helpers shared by the DibImage tests: build small images from rows of
// numbers and read them back, so expectations read like the pictures they are.
#pragma once

#include "sanitizer.h"
#include "image/dib_image.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

using Rows = std::vector<std::vector<int>>;

constexpr tagRGBQUAD kBlack{0, 0, 0, 0};
constexpr tagRGBQUAD kWhite{255, 255, 255, 0};

inline bool sameColour(tagRGBQUAD a, tagRGBQUAD b)
{
    return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed &&
           a.rgbReserved == b.rgbReserved;
}

// An 8-bit grey image whose stored row y holds rows[y] (grey-ramp palette).
inline void loadGrey(DibImage& image, const Rows& rows)
{
    const unsigned width = static_cast<unsigned>(rows.at(0).size());
    const unsigned height = static_cast<unsigned>(rows.size());
    std::vector<unsigned char> pixels;
    for (const auto& row : rows)
        for (int v : row) pixels.push_back(static_cast<unsigned char>(v));
    image.CreateFromArray(pixels.data(), width, height, 8, width, false);
}

// The colour index of every pixel, stored row by stored row.
inline Rows indicesOf(const DibImage& image)
{
    Rows rows(image.GetHeight(), std::vector<int>(image.GetWidth()));
    for (long y = 0; y < image.GetHeight(); ++y)
        for (long x = 0; x < image.GetWidth(); ++x) rows[y][x] = image.GetPixelIndex(x, y);
    return rows;
}

inline Rows uniformRows(int width, int height, int value)
{
    return Rows(height, std::vector<int>(width, value));
}

using tavel_test::addressSpaceLimitsBind;

// Lets the process grow by at most `headroom` more bytes of address space, so
// that the next large allocation fails. Only for forked death-test children.
inline bool limitAddressSpaceGrowth(unsigned long headroom)
{
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return false;
    unsigned long pages = 0;
    const bool read = std::fscanf(statm, "%lu", &pages) == 1;
    std::fclose(statm);
    if (!read) return false;
    const rlim_t pageSize = static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit limit{pages * pageSize + headroom, RLIM_INFINITY};
    return setrlimit(RLIMIT_AS, &limit) == 0;
}
