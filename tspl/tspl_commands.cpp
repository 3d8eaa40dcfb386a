// TSPL output: the set-up commands written before every page, and the TSPL
// printer that sends a processed page as one BITMAP command (raw, or
// zlib-compressed and Base64-encoded) followed by PRINT.
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/base64.h"
#include "filter/filter_internal.h"
#include "printer/row_packing.h"

TavelPrinter* sPrinter = nullptr;

namespace {

void setDirection(const char* origin)
{
    sPrinter->printFormat("DIRECTION %d,0\r\n", std::strstr(origin, "Rotation180") ? 1 : 0);
}

void setPrint(int sets, int copies) { sPrinter->printFormat("PRINT %d,%d\r\n", sets, copies); }

void setBitmapCmdHead(int x, int y, int widthBytes, int height, int mode)
{
    sPrinter->printFormat("BITMAP %d,%d,%d,%d,%d,", x, y, widthBytes, height, mode);
}

// Sends the packed bitmap as mode 6: zlib stream, Base64 text. Returns
// false, having written nothing, when the page cannot be compressed.
bool printCompressedBitmap(const unsigned char* packed, unsigned long rawSize,
                           unsigned long widthBytes, unsigned long height)
{
    const uLong bound = compressBound(rawSize);
    tavelLogCommon(0, "Zipped buffer size: %ld", static_cast<long>(bound));

    unsigned char* zipped = static_cast<unsigned char*>(std::calloc(bound, 1));
    char* text = static_cast<char*>(std::malloc(4 * ((bound + 2) / 3) + 1));
    bool sent = false;
    if (zipped == nullptr || text == nullptr) {
        tavelLogCommon(2, "Out of memory for the compressed bitmap, sending the page uncompressed");
    } else {
        uLongf zippedLength = bound;
        const int status = compress(zipped, &zippedLength, packed, rawSize);
        if (status != Z_OK) {
            tavelLogCommon(2, "zlib compress failed (%d), sending the page uncompressed", status);
        } else {
            const unsigned textLength =
                base64_encode(zipped, static_cast<unsigned>(zippedLength), text);
            tavelLogCommon(0, "Zipped buffer size: %ld", static_cast<long>(zippedLength));
            tavelLogCommon(0, "Base64 buffer size: %ld", static_cast<long>(textLength));
            setBitmapCmdHead(0, 0, static_cast<int>(widthBytes), static_cast<int>(height), 6);
            sPrinter->printBytes(reinterpret_cast<const unsigned char*>(text), textLength);
            sent = true;
        }
    }
    std::free(zipped);
    std::free(text);
    return sent;
}

}  // namespace

void setSize(float width, float height)
{
    sPrinter->printFormat("SIZE %.1f mm, %.1f mm\r\n", width, height);
}

void setGap(float height, float offset, const char* paperType)
{
    if (std::strstr(paperType, "Normal")) {
        tavelLogCommon(0, "Skip the GAP cmd by Normal paper type");
        return;
    }
    if (std::strstr(paperType, "Continue") || height <= 0.000001) {
        sPrinter->printFormat("GAP 0, 0\r\n");
        return;
    }
    const char* command = nullptr;
    if (std::strstr(paperType, "LabelGaps")) {
        command = "GAP";
    } else if (std::strstr(paperType, "LabelMark")) {
        command = "BLINE";
    } else {
        tavelLogCommon(0, "Unknown paper type: %s!", paperType);
        return;
    }
    sPrinter->printFormat("%s %.1f mm, %.1f mm\r\n", command, height, offset);
}

void setReference() { sPrinter->printFormat("REFERENCE 0,0\r\n"); }

void setSpeedAndDensity(const char* speed, int density)
{
    if (!std::strstr(speed, "Normal") && std::atof(speed) > 0.000000000000001)
        sPrinter->printFormat("SPEED %s\r\n", speed);
    if (density >= 0 && density <= 30)
        sPrinter->printFormat("DENSITY %d\r\n", density);
}

void setRibbon(const char* mediaMethod)
{
    if (std::strstr(mediaMethod, "Direct"))
        sPrinter->printFormat("SET RIBBON OFF\r\n");
    else if (std::strstr(mediaMethod, "Transfer"))
        sPrinter->printFormat("SET RIBBON ON\r\n");
}

void setOffset(float offset) { sPrinter->printFormat("OFFSET %.1f mm\r\n", offset); }

void setPostAction(const char* postAction)
{
    bool tear = false;
    bool peel = false;
    bool cutter = false;
    if (std::strstr(postAction, "Normal"))
        return;
    if (std::strstr(postAction, "None")) {
        // all three off
    } else if (std::strstr(postAction, "TearOff")) {
        tear = true;
    } else if (std::strstr(postAction, "PeelOff")) {
        peel = true;
    } else if (std::strstr(postAction, "Cut")) {
        cutter = true;
    } else {
        return;
    }
    sPrinter->printFormat("SET TEAR %s\r\n", tear ? "ON" : "OFF");
    sPrinter->printFormat("SET PEEL %s\r\n", peel ? "ON" : "OFF");
    sPrinter->printFormat("SET CUTTER %s\r\n", cutter ? "ON" : "OFF");
}

void setCls() { sPrinter->printFormat("CLS\r\n"); }

void jobSetup(Settings* settings)
{
    setSize(settings->pageWidth, settings->pageHeight);
    setGap(static_cast<float>(settings->GapsHeight), 0.0f, settings->PaperType);
    setReference();
    setDirection(settings->Origin);
    setSpeedAndDensity(settings->PrintSpeed, settings->Darkness);
    setRibbon(settings->MediaMethod);
    setOffset(0.0f);
    setPostAction(settings->PostAction);
}

TsplPrinter::TsplPrinter() : zippedImage(0) {}

TsplPrinter::~TsplPrinter() = default;

unsigned char* TsplPrinter::createOffsetImage(const unsigned char* pixels, unsigned long stride,
                                              unsigned long height, unsigned long width, int dx,
                                              int dy)
{
    unsigned char* shifted = new unsigned char[stride * height]();
    // 64-bit arithmetic: any int shift, however large, leaves a valid range.
    const long long shiftX = dx;
    const long long shiftY = dy;
    const long long absX = shiftX < 0 ? -shiftX : shiftX;
    const long long absY = shiftY < 0 ? -shiftY : shiftY;
    const long long rows = static_cast<long long>(height) - absY;
    const long long columns = static_cast<long long>(width) - absX;
    if (rows <= 0 || columns <= 0)
        return shifted;
    const unsigned long srcRow = shiftY < 0 ? absY : 0;
    const unsigned long dstRow = shiftY > 0 ? absY : 0;
    const unsigned long srcColumn = shiftX < 0 ? absX : 0;
    const unsigned long dstColumn = shiftX > 0 ? absX : 0;
    for (long long i = 0; i < rows; ++i) {
        std::memcpy(shifted + (dstRow + i) * stride + dstColumn,
                    pixels + (srcRow + i) * stride + srcColumn, static_cast<size_t>(columns));
    }
    return shifted;
}

void TsplPrinter::doPrintImage(const unsigned char* pixels, unsigned long stride,
                               unsigned long height, unsigned long width)
{
    // Without offsets the shifted image would be an exact copy: pack the
    // page directly.
    const bool shift = offsetX != 0 || offsetY != 0;
    unsigned char* shifted =
        shift ? createOffsetImage(pixels, stride, height, width, offsetX, offsetY) : nullptr;
    const unsigned char* source = shift ? shifted : pixels;
    const unsigned long widthBytes = (width + 7) / 8;
    const unsigned long rawSize = widthBytes * height;
    unsigned char* packed = new unsigned char[rawSize];
    for (unsigned long y = 0; y < height; ++y)
        packRowBlankAsOne(source + y * stride, width, packed + y * widthBytes);
    delete[] shifted;

    if (zippedImage == 0 || !printCompressedBitmap(packed, rawSize, widthBytes, height)) {
        setBitmapCmdHead(0, 0, static_cast<int>(widthBytes), static_cast<int>(height), 0);
        printBytes(packed, rawSize);
    }
    delete[] packed;

    printStr("\r\n");
    const cups_page_header2_t* header = getPageHeader();
    setPrint(1, header != nullptr ? static_cast<int>(header->NumCopies) : 1);
}
