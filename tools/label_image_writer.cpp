// PNG (through libpng) and PBM output of previewed labels.
#include "tools/label_image_writer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Packs the canvas into rows of 1-bit pixels, leftmost in the most
// significant bit; a pixel's bit is 1 when its dot state equals bitForDot.
std::vector<unsigned char> packRows(const LabelCanvas& label, bool bitForDot)
{
    const size_t rowBytes = (label.width() + 7) / 8;
    std::vector<unsigned char> rows(rowBytes * label.height(), 0);
    for (unsigned y = 0; y < label.height(); ++y)
        for (unsigned x = 0; x < label.width(); ++x)
            if (label.isDot(x, y) == bitForDot)
                rows[y * rowBytes + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    return rows;
}

std::string systemError(const std::string& path)
{
    return path + ": " + std::strerror(errno);
}

// Only plain data live in this function's frame, so libpng's longjmp on an
// error skips no destructor.
bool writePngRows(FILE* file, unsigned width, unsigned height, unsigned char** rows)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool closeChecked(FILE* file, bool ok, const std::string& path, std::string& error)
{
    const bool closed = std::fclose(file) == 0;
    if (ok && !closed)
        error = systemError(path);
    return ok && closed;
}

} // namespace

bool writeLabelPng(const LabelCanvas& label, const std::string& path, std::string& error)
{
    // Grey 0 is black in PNG, so a dot is a 0 bit.
    std::vector<unsigned char> packed = packRows(label, false);
    std::vector<unsigned char*> rows(label.height());
    const size_t rowBytes = (label.width() + 7) / 8;
    for (unsigned y = 0; y < label.height(); ++y)
        rows[y] = packed.data() + y * rowBytes;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = systemError(path);
        return false;
    }
    const bool ok = writePngRows(file, label.width(), label.height(), rows.data());
    if (!ok)
        error = path + ": libpng failed to write the image";
    return closeChecked(file, ok, path, error);
}

bool writeLabelPbm(const LabelCanvas& label, const std::string& path, std::string& error)
{
    // In PBM a 1 bit is black.
    const std::vector<unsigned char> packed = packRows(label, true);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = systemError(path);
        return false;
    }
    const bool ok = std::fprintf(file, "P4\n%u %u\n", label.width(), label.height()) > 0 &&
                    std::fwrite(packed.data(), 1, packed.size(), file) == packed.size();
    if (!ok)
        error = systemError(path);
    return closeChecked(file, ok, path, error);
}
