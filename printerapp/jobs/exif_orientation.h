// EXIF orientation: cameras and phones store a photo as the sensor saw it
// and say in the EXIF Orientation tag how to turn it for viewing. The
// application turns the pixels before it places them on the label.
#ifndef TAVEL_PRINTERAPP_JOBS_EXIF_ORIENTATION_H
#define TAVEL_PRINTERAPP_JOBS_EXIF_ORIENTATION_H

#include <cstddef>
#include <vector>

// The Orientation (1 to 8) of an EXIF TIFF block (as in a PNG eXIf chunk,
// or a JPEG APP1 segment after its "Exif\0\0"); 1 when it has none or the
// block is damaged.
int exifOrientation(const unsigned char* tiff, size_t size);

// The same for a JPEG APP1 segment's data: "Exif\0\0" then the TIFF block.
int jpegApp1Orientation(const unsigned char* data, size_t size);

// Whether an orientation exchanges width and height (5 to 8).
bool orientationTurns(int orientation);

// Turns or mirrors an image (width x height pixels of depth bytes, top row
// first) from how it is stored to how it is viewed; width and height
// become the viewed image's.
void applyOrientation(int orientation, std::vector<unsigned char>* pixels, unsigned* width,
                      unsigned* height, int depth);

#endif
