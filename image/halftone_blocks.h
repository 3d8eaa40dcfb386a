// Block classification of the automatic halftone: which 16 x 16 blocks of a
// grey page hold continuous tone (photos, shaded art), to be diffused, and
// which hold line art (text, rules, barcodes), to be thresholded so that
// their edges stay sharp and their bars keep their widths.
#ifndef TAVEL_IMAGE_HALFTONE_BLOCKS_H
#define TAVEL_IMAGE_HALFTONE_BLOCKS_H

#include <vector>

// Side of a block in pixels. A multiple of 8, so that a block's pixels are
// whole bytes of a 1-bit row.
constexpr long kHalftoneBlockSize = 16;

// A pixel counts as smooth grey when its level lies in this range and no
// neighbour (left, right, above, below) differs from it by more than
// kSmoothGreyStep. The range leaves out paper and solid ink with the little
// noise a scan or a JPEG puts on them; the step leaves out the grey edge
// pixels of scaled or anti-aliased text and bars, which sit on steep ramps.
constexpr int kSmoothGreyLow = 8;
constexpr int kSmoothGreyHigh = 247;
constexpr int kSmoothGreyStep = 32;

struct ToneBlockMap {
    long columns = 0;
    long rows = 0;
    std::vector<unsigned char> tone;  // row by row; 1 = continuous tone

    bool isTone(long column, long row) const { return tone[row * columns + column] != 0; }
    long toneCount() const;
};

// Classifies the blocks of an 8-bit grey page whose rows lie stride bytes
// apart. A block with smooth grey in at least a quarter of its pixels is
// tone; so is a block with smooth grey in at least a thirty-second of its
// pixels that touches a tone block (through edges or corners, repeatedly):
// the rim of a photo that only grazes a block, or a pale part of it, keeps
// the photo's halftone instead of breaking into a thresholded strip.
ToneBlockMap classifyToneBlocks(const unsigned char* firstRow, long width, long height, long stride);

#endif
