// A concrete printer for tests: keeps each processed page it is handed and
// lets a test point the image dumps into its own folder.
#ifndef TAVEL_TESTS_PRINTER_RECORDING_PRINTER_H
#define TAVEL_TESTS_PRINTER_RECORDING_PRINTER_H

#include <string>
#include <vector>

#include "printer/tavel_printer.h"

struct PrintedPage {
    unsigned long stride = 0;
    unsigned long height = 0;
    unsigned long width = 0;
    std::vector<unsigned char> pixels;  // width bytes per row, padding dropped

    unsigned char at(unsigned long x, unsigned long y) const { return pixels[y * width + x]; }
};

class RecordingPrinter : public TavelPrinter {
public:
    void doPrintImage(const unsigned char* bits, unsigned long stride, unsigned long height,
                      unsigned long width) override
    {
        PrintedPage page;
        page.stride = stride;
        page.height = height;
        page.width = width;
        for (unsigned long y = 0; y < height; ++y)
            page.pixels.insert(page.pixels.end(), bits + y * stride, bits + y * stride + width);
        pages.push_back(page);
    }

    void setImagePathFmt(const std::string& format)
    {
        format.copy(imagePathFmt_, sizeof(imagePathFmt_) - 1);
        imagePathFmt_[format.size()] = '\0';
    }
    const char* imagePathFmt() const { return imagePathFmt_; }
    DibImage* processedImage() { return pimage_; }
    DibImage& workImage() { return dibimage_; }

    std::vector<PrintedPage> pages;
};

#endif
