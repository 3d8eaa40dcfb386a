// The TSPL printer: shifts a processed page by the printer's image offset,
// packs it to 1 bit per pixel and sends it as one BITMAP command (raw, or
// zlib-compressed and Base64-encoded) followed by PRINT.
#include "tspl/tspl_printer.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "codec/base64.h"
#include "printer/row_packing.h"

namespace {

void setPrint(TavelPrinter& printer, int sets, int copies)
{
    printer.printFormat("PRINT %d,%d\r\n", sets, copies);
}

void setBitmapCmdHead(TavelPrinter& printer, int x, int y, int widthBytes, int height, int mode)
{
    printer.printFormat("BITMAP %d,%d,%d,%d,%d,", x, y, widthBytes, height, mode);
}

// Sends the packed bitmap as mode 6: zlib stream, Base64 text. A page that
// cannot be compressed throws, having written nothing: sending it raw
// instead would print it, but not as the job asked.
void printCompressedBitmap(TavelPrinter& printer, const unsigned char* packed,
                           unsigned long rawSize, unsigned long widthBytes, unsigned long height)
{
    const uLong bound = compressBound(rawSize);
    tavelLogCommon(0, "Zipped buffer size: %ld", static_cast<long>(bound));

    std::unique_ptr<unsigned char[]> zipped(new unsigned char[bound]());
    std::unique_ptr<char[]> text(new char[4 * ((bound + 2) / 3) + 1]);
    uLongf zippedLength = bound;
    const int status = compress(zipped.get(), &zippedLength, packed, rawSize);
    if (status == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (status != Z_OK)
        throw std::runtime_error("zlib compress failed with status " + std::to_string(status));
    const unsigned textLength =
        base64_encode(zipped.get(), static_cast<unsigned>(zippedLength), text.get());
    tavelLogCommon(0, "Zipped buffer size: %ld", static_cast<long>(zippedLength));
    tavelLogCommon(0, "Base64 buffer size: %ld", static_cast<long>(textLength));
    setBitmapCmdHead(printer, 0, 0, static_cast<int>(widthBytes), static_cast<int>(height), 6);
    printer.printBytes(reinterpret_cast<const unsigned char*>(text.get()), textLength);
}

}  // namespace

TsplPrinter::TsplPrinter() : zippedImage(0) {}

TsplPrinter::TsplPrinter(FILE* output) : TavelPrinter(output), zippedImage(0) {}

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
    // Every block is owned here, so that a failed allocation, which throws
    // before anything of the bitmap is written, leaks none of them.
    const bool shift = offsetX_ != 0 || offsetY_ != 0;
    std::unique_ptr<unsigned char[]> shifted(
        shift ? createOffsetImage(pixels, stride, height, width, offsetX_, offsetY_) : nullptr);
    const unsigned char* source = shift ? shifted.get() : pixels;
    const unsigned long widthBytes = (width + 7) / 8;
    const unsigned long rawSize = widthBytes * height;
    std::unique_ptr<unsigned char[]> packed(new unsigned char[rawSize]);
    for (unsigned long y = 0; y < height; ++y)
        packRowBlankAsOne(source + y * stride, width, packed.get() + y * widthBytes);
    shifted.reset();

    if (zippedImage != 0) {
        printCompressedBitmap(*this, packed.get(), rawSize, widthBytes, height);
    } else {
        setBitmapCmdHead(*this, 0, 0, static_cast<int>(widthBytes), static_cast<int>(height), 0);
        printBytes(packed.get(), rawSize);
    }
    packed.reset();

    printStr("\r\n");
    const cups_page_header2_t* header = getPageHeader();
    setPrint(*this, 1, header != nullptr ? static_cast<int>(header->NumCopies) : 1);
}
