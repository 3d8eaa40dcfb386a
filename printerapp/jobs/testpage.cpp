// The test label and the PNG file PAPPL queues for it. The text is
// drawn with a small 5 x 7 dot font of the few characters it needs.
#include "printerapp/jobs/testpage.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Glyph {
    char character;
    unsigned char rows[7];  // five dots a row, the leftmost in bit 4
};

const Glyph sFont[] = {
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
    {'D', {30, 17, 17, 17, 17, 17, 30}}, {'E', {31, 16, 16, 30, 16, 16, 31}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'K', {17, 18, 20, 24, 20, 18, 17}},
    {'L', {16, 16, 16, 16, 16, 16, 31}}, {'M', {17, 27, 21, 21, 17, 17, 17}},
    {'N', {17, 25, 21, 19, 17, 17, 17}}, {'P', {30, 17, 17, 30, 16, 16, 16}},
    {'R', {30, 17, 17, 30, 20, 18, 17}}, {'S', {15, 16, 16, 14, 1, 1, 30}},
    {'T', {31, 4, 4, 4, 4, 4, 4}},       {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
    {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {30, 1, 1, 14, 1, 1, 30}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
    {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {'%', {24, 25, 2, 4, 8, 19, 3}},
};

const Glyph* glyphOf(char c)
{
    for (const Glyph& glyph : sFont) {
        if (glyph.character == c)
            return &glyph;
    }
    return nullptr;  // a space, or a character the label does not use
}

struct Canvas {
    unsigned width;
    unsigned height;
    std::vector<unsigned char>& dots;

    void fill(unsigned x0, unsigned y0, unsigned x1, unsigned y1, unsigned char level)
    {
        x1 = std::min(x1, width);
        y1 = std::min(y1, height);
        for (unsigned y = y0; y < y1; ++y)
            for (unsigned x = x0; x < x1; ++x)
                dots[static_cast<size_t>(y) * width + x] = level;
    }

    // Text centred across the page with its top at y, in the largest dots
    // (up to maxScale) that fit the width.
    void text(const std::string& line, unsigned y, unsigned maxScale)
    {
        const unsigned cell = 6;  // five dots and a space
        const unsigned count = static_cast<unsigned>(line.size());
        const unsigned scale = std::min(maxScale, width * 9 / 10 / (cell * count));
        if (scale == 0)
            return;  // too small a label for text
        unsigned x = (width - scale * (cell * count - 1)) / 2;
        for (char c : line) {
            if (const Glyph* glyph = glyphOf(c)) {
                for (unsigned row = 0; row < 7; ++row)
                    for (unsigned col = 0; col < 5; ++col)
                        if ((glyph->rows[row] >> (4 - col)) & 1)
                            fill(x + col * scale, y + row * scale, x + (col + 1) * scale,
                                 y + (row + 1) * scale, 255);
            }
            x += cell * scale;
        }
    }
};

}  // namespace

std::vector<unsigned char> drawTestLabel(unsigned width, unsigned height, int dpi,
                                         int darknessPercent)
{
    std::vector<unsigned char> dots(static_cast<size_t>(width) * height, 0);
    Canvas canvas{width, height, dots};
    if (width < 8 || height < 8)
        return dots;

    // The frame on the label's outermost dots: where it is cut or missing,
    // the label sits off the head or the gap setting is wrong.
    const unsigned frame = std::max(2, dpi / 50);
    canvas.fill(0, 0, width, frame, 255);
    canvas.fill(0, height - frame, width, height, 255);
    canvas.fill(0, 0, frame, height, 255);
    canvas.fill(width - frame, 0, width, height, 255);

    // Six bands inside the frame: two lines of text, a solid block, a
    // smooth ramp, eight steps, and the label's size.
    const unsigned margin = 2 * frame;
    const unsigned innerWidth = width - 2 * margin;
    const unsigned band = (height - 2 * margin) / 6;
    const unsigned textScale = band * 7 / 10 / 7;
    const unsigned gap = band / 8;
    unsigned y = margin;
    canvas.text("TEST LABEL " + std::to_string(dpi) + " DPI", y + gap, textScale);
    y += band;
    canvas.text("DARKNESS " + std::to_string(darknessPercent) + "%", y + gap, textScale);
    y += band;
    canvas.fill(margin, y + gap, width - margin, y + band - gap, 255);
    y += band;
    for (unsigned x = 0; x < innerWidth; ++x) {
        const unsigned char level =
            static_cast<unsigned char>(innerWidth > 1 ? x * 255 / (innerWidth - 1) : 255);
        canvas.fill(margin + x, y + gap, margin + x + 1, y + band - gap, level);
    }
    y += band;
    for (unsigned step = 0; step < 8; ++step) {
        const unsigned x0 = margin + innerWidth * step / 8;
        const unsigned x1 = margin + innerWidth * (step + 1) / 8;
        canvas.fill(x0, y + gap, x1, y + band - gap, static_cast<unsigned char>(step * 255 / 7));
    }
    y += band;
    const unsigned widthMm = (width * 254 + dpi * 5) / (dpi * 10);
    const unsigned heightMm = (height * 254 + dpi * 5) / (dpi * 10);
    canvas.text(std::to_string(widthMm) + "X" + std::to_string(heightMm) + " MM", y + gap,
                textScale);
    return dots;
}

namespace {

// Writes dots (0 = blank, 255 = ink) as an 8-bit grey PNG at dpi: PAPPL
// 1.3.1 prints a queued PNG in its job thread, not a PWG raster.
bool writeTestLabelPng(FILE* file, const std::vector<unsigned char>& dots, unsigned width,
                       unsigned height, int dpi)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    std::vector<unsigned char> row(width);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const png_uint_32 perMetre = static_cast<png_uint_32>(dpi * 10000 / 254);
    png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x)
            row[x] = static_cast<unsigned char>(255 - dots[static_cast<size_t>(y) * width + x]);
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

const char* appTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize)
{
    pappl_pr_driver_data_t data;
    if (papplPrinterGetDriverData(printer, &data) == nullptr || data.x_default <= 0)
        return nullptr;
    const pappl_media_col_t& media =
        data.media_ready[0].size_width > 0 ? data.media_ready[0] : data.media_default;
    const int dpi = data.x_default;
    const unsigned width = static_cast<unsigned>((media.size_width * dpi + 1270) / 2540);
    const unsigned height = static_cast<unsigned>((media.size_length * dpi + 1270) / 2540);
    if (width == 0 || height == 0)
        return nullptr;

    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(buffer, bufsize, "%s/tavel-test-label-XXXXXX.png", tmp ? tmp : "/tmp");
    const int fd = mkstemps(buffer, 4);
    if (fd < 0) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to create the test label file.");
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    bool ok = file != nullptr &&
              writeTestLabelPng(file, drawTestLabel(width, height, dpi, data.darkness_configured),
                                width, height, dpi);
    if (file != nullptr)
        ok = std::fclose(file) == 0 && ok;
    else
        close(fd);
    if (!ok) {
        unlink(buffer);
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to write the test label.");
        return nullptr;
    }
    return buffer;
}
