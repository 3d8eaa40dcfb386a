// Label canvas of the previewer: sizing, clearing and bitmap drawing.
#include "tools/label_canvas.h"

#include <algorithm>

void LabelCanvas::resize(unsigned width, unsigned height)
{
    std::vector<unsigned char> dots(static_cast<size_t>(width) * height, 0);
    const unsigned keepWidth = std::min(width, width_);
    const unsigned keepHeight = std::min(height, height_);
    for (unsigned y = 0; y < keepHeight; ++y)
        std::copy_n(&dots_[index(0, y)], keepWidth, &dots[static_cast<size_t>(y) * width]);
    dots_.swap(dots);
    width_ = width;
    height_ = height;
}

void LabelCanvas::clear()
{
    std::fill(dots_.begin(), dots_.end(), 0);
}

uint64_t LabelCanvas::dotCount() const
{
    return static_cast<uint64_t>(std::count(dots_.begin(), dots_.end(), 1));
}

uint64_t LabelCanvas::drawBitmap(unsigned x, unsigned y, unsigned widthBytes, unsigned rows,
                                 const unsigned char* packed, BitmapMode mode)
{
    const uint64_t bitmapWidth = static_cast<uint64_t>(widthBytes) * 8;
    uint64_t clipped = 0;
    for (unsigned row = 0; row < rows; ++row) {
        const uint64_t cy = static_cast<uint64_t>(y) + row;
        const unsigned char* line = packed + static_cast<size_t>(row) * widthBytes;
        for (uint64_t col = 0; col < bitmapWidth; ++col) {
            const uint64_t cx = x + col;
            if (cx >= width_ || cy >= height_) {
                ++clipped;
                continue;
            }
            const unsigned char dot = (line[col / 8] & (0x80 >> (col % 8))) ? 0 : 1;
            unsigned char& target = dots_[index(static_cast<unsigned>(cx), static_cast<unsigned>(cy))];
            if (mode == BitmapMode::Overwrite)
                target = dot;
            else if (mode == BitmapMode::Or)
                target |= dot;
            else
                target ^= dot;
        }
    }
    return clipped;
}
