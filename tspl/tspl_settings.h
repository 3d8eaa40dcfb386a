// The settings of one job that the TSPL set-up block is made from. A front
// end fills the record: the CUPS filter from the PPD and the job's options,
// the printer application from the job's IPP attributes.
#ifndef TAVEL_TSPL_TSPL_SETTINGS_H
#define TAVEL_TSPL_TSPL_SETTINGS_H

#include "printer/tavel_log.h"

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
    // The printer's page dumps (image_dump.h), not part of the TSPL.
    int SavePageImages;                     // 0: no page dumps
    unsigned long long PageImagesMaxBytes;  // bound on the page dumps' total size
    // The CUPS filter's status queries through the back channel, not part
    // of the TSPL; the printer application has a printer setting instead.
    int QueryPrinterStatus;
};

#endif
