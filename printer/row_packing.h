// Packing of 8-bit page rows into 1-bit rows in which blank paper is a 1
// bit: the form of TSPL bitmaps and of the 1-bit page dumps.
#ifndef TAVEL_PRINTER_ROW_PACKING_H
#define TAVEL_PRINTER_ROW_PACKING_H

// Packs width pixels into (width + 7) / 8 bytes, leftmost pixel in the most
// significant bit. A 0 pixel (blank paper) is a 1 bit, any other a 0 bit;
// the fill bits after the last pixel of the row are 1.
void packRowBlankAsOne(const unsigned char* pixels, unsigned long width, unsigned char* out);

#endif
