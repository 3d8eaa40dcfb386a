// tavel_pagegen: writes one benchmark page as a binary PGM (P5, maxval 255).
//   tavel_pagegen CONTENT WIDTH HEIGHT OUT.pgm [--paper]
// Without --paper the values are ink as the filter receives them (0 = blank);
// with --paper they are inverted to the usual PGM reading (255 = white), the
// same page as an ordinary image viewer or ImageMagick sees it.
#include "bench/bench_pages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
    PageContent content;
    if ((argc != 5 && argc != 6) || !pageContentFromName(argv[1], content) ||
        (argc == 6 && std::strcmp(argv[5], "--paper") != 0)) {
        std::fprintf(stderr, "Usage: %s text|photo|blank WIDTH HEIGHT OUT.pgm [--paper]\n",
                     argv[0]);
        return 1;
    }
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    if (width <= 0 || height <= 0 || width > 20000 || height > 20000) {
        std::fprintf(stderr, "%s: width and height must be 1..20000\n", argv[0]);
        return 1;
    }
    std::vector<unsigned char> page = makeBenchPage(content, width, height);
    if (argc == 6)
        for (unsigned char& v : page) v = static_cast<unsigned char>(255 - v);

    FILE* out = std::fopen(argv[4], "wb");
    if (out == nullptr) {
        std::perror(argv[4]);
        return 1;
    }
    std::fprintf(out, "P5\n%d %d\n255\n", width, height);
    const bool written = std::fwrite(page.data(), 1, page.size(), out) == page.size();
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[4]);
        return 1;
    }
    return 0;
}
