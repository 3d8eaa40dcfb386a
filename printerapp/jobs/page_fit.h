// Fitting a page onto the label: a raster page whose size is not the
// label's (a Letter page from a driverless CUPS queue, a 4 x 6 in page on a
// 4 x 2 in label) is turned to the label's orientation, scaled by one factor
// in both directions so that all of it shows, and centred on blank label.
#ifndef TAVEL_PRINTERAPP_JOBS_PAGE_FIT_H
#define TAVEL_PRINTERAPP_JOBS_PAGE_FIT_H

#include <cups/raster.h>

#include <string>
#include <vector>

// Fits page (width x height dots, one byte per dot, 0 = blank, 255 = full
// ink) onto a label of labelWidth x labelHeight dots into fitted. A page
// wider than long goes onto a label longer than wide turned a quarter turn
// counter-clockwise (the page's top to the label's left), and the other way
// round turned clockwise. Shrinking averages the dots each label dot covers;
// enlarging repeats the nearest dot. Integer arithmetic only, so the result
// is the same on every machine. Returns whether the page was turned.
bool fitPage(const unsigned char* page, unsigned width, unsigned height, unsigned labelWidth,
             unsigned labelHeight, std::vector<unsigned char>* fitted);

// The job message for a page of pageWidth x pageHeight mm fitted onto a
// label of labelWidth x labelHeight mm.
std::string fitNote(double pageWidth, double pageHeight, bool turned, double labelWidth,
                    double labelHeight);

// Fits the page of header onto a label of labelWidth x labelHeight dots,
// or, with crop, the carrier label box it holds (label_crop.h): page is
// replaced by the fitted page and the header's size fields by the label's.
// note receives the job message saying so.
void fitPageToLabel(cups_page_header2_t* header, std::vector<unsigned char>* page,
                    unsigned labelWidth, unsigned labelHeight, bool crop, std::string* note);

// The pixel size of a PNG or JPEG file as it is viewed (width and height
// exchanged when its EXIF orientation turns it), read from its header;
// false for anything else or a damaged header.
bool imageFileSize(const char* path, unsigned* width, unsigned* height);

// PAPPL places a PNG or JPEG onto the page upright, fitted and centred. For
// an image (imageWidth x imageHeight) whose orientation is not the page's,
// takes the placed image back out of page (width x height dots) and fits it
// again, turned, onto the whole page. Returns false, leaving page as it is,
// when the orientations agree or either is square.
bool turnPlacedImage(std::vector<unsigned char>* page, unsigned width, unsigned height,
                     unsigned imageWidth, unsigned imageHeight);

#endif
