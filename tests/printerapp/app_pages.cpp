// app_pages: turns a grey page (PGM, levels as the filter reads them: 0 =
// blank paper, 255 = full ink) into the documents a client sends the printer
// application: a PWG (or Apple) raster (sGray, 255 = white) and a grey PNG, both at the
// given resolution. The filter gets the same page through rasterwrite, so the
// two front ends can be compared on the same dots.
#include <cups/raster.h>
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Page {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<unsigned char> ink;  // 255 = full ink
};

bool readPgm(const char* path, Page* page)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    unsigned maxval = 0;
    const bool ok = std::fscanf(file, "P5 %u %u %u", &page->width, &page->height, &maxval) == 3 &&
                    maxval == 255 && std::fgetc(file) != EOF;
    if (ok) {
        page->ink.resize(static_cast<size_t>(page->width) * page->height);
        if (std::fread(page->ink.data(), 1, page->ink.size(), file) != page->ink.size())
            page->ink.clear();
    }
    std::fclose(file);
    return ok && !page->ink.empty();
}

// A label of every kind of content a halftone treats differently: a grey
// ramp across the page, a solid box, blank margins, fine lines and a
// checkerboard of mid greys.
Page testPage(unsigned width, unsigned height)
{
    Page page;
    page.width = width;
    page.height = height;
    page.ink.resize(static_cast<size_t>(width) * height);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            unsigned v = width > 1 ? x * 255 / (width - 1) : 0;
            if (y < height / 8)
                v = 0;
            else if (x >= width / 16 && x < width / 4 && y >= height / 8 && y < height / 3)
                v = 255;
            else if (y >= height / 2 && y < height * 3 / 4 && x >= width / 3)
                v = ((x / 6 + y / 6) % 2 != 0) ? 96 : 160;
            else if (y >= height * 3 / 4 && x % 7 == 0)
                v = 200;
            page.ink[static_cast<size_t>(y) * width + x] = static_cast<unsigned char>(v);
        }
    }
    return page;
}

bool writePgm(const char* path, const Page& page)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    std::fprintf(file, "P5 %u %u 255\n", page.width, page.height);
    const bool ok = std::fwrite(page.ink.data(), 1, page.ink.size(), file) == page.ink.size();
    return std::fclose(file) == 0 && ok;
}

bool writePwg(const char* path, const Page& page, unsigned dpi, const char* mediaName)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    // A name ending in ".urf" asks for Apple raster instead of PWG raster.
    const size_t length = std::strlen(path);
    const bool apple = length > 4 && std::strcmp(path + length - 4, ".urf") == 0;
    cups_raster_t* raster = cupsRasterOpen(fd, apple ? CUPS_RASTER_WRITE_APPLE : CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t header;
    const double points = 72.0 / dpi;
    pwg_media_t* media = pwgMediaForSize(static_cast<int>(page.width * 2540.0 / dpi + 0.5),
                                         static_cast<int>(page.height * 2540.0 / dpi + 0.5));
    bool ok = media != nullptr && cupsRasterInitPWGHeader(&header, media, "sgray_8", dpi, dpi,
                                                          "one-sided", nullptr) != 0;
    if (ok) {
        header.cupsWidth = page.width;
        header.cupsHeight = page.height;
        header.cupsBytesPerLine = page.width;
        header.PageSize[0] = static_cast<unsigned>(page.width * points + 0.5);
        header.PageSize[1] = static_cast<unsigned>(page.height * points + 0.5);
        header.NumCopies = 1;
        std::snprintf(header.cupsPageSizeName, sizeof(header.cupsPageSizeName), "%s", mediaName);
        ok = cupsRasterWriteHeader2(raster, &header) != 0;
    }
    std::vector<unsigned char> row(page.width);
    for (unsigned y = 0; ok && y < page.height; ++y) {
        for (unsigned x = 0; x < page.width; ++x)
            row[x] = static_cast<unsigned char>(255 - page.ink[static_cast<size_t>(y) * page.width + x]);
        ok = cupsRasterWritePixels(raster, row.data(), page.width) == page.width;
    }
    cupsRasterClose(raster);
    close(fd);
    return ok;
}

bool writePng(const char* path, const Page& page, unsigned dpi)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> row(page.width);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, page.width, page.height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const png_uint_32 perMetre = static_cast<png_uint_32>(dpi / 0.0254 + 0.5);
    png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (unsigned y = 0; y < page.height; ++y) {
        for (unsigned x = 0; x < page.width; ++x)
            row[x] = static_cast<unsigned char>(255 - page.ink[static_cast<size_t>(y) * page.width + x]);
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

// A blank (white) grey PNG of any size, written row by row: a small file
// that decodes to a huge image.
bool writeBlankPng(const char* path, unsigned width, unsigned height)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> white(width, 255);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (unsigned y = 0; y < height; ++y)
        png_write_row(png, white.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 5 && std::strcmp(argv[1], "--test-page") == 0) {
        // app_pages --test-page WIDTH HEIGHT OUT.pgm
        const Page page = testPage(static_cast<unsigned>(std::atoi(argv[2])),
                                   static_cast<unsigned>(std::atoi(argv[3])));
        return writePgm(argv[4], page) ? 0 : 1;
    }
    if (argc == 5 && std::strcmp(argv[1], "--blank-png") == 0) {
        // app_pages --blank-png WIDTH HEIGHT OUT.png
        return writeBlankPng(argv[4], static_cast<unsigned>(std::atoi(argv[2])),
                             static_cast<unsigned>(std::atoi(argv[3])))
                   ? 0
                   : 1;
    }
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "Usage: app_pages PAGE.pgm DPI OUT.pwg|OUT.urf OUT.png [MEDIA-NAME]\n"
                             "       app_pages --test-page WIDTH HEIGHT OUT.pgm\n"
                             "       app_pages --blank-png WIDTH HEIGHT OUT.png\n");
        return 2;
    }
    Page page;
    if (!readPgm(argv[1], &page)) {
        std::fprintf(stderr, "app_pages: cannot read %s (binary PGM, maxval 255)\n", argv[1]);
        return 1;
    }
    const unsigned dpi = static_cast<unsigned>(std::atoi(argv[2]));
    if (!writePwg(argv[3], page, dpi, argc == 6 ? argv[5] : "") || !writePng(argv[4], page, dpi)) {
        std::fprintf(stderr, "app_pages: cannot write %s or %s\n", argv[3], argv[4]);
        return 1;
    }
    return 0;
}
