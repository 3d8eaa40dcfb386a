// 8-bit grey pages for the raster writer: read from PGM files or made from a
// short synthetic description, so tests need no image files.
#pragma once

#include <string>
#include <vector>

struct GreyPage {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<unsigned char> pixels; // height rows of width bytes
};

// Largest side accepted, in pixels; keeps a typo from allocating gigabytes.
constexpr unsigned kMaxPageSide = 20000;

// Loads PAGE: "fill:WxH:V", "rect:WxH:X,Y,RW,RH:V" or the path of a PGM file
// (binary P5 or plain P2, maxval 255). On failure returns false and sets error.
bool loadGreyPage(const std::string& pageArg, GreyPage& page, std::string& error);
