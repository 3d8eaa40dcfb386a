// The test label and the PNG file PAPPL queues for it. Everything on it is
// drawn in full ink or left blank: greys are dithered here with an 8 x 8
// ordered pattern, so the printer's halftone (a threshold among them)
// passes every dot through as drawn.
#include "printerapp/jobs/testpage.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "printerapp/jobs/code128.h"
#include "printerapp/jobs/dot_font.h"

namespace {

constexpr unsigned char kInk = 255;
// The label's height is shared out in units: two for each of the five
// lines of text, two each for the solid band and the staircase, three for
// the ramp and four for the bar code.
constexpr unsigned kTextLines = 5;
constexpr unsigned kUnits = 2 * kTextLines + 2 + 2 + 3 + 4;
// Steps of the staircase: dot column x is inked on step x % kStairSteps.
constexpr unsigned kStairSteps = 8;
// Blank modules on each side of the bar code.
constexpr unsigned kQuietModules = 10;

// The 8 x 8 ordered dither threshold (0 to 63) of dot (x, y): the bits of
// x ^ y and y interleaved and read in reverse, so that every 8 x 8 tile
// holds each threshold once and the inked dots of a level spread evenly.
unsigned ditherThreshold(unsigned x, unsigned y)
{
    const unsigned mixed = (x ^ y) & 7, row = y & 7;
    unsigned threshold = 0;
    for (unsigned bit = 0; bit < 3; ++bit) {
        threshold |= ((mixed >> bit) & 1) << (5 - 2 * bit);
        threshold |= ((row >> bit) & 1) << (4 - 2 * bit);
    }
    return threshold;
}

struct Canvas {
    unsigned width;
    unsigned height;
    std::vector<unsigned char>& dots;

    void fill(unsigned x0, unsigned y0, unsigned x1, unsigned y1)
    {
        x1 = std::min(x1, width);
        y1 = std::min(y1, height);
        for (unsigned y = y0; y < y1; ++y)
            for (unsigned x = x0; x < x1; ++x)
                dots[static_cast<size_t>(y) * width + x] = kInk;
    }

    // Text centred across the label with its top at y, each font dot a
    // square of scale dots.
    void text(const std::string& line, unsigned y, unsigned scale)
    {
        const unsigned cell = kDotFontWidth + 1;
        const unsigned count = static_cast<unsigned>(line.size());
        if (scale == 0 || count == 0 || scale * (cell * count - 1) > width)
            return;
        unsigned x = (width - scale * (cell * count - 1)) / 2;
        for (char c : line) {
            if (const unsigned char* rows = dotFontGlyph(c)) {
                for (unsigned row = 0; row < kDotFontHeight; ++row)
                    for (unsigned col = 0; col < kDotFontWidth; ++col)
                        if ((rows[row] >> (kDotFontWidth - 1 - col)) & 1)
                            fill(x + col * scale, y + row * scale, x + (col + 1) * scale,
                                 y + (row + 1) * scale);
            }
            x += cell * scale;
        }
    }
};

unsigned frameDots(int dpi) { return static_cast<unsigned>(std::max(2, dpi / 50)); }

// Tenths of a millimetre as "101.6".
std::string millimetres(unsigned dots, int dpi)
{
    const unsigned tenths = (dots * 254 + static_cast<unsigned>(dpi) / 2) / static_cast<unsigned>(dpi);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

const char* modeName(pappl_label_mode_t mode)
{
    switch (mode) {
    case PAPPL_LABEL_MODE_APPLICATOR:
        return "APPLICATOR";
    case PAPPL_LABEL_MODE_CUTTER:
        return "CUTTER";
    case PAPPL_LABEL_MODE_CUTTER_DELAYED:
        return "DELAYED CUTTER";
    case PAPPL_LABEL_MODE_KIOSK:
        return "KIOSK";
    case PAPPL_LABEL_MODE_PEEL_OFF:
        return "PEEL-OFF";
    case PAPPL_LABEL_MODE_PEEL_OFF_PREPEEL:
        return "PEEL-OFF, PRE-PEEL";
    case PAPPL_LABEL_MODE_REWIND:
        return "REWIND";
    case PAPPL_LABEL_MODE_RFID:
        return "RFID";
    case PAPPL_LABEL_MODE_TEAR_OFF:
        return "TEAR-OFF";
    default:
        return "PRINTER'S OWN";
    }
}

const char* trackingName(pappl_media_tracking_t tracking)
{
    switch (tracking) {
    case PAPPL_MEDIA_TRACKING_CONTINUOUS:
        return "CONTINUOUS";
    case PAPPL_MEDIA_TRACKING_MARK:
        return "BLACK MARKS";
    case PAPPL_MEDIA_TRACKING_WEB:
        return "WEB";
    default:
        return "GAPS";
    }
}

}  // namespace

std::vector<std::string> testLabelText(const TestLabelFacts& facts)
{
    std::vector<std::string> lines;
    lines.push_back("TEST LABEL " + std::to_string(facts.dpi) + " DPI");
    lines.push_back(millimetres(facts.width, facts.dpi) + " X " +
                    millimetres(facts.height, facts.dpi) + " MM");
    // The printer's sixteen DENSITY levels, as the job options round them.
    const int percent = std::min(100, std::max(0, facts.darknessPercent));
    lines.push_back("DARKNESS " + std::to_string(percent) + "%, DENSITY " +
                    std::to_string((percent * 15 + 50) / 100));
    // Whole inches a second, as the printer's SPEED takes them.
    lines.push_back(facts.speed > 0 ? "SPEED " + std::to_string((facts.speed + 1270) / 2540) +
                                          " IN/S"
                                    : std::string("SPEED: PRINTER'S OWN"));
    lines.push_back(std::string("MODE ") + modeName(facts.mode) + ", " +
                    trackingName(facts.tracking));
    return lines;
}

std::string testLabelBarcodeText(int dpi) { return "TEST " + std::to_string(dpi) + " DPI"; }

TestLabelLayout testLabelLayout(unsigned width, unsigned height, int dpi)
{
    TestLabelLayout layout;
    const unsigned margin = 2 * frameDots(dpi);
    if (width <= 2 * margin || height < 2 * margin + kUnits)
        return layout;  // the frame alone
    const unsigned unit = (height - 2 * margin) / kUnits;
    const unsigned gap = std::max(1u, unit / 4);
    unsigned y = margin;
    layout.textTop = y;
    layout.textBottom = y += 2 * kTextLines * unit;
    layout.solidTop = y + gap;
    layout.solidBottom = y += 2 * unit;
    layout.stairsTop = y + gap;
    layout.stairsBottom = (y += 2 * unit) - gap;
    layout.rampTop = y + gap;
    layout.rampBottom = (y += 3 * unit) - gap;
    layout.rampLeft = margin;
    layout.rampRight = width - margin;
    layout.barcodeTop = y + gap;
    layout.barcodeBottom = (y += 4 * unit) - gap;
    const unsigned modules =
        code128Modules(code128Widths(testLabelBarcodeText(dpi))) + 2 * kQuietModules;
    // A module of a hundredth of an inch or more, as narrow as it must be
    // to fit.
    layout.module = static_cast<unsigned>(std::max(1, dpi / 100));
    while (layout.module > 0 && layout.module * modules > width - 2 * margin)
        --layout.module;
    return layout;
}

std::vector<unsigned char> drawTestLabel(const TestLabelFacts& facts)
{
    const unsigned width = facts.width, height = facts.height;
    std::vector<unsigned char> dots(static_cast<size_t>(width) * height, 0);
    Canvas canvas{width, height, dots};
    if (width < 8 || height < 8)
        return dots;

    // The frame on the label's outermost dots: where it is cut or missing,
    // the label sits off the head or the gap setting is wrong.
    const unsigned frame = frameDots(facts.dpi);
    canvas.fill(0, 0, width, frame);
    canvas.fill(0, height - frame, width, height);
    canvas.fill(0, 0, frame, height);
    canvas.fill(width - frame, 0, width, height);

    const TestLabelLayout layout = testLabelLayout(width, height, facts.dpi);
    if (layout.textBottom == 0)
        return dots;

    // The text, every line in the same size: the largest that lets the
    // longest line fit nine tenths of the width and a line seven tenths of
    // its share of the height.
    const std::vector<std::string> lines = testLabelText(facts);
    size_t longest = 1;
    for (const std::string& line : lines)
        longest = std::max(longest, line.size());
    const unsigned lineHeight = (layout.textBottom - layout.textTop) / kTextLines;
    const unsigned cell = kDotFontWidth + 1;
    const unsigned scale = std::min(lineHeight * 7 / 10 / kDotFontHeight,
                                    width * 9 / 10 / (cell * static_cast<unsigned>(longest)));
    for (unsigned i = 0; i < lines.size(); ++i)
        canvas.text(lines[i],
                    layout.textTop + i * lineHeight + (lineHeight - scale * kDotFontHeight) / 2,
                    scale);

    // Every dot of the head's width fires in the band; each column once,
    // alone, in the staircase.
    canvas.fill(0, layout.solidTop, width, layout.solidBottom);
    const unsigned step = std::max(1u, (layout.stairsBottom - layout.stairsTop) / kStairSteps);
    for (unsigned x = 0; x < width; ++x) {
        const unsigned top = layout.stairsTop + (x % kStairSteps) * step;
        canvas.fill(x, top, x + 1, std::min(top + step, layout.stairsBottom));
    }

    // The ramp: step k inks the dots whose threshold is below 8k, k of
    // every eight.
    const unsigned rampWidth = layout.rampRight - layout.rampLeft;
    for (unsigned k = 0; k < kTestLabelRampSteps; ++k) {
        const unsigned x0 = layout.rampLeft + rampWidth * k / kTestLabelRampSteps;
        const unsigned x1 = layout.rampLeft + rampWidth * (k + 1) / kTestLabelRampSteps;
        for (unsigned y = layout.rampTop; y < layout.rampBottom; ++y)
            for (unsigned x = x0; x < x1; ++x)
                if (ditherThreshold(x, y) < 8 * k)
                    dots[static_cast<size_t>(y) * width + x] = kInk;
    }

    // The bar code, centred, its bars at even positions of its widths.
    if (layout.module > 0) {
        const std::vector<unsigned char> widths = code128Widths(testLabelBarcodeText(facts.dpi));
        const unsigned symbol = code128Modules(widths) * layout.module;
        unsigned x = (width - symbol) / 2;
        for (size_t i = 0; i < widths.size(); ++i) {
            const unsigned w = widths[i] * layout.module;
            if (i % 2 == 0)
                canvas.fill(x, layout.barcodeTop, x + w, layout.barcodeBottom);
            x += w;
        }
    }
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
    // The label a job that names none is printed on.
    const pappl_media_col_t& media =
        data.media_default.size_width > 0 ? data.media_default : data.media_ready[0];
    TestLabelFacts facts;
    facts.dpi = data.x_default;
    facts.width = static_cast<unsigned>((media.size_width * facts.dpi + 1270) / 2540);
    facts.height = static_cast<unsigned>((media.size_length * facts.dpi + 1270) / 2540);
    if (facts.width == 0 || facts.height == 0)
        return nullptr;
    facts.darknessPercent = data.darkness_configured + data.darkness_default;
    facts.speed = data.speed_default;
    facts.mode = data.mode_configured;
    facts.tracking = media.tracking;

    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(buffer, bufsize, "%s/tavel-test-label-XXXXXX.png", tmp ? tmp : "/tmp");
    const int fd = mkstemps(buffer, 4);
    if (fd < 0) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to create the test label file.");
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    bool ok = file != nullptr &&
              writeTestLabelPng(file, drawTestLabel(facts), facts.width, facts.height,
                                facts.dpi);
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
