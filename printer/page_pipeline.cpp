// The page image pipeline: one grey raster page in, one processed 8-bit
// page image (0 = blank paper, anything else a dot) handed to the concrete
// printer. Also the blank-row counters and the 1-bit packer of the printer
// library.
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "enhance/stencil_dither.h"
#include "printer/tavel_printer.h"
#include "workers/byte_vectors.h"

namespace {

const char* const sOriginImagePathFmt = TAVEL_DUMP_DIR "origin_%d-%d-%d_%d_%d_%d_%ld.bmp";
const char* const sDitheredImagePathFmt =
    TAVEL_DUMP_DIR "dithered_%d-%d-%d_%d_%d_%d_%ld.bmp";

bool isBlankRow(const unsigned char* row, unsigned long scanned)
{
    for (unsigned long i = 0; i < scanned; ++i) {
        if (row[i] != 0)
            return false;
    }
    return true;
}

unsigned long scannedLength(unsigned long rowLength, unsigned long skipRight)
{
    return skipRight <= rowLength ? rowLength - skipRight : rowLength;
}

// Dots and blank paper swap: the default path's dot value 1 is first
// widened to 255 so that its complement is blank paper.
void invertProcessedImage(DibImage& image)
{
    const long width = image.GetWidth();
    const long height = image.GetHeight();
    for (long y = 0; y < height; ++y) {
        unsigned char* row = image.GetBits(static_cast<unsigned>(y));
        for (long x = 0; x < width; ++x) {
            if (row[x] == 1)
                row[x] = 255;
        }
    }
    image.Negative();
}

struct FreeDeleter {
    void operator()(unsigned char* block) const { std::free(block); }
};

// Waits for the page's dump threads when printImage is left, by a return or
// by an exception: they read the caller's page and the processed image,
// which must not go while a dump is still writing them.
class DumpsOfThisPage {
public:
    explicit DumpsOfThisPage(TavelPrinter& printer) : printer_(printer) {}
    ~DumpsOfThisPage() { printer_.finishImageDumps(); }
    DumpsOfThisPage(const DumpsOfThisPage&) = delete;
    DumpsOfThisPage& operator=(const DumpsOfThisPage&) = delete;

private:
    TavelPrinter& printer_;
};

}  // namespace

extern "C" unsigned long tavelImageCountBlankLinesFromFront(const unsigned char* data,
                                                            unsigned long rowLength,
                                                            unsigned long height,
                                                            unsigned long skipRight,
                                                            unsigned long stride)
{
    const unsigned long scanned = scannedLength(rowLength, skipRight);
    for (unsigned long y = 0; y < height; ++y) {
        if (!isBlankRow(data + y * stride, scanned))
            return y;
    }
    return height;
}

extern "C" unsigned long tavelImageCountBlankLinesFromBack(const unsigned char* data,
                                                           unsigned long rowLength,
                                                           unsigned long height,
                                                           unsigned long skipRight,
                                                           unsigned long stride)
{
    const unsigned long scanned = scannedLength(rowLength, skipRight);
    for (unsigned long y = height; y > 0; --y) {
        if (!isBlankRow(data + (y - 1) * stride, scanned))
            return y;
    }
    return 0;
}

// Hands the pages of freed heap blocks back to the system. The filter keeps
// freed page-sized blocks in its heap for the next page, which saves page
// faults; the stencil path frees and makes several page-sized images in
// turn, and without this each would stay resident beside the next, so its
// peak memory would be several pages above the classic types'.
static void returnFreedPages()
{
    malloc_trim(0);
}

void TavelPrinter::printImage(const unsigned char* pixels, unsigned long bytesPerLine,
                              unsigned long height, unsigned long width)
{
    tavelLogCommon(0,
                   "printImage: Start processing image, input width: %lu, height: %lu, bytes "
                   "per line: %lu",
                   width, height, bytesPerLine);

    unsigned long top = 0;
    unsigned long bottom = 0;
    if (removeBlankEdges_ != 0) {
        if (removeBlankEdges_ & 8) {
            bottom = tavelImageCountBlankLinesFromBack(pixels, bytesPerLine, height,
                                                       skipRightPixels_, width);
            tavelLogCommon(0,
                           "printImage: Removal of bottom blank edges detected, number of "
                           "bottom blank lines: %lu",
                           bottom);
        }
        if (removeBlankEdges_ & 2) {
            top = tavelImageCountBlankLinesFromFront(pixels, bytesPerLine, height,
                                                     skipRightPixels_, width);
            tavelLogCommon(0,
                           "printImage: Removal of top blank edges detected, number of top "
                           "blank lines: %lu",
                           top);
        }
    }

    pageFailed_ = true;
    // Declared before the first dump starts, so that every way out of this
    // function waits for it.
    DumpsOfThisPage dumps(*this);
    std::strcpy(imagePathFmt_, sOriginImagePathFmt);
    tavelLogCommon(0, "printImage: Saving original image, file path will be generated based on time");
    // The dumps are written while the page is processed and printed; both
    // are complete when the page is.
    saveImageInBackground(pixels, bytesPerLine, height, width, 8);

    const unsigned long pageBytes = bytesPerLine * height;
    std::unique_ptr<unsigned char, FreeDeleter> workBlock(
        static_cast<unsigned char*>(std::malloc(2 * pageBytes)));
    unsigned char* work = workBlock.get();
    if (work == nullptr) {
        tavelLogCommon(3,
                       "printImage: Memory allocation for processing result failed, unable "
                       "to continue processing");
    } else {
        tavelLogCommon(0,
                       "printImage: Memory for processing result allocated successfully, "
                       "size: %lu bytes",
                       pageBytes);
        const int64_t processed =
            PageProcess(halftoneType_, pixels, static_cast<int>(bytesPerLine),
                        static_cast<int>(width), static_cast<int>(height), work);

        // The trim window is reported for diagnosis only; the page prints whole.
        unsigned long adjustedHeight = height;
        unsigned char* windowStart = work;
        if (bottom > top) {
            adjustedHeight = bottom - top;
            windowStart = work + top * bytesPerLine;
            tavelLogCommon(0, "printImage: Adjusted image height to %lu, pointer offset by %lu bytes",
                           adjustedHeight, top * bytesPerLine);
        }
        tavelLogCommon(0,
                       "printImage: Processed image information - pointer address: %lu, width: "
                       "%lu, height: %lu, bytes per line: %lu, number of top blank lines: %lu, "
                       "number of bottom blank lines: %lu, adjusted height: %lu",
                       reinterpret_cast<unsigned long>(windowStart), width, height, bytesPerLine,
                       top, bottom, adjustedHeight);

        if (processed == 0 || pimage_ == nullptr) {
            tavelLogCommon(3, "printImage: pimage is NULL, unable to print the image");
        } else {
            std::strcpy(imagePathFmt_, sDitheredImagePathFmt);
            tavelLogCommon(0,
                           "printImage: Saving processed image, file path will be generated "
                           "based on time");
            const unsigned char* bits = pimage_->GetBits(0);
            const unsigned long stride = pimage_->GetEffWidth();
            const unsigned long outHeight = pimage_->GetHeight();
            const unsigned long outWidth = pimage_->GetWidth();
            saveImageInBackground(bits, stride, outHeight, outWidth, 8);
            tavelLogCommon(0, "printImage: Starting to print the processed image");
            doPrintImage(bits, stride, outHeight, outWidth);
            // The page's last bytes and its PRINT go to the printer now, not
            // with the next page: the label comes out at once, and a job
            // stopped later does not leave the printer inside a bitmap.
            flushOutputStreams();
            pageFailed_ = false;
        }
        tavelLogCommon(0, "printImage: Freed the memory for processing result, address: %p",
                       static_cast<void*>(work));
        workBlock.reset();
        // The next page's work buffer would otherwise come back already
        // resident and stay so through its stencil chain.
        if (useZQDithering_)
            returnFreedPages();
    }
    tavelLogCommon(0, "printImage: Image processing completed");
}

uint64_t TavelPrinter::heldImageBytes() const
{
    uint64_t bytes = 0;
    for (const DibImage* image : {&dibimage_, &ditheredImage_}) {
        if (image->IsValid())
            bytes += image->GetSize();
    }
    return bytes;
}

int64_t TavelPrinter::PageProcess(DitherType type, const unsigned char* pixels, int bytesPerLine,
                                  int width, int height, unsigned char* work)
{
    // The last page's stencil result is no longer needed; freeing it now,
    // pages and all, keeps it from adding to this page's peak memory.
    if (ditheredImage_.IsValid()) {
        ditheredImage_.Destroy();
        returnFreedPages();
    }
    useZQDithering_ = (halftoneType_ == DITHER_TATTOO || halftoneType_ == DITHER_TATTOO_X8);
    tavelLogCommon(0, "PageProcess: ZQ dithering is %s", useZQDithering_ ? "enabled" : "disabled");

    if (!dibimage_.CreateFromArray(const_cast<unsigned char*>(pixels), width, height, 8,
                                   bytesPerLine, false)) {
        tavelLogCommon(4, "dibimage.CreateFromArray with grey failed!");
        return 0;
    }
    tavelLogCommon(0, "PageProcess: Successfully created DibImage from array with stride %d",
                   bytesPerLine);

    if (brightness_ != 0 || contrast_ != 0) {
        dibimage_.Light(brightness_ * 5, contrast_ * 2);
        tavelLogCommon(0, "PageProcess: Adjusted brightness to %d and contrast to %d",
                       brightness_ * 5, contrast_ * 2);
    }
    if (rotate180Print_) {
        dibimage_.Rotate180(nullptr);
        tavelLogCommon(0, "PageProcess: Rotated the image 180 degrees");
    }
    if (mirrorPrint_) {
        dibimage_.Mirror();
        tavelLogCommon(0, "PageProcess: Mirrored the image");
    }
    // Rotation and mirroring leave the image empty when their copy cannot be
    // made; the stencil path would then print a blank label.
    if (!dibimage_.IsValid()) {
        tavelLogCommon(3, "PageProcess: Rotating or mirroring the page failed");
        return 0;
    }

    if (useZQDithering_) {
        // The stencil source takes packed rows, so the staging uses the page
        // width as its stride; with padded raster rows (bytesPerLine above the
        // width) a stride of bytesPerLine would skew every row. The rows go
        // straight into the source image: staging them in the work buffer
        // first would only add a copy and a page of memory.
        ZQImage source(width, height, ZQ_IMG_GRAY);
        copyPixels(dibimage_, source.data, width, height, width);
        tavelLogCommon(0,
                       "PageProcess: Copied pixels to the output buffer for ZQ dithering, with "
                       "stride %d, EffWidth %d",
                       width, static_cast<int>(dibimage_.GetEffWidth()));
        // The grey page now lives in the stencil source; releasing the work
        // image's copy leaves room for the stencil chain's own buffers.
        dibimage_.Destroy();
        // The chain takes the source over as its first working image.
        ZQImage result = halftoneType_ == DITHER_TATTOO_X8 ? zqTattooDitheringX8(std::move(source))
                                                           : zqTattooDithering(std::move(source));
        tavelLogCommon(0, "PageProcess: Applied ZQ dithering with stride %d, width %d",
                       (result.width + 3) / 4 * 4, width);
        // The processed image takes the place of the chain's sharpened
        // image, freed as the chain returned: its pages, still in place,
        // serve again (see workers/page_blocks.h) instead of going back to
        // the system and being faulted in anew.
        if (!ditheredImage_.CreateFromArray(result.data, width, height, 8, width, false)) {
            tavelLogCommon(3, "PageProcess: Failed to create a new DibImage from ZQ dithered data");
            return 0;
        }
        tavelLogCommon(0, "PageProcess: Successfully created a new DibImage from ZQ dithered data");
        pimage_ = &ditheredImage_;
    } else {
        // A page that could not be halftoned or widened must not print: the
        // grey page would come out solid black, a 1-bit one read as 8-bit
        // past its end.
        const bool halftoned =
            type == DITHER_AUTO ? dibimage_.DitherAuto() : dibimage_.Dither(static_cast<long>(type));
        if (!halftoned) {
            tavelLogCommon(3, "PageProcess: Halftoning the page failed");
            return 0;
        }
        if (!dibimage_.IncreaseBpp(8)) {
            tavelLogCommon(3, "PageProcess: Widening the halftoned page to 8 bits failed");
            return 0;
        }
        pimage_ = &dibimage_;
        tavelLogCommon(0, "PageProcess: Applied default dithering and increased bit depth");
    }
    // The stencil result has been copied; its pages go back before the work
    // buffer is filled.
    if (useZQDithering_)
        returnFreedPages();

    tavelLogCommon(0, "PageProcess: negativePrint_ %d", negativePrint_ ? 1 : 0);
    if (negativePrint_) {
        tavelLogCommon(0, "PageProcess: Inverting the image for negative print");
        invertProcessedImage(*pimage_);
    }
    if (antiWrinkle_ != 0)
        EnableAntiWrink(*pimage_);

    // The frame may have enlarged the image beyond the work buffer; only the
    // rows that fit are copied.
    const int stride = static_cast<int>(pimage_->GetEffWidth());
    const int64_t workBytes = 2 * static_cast<int64_t>(bytesPerLine) * height;
    int copyRows = static_cast<int>(pimage_->GetHeight());
    if (stride > 0 && static_cast<int64_t>(copyRows) * stride > workBytes)
        copyRows = static_cast<int>(workBytes / stride);
    int copyWidth = static_cast<int>(pimage_->GetWidth());
    if (copyWidth > stride)
        copyWidth = stride;
    copyProcessedPixels(pimage_, work, copyWidth, copyRows, stride);
    const int64_t length = static_cast<int64_t>(height) * stride;
    tavelLogCommon(0, "PageProcess: Filled the output buffer with processed pixels, length: %d",
                   static_cast<int>(length));
    return length;
}

void TavelPrinter::copyPixels(DibImage& image, unsigned char* buf, int width, int height,
                              int stride)
{
    // An 8-bit image stores each pixel's index as its byte: copy whole rows.
    const bool eightBit = image.GetNumColors() == 256 && width <= image.GetWidth() &&
                          height <= image.GetHeight();
    for (int y = 0; y < height; ++y) {
        unsigned char* out = buf + static_cast<int64_t>(y) * stride;
        if (eightBit) {
            std::memcpy(out, image.GetBits(static_cast<unsigned>(y)), static_cast<size_t>(width));
            continue;
        }
        for (int x = 0; x < width; ++x)
            out[x] = image.GetPixelIndex(x, y);
    }
}

void TavelPrinter::copyProcessedPixels(DibImage* image, unsigned char* buf, int width,
                                       int height, int stride)
{
    // Dot value 1 widens to 255; negative printing complements every byte.
    unsigned char table[256];
    const unsigned char invert = negativePrint_ ? 0xFF : 0x00;
    for (int v = 0; v < 256; ++v)
        table[v] = static_cast<unsigned char>((v == 1 ? 255 : v) ^ invert);

    const bool eightBit = image->GetNumColors() == 256 && width <= image->GetWidth() &&
                          height <= image->GetHeight();
    for (int y = 0; y < height; ++y) {
        unsigned char* out = buf + static_cast<int64_t>(y) * stride;
        if (eightBit) {
            const unsigned char* row = image->GetBits(static_cast<unsigned>(y));
            int x = 0;
            // 16 at a time: 1 becomes 255 by an or with its own match.
            const ByteVector one = splatBytes(1);
            const ByteVector flip = splatBytes(invert);
            for (; x + 16 <= width; x += 16) {
                const ByteVector v = loadBytes(row + x);
                storeBytes(out + x, (v | lanesEqual(v, one)) ^ flip);
            }
            for (; x < width; ++x)
                out[x] = table[row[x]];
            continue;
        }
        for (int x = 0; x < width; ++x)
            out[x] = table[image->GetPixelIndex(x, y)];
    }
}

int TavelPrinter::GrayToMono(int bytesPerLine, int height, unsigned char* buf)
{
    int scanned = bytesPerLine;
    if (skipRightPixels_ != 0 && skipRightPixels_ < static_cast<unsigned long>(bytesPerLine))
        scanned = bytesPerLine - static_cast<int>(skipRightPixels_);
    tavelLogCommon(0, "GrayToMono, bpl(%d), h(%d), skipPixels(%d), wb(%d)", bytesPerLine, height,
                   static_cast<int>(skipRightPixels_), scanned);

    int written = 0;
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = buf + static_cast<int64_t>(y) * bytesPerLine;
        unsigned char acc = 0;
        for (int x = 0; x < scanned; ++x) {
            if (row[x] != 0)
                acc |= static_cast<unsigned char>(0x80 >> (x % 8));
            if (x % 8 == 7) {
                buf[written++] = acc;
                acc = 0;
            }
        }
        if (scanned % 8 != 0)
            buf[written++] = acc;
    }
    return written;
}
