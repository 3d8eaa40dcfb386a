// The printer's image buffer as the previewer models it: one byte per dot,
// 1 for a printed (black) dot, 0 for bare paper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Largest label side and area the previewer accepts, in dots. They keep a
// corrupt or hostile stream from allocating unbounded memory.
constexpr unsigned kMaxLabelSide = 20000;
constexpr uint64_t kMaxLabelArea = 64ull * 1024 * 1024;

enum class BitmapMode { Overwrite = 0, Or = 1, Xor = 2 };

class LabelCanvas {
public:
    unsigned width() const { return width_; }
    unsigned height() const { return height_; }

    // Changes the size and keeps the dots of the overlapping area, as a
    // printer keeps its buffer across a SIZE command.
    void resize(unsigned width, unsigned height);
    void clear();

    bool isDot(unsigned x, unsigned y) const { return dots_[index(x, y)] != 0; }
    uint64_t dotCount() const;

    // Draws a packed bitmap (bit 0 = dot, bit 1 = no dot, leftmost dot in the
    // most significant bit) at x, y; what falls outside the canvas is dropped.
    // Returns the number of bitmap dots that fell outside.
    uint64_t drawBitmap(unsigned x, unsigned y, unsigned widthBytes, unsigned rows,
                        const unsigned char* packed, BitmapMode mode);

private:
    size_t index(unsigned x, unsigned y) const { return static_cast<size_t>(y) * width_ + x; }

    unsigned width_ = 0;
    unsigned height_ = 0;
    std::vector<unsigned char> dots_;
};
