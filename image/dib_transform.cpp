// DibImage whole-image transforms: brightness and contrast, rotation by 180
// degrees, mirroring, negative, depth increase, canvas expansion, centring and
// line drawing.
#include "image/dib_image.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// One output byte per pixel for each packed 1-bit byte, most significant bit first.
struct BitUnpackTable {
    unsigned char bytes[256][8];
    BitUnpackTable()
    {
        for (int value = 0; value < 256; ++value)
            for (int bit = 0; bit < 8; ++bit) bytes[value][bit] = (value >> (7 - bit)) & 1;
    }
};

// Truncates toward zero, then clamps to a byte; the bounds are tested first so
// that no out-of-range float is converted.
unsigned char truncateToByte(float v)
{
    if (v >= 255.0f) return 255;
    if (v <= 0.0f) return 0;
    return static_cast<unsigned char>(static_cast<int>(v));
}

} // namespace

// A 256-entry look-up table in single precision, applied by Lut.
bool DibImage::Light(int brightness, int contrast)
{
    if (!block) return false;
    const float factor = static_cast<float>(static_cast<long long>(contrast) + 100) / 100.0f;
    const float offset = static_cast<float>(static_cast<long long>(brightness) + 128);
    unsigned char table[256];
    for (int i = 0; i < 256; ++i) {
        float v = static_cast<float>(i - 128) * factor;
        v = v + offset;
        v = v + 0.5f;
        table[i] = truncateToByte(v);
    }
    return Lut(table);
}

bool DibImage::Lut(const unsigned char* table)
{
    if (!block || !table) return false;
    const long width = GetWidth();
    const long height = GetHeight();
    if (bmpHeader.biBitCount == 8) {
        for (long y = 0; y < height; ++y) {
            unsigned char* row = rowAt(y);
            for (long x = 0; x < width; ++x) row[x] = table[row[x]];
        }
    } else if (bmpHeader.biBitCount != 24) {
        for (long y = 0; y < height; ++y)
            for (long x = 0; x < width; ++x) BlindSetPixelIndex(x, y, table[BlindGetPixelIndex(x, y)]);
    }
    return true;
}

// Indexed images come back at 8 bits per pixel; a 24-bit image is rotated into a 24-bit copy so that it keeps its colours.
bool DibImage::Rotate180(DibImage* destination)
{
    if (!block) return false;
    const long width = GetWidth();
    const long height = GetHeight();
    const unsigned depth = bmpHeader.biBitCount;

    DibImage work;
    work.CopyInfo(*this);
    work.Create(width, height, depth == 24 ? 24 : 8, info.imageType);
    work.SetPalette(GetPalette(), GetNumColors());
    if (work.IsValid()) {
        for (long y = 0; y < height; ++y) {
            const unsigned char* src = rowAt(y);
            unsigned char* dst = work.rowAt(height - 1 - y);
            if (depth == 8) {
                for (long x = 0; x < width; ++x) dst[width - 1 - x] = src[x];
            } else if (depth == 24) {
                for (long x = 0; x < width; ++x) std::memcpy(dst + 3 * (width - 1 - x), src + 3 * x, 3);
            } else {
                for (long x = 0; x < width; ++x) dst[width - 1 - x] = BlindGetPixelIndex(x, y);
            }
        }
    }
    (destination ? destination : this)->Transfer(work);
    return true;
}

// Reverses the pixel order of every row of this image into the work image of
// the same depth.
void DibImage::mirrorPixelsInto(DibImage& work) const
{
    const long width = GetWidth();
    const long height = GetHeight();
    for (long y = 0; y < height; ++y) {
        const unsigned char* src = rowAt(y);
        unsigned char* dst = work.rowAt(y);
        switch (bmpHeader.biBitCount) {
        case 8:
            for (long j = 0; j < width; ++j) dst[j] = src[width - 1 - j];
            break;
        case 24:
            for (long j = 0; j < width; ++j) std::memcpy(dst + 3 * j, src + 3 * (width - 1 - j), 3);
            break;
        default:
            for (long j = 0; j < width; ++j) work.BlindSetPixelIndex(j, y, BlindGetPixelIndex(width - 1 - j, y));
            break;
        }
    }
}

// A byte reversal into an 8-bit work image fits 8-bit images only; other
// depths are mirrored pixel by pixel at their own depth.
void DibImage::Mirror()
{
    if (!block) return;
    DibImage work;
    work.CopyInfo(*this);
    work.Create(GetWidth(), GetHeight(), bmpHeader.biBitCount, info.imageType);
    work.SetPalette(GetPalette(), GetNumColors());
    if (work.IsValid()) mirrorPixelsInto(work);
    Transfer(work);
}

void DibImage::Negative()
{
    if (!block) return;
    unsigned char* bytes = info.bits;
    for (uint32_t i = 0; i < bmpHeader.biSizeImage; ++i) bytes[i] = static_cast<unsigned char>(~bytes[i]);
}

// Raises an indexed image to 4, 8 or 24 bits per pixel.
bool DibImage::IncreaseBpp(unsigned depth)
{
    if (!block) return false;
    const unsigned current = bmpHeader.biBitCount;
    if (depth == 4 || depth == 8) {
        if (current == depth) return true;
        if (current > depth) return false;
    } else if (depth == 24) {
        if (current == 24) return true;
    } else {
        return false;
    }

    const long width = GetWidth();
    const long height = GetHeight();
    DibImage work;
    work.CopyInfo(*this);
    work.Create(width, height, depth, info.imageType);
    if (!work.IsValid()) {
        copyLastErrorFrom(work);
        return false;
    }

    if (depth != 24) work.SetPalette(GetPalette(), GetNumColors());
    if (depth == 24) {
        for (long y = 0; y < height; ++y)
            for (long x = 0; x < width; ++x) work.BlindSetPixelColor(x, y, BlindGetPixelColor(x, y));
    } else if (depth == 8 && current == 1) {
        // The halftone result of every page takes this path: unpack whole bytes.
        static const BitUnpackTable unpack;
        const long wholeBytes = width / 8;
        for (long y = 0; y < height; ++y) {
            const unsigned char* src = rowAt(y);
            unsigned char* dst = work.rowAt(y);
            for (long i = 0; i < wholeBytes; ++i) std::memcpy(dst + 8 * i, unpack.bytes[src[i]], 8);
            for (long x = wholeBytes * 8; x < width; ++x) dst[x] = BlindGetPixelIndex(x, y);
        }
    } else {
        for (long y = 0; y < height; ++y)
            for (long x = 0; x < width; ++x) work.BlindSetPixelIndex(x, y, BlindGetPixelIndex(x, y));
    }
    Transfer(work);
    return true;
}

// Enlarges the canvas. Stored row 0 is the bottom row, so the
// bottom margin comes first in memory.
bool DibImage::Expand(long left, long top, long right, long bottom, tagRGBQUAD canvasColour)
{
    if (!block) return false;
    if (left < 0 || top < 0 || right < 0 || bottom < 0) return false;
    const long width = GetWidth();
    const long height = GetHeight();
    const uint64_t limit = UINT32_MAX;
    // Margins too wide for Create's unsigned arguments would wrap to a small
    // size; they could never pass its size limit, so report that limit.
    if (uint64_t(left) > limit || uint64_t(right) > limit || uint64_t(top) > limit ||
        uint64_t(bottom) > limit || uint64_t(width) + left + right > limit ||
        uint64_t(height) + top + bottom > limit) {
        setLastError("DIBIMAGE_MAX_MEMORY exceeded");
        return false;
    }
    const unsigned depth = bmpHeader.biBitCount;

    // The sizes are summed in 64 bits: with a 32-bit long they may pass
    // LONG_MAX, which Create refuses as too large.
    DibImage work;
    work.CopyInfo(*this);
    if (!work.Create(static_cast<unsigned>(uint64_t(width) + left + right),
                     static_cast<unsigned>(uint64_t(height) + top + bottom), depth, info.imageType)) {
        copyLastErrorFrom(work);
        return false;
    }
    const long newWidth = width + left + right;
    const long newHeight = height + top + bottom;
    work.SetPalette(GetPalette(), GetNumColors());

    if (depth == 1 || depth == 4) {
        const unsigned char canvasIndex = work.GetNearestIndex(canvasColour);
        for (long y = 0; y < newHeight; ++y) {
            for (long x = 0; x < newWidth; ++x) {
                const bool inside = x >= left && x < left + width && y >= bottom && y < bottom + height;
                work.SetPixelIndex(x, y, inside ? GetPixelIndex(x - left, y - bottom) : canvasIndex);
            }
        }
    } else {
        if (depth == 8) {
            std::memset(work.info.bits, work.GetNearestIndex(canvasColour), work.bmpHeader.biSizeImage);
        } else {
            const unsigned char bgr[3] = {canvasColour.rgbBlue, canvasColour.rgbGreen, canvasColour.rgbRed};
            for (long y = 0; y < newHeight; ++y) {
                unsigned char* row = work.rowAt(y);
                for (long x = 0; x < newWidth; ++x) std::memcpy(row + 3 * x, bgr, 3);
            }
        }
        const long bytesPerPixel = depth / 8;
        for (long y = 0; y < height; ++y)
            std::memcpy(work.rowAt(bottom + y) + left * bytesPerPixel, rowAt(y), bytesPerPixel * width);
    }
    Transfer(work);
    return true;
}

void DibImage::MakeCenter(int newWidth)
{
    if (!block || GetWidth() >= newWidth) return;
    const long width = GetWidth();
    const long height = GetHeight();
    const long shift = (newWidth - width) / 2;

    DibImage work;
    work.CopyInfo(*this);
    work.Create(newWidth, height, 8, info.imageType);
    work.SetPalette(GetPalette(), GetNumColors());
    for (long y = 0; y < height; ++y)
        for (long x = 0; x < width; ++x) work.SetPixelIndex(x + shift, y, BlindGetPixelIndex(x, y));
    Transfer(work);
}

// Bresenham's line along the longer axis, both end points included.
void DibImage::DrawLine(int xStart, int xEnd, int yStart, int yEnd, unsigned char index)
{
    if (!block) return;
    const long dx = std::labs(long(xEnd) - xStart);
    const long dy = std::labs(long(yEnd) - yStart);
    const long stepX = xEnd >= xStart ? 1 : -1;
    const long stepY = yEnd >= yStart ? 1 : -1;
    long x = xStart;
    long y = yStart;
    const bool alongX = dx >= dy;
    const long mainDelta = alongX ? dx : dy;
    const long otherDelta = alongX ? dy : dx;
    long& mainPosition = alongX ? x : y;
    long& otherPosition = alongX ? y : x;
    const long mainStep = alongX ? stepX : stepY;
    const long otherStep = alongX ? stepY : stepX;
    long accumulator = mainDelta / 2;
    for (long i = 0; i <= mainDelta; ++i) {
        SetPixelIndex(x, y, index);
        accumulator += otherDelta;
        if (accumulator >= mainDelta) {
            accumulator -= mainDelta;
            otherPosition += otherStep;
        }
        mainPosition += mainStep;
    }
}
