// The abstract printer: page-image options, the list of output streams that
// every printer command is written to, and the page image pipeline that
// turns a grey raster page into the processed image a concrete printer
// language renders (doPrintImage).
#ifndef TAVEL_PRINTER_TAVEL_PRINTER_H
#define TAVEL_PRINTER_TAVEL_PRINTER_H

#include <cups/raster.h>

#include <cstdint>
#include <cstdio>
#include <list>
#include <thread>
#include <vector>

#include "image/dib_image.h"
#include "printer/image_dump.h"
#include "printer/tavel_log.h"

// Folder of the BMP page dumps. Builds that must not leave dumps behind (the
// fuzzer) point it at a folder that does not exist.
#ifndef TAVEL_DUMP_DIR
#define TAVEL_DUMP_DIR "/var/spool/cups/tmp/"
#endif

class TavelPrinter {
public:
    // Opaque data a caller may attach to the printer; nothing reads it.
    struct UserData;

    // Prints to standard output.
    TavelPrinter();
    // Prints to output, a stream the caller keeps open while the printer
    // lives (it is borrowed, never closed); null leaves the list empty.
    explicit TavelPrinter(FILE* output);
    virtual ~TavelPrinter();
    TavelPrinter(const TavelPrinter&) = delete;
    TavelPrinter& operator=(const TavelPrinter&) = delete;

    // Renders one processed page: height rows of bytesPerLine bytes, the
    // first width bytes of each row one pixel each, 0 = blank paper.
    virtual void doPrintImage(const unsigned char* bits, unsigned long bytesPerLine,
                              unsigned long height, unsigned long width) = 0;

    // Page pipeline (page_pipeline.cpp).
    void printImage(const unsigned char* pixels, unsigned long bytesPerLine,
                    unsigned long height, unsigned long width);
    int64_t PageProcess(DitherType type, const unsigned char* pixels, int bytesPerLine,
                        int width, int height, unsigned char* work);
    void copyPixels(DibImage& image, unsigned char* buf, int width, int height, int stride);
    void copyProcessedPixels(DibImage* image, unsigned char* buf, int width, int height,
                             int stride);
    int GrayToMono(int bytesPerLine, int height, unsigned char* buf);

    // Whether the last printImage call failed to hand its page to
    // doPrintImage (no memory, or no processed image). An exception thrown
    // on the way (a failed allocation) leaves printImage after its dumps
    // are written and with this still true.
    bool pageFailed() const { return pageFailed_; }
    // Bytes of the last page's images, which the next page's processing
    // releases before it makes its own.
    uint64_t heldImageBytes() const;

    // Anti-wrinkle frame (anti_wrinkle.cpp).
    void EnableAntiWrink(DibImage& image);

    // Debug image dump (image_dump.cpp).
    void saveImage(const unsigned char* data, unsigned long bytesPerLine, unsigned long height,
                   unsigned long width, unsigned short bitsPerPixel);
    // The same dump, its rows written by a thread of their own while the
    // caller goes on; data must stay as it is until finishImageDumps.
    void saveImageInBackground(const unsigned char* data, unsigned long bytesPerLine,
                               unsigned long height, unsigned long width,
                               unsigned short bitsPerPixel);
    // Waits until every dump started in the background is written and closed.
    void finishImageDumps();
    // Whether pages are dumped and how much room the dumps may take.
    void setImageDumpPolicy(const ImageDumpPolicy& policy) { dumpPolicy_ = policy; }
    const ImageDumpPolicy& getImageDumpPolicy() const { return dumpPolicy_; }

    // Output: every call writes the same bytes to every stream, in list order.
    void printBytes(const unsigned char* data, unsigned long len);
    void printStr(const char* text);
    void printByte(unsigned char c);
    int printFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::list<FILE*>* getOutputStreams() { return &outputStreams_; }
    // Hands what the streams hold buffered to their files or devices;
    // printImage calls it after each page's PRINT.
    void flushOutputStreams();

    void setBrightness(int value);
    int getBrightness() const { return brightness_; }
    void setContrast(int value);
    int getContrast() const { return contrast_; }
    void setPrintSpeed(char* text);
    int getPrintSpeed() const { return printSpeed_; }
    void setPrintDensity(int value);
    int getPrintDensity() const { return printDensity_; }
    void setHalftoneType(DitherType type) { halftoneType_ = type; }
    DitherType getHalftoneType() const { return halftoneType_; }
    void setNegativePrint(bool on) { negativePrint_ = on; }
    bool isNegativePrint() const { return negativePrint_; }
    void setMirrorPrint(bool on) { mirrorPrint_ = on; }
    bool isMirrorPrint() const { return mirrorPrint_; }
    void setRotate180Print(bool on) { rotate180Print_ = on; }
    bool isRotate180Print() const { return rotate180Print_; }
    void setAntiWrinkle(int level) { antiWrinkle_ = level; }
    int getAntiWrinkle() const { return antiWrinkle_; }
    void setUseZQDithering(bool on) { useZQDithering_ = on; }
    bool getUseZQDithering() const { return useZQDithering_; }
    void setRemoveBlankEdges(unsigned char flags) { removeBlankEdges_ = flags; }
    unsigned char getRemoveBlankEdges() const { return removeBlankEdges_; }
    void setSkipRightPixels(unsigned long count) { skipRightPixels_ = count; }
    unsigned long getSkipRightPixels() const { return skipRightPixels_; }
    void setMaxMediaWidth(int width) { maxMediaWidth_ = width; }
    int getMaxMediaWidth() const { return maxMediaWidth_; }
    void SetPrintWidth(long width) { printWidth_ = width; }
    long GetPrintWidth() const { return printWidth_; }
    void setVBarcodeOpt(int option) { vBarcodeOpt_ = option; }
    int getVBarcodeOpt() const { return vBarcodeOpt_; }
    void setUserData(UserData* data) { userData_ = data; }
    UserData* getUserData() const { return userData_; }
    void setPageHeader(cups_page_header2_t* header) { pageHdr_ = header; }
    cups_page_header2_t* getPageHeader() const { return pageHdr_; }
    const char* getCopyRight() const;

protected:
    DibImage dibimage_;
    DibImage ditheredImage_;
    DibImage* pimage_ = nullptr;
    char imagePathFmt_[1024] = {};
    std::list<FILE*> outputStreams_;
    cups_page_header2_t* pageHdr_ = nullptr;
    int maxMediaWidth_ = 0;
    long printWidth_ = 0;
    int brightness_ = 0;
    int vBarcodeOpt_ = 0;
    int contrast_ = 0;
    int printSpeed_ = 7;
    int printDensity_ = 8;
    DitherType halftoneType_ = DITHER_NONE;
    bool negativePrint_ = false;
    bool mirrorPrint_ = false;
    bool rotate180Print_ = false;
    int antiWrinkle_ = 0;
    bool useZQDithering_ = false;
    unsigned char removeBlankEdges_ = 0;
    unsigned long skipRightPixels_ = 0;
    UserData* userData_ = nullptr;
    int resolution_ = 300;
    bool pageFailed_ = false;

private:
    // Names and opens the next dump file and writes its headers; null, after
    // saying so on standard error, when it cannot be opened.
    FILE* openImageDump(unsigned long height, unsigned long width, unsigned short bitsPerPixel);

    std::vector<std::thread> dumpWriters_;
    ImageDumpPolicy dumpPolicy_;
};

extern "C" {

// Number of leading rows whose first scanned bytes are all 0.
unsigned long tavelImageCountBlankLinesFromFront(const unsigned char* data,
                                                 unsigned long rowLength, unsigned long height,
                                                 unsigned long skipRight, unsigned long stride);
// Rows left after dropping the trailing blank rows.
unsigned long tavelImageCountBlankLinesFromBack(const unsigned char* data,
                                                unsigned long rowLength, unsigned long height,
                                                unsigned long skipRight, unsigned long stride);

}  // extern "C"

#endif
