// DibImage storage, colour table and pixel access.
#include "image/dib_image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "workers/page_blocks.h"

namespace {

const char kZeroSizeMessage[] = "DibImage::Create : width and height must be greater than zero";
const char kTooLargeMessage[] = "DIBIMAGE_MAX_MEMORY exceeded";
const char kNoMemoryMessage[] = "DibImage::Create can't allocate memory";

// Bits per pixel the class supports, from any requested depth.
unsigned normaliseDepth(unsigned bitsPerPixel)
{
    if (bitsPerPixel <= 1) return 1;
    if (bitsPerPixel <= 4) return 4;
    if (bitsPerPixel <= 8) return 8;
    return 24;
}

uint32_t colourCountFor(unsigned depth)
{
    return depth == 24 ? 0 : (1u << depth);
}

// Bytes per stored row, padded to a multiple of 4 (64-bit so no width wraps).
uint64_t strideFor(unsigned depth, unsigned width)
{
    return (uint64_t(depth) * width + 31) / 32 * 4;
}

} // namespace

DibImage::DibImage()
{
    std::memset(&bmpHeader, 0, sizeof bmpHeader);
    std::memset(&info, 0, sizeof info);
    block = nullptr;
}

DibImage::~DibImage()
{
    std::free(block);
}

void DibImage::setLastError(const char* message)
{
    std::strncpy(info.lastError, message, sizeof info.lastError - 1);
    info.lastError[sizeof info.lastError - 1] = '\0';
}

void DibImage::copyLastErrorFrom(const DibImage& other)
{
    std::memcpy(info.lastError, other.info.lastError, sizeof info.lastError);
}

// Allocates a block of the given geometry; the pixel rows start
// zeroed, so filler bytes and unwritten margins are deterministic.
void* DibImage::Create(unsigned width, unsigned height, unsigned bitsPerPixel, unsigned imageType)
{
    return allocate(width, height, bitsPerPixel, imageType, true);
}

void* DibImage::allocate(unsigned width, unsigned height, unsigned bitsPerPixel,
                         unsigned imageType, bool zeroed)
{
    Destroy();
    if (width == 0 || height == 0) {
        setLastError(kZeroSizeMessage);
        return nullptr;
    }
    const unsigned depth = normaliseDepth(bitsPerPixel);

    // The padded row bytes are limited too: tall images of narrow rows pass the
    // pixel-bit test while their 4-byte-aligned rows would overflow 32 bits.
    const uint64_t pixelBits = uint64_t(width) * height;
    const uint64_t stride = strideFor(depth, width);
    if (pixelBits >= (uint64_t(1) << 32) || pixelBits * depth >= (uint64_t(1) << 32) ||
        pixelBits * depth / 8 > DIBIMAGE_MAX_MEMORY || stride * height > DIBIMAGE_MAX_MEMORY) {
        setLastError(kTooLargeMessage);
        return nullptr;
    }

    info.effWidth = static_cast<uint32_t>(stride);
    info.imageType = imageType;
    bmpHeader.biSize = sizeof(BitmapInfoHeader);
    bmpHeader.biWidth = static_cast<int32_t>(width);
    bmpHeader.biHeight = static_cast<int32_t>(height);
    bmpHeader.biPlanes = 1;
    bmpHeader.biBitCount = static_cast<uint16_t>(depth);
    bmpHeader.biCompression = 0;
    bmpHeader.biSizeImage = static_cast<uint32_t>(stride * height);
    bmpHeader.biClrUsed = colourCountFor(depth);

    const std::size_t bytes = pageBlockBytes(GetSize());
    block = static_cast<unsigned char*>(zeroed ? std::calloc(bytes, 1) : std::malloc(bytes));
    if (!block) {
        setLastError(kNoMemoryMessage);
        return nullptr;
    }
    std::memcpy(block, &bmpHeader, sizeof bmpHeader);
    info.bits = block + sizeof bmpHeader + GetPaletteSize();
    return block;
}

// Loads rows of grey (or colour) pixels from a caller's buffer.
bool DibImage::CreateFromArray(const unsigned char* pixels, unsigned width, unsigned height,
                               unsigned bitsPerPixel, unsigned bytesPerLine, bool flip)
{
    if (!pixels) return false;
    if (bitsPerPixel != 1 && bitsPerPixel != 4 && bitsPerPixel != 8 && bitsPerPixel != 24 &&
        bitsPerPixel != 32)
        return false;
    // Every byte is written below, each row's filler included: zeroing a
    // page-sized block first would only cost another pass over it.
    if (!allocate(width, height, bitsPerPixel, 0, false)) return false;
    // The grey ramp leaves each entry's reserved byte alone.
    std::memset(block + sizeof bmpHeader, 0, GetPaletteSize());
    if (bitsPerPixel < 24) SetGrayPalette();

    const size_t rowBytes = std::min<size_t>(info.effWidth, bytesPerLine);
    const size_t copied = bitsPerPixel == 32 ? size_t(width) * 3 : rowBytes;
    for (unsigned i = 0; i < height; ++i) {
        const unsigned char* src = pixels + size_t(i) * bytesPerLine;
        unsigned char* const row = rowAt(flip ? height - 1 - i : i);
        if (bitsPerPixel == 32) {
            unsigned char* dst = row;
            for (unsigned x = 0; x < width; ++x, src += 4, dst += 3) std::memcpy(dst, src, 3);
        } else {
            std::memcpy(row, src, rowBytes);
        }
        std::memset(row + copied, 0, info.effWidth - copied);
    }
    return true;
}

bool DibImage::Destroy()
{
    std::free(block);
    block = nullptr;
    return true;
}

// Moves the other image's block, header and info into this image. Transferring
// an image into itself is a no-op (it would otherwise lose the block).
bool DibImage::Transfer(DibImage& from, bool)
{
    if (&from == this) return true;
    Destroy();
    bmpHeader = from.bmpHeader;
    info = from.info;
    block = from.block;
    std::memset(&from.bmpHeader, 0, sizeof from.bmpHeader);
    std::memset(&from.info, 0, sizeof from.info);
    from.block = nullptr;
    return true;
}

void DibImage::CopyInfo(const DibImage& other)
{
    if (block) return;
    info = other.info;
}

bool DibImage::IsValid() const { return block != nullptr; }

const char* DibImage::GetLastError() const { return info.lastError; }

uint32_t DibImage::GetSize() const
{
    return bmpHeader.biSize + bmpHeader.biSizeImage + GetPaletteSize();
}

unsigned char* DibImage::GetBits(unsigned row) const
{
    if (!block) return nullptr;
    if (row == 0) return info.bits;
    if (row < static_cast<unsigned>(bmpHeader.biHeight)) return rowAt(row);
    return nullptr;
}

long DibImage::GetWidth() { return bmpHeader.biWidth; }
long DibImage::GetWidth() const { return bmpHeader.biWidth; }
long DibImage::GetHeight() { return bmpHeader.biHeight; }
long DibImage::GetHeight() const { return bmpHeader.biHeight; }
uint32_t DibImage::GetEffWidth() const { return info.effWidth; }
uint32_t DibImage::GetNumColors() const { return bmpHeader.biClrUsed; }

tagRGBQUAD* DibImage::GetPalette() const
{
    if (!block || bmpHeader.biClrUsed == 0) return nullptr;
    return reinterpret_cast<tagRGBQUAD*>(block + sizeof bmpHeader);
}

uint32_t DibImage::GetPaletteSize() const { return bmpHeader.biClrUsed * sizeof(tagRGBQUAD); }

void DibImage::SetPalette(const tagRGBQUAD* entries, unsigned count)
{
    tagRGBQUAD* palette = GetPalette();
    if (!entries || !palette) return;
    const uint64_t bytes = std::min<uint64_t>(uint64_t(count) * sizeof(tagRGBQUAD), GetPaletteSize());
    std::memcpy(palette, entries, bytes);
}

tagRGBQUAD DibImage::GetPaletteColor(unsigned char index) const
{
    const tagRGBQUAD* palette = GetPalette();
    if (!palette || index >= bmpHeader.biClrUsed) return tagRGBQUAD{0, 0, 0, 0};
    return palette[index];
}

void DibImage::SetPaletteColor(unsigned char index, unsigned char red, unsigned char green,
                               unsigned char blue, unsigned char fourth)
{
    tagRGBQUAD* palette = GetPalette();
    if (!palette || index >= bmpHeader.biClrUsed) return;
    palette[index] = tagRGBQUAD{blue, green, red, fourth};
}

void DibImage::SetGrayPalette()
{
    tagRGBQUAD* palette = GetPalette();
    if (!palette) return;
    const uint32_t colours = bmpHeader.biClrUsed;
    const uint32_t step = 255 / (colours - 1);
    for (uint32_t i = 0; i < colours; ++i) {
        const uint8_t grey = static_cast<uint8_t>(i * step);
        palette[i].rgbBlue = palette[i].rgbGreen = palette[i].rgbRed = grey;
    }
}

// The first entry at the smallest squared distance, cached by colour.
unsigned char DibImage::GetNearestIndex(tagRGBQUAD colour)
{
    const tagRGBQUAD* palette = GetPalette();
    if (!palette) return 0;
    const tagRGBQUAD& last = info.lastColour;
    if (info.lastColourValid && last.rgbBlue == colour.rgbBlue && last.rgbGreen == colour.rgbGreen &&
        last.rgbRed == colour.rgbRed && last.rgbReserved == colour.rgbReserved)
        return info.lastColourIndex;
    info.lastColour = colour;
    info.lastColourValid = true;

    long best = 200000;
    uint8_t result = 0;
    for (uint32_t i = 0; i < bmpHeader.biClrUsed; ++i) {
        const long db = long(palette[i].rgbBlue) - colour.rgbBlue;
        const long dg = long(palette[i].rgbGreen) - colour.rgbGreen;
        const long dr = long(palette[i].rgbRed) - colour.rgbRed;
        const long d = db * db + dg * dg + dr * dr;
        if (d == 0) {
            result = static_cast<uint8_t>(i);
            break;
        }
        if (d < best) {
            best = d;
            result = static_cast<uint8_t>(i);
        }
    }
    info.lastColourIndex = result;
    return result;
}

bool DibImage::isInside(long x, long y) const
{
    return x >= 0 && y >= 0 && x < long(bmpHeader.biWidth) && y < long(bmpHeader.biHeight);
}

unsigned char DibImage::GetPixelIndex(long x, long y) const
{
    if (!block || bmpHeader.biClrUsed == 0) return 0;
    if (!isInside(x, y)) return info.bits[0];
    return BlindGetPixelIndex(x, y);
}

void DibImage::SetPixelIndex(long x, long y, unsigned char index)
{
    if (!block || bmpHeader.biClrUsed == 0 || !isInside(x, y)) return;
    BlindSetPixelIndex(x, y, index);
}

unsigned char DibImage::BlindGetPixelIndex(long x, long y) const
{
    const unsigned char* row = rowAt(y);
    switch (bmpHeader.biBitCount) {
    case 8:
        return row[x];
    case 4: {
        const unsigned char byte = row[x >> 1];
        return (x & 1) ? (byte & 0x0F) : (byte >> 4);
    }
    case 1:
        return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default:
        return 0;
    }
}

void DibImage::BlindSetPixelIndex(long x, long y, unsigned char index)
{
    unsigned char* row = rowAt(y);
    switch (bmpHeader.biBitCount) {
    case 8:
        row[x] = index;
        break;
    case 4: {
        unsigned char& byte = row[x >> 1];
        if (x & 1)
            byte = static_cast<unsigned char>((byte & 0xF0) | (index & 0x0F));
        else
            byte = static_cast<unsigned char>((byte & 0x0F) | (index << 4));
        break;
    }
    case 1: {
        const unsigned char mask = static_cast<unsigned char>(0x80 >> (x & 7));
        unsigned char& byte = row[x >> 3];
        byte = (index & 1) ? (byte | mask) : (byte & ~mask);
        break;
    }
    default:
        break;
    }
}

tagRGBQUAD DibImage::BlindGetPixelColor(long x, long y, bool) const
{
    if (bmpHeader.biClrUsed != 0) return GetPaletteColor(BlindGetPixelIndex(x, y));
    const unsigned char* pixel = rowAt(y) + 3 * x;
    return tagRGBQUAD{pixel[0], pixel[1], pixel[2], 0};
}

void DibImage::BlindSetPixelColor(long x, long y, tagRGBQUAD colour, bool)
{
    if (bmpHeader.biClrUsed != 0) {
        BlindSetPixelIndex(x, y, GetNearestIndex(colour));
        return;
    }
    unsigned char* pixel = rowAt(y) + 3 * x;
    pixel[0] = colour.rgbBlue;
    pixel[1] = colour.rgbGreen;
    pixel[2] = colour.rgbRed;
}
