// Shared declarations of the filter module: the job settings record, the
// process-wide printer and image offsets, the TSPL command functions and the
// TSPL printer.
#ifndef TAVEL_FILTER_FILTER_INTERNAL_H
#define TAVEL_FILTER_FILTER_INTERNAL_H

#include <cups/ppd.h>

#include "printer/tavel_printer.h"

// Settings of one job, read once from the job's options and the PPD.
struct Settings {
    char PageSize[41];
    float pageWidth;   // millimetres
    float pageHeight;  // millimetres
    char Resolution[41];
    char MediaMethod[41];
    char PaperType[41];
    int GapsHeight;    // millimetres
    char PostAction[41];
    char Occurrence[41];
    char Origin[41];
    int MirrorImage;
    int NegativeImage;
    int ZippedImage;
    DitherType halftoneType;
    char PrintSpeed[41];
    int Darkness;
    int Brightness;
    int DirectBuffer;
    int StoredGraphics;
    int OptionDisplayUnit;
    char OutputFile[256];
    int ForceRotation;
};

// The job's printer; every TSPL command function writes through it.
extern TavelPrinter* sPrinter;

// Image shift in printer dots, from the PageOffsetX/PageOffsetY settings.
extern int offsetX;
extern int offsetY;

// Job settings (job_settings.cpp).
void parseSettings(Settings* settings, const char* options);
void parseCustomSettings(ppd_file_t* ppd, const char* options);
double getCustomValueFromArgs(const char* options, const char* name, bool* found);
double getCustomRealValueFromPPD(ppd_file_t* ppd, const char* name, const char* prefix);
void getPageWidthPageHeight(ppd_file_t* ppd, Settings* settings);

// TSPL commands (tspl_commands.cpp).
void setSize(float width, float height);
void setGap(float height, float offset, const char* paperType);
void setReference();
void setSpeedAndDensity(const char* speed, int density);
void setRibbon(const char* mediaMethod);
void setOffset(float offset);
void setPostAction(const char* postAction);
void setCls();
void jobSetup(Settings* settings);

// The TSPL printer: renders a processed page as one BITMAP command followed
// by PRINT.
class TsplPrinter : public TavelPrinter {
public:
    TsplPrinter();
    ~TsplPrinter() override;

    void doPrintImage(const unsigned char* pixels, unsigned long stride, unsigned long height,
                      unsigned long width) override;
    // A copy of the image shifted by dx dots right and dy rows down, the
    // uncovered strip 0; the caller releases it with delete[].
    unsigned char* createOffsetImage(const unsigned char* pixels, unsigned long stride,
                                     unsigned long height, unsigned long width, int dx, int dy);

    int zippedImage;
};

// The whole job: arguments, settings, page loop. Returns the exit status.
int runFilter(int argc, char* argv[]);

#endif
