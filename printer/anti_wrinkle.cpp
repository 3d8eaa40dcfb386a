// Anti-wrinkle frame for stencil paper: centres the page on a canvas of the
// paper's nominal size and draws bars of dots along the canvas edges, which
// keep the thin stencil sheet flat as it passes the print head.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "printer/tavel_printer.h"

namespace {

struct CanvasSize {
    const char* name;
    uint32_t widthHundredthsMm;
    uint32_t heightHundredthsMm;
};

const CanvasSize sCanvasSizes[] = {
    {"A4", 20000, 27500},
    {"Letter", 21000, 25700},
    {"Tattoo_A5", 20000, 11800},
    {"Tattoo_A6", 10000, 11800},
};

// Hundredths of a millimetre to dots, rounding half up, in the unsigned
// 32-bit arithmetic the frame sizes have always used.
uint32_t hundredthsMmToDots(uint32_t resolution, uint32_t hundredthsMm)
{
    return (resolution * hundredthsMm / 254 + 5) / 10;
}

// Sets every pixel of [x0, x1) x [y0, y1) that lies inside the image to 255.
// Pixels outside are dropped, so the loops only visit the visible part.
void fillRect(DibImage& image, long x0, long y0, long x1, long y1)
{
    const long width = image.GetWidth();
    const long height = image.GetHeight();
    const long xs = std::clamp(x0, 0L, width);
    const long xe = std::clamp(x1, 0L, width);
    const long ys = std::clamp(y0, 0L, height);
    const long ye = std::clamp(y1, 0L, height);
    for (long y = ys; y < ye; ++y) {
        for (long x = xs; x < xe; ++x)
            image.SetPixelIndex(x, y, 255);
    }
}

}  // namespace

void TavelPrinter::EnableAntiWrink(DibImage& image)
{
    if (!image.IsValid() || pageHdr_ == nullptr) {
        tavelLogCommon(0, "EnableAntiWrink: Image or pageHdr_ is not valid, returning.");
        return;
    }
    // A negative level would turn into enormous bars through the unsigned
    // conversion; it is treated as no frame at all.
    if (antiWrinkle_ < 0) {
        tavelLogCommon(0, "EnableAntiWrink: Negative AntiWrinkle level %d ignored, no frame drawn.",
                       antiWrinkle_);
        return;
    }

    const uint32_t resolution = static_cast<uint32_t>(resolution_);
    const uint32_t level = static_cast<uint32_t>(antiWrinkle_);
    const int lineH = static_cast<int>(hundredthsMmToDots(resolution, 100));
    const int lineV = static_cast<int>(hundredthsMmToDots(resolution, level * 100));
    tavelLogCommon(0, "EnableAntiWrink: AntiWrinkle level: %d, line_v: %d points, line_h: %d points.",
                   antiWrinkle_, lineV, lineH);

    int canvasWidth = 0;
    int canvasHeight = 0;
    for (const CanvasSize& size : sCanvasSizes) {
        if (std::strcmp(pageHdr_->cupsPageSizeName, size.name) != 0)
            continue;
        canvasWidth = static_cast<int>(hundredthsMmToDots(resolution, size.widthHundredthsMm)) +
                      2 * lineV;
        canvasHeight =
            static_cast<int>(hundredthsMmToDots(resolution, size.heightHundredthsMm)) + 2 * lineH;
        tavelLogCommon(0, "EnableAntiWrink: Page size is %s, CanvasWidth: %d, CanvasHeight: %d",
                       size.name, canvasWidth, canvasHeight);
        break;
    }

    int ex = 0;
    int ey = 0;
    if (static_cast<int>(image.GetWidth()) < canvasWidth) {
        ex = (canvasWidth - static_cast<int>(image.GetWidth())) / 2;
        tavelLogCommon(0, "EnableAntiWrink: Image width is less than canvas width, exPoints: %d", ex);
    }
    if (static_cast<int>(image.GetHeight()) < canvasHeight) {
        ey = (canvasHeight - static_cast<int>(image.GetHeight())) / 2;
        tavelLogCommon(0, "EnableAntiWrink: Image height is less than canvas height, eyPoints: %d",
                       ey);
    }
    if (ex != 0 || ey != 0) {
        // The added margin is blank paper: palette index 0 is black on the
        // halftoned palette and grey level 0 on the stencil one, and the
        // pipeline prints a 0 byte as no dot.
        tagRGBQUAD blank;
        std::memset(&blank, 0, sizeof(blank));
        if (!image.Expand(ex, ey, ex, ey, blank)) {
            tavelLogCommon(0, "EnableAntiWrink: Failed to expand image, returning.");
            return;
        }
        tavelLogCommon(0, "EnableAntiWrink: Image expanded successfully.");
    }

    int ox = 0;
    int oy = 0;
    if (static_cast<int>(image.GetWidth()) > canvasWidth) {
        ox = (static_cast<int>(image.GetWidth()) - canvasWidth) / 2;
        tavelLogCommon(0, "EnableAntiWrink: Image width is greater than canvas width, offset.x: %d",
                       ox);
    }
    if (static_cast<int>(image.GetHeight()) > canvasHeight) {
        oy = (static_cast<int>(image.GetHeight()) - canvasHeight) / 2;
        tavelLogCommon(0,
                       "EnableAntiWrink: Image height is greater than canvas height, offset.y: %d",
                       oy);
    }

    fillRect(image, ox, oy, ox + lineV, oy + canvasHeight);
    tavelLogCommon(0, "EnableAntiWrink: Drawing left line. point(%d, %d, %d, %d)", ox, oy,
                   ox + lineV, oy + canvasHeight);
    fillRect(image, ox, oy, ox + canvasWidth, oy + lineH);
    tavelLogCommon(0, "EnableAntiWrink: Drawing top line. point(%d, %d, %d, %d)", ox, oy,
                   ox + canvasWidth, oy + lineH);
    fillRect(image, ox + canvasWidth - lineV, oy, ox + canvasWidth, oy + canvasHeight);
    tavelLogCommon(0, "EnableAntiWrink: Drawing right line. point(%d, %d, %d, %d)",
                   ox + canvasWidth - lineV, oy, ox + canvasWidth, oy + canvasHeight);
    fillRect(image, ox, oy + canvasHeight - lineH, ox + canvasWidth, oy + canvasHeight);
    tavelLogCommon(0, "EnableAntiWrink: Drawing bottom line. point(%d, %d, %d, %d)", ox,
                   oy + canvasHeight - lineH, ox + canvasWidth, oy + canvasHeight);
}
