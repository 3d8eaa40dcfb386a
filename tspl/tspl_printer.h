// The TSPL printer: renders a processed page as one BITMAP command (raw, or
// zlib-compressed and Base64-encoded) followed by PRINT.
#ifndef TAVEL_TSPL_TSPL_PRINTER_H
#define TAVEL_TSPL_TSPL_PRINTER_H

#include <cstdio>

#include "printer/tavel_printer.h"

class TsplPrinter : public TavelPrinter {
public:
    // Writes to standard output, as the CUPS filter does.
    TsplPrinter();
    // Writes to output instead (a front end's device connection); the
    // stream is borrowed, never closed.
    explicit TsplPrinter(FILE* output);
    ~TsplPrinter() override;

    void doPrintImage(const unsigned char* pixels, unsigned long stride, unsigned long height,
                      unsigned long width) override;
    // A copy of the image shifted by dx dots right and dy rows down, the
    // uncovered strip 0; the caller releases it with delete[].
    unsigned char* createOffsetImage(const unsigned char* pixels, unsigned long stride,
                                     unsigned long height, unsigned long width, int dx, int dy);

    // Shift of every later page's image, in printer dots: x to the right,
    // y towards the page end; negative values shift the other way.
    void setImageOffset(int offsetX, int offsetY)
    {
        offsetX_ = offsetX;
        offsetY_ = offsetY;
    }
    int getImageOffsetX() const { return offsetX_; }
    int getImageOffsetY() const { return offsetY_; }

    // 0: bitmaps go raw (mode 0); otherwise compressed and Base64 (mode 6).
    int zippedImage;

private:
    int offsetX_ = 0;
    int offsetY_ = 0;
};

#endif
