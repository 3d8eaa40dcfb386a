// Reading the EXIF Orientation tag (0x0112, a SHORT in the first image
// directory) and applying it to the pixels.
#include "printerapp/jobs/exif_orientation.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned kOrientationTag = 0x0112;
constexpr unsigned kShortType = 3;

struct TiffReader {
    const unsigned char* data;
    size_t size;
    bool littleEndian;

    bool has(size_t offset, size_t count) const { return offset <= size && count <= size - offset; }
    unsigned u16(size_t offset) const
    {
        return littleEndian ? data[offset] | data[offset + 1] << 8
                            : data[offset] << 8 | data[offset + 1];
    }
    uint32_t u32(size_t offset) const
    {
        return littleEndian ? u16(offset) | uint32_t(u16(offset + 2)) << 16
                            : uint32_t(u16(offset)) << 16 | u16(offset + 2);
    }
};

}  // namespace

int exifOrientation(const unsigned char* tiff, size_t size)
{
    if (tiff == nullptr || size < 8)
        return 1;
    TiffReader reader{tiff, size, false};
    if (std::memcmp(tiff, "II*\0", 4) == 0)
        reader.littleEndian = true;
    else if (std::memcmp(tiff, "MM\0*", 4) != 0)
        return 1;
    const uint32_t directory = reader.u32(4);
    if (!reader.has(directory, 2))
        return 1;
    const unsigned entries = reader.u16(directory);
    for (unsigned i = 0; i < entries; ++i) {
        const size_t entry = directory + 2 + size_t(i) * 12;
        if (!reader.has(entry, 12))
            return 1;
        if (reader.u16(entry) != kOrientationTag)
            continue;
        if (reader.u16(entry + 2) != kShortType || reader.u32(entry + 4) != 1)
            return 1;
        const unsigned value = reader.u16(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

int jpegApp1Orientation(const unsigned char* data, size_t size)
{
    if (data == nullptr || size < 6 || std::memcmp(data, "Exif\0\0", 6) != 0)
        return 1;
    return exifOrientation(data + 6, size - 6);
}

bool orientationTurns(int orientation) { return orientation >= 5 && orientation <= 8; }

void applyOrientation(int orientation, std::vector<unsigned char>* pixels, unsigned* width,
                      unsigned* height, int depth)
{
    if (orientation < 2 || orientation > 8)
        return;
    const size_t w = *width, h = *height;
    const bool turns = orientationTurns(orientation);
    const size_t outWidth = turns ? h : w, outHeight = turns ? w : h;
    std::vector<unsigned char> out(pixels->size());
    for (size_t y = 0; y < outHeight; ++y) {
        for (size_t x = 0; x < outWidth; ++x) {
            // The stored pixel that is viewed at (x, y).
            size_t sx = x, sy = y;
            switch (orientation) {
            case 2: sx = w - 1 - x; break;                        // mirrored
            case 3: sx = w - 1 - x; sy = h - 1 - y; break;        // upside down
            case 4: sy = h - 1 - y; break;                        // mirrored upside down
            case 5: sx = y; sy = x; break;                        // transposed
            case 6: sx = y; sy = h - 1 - x; break;                // turn clockwise to view
            case 7: sx = w - 1 - y; sy = h - 1 - x; break;        // transversed
            case 8: sx = w - 1 - y; sy = x; break;                // turn counter-clockwise
            }
            std::memcpy(out.data() + (y * outWidth + x) * depth,
                        pixels->data() + (sy * w + sx) * depth, static_cast<size_t>(depth));
        }
    }
    pixels->swap(out);
    *width = static_cast<unsigned>(outWidth);
    *height = static_cast<unsigned>(outHeight);
}
